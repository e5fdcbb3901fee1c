// Reading the history store: rows of a range of time, reduced to minimum, mean and maximum per
// slice when there are more than asked for; events; the newest time recorded.
#include <sqlite3.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "history/store_internal.h"

namespace brix::history {
namespace {

// Per-second rates are kept in tenths, as integers: a year of minutes stays small that way.
constexpr double kRateScale = 10.0;

// Streams the rows (t, n, [period_sum], x_min, x_sum, x_max ...) of each source in time order,
// oldest resolution first (the sources hold disjoint spans of time), and folds them into slices
// of `width`. Rows come in rowid order, so no sort is needed however long the range.
struct Slice {
    Millis t = 0;
    long long n = 0;
    double period = 0;
    std::vector<double> mins, sums, maxes;
};

// One source of rows: an aggregate table (t, n, [period_sum], x_min, x_sum, x_max ...), or the
// full-resolution table itself (t, [period], x ...), whose rows are folded here without making
// SQLite compute three columns of each value: a week at full resolution is most of a query.
struct Source {
    std::string select;
    bool raw = false;
};

bool foldRows(sqlite3* db, const std::vector<Source>& sources, int values, bool withPeriod,
              Millis since, Millis until, Millis width, std::vector<Slice>& out, int& code) {
    Millis current = -1;
    std::vector<double> lo(static_cast<std::size_t>(values)), sum(lo), hi(lo);
    for (const Source& source : sources) {
        sqlite3_stmt* q = nullptr;
        const std::string sql = source.select + " WHERE t BETWEEN ?1 AND ?2 ORDER BY t";
        code = sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr);
        if (code != SQLITE_OK)
            return false;
        sqlite3_bind_int64(q, 1, since);
        sqlite3_bind_int64(q, 2, until);
        while ((code = sqlite3_step(q)) == SQLITE_ROW) {
            const Millis t = sqlite3_column_int64(q, 0);
            long long n = 1;
            double period = 0;
            if (source.raw) {
                // A report's rates per second are kept in tenths, as the aggregates keep them.
                // A report's fields are at most 32-bit (its period 16-bit): a crafted store's
                // larger values would overflow the arithmetic below.
                const long long p =
                    withPeriod ? std::clamp<long long>(sqlite3_column_int64(q, 1), 0, 65535) : 0;
                period = static_cast<double>(p);
                const int first = withPeriod ? 2 : 1;
                for (int i = 0; i < values; ++i) {
                    const auto k = static_cast<std::size_t>(i);
                    const long long v =
                        std::clamp<long long>(sqlite3_column_int64(q, first + i), 0, 0xFFFFFFFFLL);
                    sum[k] = static_cast<double>(v);
                    if (!withPeriod) {
                        lo[k] = hi[k] = static_cast<double>(v);
                    } else {
                        // Down and up, as the aggregates keep them (statisticsRawAsAggregate).
                        lo[k] = p > 0 ? static_cast<double>(v * 1000 / p) : 0;
                        hi[k] = p > 0 ? static_cast<double>((v * 1000 + p - 1) / p) : 0;
                    }
                }
            } else {
                n = std::clamp<long long>(sqlite3_column_int64(q, 1), 0, 1LL << 40);
                if (withPeriod)
                    period = sqlite3_column_double(q, 2);
                const int first = withPeriod ? 3 : 2;
                for (int i = 0; i < values; ++i) {
                    const auto k = static_cast<std::size_t>(i);
                    lo[k] = sqlite3_column_double(q, first + 3 * i);
                    sum[k] = sqlite3_column_double(q, first + 3 * i + 1);
                    hi[k] = sqlite3_column_double(q, first + 3 * i + 2);
                }
            }
            const Millis slice = (t - since) / width;
            if (out.empty() || slice != current) {
                current = slice;
                Slice s;
                s.t = t;
                s.mins.assign(static_cast<std::size_t>(values), 0);
                s.sums.assign(static_cast<std::size_t>(values), 0);
                s.maxes.assign(static_cast<std::size_t>(values), 0);
                out.push_back(std::move(s));
            }
            Slice& s = out.back();
            const bool fresh = s.n == 0;
            s.n += n;
            s.period += period;
            for (std::size_t k = 0; k < static_cast<std::size_t>(values); ++k) {
                s.sums[k] += sum[k];
                s.mins[k] = fresh ? lo[k] : std::min(s.mins[k], lo[k]);
                s.maxes[k] = fresh ? hi[k] : std::max(s.maxes[k], hi[k]);
            }
        }
        sqlite3_finalize(q);
        if (code != SQLITE_DONE)
            return false;
    }
    code = SQLITE_OK;
    return true;
}

// The slices a range is read in: each row its own while the range holds no more than
// `maxRows` rows in `tables` (every row it keeps, at the resolution it keeps them), else about
// `maxRows` slices of equal length.
Millis sliceWidth(sqlite3* db, std::initializer_list<const char*> tables, Millis since,
                  Millis until, int maxRows, long long& rows) {
    rows = 0;
    for (const char* table : tables) {
        sqlite3_stmt* q = nullptr;
        const std::string sql =
            std::string("SELECT count(*) FROM ") + table + " WHERE t BETWEEN ?1 AND ?2";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr) == SQLITE_OK) {
            sqlite3_bind_int64(q, 1, since);
            sqlite3_bind_int64(q, 2, until);
            if (sqlite3_step(q) == SQLITE_ROW)
                rows += sqlite3_column_int64(q, 0);
        }
        sqlite3_finalize(q);
    }
    if (rows <= maxRows)
        return 1;
    return std::max<Millis>(1, (until - since) / std::max(1, maxRows) + 1);
}

// Folds [since, until] of `tables` into about `maxRows` slices; a long range in two halves side
// by side when `other` (a second connection to the store) is given: a week at full resolution
// is 200,000 rows a table, and two cores read it in about half the time.
bool foldRange(sqlite3* db, sqlite3* other, std::initializer_list<const char*> tables,
               const std::vector<Source>& sources, int values, bool withPeriod, Millis since,
               Millis until, int maxRows, std::vector<Slice>& out, int& code) {
    long long rows = 0;
    const Millis width = sliceWidth(db, tables, since, until, maxRows, rows);
    constexpr long long kWorthSplitting = 20000;
    if (other == nullptr || rows < kWorthSplitting || until - since < 2 * width)
        return foldRows(db, sources, values, withPeriod, since, until, width, out, code);
    // On a slice's edge, so that no slice is cut in two.
    const Millis middle = since + (until - since) / width / 2 * width;
    std::vector<Slice> later;
    int laterCode = SQLITE_OK;
    auto second = std::async(std::launch::async, [&] {
        return foldRows(other, sources, values, withPeriod, middle, until, width, later, laterCode);
    });
    const bool first =
        foldRows(db, sources, values, withPeriod, since, middle - 1, width, out, code);
    if (!second.get()) {
        code = laterCode;
        return false;
    }
    if (!first)
        return false;
    out.insert(out.end(), std::make_move_iterator(later.begin()),
               std::make_move_iterator(later.end()));
    return true;
}

}  // namespace

namespace {

// A value read from a store, kept within what a report can hold (a crafted store holds
// anything, 1e308 or NaN among it).
double bounded(double v, double most) {
    return v >= 0 && v <= most ? v : (v > most ? most : 0);
}

}  // namespace

std::vector<RfRow> Store::rf(Millis since, Millis until, int maxRows) {
    return rf(since, until, maxRows, nullptr);
}

std::vector<RfRow> Store::rf(Millis since, Millis until, int maxRows, Store* other) {
    std::vector<RfRow> out;
    std::vector<Slice> slices;
    std::string raw = "SELECT t";
    for (const char* field : kRfFields)
        raw += std::string(", ") + field;
    if (!foldRange(db_, other != nullptr ? other->db_ : nullptr, {"rf_hour", "rf_minute", "rf"},
                   {{rfAggregate("rf_hour")}, {rfAggregate("rf_minute")}, {raw + " FROM rf", true}},
                   5, false, since, until, maxRows, slices, lastCode_))
        return out;
    out.reserve(slices.size());
    for (const Slice& s : slices) {
        RfRow r;
        r.t = s.t;
        r.samples = static_cast<int>(s.n);
        const double n = static_cast<double>(std::max<long long>(1, s.n));
        // A report's fields are 16-bit: whatever a store holds, nothing else is shown.
        for (std::size_t i = 0; i < 5; ++i)
            r.fields[i] = {bounded(s.mins[i], 65535), bounded(s.sums[i] / n, 65535),
                           bounded(s.maxes[i], 65535)};
        out.push_back(r);
    }
    return out;
}

std::vector<StatisticsRow> Store::statistics(Millis since, Millis until, int maxRows) {
    return statistics(since, until, maxRows, nullptr);
}

std::vector<StatisticsRow> Store::statistics(Millis since, Millis until, int maxRows,
                                             Store* other) {
    std::vector<StatisticsRow> out;
    std::vector<Slice> slices;
    std::string raw = "SELECT t, period";
    for (int i = 0; i < kCounts; ++i)
        raw += ", c" + std::to_string(i);
    if (!foldRange(db_, other != nullptr ? other->db_ : nullptr,
                   {"statistics_hour", "statistics_minute", "statistics"},
                   {{statisticsAggregate("statistics_hour")},
                    {statisticsAggregate("statistics_minute")},
                    {raw + " FROM statistics", true}},
                   kCounts, true, since, until, maxRows, slices, lastCode_))
        return out;
    out.reserve(slices.size());
    for (const Slice& s : slices) {
        StatisticsRow r;
        r.t = s.t;
        r.reports = static_cast<int>(s.n);
        r.seconds = s.period / 100.0;
        // Counts are 32-bit over periods of a tenth of a second or more.
        constexpr double kMaxCount = 4294967295.0;
        const double reports = static_cast<double>(std::max<long long>(1, s.n));
        for (std::size_t k = 0; k < kCounts; ++k) {
            r.totals[k] = bounded(s.sums[k], kMaxCount * reports);
            r.rates[k] = {bounded(s.mins[k] / kRateScale, kMaxCount * 10),
                          bounded(r.seconds > 0 ? s.sums[k] / r.seconds : 0, kMaxCount * 10),
                          bounded(s.maxes[k] / kRateScale, kMaxCount * 10)};
        }
        out.push_back(r);
    }
    return out;
}

std::vector<Event> Store::events(Millis since, Millis until, int maxRows) {
    return events(since, until, maxRows, {}, false);
}

std::vector<Event> Store::events(Millis since, Millis until, int maxRows,
                                 const std::vector<EventKind>& kinds, bool newest) {
    std::vector<Event> out;
    // Texts as long as a writer ever makes them: a crafted store's huge one is cut in the query.
    std::string sql = "SELECT t, kind, substr(text, 1, " + std::to_string(kMaxEventText) +
                      "), substr(program, 1, 64) FROM events WHERE t BETWEEN ?1 AND ?2";
    if (!kinds.empty()) {
        sql += " AND kind IN (";
        for (std::size_t i = 0; i < kinds.size(); ++i)
            sql += (i ? ", " : "") + std::to_string(static_cast<int>(kinds[i]));
        sql += ")";
    }
    sql += newest ? " ORDER BY t DESC, rowid DESC LIMIT ?3" : " ORDER BY t, rowid LIMIT ?3";
    sqlite3_stmt* q = nullptr;
    lastCode_ = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q, nullptr);
    if (lastCode_ != SQLITE_OK)
        return out;
    sqlite3_bind_int64(q, 1, since);
    sqlite3_bind_int64(q, 2, until);
    sqlite3_bind_int(q, 3, std::max(1, maxRows));
    while (sqlite3_step(q) == SQLITE_ROW) {
        Event e;
        e.t = sqlite3_column_int64(q, 0);
        e.kind = static_cast<EventKind>(sqlite3_column_int(q, 1));
        const auto* text = sqlite3_column_text(q, 2);
        const auto* program = sqlite3_column_text(q, 3);
        e.text = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        e.program = program != nullptr ? reinterpret_cast<const char*>(program) : "";
        out.push_back(std::move(e));
    }
    sqlite3_finalize(q);
    if (newest)
        std::reverse(out.begin(), out.end());
    return out;
}

long Store::countEvents(Millis since, Millis until) {
    sqlite3_stmt* q = nullptr;
    long n = 0;
    if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM events WHERE t BETWEEN ?1 AND ?2", -1, &q,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(q, 1, since);
        sqlite3_bind_int64(q, 2, until);
        if (sqlite3_step(q) == SQLITE_ROW)
            n = static_cast<long>(sqlite3_column_int64(q, 0));
    }
    sqlite3_finalize(q);
    return n;
}

// The earliest or latest time of every table, by `aggregate` ("min" or "max"); 0 when none.
Millis Store::timeBound(const char* aggregate) {
    std::string sql = std::string("SELECT ") + aggregate + "(m) FROM (";
    const char* const tables[] = {"rf", "statistics", "events", "rf_minute", "rf_hour"};
    for (const char* table : tables)
        sql += std::string(table == tables[0] ? "" : " UNION ALL ") + "SELECT " + aggregate +
               "(t) AS m FROM " + table;
    sql += ")";
    sqlite3_stmt* q = nullptr;
    Millis t = 0;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
        t = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    return t;
}

Millis Store::oldest() {
    return timeBound("min");
}

Millis Store::newest() {
    return timeBound("max");
}

}  // namespace brix::history
