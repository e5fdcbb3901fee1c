#pragma once
// What the Advanced and Scanner pages share: the five request buttons, which a request from
// either page disables together and an applied answer enables again, and the connection-error
// question asked when the link gives up on a request.

namespace brix {

// Advanced page Get and Set, Scanner page Get, Set and Default, reached through the main
// window. Pages that do not exist (yet) are skipped. User-interface thread.
void enableRequestButtons(bool enable);

// The Retry/Cancel box with no owner window. Cancel enables the five request buttons and
// returns 0 (drop the request); Retry leaves them disabled and returns 1 (send it again).
int showConnectionError();

}  // namespace brix

namespace brix {

// Puts back the cursor that the Advanced page's Get or Set replaced with the wait cursor (the
// normal cursor when there is none) and empties the slot. Any thread.
void restoreRequestCursor();

}  // namespace brix
