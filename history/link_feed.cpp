#include "history/link_feed.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "domain/clock.h"
#include "domain/text.h"
#include "history/history_table.h"
#include "link/link_commands.h"
#include "link/link_share.h"

namespace brix::history {
namespace {

using namespace std::chrono_literals;

constexpr auto kLinkDownAfter = 10s;
constexpr auto kLookEvery = 50ms;
// Console lines waiting for the feed's thread; a link that writes more in 50 ms loses the rest.
constexpr std::size_t kMaxLines = 4096;

// The Console lines that a report writes come in blocks; they are recorded as the report, not
// as lines. The number of lines that follow each block's first line.
int linesAfter(const std::string& text) {
    if (text == "RF REPORT:")
        return 4;
    if (text.rfind("STATISTICS REPORT:", 0) == 0)
        return 11;
    return -1;
}

EventKind kindOf(RequestKind kind) {
    switch (kind) {
        case RequestKind::Tune:
            return EventKind::Tune;
        case RequestKind::ChannelTableSet:
            return EventKind::TableSet;
        case RequestKind::ScannerSet:
            break;
    }
    return EventKind::ScannerSet;
}

}  // namespace

LinkFeed::LinkFeed(std::string path, Recorder::Report onError, Recorder::Report onNotice)
    : path_(std::move(path)), onError_(std::move(onError)), onNotice_(std::move(onNotice)) {
    thread_ = std::thread([this] { run(); });
}

LinkFeed::~LinkFeed() {
    stop_ = true;
    thread_.join();
    stopRecording();
}

void LinkFeed::consoleLine(MessageKind kind, const char* latin1) {
    if (latin1 == nullptr)
        return;
    std::lock_guard lock(mutex_);
    if (lines_.size() >= kMaxLines) {
        ++droppedLines_;
        return;
    }
    lines_.push_back({kind, latin1, unixMsNow()});
}

void LinkFeed::versionText(int which, const char* latin1) {
    if (latin1 == nullptr || which < 0 || which > 1)
        return;
    std::lock_guard lock(mutex_);
    versions_[which] = latin1;
}

void LinkFeed::startRecording() {
    recorder_ = std::make_unique<Recorder>(path_, onError_, onNotice_);
    // The versions are news to this store, whatever an earlier owner recorded.
    recordedVersions_[0].clear();
    recordedVersions_[1].clear();
    brix::share::offerHistory(path_);
    owning_ = true;
}

void LinkFeed::stopRecording() {
    if (recorder_ == nullptr)
        return;
    brix::share::offerHistory({});
    recorder_->flush();
    recorder_.reset();
    owning_ = false;
}

void LinkFeed::takeLines(Millis now) {
    std::deque<Line> lines;
    std::string versions[2];
    {
        std::lock_guard lock(mutex_);
        lines.swap(lines_);
        versions[0] = versions_[0];
        versions[1] = versions_[1];
    }
    for (const Line& line : lines) {
        if (skip_ > 0) {
            --skip_;
            continue;
        }
        if (const int block = linesAfter(line.text); block >= 0) {
            skip_ = block;
            continue;
        }
        if (recorder_ == nullptr || line.text.empty() ||
            (line.kind != MessageKind::Error && line.kind != MessageKind::Embedded))
            continue;
        recorder_->record(
            Event{line.t, line.kind == MessageKind::Error ? EventKind::Error : EventKind::Embedded,
                  latin1ToUtf8(line.text), ""});
    }
    if (recorder_ == nullptr)
        return;
    for (int i = 0; i < 2; ++i) {
        // The modem tells its boot version in two texts (its Version answer and a debug
        // message), which the link shows by turns: a text seen lately is no change.
        std::deque<std::string>& seen = recordedVersions_[i];
        if (versions[i].empty() || std::find(seen.begin(), seen.end(), versions[i]) != seen.end())
            continue;
        seen.push_back(versions[i]);
        if (seen.size() > 4)
            seen.pop_front();
        recorder_->record(Event{now, EventKind::Version, latin1ToUtf8(versions[i]), ""});
    }
}

void LinkFeed::run() {
    // Named, so that top -H and a benchmark can tell the feed's share of the CPU.
    ::pthread_setname_np(::pthread_self(), "brix-feed");
    brix::LinkCounters seen = brix::getLinkCounters();
    std::uint64_t heard = brix::linkDatagramsHeard();
    auto lastFrame = std::chrono::steady_clock::now();
    Millis lastFrameAt = unixMsNow();  // the link is down from the last frame heard, not from when
                                       // that is found out, 10 s later
    bool up = false;
    bool everUp = false;
    while (!stop_) {
        std::this_thread::sleep_for(kLookEvery);
        const bool owner = brix::linkRole() == brix::LinkRole::Owner;
        if (owner && recorder_ == nullptr)
            startRecording();
        else if (brix::linkRole() == brix::LinkRole::Attached && recorder_ != nullptr)
            stopRecording();  // attached again: the new owner records

        const brix::LinkCounters now = brix::getLinkCounters();
        const auto steady = std::chrono::steady_clock::now();
        const Millis t = unixMsNow();
        takeLines(t);
        brix::Request request;
        while (brix::takeLinkRequest(request)) {
            if (recorder_ != nullptr)
                recorder_->record(
                    Event{request.unixMs, kindOf(request.kind), request.text, request.program});
        }
        if (recorder_ != nullptr)
            failed_ = !recorder_->recording() && !recorder_->waitingForRoom();

        // Heard by the relay, not taken by the link: a link thread held by a question is no
        // silence of the modem's.
        const std::uint64_t nowHeard = brix::linkDatagramsHeard();
        if (recorder_ == nullptr) {
            // Attached: the owner hears the modem and tells; no silence is ours to find.
            heard = nowHeard;
            lastFrame = steady;
            lastFrameAt = t;
        } else if (nowHeard != heard) {
            heard = nowHeard;
            lastFrame = steady;
            lastFrameAt = t;
            if (!up) {
                up = true;
                // The first frame of a run is no news; one after a silence is.
                if (everUp && recorder_ != nullptr)
                    recorder_->record(Event{t, EventKind::LinkUp, "the modem answers again", ""});
                everUp = true;
            }
        } else if (up && steady - lastFrame > kLinkDownAfter) {
            up = false;
            if (recorder_ != nullptr)
                recorder_->record(Event{lastFrameAt, EventKind::LinkDown,
                                        "nothing heard from the modem since (10 s and more)", ""});
        }
        if (recorder_ != nullptr && now.rfReports != seen.rfReports) {
            RfSample s;
            s.t = t;
            brix::getFrequencies(s.rxFrequency, s.txFrequency);
            brix::getRateCodes(s.rxRateCode, s.txRateCode);
            s.attenuation = brix::getAttenuation();
            recorder_->record(s);
        }
        if (recorder_ != nullptr && now.statisticsReports != seen.statisticsReports) {
            const brix::StatisticsCounters c = brix::getLastStatistics();
            StatisticsSample s;
            s.t = t;
            s.period = static_cast<std::uint16_t>(c.period);
            s.counts = {
                c.txFragments, c.txPackets, static_cast<std::uint32_t>(c.txBytes), c.retransmitted,
                c.forwarded,   c.filtered,  static_cast<std::uint32_t>(c.rxBytes), c.grants};
            if (s.period >= 10)
                recorder_->record(s);
        }
        seen = now;
    }
}

}  // namespace brix::history
