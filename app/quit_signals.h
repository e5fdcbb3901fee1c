#pragma once
// SIGTERM, SIGHUP and SIGINT (a service manager or `timeout`, the end of a session, Ctrl-C in a
// terminal) would end the process at once and lose what it has not yet written: the buffered
// lines of the logs, the channel file that is saved when the window closes. Instead each of them
// is turned into a call on the user-interface thread, so that the tool ends as its Exit button
// ends it.

#include <functional>

namespace brix {

// From now on each of the three signals runs `quit` on the user-interface thread at the next
// turn of whichever event loop runs there (a dialog's or a message box's own loop too). Call on
// the user-interface thread once a QApplication exists; a later call replaces `quit`.
void onQuitSignals(std::function<void()> quit);

}  // namespace brix
