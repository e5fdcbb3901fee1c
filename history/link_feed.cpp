#include "history/link_feed.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "domain/frequency.h"
#include "domain/rates.h"
#include "history/history_table.h"
#include "link/link_share.h"
#include "link/link_transport.h"

namespace brix::history {
namespace {

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

std::string channelText(std::uint16_t tenths, std::uint16_t code) {
    if (const auto mbps = brix::codeRateMbps(code)) {
        char rate[16];
        std::snprintf(rate, sizeof rate, "%.2f", *mbps);
        return brix::mhzUnitText(tenths) + " at " + rate + " Mbit/s";
    }
    return brix::mhzUnitText(tenths) + " at rate code " + std::to_string(code);
}

}  // namespace

std::string channelChangeText(const brix::ChannelChanged& c) {
    return "receive channel " + channelText(c.fromFrequency, c.fromRateCode) + " -> " +
           channelText(c.toFrequency, c.toRateCode);
}

std::string gapText(const brix::LinkGap& g) {
    const long long tenths = (g.toMs - g.fromMs + 50) / 100;
    char text[96];
    std::snprintf(text, sizeof text, "nothing heard from the modem for %lld.%lld s", tenths / 10,
                  tenths % 10);
    return text;
}

LinkFeed::LinkFeed(std::string path, Recorder::Report onError, Recorder::Report onNotice)
    : path_(std::move(path)), onError_(std::move(onError)), onNotice_(std::move(onNotice)) {
    // A program that records takes the link over first when its owner goes.
    setLinkRecordsHistory(true);
    thread_ = std::thread([this] { run(); });
}

LinkFeed::~LinkFeed() {
    setLinkRecordsHistory(false);
    stop_ = true;
    events_.wake();
    thread_.join();
    stopRecording();
}

bool LinkFeed::failed() const {
    std::lock_guard lock(recorderMutex_);
    return recorder_ != nullptr && !recorder_->recording() && !recorder_->waitingForRoom() &&
           !recorder_->everOpened();
}

bool LinkFeed::recording() const {
    std::lock_guard lock(recorderMutex_);
    return recorder_ != nullptr && recorder_->writing();
}

std::int64_t LinkFeed::lastWrittenUnixMs() const {
    std::lock_guard lock(recorderMutex_);
    if (recorder_ != nullptr)
        lastWrittenUnixMs_ = std::max(lastWrittenUnixMs_, recorder_->lastWrittenUnixMs());
    return lastWrittenUnixMs_;
}

void LinkFeed::startRecording() {
    if (recorder_ != nullptr)
        return;
    {
        std::lock_guard lock(recorderMutex_);
        recorder_ = std::make_unique<Recorder>(path_, onError_, onNotice_);
    }
    // The versions are news to this store, whatever an earlier owner recorded.
    recordedVersions_[0].clear();
    recordedVersions_[1].clear();
    // A store whose last word on the link is "down" (this program or another stopped during an
    // outage) gets its "up" with the first report heard now: else the outage never ends.
    openDown_ = false;
    std::string error;
    if (auto store = Store::open(path_, true, error, false)) {
        const auto last =
            store->events(0, INT64_MAX, 1, {EventKind::LinkDown, EventKind::LinkUp}, true);
        openDown_ = !last.empty() && last.back().kind == EventKind::LinkDown;
    }
    brix::share::offerHistory(path_);
    owning_ = true;
}

void LinkFeed::stopRecording() {
    if (recorder_ == nullptr)
        return;
    brix::share::offerHistory({});
    recorder_->flush();
    {
        std::lock_guard lock(recorderMutex_);
        lastWrittenUnixMs_ = std::max(lastWrittenUnixMs_, recorder_->lastWrittenUnixMs());
        recorder_.reset();
    }
    owning_ = false;
}

void LinkFeed::record(const Event& event) {
    if (recorder_ != nullptr)
        recorder_->record(event);
}

void LinkFeed::recordLimited(const Event& event) {
    std::size_t which = 0;
    while (which + 1 < std::size(kLimited) && kLimited[which] != event.kind)
        ++which;
    Limit& l = limits_[which];
    const auto now = std::chrono::steady_clock::now();
    if (l.refilled == std::chrono::steady_clock::time_point{})
        l.refilled = now;
    l.tokens = std::min(
        kBurst, l.tokens + kPerSecond * std::chrono::duration<double>(now - l.refilled).count());
    l.refilled = now;
    if (l.tokens < 1) {
        if (l.held++ == 0) {
            l.firstHeld = event.t;
            l.firstHeldAt = now;
        }
        l.lastHeldAt = now;
        return;
    }
    l.tokens -= 1;
    record(event);
}

std::chrono::steady_clock::time_point LinkFeed::tellSuppressed(bool all) {
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    for (std::size_t i = 0; i < std::size(kLimited); ++i) {
        Limit& l = limits_[i];
        if (l.held == 0)
            continue;
        const auto due = std::min(l.lastHeldAt + kQuietBeforeTelling, l.firstHeldAt + kTellEvery);
        if (!all && now < due) {
            next = std::min(next, due);
            continue;
        }
        record(Event{l.firstHeld, kLimited[i],
                     std::to_string(l.held) + " more like this suppressed", ""});
        l.held = 0;
    }
    return next;
}

void LinkFeed::handle(const brix::LinkEvent& e) {
    // The role first: what comes after an owner's start is ours to record.
    if (const auto* role = std::get_if<brix::RoleChanged>(&e.body)) {
        if (role->role == brix::LinkRole::Owner)
            startRecording();
        else if (role->role == brix::LinkRole::Attached)
            stopRecording();  // attached again: the new owner records
        return;
    }
    if (const auto* lost = std::get_if<brix::EventsLost>(&e.body)) {
        // Only a store far behind a flood gets here; told once, not for every batch.
        if (!toldLost_ && onError_)
            onError_("history: " + std::to_string(lost->count) +
                     " of the link's events were not recorded (too many at once)");
        toldLost_ = true;
        return;
    }
    if (recorder_ == nullptr)
        return;
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, brix::RfReport>) {
                if (openDown_) {
                    openDown_ = false;
                    record(Event{e.unixMs, EventKind::LinkUp, "the modem answers again", ""});
                }
                // A modem reports every 3 s; a flood of reports keeps at most 20 a second.
                if (e.unixMs >= lastRfMs_ && e.unixMs - lastRfMs_ < kSampleEveryMs)
                    return;
                lastRfMs_ = e.unixMs;
                RfSample s;
                s.t = e.unixMs;
                s.rxFrequency = v.rxFrequency;
                s.rxRateCode = v.rxRateCode;
                s.txFrequency = v.txFrequency;
                s.txRateCode = v.txRateCode;
                s.attenuation = v.attenuation;
                recorder_->record(s);
            } else if constexpr (std::is_same_v<T, brix::StatisticsReport>) {
                if (!v.taken() || (e.unixMs >= lastStatisticsMs_ &&
                                   e.unixMs - lastStatisticsMs_ < kSampleEveryMs))
                    return;
                lastStatisticsMs_ = e.unixMs;
                const brix::StatisticsCounters& c = v.counts;
                StatisticsSample s;
                s.t = e.unixMs;
                s.period = static_cast<std::uint16_t>(c.period);
                s.counts = {c.txFragments,
                            c.txPackets,
                            static_cast<std::uint32_t>(c.txBytes),
                            c.retransmitted,
                            c.forwarded,
                            c.filtered,
                            static_cast<std::uint32_t>(c.rxBytes),
                            c.grants};
                recorder_->record(s);
            } else if constexpr (std::is_same_v<T, brix::VersionText>) {
                // The modem tells its boot version in two texts (its Version answer and a
                // debug message), which the link shows by turns: a text seen lately is no
                // change.
                std::deque<std::string>& seen = recordedVersions_[v.boot ? 1 : 0];
                if (v.text.empty() || std::find(seen.begin(), seen.end(), v.text) != seen.end())
                    return;
                seen.push_back(v.text);
                if (seen.size() > 4)
                    seen.pop_front();
                recordLimited(Event{e.unixMs, EventKind::Version, latin1ToUtf8(v.text), ""});
            } else if constexpr (std::is_same_v<T, brix::DebugMessage>) {
                if (!v.text.empty())
                    recordLimited(Event{e.unixMs, EventKind::Embedded, latin1ToUtf8(v.text), ""});
            } else if constexpr (std::is_same_v<T, brix::ConsoleError>) {
                if (!v.text.empty())
                    recordLimited(Event{e.unixMs, EventKind::Error, latin1ToUtf8(v.text), ""});
            } else if constexpr (std::is_same_v<T, brix::RequestSent>) {
                record(Event{e.unixMs, kindOf(v.kind), v.text, v.program});
            } else if constexpr (std::is_same_v<T, brix::LinkSilent>) {
                openDown_ = false;
                // The link is down from the last frame heard, not from when that is found
                // out, 10 s later.
                record(Event{v.lastHeardMs, EventKind::LinkDown,
                             "nothing heard from the modem since (10 s and more)", ""});
            } else if constexpr (std::is_same_v<T, brix::LinkHeard>) {
                openDown_ = false;
                record(Event{e.unixMs, EventKind::LinkUp, "the modem answers again", ""});
            } else if constexpr (std::is_same_v<T, brix::LinkGap>) {
                record(Event{v.fromMs, EventKind::Gap, gapText(v), ""});
            } else if constexpr (std::is_same_v<T, brix::ChannelChanged>) {
                recordLimited(Event{e.unixMs, EventKind::ChannelChange, channelChangeText(v), ""});
            }
        },
        e.body);
}

void LinkFeed::run() {
    // Named, so that top -H and a benchmark can tell the feed's share of the CPU.
    ::pthread_setname_np(::pthread_self(), "brix-feed");
    // A link that was owned before the feed subscribed told it before: start from its role now.
    if (brix::linkRole() == brix::LinkRole::Owner)
        startRecording();
    std::vector<brix::LinkEvent> events;
    // Asleep until the link tells something, or a count held back is due to be told.
    auto due = std::chrono::steady_clock::time_point::max();
    while (!stop_) {
        events_.wait(events, due);
        for (const brix::LinkEvent& e : events)
            handle(e);
        due = tellSuppressed(false);
    }
    // What came before the stop is still recorded.
    events_.take(events);
    for (const brix::LinkEvent& e : events)
        handle(e);
    tellSuppressed(true);
}

}  // namespace brix::history
