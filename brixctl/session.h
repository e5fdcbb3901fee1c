#pragma once
// One run of the modem link for a command of brixctl: the socket, a link thread of our own and
// a LinkPeer that keeps what the link hands out (Console lines, versions, the answers of the one
// pending Get or Set) for the main thread to wait on.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/link_state.h"

namespace brix::history {
class LinkFeed;
}

namespace brixctl {

// Exit codes, the same for every command.
enum Exit : int {
    kDone = 0,
    kFailed = 1,
    kUsage = 2,
    kNoAnswer = 3,
    kPortInUse = 4,
    kOtherChannel = 5,
    kInterrupted = 130,  // Ctrl-C before the modem answered a request (128 + SIGINT)
    kReaderGone = 141,   // the reader of the output went away, as a shell shows SIGPIPE
};

struct ConsoleLine {
    std::chrono::system_clock::time_point time;
    brix::MessageKind kind;
    std::string text;
};

// The answer to a pending Get or Set: a body, or the link's give-up after five sends.
struct Reply {
    bool gaveUp = false;
    std::vector<std::uint8_t> body;
};

class Session : public brix::LinkPeer {
public:
    using Clock = std::chrono::steady_clock;

    Session();
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Binds the link's socket (to `interfaceName` when not empty) and sends the first RfQuery.
    // On failure prints "brixctl: REASON" and returns the exit code (2 for the interface, 4
    // for the port, 1 otherwise); kDone when open.
    int open(const std::string& interfaceName);

    // Starts the link thread: periodic queries and the retries of the request queued before.
    void start();

    // Stops the link thread and closes the socket (also done by the destructor).
    void stop();

    // Keeps Console lines for takeConsoleLines from now on.
    void keepConsoleLines() { keepConsole_ = true; }

    // Hands every Console line and version text to `feed` from now on (nullptr: no more).
    void feedHistory(brix::history::LinkFeed* feed);

    // Waits until `done` holds (checked under the session's lock at least every 5 ms and at
    // each call from the link), until `deadline`, or until an interrupt. True when done.
    template <typename Pred>
    bool waitUntil(Clock::time_point deadline, Pred done) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done()) {
            if (interrupted() || Clock::now() >= deadline)
                return false;
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }

    // Takes the Console lines kept so far.
    std::deque<ConsoleLine> takeConsoleLines();

    std::string microcodeVersion() const;
    std::string bootVersion() const;
    std::optional<Reply> tableReply() const;
    std::optional<Reply> scannerReply() const;

    // Under waitUntil's lock only.
    bool hasVersions() const { return !microcode_.empty() && !boot_.empty(); }
    bool hasTableReply() const { return table_.has_value(); }
    bool hasScannerReply() const { return scanner_.has_value(); }
    bool hasConsoleLines() const { return !console_.empty(); }

    // Statistics reports with a period below 10 hundredths, which the link drops; they tell
    // that the modem answered a statistics query, only too soon after another one.
    static std::uint32_t shortStatisticsReports();

    // Set by SIGINT and SIGTERM.
    static bool interrupted();
    static void catchInterrupts();

    // LinkPeer, called on the link thread.
    void addConsoleMessage(brix::MessageKind kind, const char* text, bool log) override;
    void setMicrocodeVersion(const char* text) override;
    void setBootVersion(const char* text) override;
    int onChannelTableReply(const std::uint8_t* body, int giveUp) override;
    int onScannerReply(const std::uint8_t* body) override;
    void cancelPendingCalls() override {}

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool keepConsole_ = false;
    brix::history::LinkFeed* feed_ = nullptr;  // guarded by mutex_
    std::deque<ConsoleLine> console_;
    std::string microcode_;
    std::string boot_;
    std::optional<Reply> table_;
    std::optional<Reply> scanner_;
    std::thread thread_;
    bool open_ = false;
};

// Who holds the modem link, for people: "owned by this program, offered at PATH" or
// "attached to brixtool (pid 42) at PATH".
std::string linkHolderText();
// The same for programs: {"role": "owner"|"attached", "owner": NAME|null, "socket": PATH|null}.
std::string linkHolderJson();

// Time left until `deadline` has passed `seconds` from now.
inline Session::Clock::time_point after(double seconds) {
    return Session::Clock::now() + std::chrono::duration_cast<Session::Clock::duration>(
                                       std::chrono::duration<double>(seconds));
}

}  // namespace brixctl
