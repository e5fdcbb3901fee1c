#pragma once
// Records what a session's link takes into the signal history: every RF report, every
// statistics report, the version texts when they change, the modem's debug messages and the
// Console's errors, and the link going down (no frame for 10 s) and up again. Runs a thread of
// its own that looks at the link twice every tenth of a second; the recorder's writer thread
// does the writing, so neither the link nor the command waits for the disk.

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "brixctl/session.h"
#include "history/recorder.h"

namespace brixctl {

class HistoryFeed {
public:
    // Call before session.start(): it keeps the session's Console lines from then on.
    HistoryFeed(Session& session, const std::string& path, std::string program);
    // Writes what is left and stops.
    ~HistoryFeed();
    HistoryFeed(const HistoryFeed&) = delete;
    HistoryFeed& operator=(const HistoryFeed&) = delete;

    // False once the store has refused what was recorded (the reason was printed).
    bool recording() const { return recorder_->recording(); }

    // A request of the user's (a Tune, a Set), as an event.
    void request(brix::history::EventKind kind, const std::string& text);

private:
    void run();

    Session& session_;
    const std::string program_;
    std::unique_ptr<brix::history::Recorder> recorder_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The store brixctl records into and reads: --history FILE, else the service's state folder
// ($STATE_DIRECTORY) for the unit, else the user's ($XDG_STATE_HOME/brixtool/history.sqlite3).
std::string historyPath(const std::string& option);

}  // namespace brixctl
