#include "brixctl/session.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "history/link_feed.h"
#include "link/link_reports.h"
#include "link/link_share.h"

namespace brixctl {

namespace {

volatile std::sig_atomic_t interruptFlag = 0;

void onSignal(int) {
    interruptFlag = 1;
}

// The link's time for brixctl. It starts past one retry period, so that a request queued
// before the link thread starts goes out on its first pass instead of two seconds later, as
// in a window that has been open a while. The idle wait returns as soon as a datagram comes,
// so an answer is read when it arrives rather than at the end of a fixed sleep.
class PromptClock : public brix::LinkClock {
public:
    std::int32_t nowMs() override { return brix::msSinceProgramStart() + brix::kRetryPeriodMs + 1; }
    void idleSleep() override {
        pollfd p[2] = {{brix::linkState().socket.load(), POLLIN, 0}, {wake_, POLLIN, 0}};
        if (p[0].fd < 0 || ::poll(p, 2, brix::kIdleSleepMs) < 0)
            ::poll(&p[1], 1, brix::kIdleSleepMs);
    }
    // Ends the current and every later idle wait at once: the program need not sit out the
    // rest of a wait before it exits.
    void wake() {
        const std::uint64_t one = 1;
        if (wake_ >= 0)
            (void)::write(wake_, &one, sizeof one);
    }

private:
    int wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

PromptClock promptClock;

std::atomic<std::uint32_t> shortStatistics{0};

// The link's statistics handler, with a count of the reports it drops for their period.
void onStatistics(const std::uint8_t* frame, std::int16_t type) {
    if (brix::readU16(frame + 12) < 10)
        shortStatistics.fetch_add(1, std::memory_order_release);
    brix::onStatisticsReport(frame, type);
}

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
    brix::linkState().reportHandlers[static_cast<int>(brix::MessageType::Statistics)] =
        onStatistics;
    brix::linkState().reportHandlers[static_cast<int>(brix::MessageType::Statistics2)] =
        onStatistics;
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
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<ConsoleLine> lines;
    lines.swap(console_);
    return lines;
}

std::string Session::microcodeVersion() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return microcode_;
}

std::string Session::bootVersion() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boot_;
}

std::optional<Reply> Session::tableReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_;
}

std::optional<Reply> Session::scannerReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanner_;
}

std::uint32_t Session::shortStatisticsReports() {
    return shortStatistics.load(std::memory_order_acquire);
}

bool Session::interrupted() {
    return interruptFlag != 0;
}

void Session::catchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that went away (a pipe into head) ends the output, not the program by signal.
    signal(SIGPIPE, SIG_IGN);
}

void Session::feedHistory(brix::history::LinkFeed* feed) {
    std::lock_guard<std::mutex> lock(mutex_);
    feed_ = feed;
}

void Session::addConsoleMessage(brix::MessageKind kind, const char* text, bool) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (feed_ != nullptr)
            feed_->consoleLine(kind, text);
    }
    if (!keepConsole_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (console_.size() == kMaxKeptLines)
            console_.pop_front();
        console_.push_back({std::chrono::system_clock::now(), kind, text});
    }
    changed_.notify_all();
}

void Session::setMicrocodeVersion(const char* text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        microcode_ = text;
        if (feed_ != nullptr)
            feed_->versionText(0, text);
    }
    changed_.notify_all();
}

void Session::setBootVersion(const char* text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boot_ = text;
        if (feed_ != nullptr)
            feed_->versionText(1, text);
    }
    changed_.notify_all();
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
    changed_.notify_all();
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
    changed_.notify_all();
    return 0;
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
