// A range of the history as people are shown it.
#include "history/history_range.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>
#include <optional>

#include "domain/rates.h"

namespace brix::history {

Millis Record::companionSince(Millis since) const {
    return std::max(since, store.oldest());
}

std::vector<RfRow> Record::rf(Millis since, Millis until, int points) const {
    auto rows = store.rf(since, until, points, second);
    if (companion != nullptr)
        mergeByTime(rows, companion->rf(companionSince(since), until, points));
    return rows;
}

std::vector<StatisticsRow> Record::statistics(Millis since, Millis until, int points) const {
    auto rows = store.statistics(since, until, points, second);
    if (companion != nullptr)
        mergeByTime(rows, companion->statistics(companionSince(since), until, points));
    return rows;
}

std::vector<Event> Record::events(Millis since, Millis until, int limit, bool newest) const {
    auto rows = store.events(since, until, limit, {}, newest);
    if (companion == nullptr)
        return rows;
    mergeByTime(rows, companion->events(companionSince(since), until, limit, {}, newest));
    if (rows.size() > static_cast<std::size_t>(limit)) {
        if (newest)
            rows.erase(rows.begin(), rows.end() - limit);
        else
            rows.resize(static_cast<std::size_t>(limit));
    }
    return rows;
}

std::vector<Event> EventFollower::poll(const Record& record, Millis now) {
    constexpr int kMost = 5000;  // a modem's flood is kept to 20 a second
    const Millis since = now - kLate;
    std::vector<Event> news;
    std::map<Key, int> seen;
    for (Event& e : record.events(since, std::numeric_limits<Millis>::max(), kMost, true)) {
        Key key{e.t, static_cast<int>(e.kind), e.text, e.program};
        const int nth = ++seen[key];
        int& given = given_[std::move(key)];
        if (nth <= given)
            continue;
        given = nth;
        if (primed_ || e.t >= from_)
            news.push_back(std::move(e));
    }
    primed_ = true;
    given_.erase(given_.begin(), given_.lower_bound(Key{since, 0, {}, {}}));
    return news;
}

void readRange(RangeData& d, Store& store, Store& second, Store* companion,
               const std::string& companionPath, int columns) {
    // The two tables side by side, each on a connection of its own: a long range takes the
    // longer of the two, not their sum.
    auto statistics = std::async(std::launch::async,
                                 [&] { return second.statistics(d.since, d.until, columns); });
    d.rf = store.rf(d.since, d.until, columns);
    d.statistics = statistics.get();
    // The list holds the newest; what the summary counts and the shading shows is read whole,
    // however many debug messages a long range holds.
    d.events = store.events(d.since, d.until, kMaxListedEvents, {}, true);
    d.eventCount = store.countEvents(d.since, d.until);
    const std::vector<EventKind> counted = {EventKind::LinkUp, EventKind::LinkDown,
                                            EventKind::Tune,   EventKind::Error,
                                            EventKind::Gap,    EventKind::ChannelChange};
    d.counted = store.events(d.since, d.until, 1'000'000, counted, false);
    if (companion == nullptr)
        return;
    // Only from the time the first store begins (see Record).
    const Millis from = std::max(d.since, store.oldest());
    mergeByTime(d.rf, companion->rf(from, d.until, columns));
    mergeByTime(d.statistics, companion->statistics(from, d.until, columns));
    mergeByTime(d.events, companion->events(from, d.until, kMaxListedEvents, {}, true));
    if (d.events.size() > static_cast<std::size_t>(kMaxListedEvents))
        d.events.erase(d.events.begin(), d.events.end() - kMaxListedEvents);  // the newest
    d.eventCount += companion->countEvents(from, d.until);
    mergeByTime(d.counted, companion->events(from, d.until, 1'000'000, counted, false));
    d.path += " and " + companionPath;
}

std::vector<std::pair<Millis, Millis>> downSpans(const RangeData& d, Millis now) {
    std::vector<std::pair<Millis, Millis>> spans;
    std::optional<Millis> downSince;
    bool first = true;
    for (const Event& e : d.counted) {
        if (e.kind == EventKind::LinkDown) {
            if (!downSince)
                downSince = e.t;
            first = false;
        } else if (e.kind == EventKind::LinkUp) {
            if (downSince)
                spans.emplace_back(*downSince, e.t);
            else if (first)
                spans.emplace_back(d.since, e.t);
            downSince.reset();
            first = false;
        }
    }
    if (downSince)
        spans.emplace_back(*downSince, std::max(*downSince, std::min(d.until, now)));
    return spans;
}

double codeMbps(double code) {
    const long c = std::lround(code);
    return c >= 0 && c < 7 ? codeRateMbps(static_cast<int>(c)).value_or(0) : 0;
}

std::string durationText(Millis ms) {
    const long long s = ms / 1000;
    const auto two = [](long long big, const char* bigUnit, long long small,
                        const char* smallUnit) {
        std::string text = std::to_string(big) + " " + bigUnit;
        if (small != 0)
            text += " " + std::to_string(small) + " " + smallUnit;
        return text;
    };
    if (s < 60)
        return std::to_string(s) + " s";
    if (s < 3600)
        return two(s / 60, "min", s % 60, "s");
    if (s < 86400)
        return two(s / 3600, "h", (s / 60) % 60, "min");
    return two(s / 86400, "d", (s / 3600) % 24, "h");
}

namespace {

std::string counted(long n, const char* one, const char* many) {
    return n == 1 ? std::string("1 ") + one : std::to_string(n) + " " + many;
}

std::string mbps(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

}  // namespace

std::string summaryText(const RangeData& d, Millis now) {
    if (!d.error.empty())
        return "no history to show: " + d.error;
    const auto spans = downSpans(d, now);
    Millis down = 0;
    for (const auto& [from, to] : spans)
        down += to - from;
    std::vector<std::string> parts;
    if (spans.empty())
        parts.emplace_back("link never down");
    else
        parts.push_back("link down " + counted(static_cast<long>(spans.size()), "time", "times") +
                        " for " + durationText(down) + " in all");
    const auto count = [&](EventKind kind) {
        return static_cast<long>(std::count_if(d.counted.begin(), d.counted.end(),
                                               [kind](const Event& e) { return e.kind == kind; }));
    };
    const long retunes = count(EventKind::Tune);
    parts.push_back(retunes == 0 ? std::string("no retune")
                                 : counted(retunes, "retune", "retunes"));
    // Told only when there were some: most ranges have none, and the sentence stays short.
    if (const long changes = count(EventKind::ChannelChange); changes > 0)
        parts.push_back(counted(changes, "channel change", "channel changes"));
    if (const long gaps = count(EventKind::Gap); gaps > 0)
        parts.push_back(counted(gaps, "gap", "gaps"));
    if (const long errors = count(EventKind::Error); errors > 0)
        parts.push_back(counted(errors, "error", "errors"));
    if (d.rf.empty()) {
        parts.emplace_back("no report from the modem");
    } else {
        double slowest = 1e9, fastest = 0;
        for (const RfRow& r : d.rf) {
            slowest = std::min(slowest, codeMbps(r.fields[1][0]));
            fastest = std::max(fastest, codeMbps(r.fields[1][2]));
        }
        parts.push_back(slowest == fastest
                            ? "receive rate " + mbps(fastest) + " Mbit/s"
                            : "receive rate " + mbps(slowest) + " to " + mbps(fastest) + " Mbit/s");
    }
    if (d.eventCount > static_cast<long>(d.events.size()))
        parts.push_back("the newest " + std::to_string(d.events.size()) + " of " +
                        std::to_string(d.eventCount) + " events listed");
    std::string text;
    for (const std::string& p : parts)
        text += (text.empty() ? "" : "; ") + p;
    return text;
}

}  // namespace brix::history
