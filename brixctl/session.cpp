#include "brixctl/session.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "history/history_table.h"
#include "link/link_presence.h"
#include "link/link_reports.h"
#include "link/link_share.h"

namespace brixctl {

namespace {

// Set by the signal handler, on whichever thread the signal lands (lock-free, so a handler may
// set it); read by the main thread and by a long query's progress check.
std::atomic<bool> interruptAtomic{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// Readable once interrupted, so that a wait ends at once (written from the signal handler).
int interruptFd = -1;

void onSignal(int) {
    interruptAtomic.store(true, std::memory_order_relaxed);
    if (interruptFd >= 0) {
        const std::uint64_t one = 1;
        (void)::write(interruptFd, &one, sizeof one);
    }
}

// The link's time for brixctl. It starts past one retry period, so that a request queued
// before the link thread starts goes out on its first pass instead of two seconds later, as
// in a window that has been open a while. The idle wait returns as soon as a datagram comes,
// so an answer is read when it arrives rather than at the end of a fixed sleep.
class PromptClock : public brix::LinkClock {
public:
    std::int32_t nowMs() override { return brix::msSinceProgramStart() + brix::kRetryPeriodMs + 1; }
    void idleSleep() override {
        const int ms = untilDue();
        pollfd p[2] = {{brix::linkState().socket.load(), POLLIN, 0}, {wake_, POLLIN, 0}};
        if (p[0].fd < 0 || ::poll(p, 2, ms) < 0)
            ::poll(&p[1], 1, ms);
    }
    // Ends the current and every later idle wait at once: the program need not sit out the
    // rest of a wait before it exits.
    void wake() {
        const std::uint64_t one = 1;
        if (wake_ >= 0)
            (void)::write(wake_, &one, sizeof one);
    }

private:
    // Nothing is due before the next query, retry or look for a silence: the link thread
    // sleeps until then, not a tenth of a second at a time. Link thread.
    int untilDue() {
        const brix::LinkState& st = brix::linkState();
        const std::int32_t now = nowMs();
        std::int32_t due = brix::kVersionPeriodMs;
        if (const std::int64_t silence = brix::msUntilLinkSilence(); silence >= 0)
            due = static_cast<std::int32_t>(std::min<std::int64_t>(due, silence + 1));
        if (const std::int32_t link = brix::msUntilLinkDue(); link >= 0)
            due = std::min(due, link + 1);
        const auto until = [&](std::int32_t last, std::int32_t period) {
            due = std::min(due, period - brix::elapsedMs(now, last) + 1);
        };
        until(st.lastVersionPoll, brix::kVersionPeriodMs);
        until(st.lastStatisticsPoll, brix::kStatisticsPeriodMs);
        until(st.lastQuery8, brix::kQuery8PeriodMs);
        until(st.lastQuery9, brix::kQuery9PeriodMs);
        until(st.lastRfPoll, brix::kRfPeriodMs);
        bool pending = false;
        {
            std::lock_guard<std::mutex> lock(const_cast<brix::LinkState&>(st).pendingMutex);
            pending = st.pending.getPending != 0 || st.pending.setPending != 0;
        }
        if (pending)
            until(st.retryTime, brix::kRetryPeriodMs);
        return std::clamp(due, 1, brix::kVersionPeriodMs);
    }

    int wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

PromptClock promptClock;

// Lines kept for a reader that has fallen behind; older ones go first.
constexpr std::size_t kMaxKeptLines = 10000;

}  // namespace

Session::Session() {
    brix::setLinkPeer(this);
}

Session::~Session() {
    stop();
    brix::setLinkPeer(nullptr);
}

int Session::open(const std::string& interfaceName) {
    brix::setLinkInterface(interfaceName.c_str());
    if (!brix::linkOpen(brix::kProductEndpoints)) {
        const brix::LinkSocketFailure failure = brix::linkSocketFailure();
        // The port's holder offers no link to attach to; the text names it where it can.
        if (failure == brix::LinkSocketFailure::PortInUse) {
            std::fprintf(stderr, "brixctl: %s\n", brix::linkSocketFailureText());
            return kPortInUse;
        }
        std::fprintf(stderr, "brixctl: %s\n", brix::linkSocketFailureText());
        return failure == brix::LinkSocketFailure::NoSuchInterface ||
                       failure == brix::LinkSocketFailure::InterfaceRefused
                   ? kUsage
                   : kFailed;
    }
    open_ = true;
    return kDone;
}

void Session::start() {
    if (!open_ || thread_.joinable())
        return;
    thread_ = std::thread([] {
        while (brix::linkPass(promptClock)) {
        }
    });
}

void Session::stop() {
    if (thread_.joinable()) {
        brix::linkState().stopRequested.store(1);
        promptClock.wake();
        thread_.join();
    }
    if (open_) {
        brix::closeLinkSocket();
        open_ = false;
    }
}

std::deque<ConsoleLine> Session::takeConsoleLines() {
    std::deque<ConsoleLine> lines;
    lines.swap(console_);
    return lines;
}

bool Session::heard() const {
    return heard_ || brix::linkLastHeardMs() != 0;
}

std::optional<Reply> Session::tableReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_;
}

std::optional<Reply> Session::scannerReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanner_;
}

bool Session::hasTableReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_.has_value();
}

bool Session::hasScannerReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanner_.has_value();
}

bool Session::interrupted() {
    return interruptAtomic.load(std::memory_order_relaxed);
}

const std::atomic<bool>& Session::interruptFlag() {
    return interruptAtomic;
}

void Session::catchInterrupts() {
    if (interruptFd < 0)
        interruptFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that went away (a pipe into head) ends the output, not the program by signal.
    signal(SIGPIPE, SIG_IGN);
}

void Session::absorb() {
    events_.take(batch_);
    for (const brix::LinkEvent& e : batch_)
        take(e);
}

void Session::waitForNews(Clock::time_point deadline) {
    // The reader of a pipe going away shows as an error on our end of it.
    static const bool outputIsPipe = [] {
        struct stat info {};
        return ::fstat(STDOUT_FILENO, &info) == 0 &&
               (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
    }();
    std::vector<brix::LinkEvent> news;
    events_.wait(news, deadline, {interruptFd, outputIsPipe ? STDOUT_FILENO : -1});
    for (const brix::LinkEvent& e : news)
        take(e);
}

void Session::keepLine(const brix::LinkEvent& e, brix::MessageKind kind, std::string text) {
    if (console_.size() == kMaxKeptLines) {
        console_.pop_front();
        ++lost_;
    }
    console_.push_back({std::chrono::system_clock::time_point(std::chrono::milliseconds(e.unixMs)),
                        kind, std::move(text)});
}

void Session::take(const brix::LinkEvent& e) {
    using brix::MessageKind;
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, brix::RfReport>) {
                ++rfReports_;
                heard_ = true;
                if (keepConsole_ && v.changed)
                    for (std::string& line : brix::rfReportLines(v))
                        keepLine(e, MessageKind::Embedded, std::move(line));
            } else if constexpr (std::is_same_v<T, brix::StatisticsReport>) {
                heard_ = true;
                if (!v.taken()) {
                    ++shortStatistics_;
                    return;
                }
                ++statisticsReports_;
                if (keepConsole_ && statisticsLines_)
                    for (std::string& line : brix::statisticsReportLines(v.counts))
                        keepLine(e, MessageKind::Embedded, std::move(line));
            } else if constexpr (std::is_same_v<T, brix::VersionText>) {
                heard_ = true;
                (v.boot ? boot_ : microcode_) = v.text;
            } else if constexpr (std::is_same_v<T, brix::DebugMessage>) {
                heard_ = true;
                if (keepConsole_)
                    keepLine(e, MessageKind::Embedded, v.text);
            } else if constexpr (std::is_same_v<T, brix::ConsoleError>) {
                if (keepConsole_)
                    keepLine(e, MessageKind::Error, v.text);
            } else if constexpr (std::is_same_v<T, brix::LinkNotice>) {
                if (keepConsole_)
                    keepLine(e, MessageKind::Application, v.text);
            } else if constexpr (std::is_same_v<T, brix::EventsLost>) {
                lost_ += v.count;
            }
        },
        e.body);
    if (eventHandler_)
        eventHandler_(e);
}

int Session::onChannelTableReply(const std::uint8_t* body, int giveUp) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Reply r;
        r.gaveUp = giveUp != 0 || body == nullptr;
        if (!r.gaveUp)
            r.body.assign(body, body + brix::kChannelTableLength);
        table_ = std::move(r);
    }
    events_.wake();
    return 0;  // a give-up is final: the command reports it
}

int Session::onScannerReply(const std::uint8_t* body) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Reply r;
        r.gaveUp = body == nullptr;
        if (!r.gaveUp)
            r.body.assign(body, body + brix::kScannerParamsLength);
        scanner_ = std::move(r);
    }
    events_.wake();
    return 0;
}

void journalPresence(const brix::LinkEvent& e) {
    if (const auto* silent = std::get_if<brix::LinkSilent>(&e.body))
        std::fprintf(stderr, "brixctl: the modem went silent: nothing heard since %s\n",
                     brix::history::isoTime(silent->lastHeardMs).c_str());
    else if (const auto* heard = std::get_if<brix::LinkHeard>(&e.body))
        std::fprintf(stderr, "brixctl: the modem answers again, silent since %s\n",
                     brix::history::isoTime(heard->silentSinceMs).c_str());
}

void journalRecording(const brix::LinkEvent& e, const std::string& store) {
    static bool attached = false;
    const auto* role = std::get_if<brix::RoleChanged>(&e.body);
    if (role == nullptr)
        return;
    if (role->role == brix::LinkRole::Attached) {
        attached = true;
        // The owner records what this program would; it goes on, to take over when it goes.
        std::fprintf(stderr,
                     "brixctl: the link is %s's, which records the history; this program "
                     "records from when it owns the link\n",
                     role->owner.c_str());
    } else if (role->role == brix::LinkRole::Owner && attached) {
        attached = false;
        std::fprintf(stderr, "brixctl: this program owns the link now and records into %s\n",
                     store.c_str());
    }
}

std::string linkHolderText() {
    const std::string path = brix::linkSharePath();
    switch (brix::linkRole()) {
        case brix::LinkRole::Owner:
            return path.empty() ? "owned by this program (offered to no other)"
                                : "owned by this program, offered at " + path;
        case brix::LinkRole::Attached:
            return "attached to " + brix::linkOwnerName() + " at " + path;
        case brix::LinkRole::Lost:
            return "its owner went away; taking over";
        case brix::LinkRole::Closed:
            break;
    }
    return "closed";
}

std::string linkHolderJson() {
    const brix::LinkRole role = brix::linkRole();
    const std::string path = brix::linkSharePath();
    nlohmann::ordered_json j;
    j["role"] = role == brix::LinkRole::Owner      ? "owner"
                : role == brix::LinkRole::Attached ? "attached"
                : role == brix::LinkRole::Lost     ? "lost"
                                                   : "closed";
    j["owner"] = role == brix::LinkRole::Attached ? nlohmann::ordered_json(brix::linkOwnerName())
                                                  : nlohmann::ordered_json(nullptr);
    j["socket"] = path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(path);
    return j.dump();
}

}  // namespace brixctl
