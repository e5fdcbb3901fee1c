// Consolidation: full resolution older than a week into minutes, minutes older than 90 days
// into hours, and nothing beyond five years; a bounded amount of work a call.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "history/history_store.h"
#include "history/store_internal.h"

namespace brix::history {
namespace {

// The rows of a raw RF table as aggregate rows (n 1, min = sum = max).
std::string rfRawAsAggregate() {
    std::string s = "SELECT t, 1 AS n";
    for (int i = 0; i < 5; ++i)
        for (const char* part : {"_min", "_sum", "_max"})
            s += std::string(", ") + kRfFields[i] + " AS f" + std::to_string(i) + part;
    return s + " FROM rf";
}

// A statistics report's rates per second (thousandths) as its min and max; its count as sum.
std::string statisticsRawAsAggregate() {
    std::string s = "SELECT t, 1 AS n, period AS period_sum";
    for (int i = 0; i < kCounts; ++i) {
        const std::string c = "c" + std::to_string(i);
        // Tenths per second, rounded down for the minimum and up for the maximum, so that the
        // exact mean always lies between them.
        const std::string low = "(" + c + " * 1000 / period)";
        const std::string high = "((" + c + " * 1000 + period - 1) / period)";
        s += ", " + low + " AS " + c + "_min, " + c + " AS " + c + "_sum, " + high + " AS " + c +
             "_max";
    }
    return s + " FROM statistics";
}

// The grouped select over `source` rows (t, n, [period_sum], x_min, x_sum, x_max...): per
// bucket, min of mins, sum of sums and counts, max of maxes.
std::string groupedColumns(const char* prefix, int count, bool withPeriod) {
    std::string s = "min(t), sum(n)";
    if (withPeriod)
        s += ", sum(period_sum)";
    for (int i = 0; i < count; ++i) {
        const std::string c = prefix + std::to_string(i);
        s += ", min(" + c + "_min), sum(" + c + "_sum), max(" + c + "_max)";
    }
    return s;
}

// Runs `sql` with ?1 bound to `end`; false with the SQLite code in `code` when it fails.
bool runBefore(sqlite3* db, const std::string& sql, Millis end, int& code) {
    sqlite3_stmt* q = nullptr;
    code = sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr);
    if (code != SQLITE_OK)
        return false;
    sqlite3_bind_int64(q, 1, end);
    code = sqlite3_step(q);
    sqlite3_finalize(q);
    if (code != SQLITE_DONE)
        return false;
    code = SQLITE_OK;
    return true;
}

// Moves rows of `from` older than `cutoff` (at most `span` of time from the oldest) into the
// buckets of `bucket` ms in `to`; returns the rows moved, or -1.
long moveOlder(sqlite3* db, const std::string& fromSelect, const char* from, const char* to,
               const char* prefix, int count, bool withPeriod, Millis cutoff, Millis bucket,
               Millis span, int& code) {
    sqlite3_stmt* q = nullptr;
    const std::string oldest = std::string("SELECT min(t) FROM ") + from;
    code = sqlite3_prepare_v2(db, oldest.c_str(), -1, &q, nullptr);
    if (code != SQLITE_OK)
        return -1;
    Millis first = 0;
    bool any = false;
    if (sqlite3_step(q) == SQLITE_ROW && sqlite3_column_type(q, 0) != SQLITE_NULL) {
        first = sqlite3_column_int64(q, 0);
        any = true;
    }
    sqlite3_finalize(q);
    if (!any || first >= cutoff)
        return 0;
    // Whole buckets only, so that a bucket is never split over two calls.
    Millis end = std::min(cutoff, first + span);
    end -= ((end % bucket) + bucket) % bucket;
    if (end <= first)
        end = first - ((first % bucket) + bucket) % bucket + bucket;
    if (end > cutoff)
        return 0;  // the oldest bucket is not wholly old enough yet

    std::string columns = "t, n";
    if (withPeriod)
        columns += ", period_sum";
    std::string updates = "n = n + excluded.n";
    if (withPeriod)
        updates += ", period_sum = period_sum + excluded.period_sum";
    for (int i = 0; i < count; ++i) {
        const std::string c = prefix + std::to_string(i);
        columns += ", " + c + "_min, " + c + "_sum, " + c + "_max";
        updates += ", " + c + "_min = min(" + c + "_min, excluded." + c + "_min), " + c +
                   "_sum = " + c + "_sum + excluded." + c + "_sum, " + c + "_max = max(" + c +
                   "_max, excluded." + c + "_max)";
    }
    std::string grouped = groupedColumns(prefix, count, withPeriod);
    grouped.replace(0, std::strlen("min(t)"),
                    "(t / " + std::to_string(bucket) + ") * " + std::to_string(bucket));
    const std::string insert = std::string("INSERT INTO ") + to + "(" + columns + ") SELECT " +
                               grouped + " FROM (" + fromSelect + " WHERE t < ?1) GROUP BY 1" +
                               " ON CONFLICT(t) DO UPDATE SET " + updates;
    const std::string drop = std::string("DELETE FROM ") + from + " WHERE t < ?1";
    if (!runBefore(db, insert, end, code) || !runBefore(db, drop, end, code))
        return -1;
    return std::max(1, sqlite3_changes(db));
}

// The time from which `table` keeps its newest `keep` rows: the oldest kept row's; `fallback`
// when it holds no more.
Millis keepNewest(sqlite3* db, const char* table, long keep, Millis fallback) {
    sqlite3_stmt* q = nullptr;
    const std::string sql =
        std::string("SELECT t FROM ") + table + " ORDER BY t DESC LIMIT 1 OFFSET ?1";
    Millis t = fallback;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(q, 1, keep - 1);
        if (sqlite3_step(q) == SQLITE_ROW)
            t = std::max<Millis>(fallback, sqlite3_column_int64(q, 0));
    }
    sqlite3_finalize(q);
    return t;
}

long countRows(sqlite3* db, const char* table) {
    sqlite3_stmt* q = nullptr;
    long n = 0;
    if (sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &q,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
        n = static_cast<long>(sqlite3_column_int64(q, 0));
    sqlite3_finalize(q);
    return n;
}

}  // namespace

long Store::consolidate(Millis now, long maxRows) {
    // Spans of time per call that hold about maxRows reports (one every 3 s at most).
    const Millis rawSpan = std::max<Millis>(kHour, maxRows * 3 * kSecond);
    const Millis minuteSpan = std::max<Millis>(kDay, maxRows * kMinute);
    long done = 0;
    struct Step {
        std::string select;
        const char* from;
        const char* to;
        const char* prefix;
        int count;
        bool period;
        Millis cutoff, bucket, span;
    };
    // A week at full resolution, or fewer rows when a flood brought more: the oldest go into
    // their minutes first.
    const Millis week = now - kFullResolutionKept;
    const Step steps[] = {
        {rfRawAsAggregate(), "rf", "rf_minute", "f", 5, false,
         keepNewest(db_, "rf", kMaxFullResolutionRows, week), kMinute, rawSpan},
        {statisticsRawAsAggregate(), "statistics", "statistics_minute", "c", kCounts, true,
         keepNewest(db_, "statistics", kMaxFullResolutionRows, week), kMinute, rawSpan},
        {rfAggregate("rf_minute"), "rf_minute", "rf_hour", "f", 5, false, now - kMinutesKept, kHour,
         minuteSpan},
        {statisticsAggregate("statistics_minute"), "statistics_minute", "statistics_hour", "c",
         kCounts, true, now - kMinutesKept, kHour, minuteSpan},
    };
    if (!begin())
        return -1;
    for (const Step& s : steps) {
        const long moved = moveOlder(db_, s.select, s.from, s.to, s.prefix, s.count, s.period,
                                     s.cutoff, s.bucket, s.span, lastCode_);
        if (moved < 0) {
            rollback();
            return -1;
        }
        done += moved;
    }
    // Beyond five years nothing is kept; the Console's lines and debug messages only for the
    // minutes' 90 days, since a chatty modem could otherwise fill the store with them.
    const std::string prune = "DELETE FROM rf_hour WHERE t < " + std::to_string(now - kHoursKept) +
                              "; DELETE FROM statistics_hour WHERE t < " +
                              std::to_string(now - kHoursKept) + "; DELETE FROM events WHERE t < " +
                              std::to_string(now - kHoursKept) + " OR (t < " +
                              std::to_string(now - kMinutesKept) + " AND kind IN (" +
                              std::to_string(static_cast<int>(EventKind::Error)) + ", " +
                              std::to_string(static_cast<int>(EventKind::Embedded)) + "))";
    if (!exec(prune.c_str())) {
        rollback();
        return -1;
    }
    done += sqlite3_changes(db_);
    // Events beyond their bound: the oldest of the modem's messages and errors first, then the
    // oldest of any kind.
    for (const char* which : {"kind IN (3, 4)", "1"}) {
        const long over = std::min(countRows(db_, "events") - kMaxEvents, maxRows);
        if (over <= 0)
            break;
        const std::string trim =
            std::string("DELETE FROM events WHERE rowid IN (SELECT rowid FROM events WHERE ") +
            which + " ORDER BY t, rowid LIMIT " + std::to_string(over) + ")";
        if (!exec(trim.c_str())) {
            rollback();
            return -1;
        }
        done += sqlite3_changes(db_);
    }
    if (!commit()) {
        rollback();
        return -1;
    }
    return done;
}

}  // namespace brix::history
