#pragma once
// One run of the modem link for a command of brixctl: the socket, a link thread of our own, a
// subscription to what the link tells (reports, versions, messages) and a LinkPeer that takes
// the answers of the one pending Get or Set, for the main thread to wait on.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/link_events.h"
#include "link/link_state.h"

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

    // Keeps the Console's lines for takeConsoleLines from now on, written from the link's
    // events as the window's Console writes them; with `statistics`, the statistics reports' too.
    void keepConsoleLines(bool statistics) {
        keepConsole_ = true;
        statisticsLines_ = statistics;
    }

    // Takes in what the link told since the last call, then waits until `done` holds, until
    // `deadline`, or until an interrupt or the reader of the output going away. `done` is
    // checked after each news of the link. True when done. Main thread.
    template <typename Pred>
    bool waitUntil(Clock::time_point deadline, Pred done) {
        for (;;) {
            absorb();
            if (done())
                return true;
            if (interrupted() || Clock::now() >= deadline)
                return false;
            waitForNews(deadline);
        }
    }

    // Called for each event of the link as waitUntil takes it in (main thread).
    void onEvent(std::function<void(const brix::LinkEvent&)> handler) {
        eventHandler_ = std::move(handler);
    }

    // Takes the Console lines kept so far.
    std::deque<ConsoleLine> takeConsoleLines();
    // The link's events (and kept lines) lost since the last call because this program did
    // not keep up, its output not read fast enough.
    std::uint64_t takeLost() { return std::exchange(lost_, 0); }
    bool hasConsoleLines() const { return !console_.empty(); }

    // What the link told, as waitUntil took it in.
    const std::string& microcodeVersion() const { return microcode_; }
    const std::string& bootVersion() const { return boot_; }
    bool hasVersions() const { return !microcode_.empty() && !boot_.empty(); }
    std::uint32_t rfReports() const { return rfReports_; }
    std::uint32_t statisticsReports() const { return statisticsReports_; }
    // Statistics reports with a period below 10 hundredths, which the link drops; they tell
    // that the modem answered a statistics query, only too soon after another one.
    std::uint32_t shortStatisticsReports() const { return shortStatistics_; }
    // True once anything came from the modem.
    bool heard() const;

    std::optional<Reply> tableReply() const;
    std::optional<Reply> scannerReply() const;
    bool hasTableReply() const;
    bool hasScannerReply() const;

    // Set by SIGINT and SIGTERM.
    static bool interrupted();
    static const std::atomic<bool>& interruptFlag();
    static void catchInterrupts();

    // LinkPeer, called on the link thread. The Console's lines and the versions come as events.
    void addConsoleMessage(brix::MessageKind, const char*, bool) override {}
    void setMicrocodeVersion(const char*) override {}
    void setBootVersion(const char*) override {}
    int onChannelTableReply(const std::uint8_t* body, int giveUp) override;
    int onScannerReply(const std::uint8_t* body) override;
    void cancelPendingCalls() override {}

private:
    void absorb();
    void take(const brix::LinkEvent& e);
    void keepLine(const brix::LinkEvent& e, brix::MessageKind kind, std::string text);
    void waitForNews(Clock::time_point deadline);

    // Made before the link opens, so that nothing it tells is missed.
    // A flood is taken in a hundred times a second, not once a frame.
    brix::LinkSubscription events_{brix::LinkSubscription::kDefaultCapacity,
                                   std::chrono::milliseconds(10)};
    std::vector<brix::LinkEvent> batch_;
    std::function<void(const brix::LinkEvent&)> eventHandler_;

    // Main thread only.
    bool keepConsole_ = false;
    bool statisticsLines_ = false;
    std::deque<ConsoleLine> console_;
    std::string microcode_;
    std::string boot_;
    std::uint32_t rfReports_ = 0;
    std::uint32_t statisticsReports_ = 0;
    std::uint32_t shortStatistics_ = 0;
    bool heard_ = false;
    std::uint64_t lost_ = 0;

    mutable std::mutex mutex_;
    std::optional<Reply> table_;    // guarded by mutex_
    std::optional<Reply> scanner_;  // guarded by mutex_
    std::thread thread_;
    bool open_ = false;
};

// A service's line on standard error (its journal) when the modem goes silent or answers again;
// nothing for other events.
void journalPresence(const brix::LinkEvent& e);

// A recording program's line on standard error when it attaches to another owner (which
// records; this one waits) and when it owns the link again and records into `store`.
void journalRecording(const brix::LinkEvent& e, const std::string& store);

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
