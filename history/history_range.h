#pragma once
// A range of the history as people are shown it (the History window, the web dashboard): the
// rows of both stores of one record, the spans the link was down, and the summary sentence.

#include <atomic>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "history/history_store.h"

namespace brix::history {

struct RangeData {
    std::string path;   // the store read ("A and B" when a companion's rows are in it)
    std::string error;  // the store could not be read
    Millis since = 0;
    Millis until = 0;
    std::vector<RfRow> rf;
    std::vector<StatisticsRow> statistics;
    std::vector<Event> events;   // for a list and markers: the newest ones
    long eventCount = 0;         // all of the range's events
    std::vector<Event> counted;  // every link up, link down, tune, error, gap, channel change
};

// One record: a store and, when not null, its companion (what a user's program recorded in the
// service's place, or the other way round), read as one list ordered by time. The companion is
// read only from the time the store begins: before it, its rows are the record's own past that
// the store never held, or would be read twice.
struct Record {
    Store& store;
    Store* companion = nullptr;
    Store* second = nullptr;  // another connection to `store`: a long range is read on both

    std::vector<RfRow> rf(Millis since, Millis until, int points) const;
    std::vector<StatisticsRow> statistics(Millis since, Millis until, int points) const;
    // At most `limit` events: the oldest of the range, or the newest when `newest`.
    std::vector<Event> events(Millis since, Millis until, int limit, bool newest) const;

private:
    Millis companionSince(Millis since) const;
};

// The events of a record as they are recorded, for a live list. An event may be written with
// a time before one already given (a link down dates from the last frame heard, found out 10 s
// later; a gap from its start): so each poll reads the last minute again and skips what was
// given of it (counted, as equal rows may repeat).
class EventFollower {
public:
    // Of what the first poll finds, only events from `from` on are news; after it, every event
    // recorded.
    explicit EventFollower(Millis from) : from_(from) {}
    // What was recorded since the last poll, in the store's order.
    std::vector<Event> poll(const Record& record, Millis now);

    // How long after its time an event may be recorded, with room to spare.
    static constexpr Millis kLate = 60'000;

private:
    using Key = std::tuple<Millis, int, std::string, std::string>;
    Millis from_;
    bool primed_ = false;
    std::map<Key, int> given_;
};

// Events listed at most (the newest of the range).
inline constexpr int kMaxListedEvents = 2000;

// Reads [since, until] of `store` (the rates of `second`, a second connection to the same
// store, side by side), about `columns` rows a table, and of `companion` when not null (what a
// user's program recorded in the service's place, or the other way round).
void readRange(RangeData& d, Store& store, Store& second, Store* companion,
               const std::string& companionPath, int columns);

// The spans with the link down: from each link-down to the next link-up, the range's end (or
// `now`, the earlier) when none came. A link-up first means the link was down when the range
// began.
std::vector<std::pair<Millis, Millis>> downSpans(const RangeData& d, Millis now);

// Mbit/s of an RF report's rate code (a mean of codes rounded), 0 for a code without a rate.
double codeMbps(double code);

// "3 min 10 s", "2 h", "1 d 4 h": the two largest units, the second left out when zero.
std::string durationText(Millis ms);

// "link down 2 times for 3 min 10 s in all; 1 retune; receive rate 9.45 Mbit/s": what the
// range holds, after a lead such as "Last 24 hours: ".
std::string summaryText(const RangeData& d, Millis now);

}  // namespace brix::history
