#include "history/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace brix::history {
namespace {

constexpr int kSchemaVersion = 1;
constexpr const char* kRfFields[5] = {"rx_frequency", "rx_rate_code", "tx_frequency",
                                      "tx_rate_code", "attenuation"};
// Per-second rates are kept in tenths, as integers: a year of minutes stays small that way.
constexpr double kRateScale = 10.0;

// Aggregate columns of one value: f_min, f_sum, f_max.
std::string aggregateColumns(const char* prefix, int count, const char* type = "INTEGER") {
    std::string out;
    for (int i = 0; i < count; ++i) {
        for (const char* part : {"_min", "_sum", "_max"})
            out += std::string(", ") + prefix + std::to_string(i) + part + " " + type;
    }
    return out;
}

std::string schema() {
    std::string s =
        "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
        "CREATE TABLE IF NOT EXISTS rf(t INTEGER PRIMARY KEY, rx_frequency INTEGER,"
        " rx_rate_code INTEGER, tx_frequency INTEGER, tx_rate_code INTEGER, attenuation INTEGER);"
        "CREATE TABLE IF NOT EXISTS statistics(t INTEGER PRIMARY KEY, period INTEGER";
    for (int i = 0; i < kCounts; ++i)
        s += ", c" + std::to_string(i) + " INTEGER";
    s += ");";
    for (const char* table : {"rf_minute", "rf_hour"})
        s += std::string("CREATE TABLE IF NOT EXISTS ") + table +
             "(t INTEGER PRIMARY KEY, n INTEGER" + aggregateColumns("f", 5) + ");";
    for (const char* table : {"statistics_minute", "statistics_hour"})
        s += std::string("CREATE TABLE IF NOT EXISTS ") + table +
             "(t INTEGER PRIMARY KEY, n INTEGER, period_sum INTEGER" +
             aggregateColumns("c", kCounts) + ");";
    s += "CREATE TABLE IF NOT EXISTS events(t INTEGER NOT NULL, kind INTEGER NOT NULL,"
         " text TEXT NOT NULL, program TEXT NOT NULL);"
         "CREATE INDEX IF NOT EXISTS events_t ON events(t);";
    return s;
}

// The rows of a raw RF table as aggregate rows (n 1, min = sum = max).
std::string rfRawAsAggregate() {
    std::string s = "SELECT t, 1 AS n";
    for (int i = 0; i < 5; ++i)
        for (const char* part : {"_min", "_sum", "_max"})
            s += std::string(", ") + kRfFields[i] + " AS f" + std::to_string(i) + part;
    return s + " FROM rf";
}

std::string rfAggregate(const char* table) {
    std::string s = "SELECT t, n";
    for (int i = 0; i < 5; ++i)
        for (const char* part : {"_min", "_sum", "_max"})
            s += ", f" + std::to_string(i) + part;
    return s + " FROM " + table;
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

std::string statisticsAggregate(const char* table) {
    std::string s = "SELECT t, n, period_sum";
    for (int i = 0; i < kCounts; ++i)
        for (const char* part : {"_min", "_sum", "_max"})
            s += ", c" + std::to_string(i) + part;
    return s + " FROM " + table;
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

// SQLITE_OK when SQLite can read the file as a database (a file it cannot fails here, not at
// open), else the code: SQLITE_NOTADB or SQLITE_CORRUPT for a damaged one.
int readable(sqlite3* db) {
    sqlite3_stmt* q = nullptr;
    int code = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &q, nullptr);
    if (code == SQLITE_OK) {
        code = sqlite3_step(q);
        code = code == SQLITE_ROW ? SQLITE_OK : code;
    }
    sqlite3_finalize(q);
    return code;
}

// A database with tables but none of ours is another program's: never written, never set aside.
bool foreign(sqlite3* db) {
    sqlite3_stmt* q = nullptr;
    bool other = false;
    if (sqlite3_prepare_v2(db,
                           "SELECT count(*), sum(name = 'meta') FROM sqlite_master WHERE "
                           "type = 'table'",
                           -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
        other = sqlite3_column_int(q, 0) > 0 && sqlite3_column_int(q, 1) == 0;
    sqlite3_finalize(q);
    return other;
}

// "file:" URI of `path`, for opening a store read-only without its side files.
std::string immutableUri(const std::string& path) {
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            uri += hex;
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

std::string dateStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

sqlite3* openConnection(const std::string& path, bool readOnly, std::string& error) {
    sqlite3* db = nullptr;
    const int flags =
        readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        error = path + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    // Another program's writer may hold the lock for a moment: wait that long, not forever.
    sqlite3_busy_timeout(db, 200);
    return db;
}

}  // namespace

const char* eventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::LinkUp:
            return "link-up";
        case EventKind::LinkDown:
            return "link-down";
        case EventKind::Error:
            return "error";
        case EventKind::Embedded:
            return "debug";
        case EventKind::Version:
            return "version";
        case EventKind::Tune:
            return "tune";
        case EventKind::TableSet:
            return "table-set";
        case EventKind::ScannerSet:
            return "scanner-set";
        case EventKind::Gap:
            return "gap";
        case EventKind::ChannelChange:
            return "channel-change";
    }
    return "unknown";
}

std::optional<EventKind> eventKindFromName(const std::string& name) {
    for (int k = 1; k <= static_cast<int>(EventKind::ChannelChange); ++k) {
        if (name == eventKindName(static_cast<EventKind>(k)))
            return static_cast<EventKind>(k);
    }
    return std::nullopt;
}

Store::Store(sqlite3* db) : db_(db) {}

Store::~Store() {
    sqlite3_finalize(addRf_);
    sqlite3_finalize(addStatistics_);
    sqlite3_finalize(addEvent_);
    sqlite3_close(db_);
}

std::unique_ptr<Store> Store::open(const std::string& path, bool readOnly, std::string& error,
                                   bool setAsideDamaged) {
    error.clear();
    // A FIFO would block the open for good, a device or a folder is no store at all.
    struct stat info {};
    const bool exists = ::lstat(path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return nullptr;
    }
    if (readOnly && !exists && errno == ENOENT) {
        error = path + ": no such file (nothing has been recorded there)";
        return nullptr;
    }
    sqlite3* db = openConnection(path, readOnly, error);
    if (db == nullptr)
        return nullptr;
    int code = readable(db);
    if (code != SQLITE_OK && readOnly && (code == SQLITE_READONLY || code == SQLITE_CANTOPEN) &&
        ::access((path + "-wal").c_str(), F_OK) != 0) {
        // A reader that may not write the store's folder cannot make the side file a store in
        // WAL mode wants; with no writer at work (no -wal file) it may read the file as it is.
        sqlite3_close(db);
        db = nullptr;
        if (sqlite3_open_v2(immutableUri(path).c_str(), &db,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW,
                            nullptr) == SQLITE_OK)
            code = readable(db);
    }
    if (code == SQLITE_OK && foreign(db)) {
        sqlite3_close(db);
        error = path + ": a database of another program, not a history: left as it is";
        return nullptr;
    }
    if (code != SQLITE_OK) {
        const std::string why = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
        sqlite3_close(db);
        // Only a file that is no database, or a damaged one, is set aside; a store that cannot
        // be read for another reason (permissions, a lock) is left alone.
        const bool damaged = (code & 0xff) == SQLITE_NOTADB || (code & 0xff) == SQLITE_CORRUPT;
        if (readOnly || !setAsideDamaged || !damaged) {
            error = path + ": " + why;
            return nullptr;
        }
        // Set aside, never deleted: the user may want what it still holds.
        const std::string aside = path + ".damaged-" + dateStamp();
        if (::rename(path.c_str(), aside.c_str()) != 0) {
            error = path + ": " + why + "; cannot set it aside: " + std::strerror(errno);
            return nullptr;
        }
        for (const char* suffix : {"-wal", "-shm"})
            ::unlink((path + suffix).c_str());
        db = openConnection(path, readOnly, error);
        if (db == nullptr)
            return nullptr;
        error = path + ": " + why + "; set aside as " + aside + ", a new history started";
    }
    std::unique_ptr<Store> store(new Store(db));
    if (readOnly)
        return store;
    const std::string notice = error;
    if (!store->exec("PRAGMA journal_mode=WAL") || !store->exec("PRAGMA synchronous=NORMAL") ||
        !store->exec(schema().c_str()) || !store->prepareWrites()) {
        error = path + ": " + store->lastError();
        return nullptr;
    }
    const std::string version =
        "INSERT OR IGNORE INTO meta VALUES('schema', " + std::to_string(kSchemaVersion) + ")";
    store->exec(version.c_str());
    error = notice;
    return store;
}

bool Store::exec(const char* sql) {
    lastCode_ = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return lastCode_ == SQLITE_OK;
}

bool Store::prepareWrites() {
    std::string statistics = "INSERT OR REPLACE INTO statistics VALUES(?1, ?2";
    for (int i = 0; i < kCounts; ++i)
        statistics += ", ?" + std::to_string(i + 3);
    statistics += ")";
    lastCode_ = sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO rf VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                                   -1, &addRf_, nullptr);
    if (lastCode_ == SQLITE_OK)
        lastCode_ = sqlite3_prepare_v2(db_, statistics.c_str(), -1, &addStatistics_, nullptr);
    if (lastCode_ == SQLITE_OK)
        lastCode_ = sqlite3_prepare_v2(db_, "INSERT INTO events VALUES(?1, ?2, ?3, ?4)", -1,
                                       &addEvent_, nullptr);
    return lastCode_ == SQLITE_OK;
}

bool Store::begin() {
    return exec("BEGIN IMMEDIATE");
}

bool Store::commit() {
    return exec("COMMIT");
}

void Store::rollback() {
    const int code = lastCode_;
    if (!sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    lastCode_ = code;  // the failure that led here is the one to tell
}

namespace {
bool stepOnce(sqlite3_stmt* q, int& code) {
    code = sqlite3_step(q);
    sqlite3_reset(q);
    sqlite3_clear_bindings(q);
    if (code == SQLITE_DONE) {
        code = SQLITE_OK;
        return true;
    }
    return false;
}
}  // namespace

bool Store::add(const RfSample& s) {
    if (addRf_ == nullptr)
        return false;
    sqlite3_bind_int64(addRf_, 1, s.t);
    const std::uint16_t v[5] = {s.rxFrequency, s.rxRateCode, s.txFrequency, s.txRateCode,
                                s.attenuation};
    for (int i = 0; i < 5; ++i)
        sqlite3_bind_int(addRf_, i + 2, v[i]);
    return stepOnce(addRf_, lastCode_);
}

bool Store::add(const StatisticsSample& s) {
    if (addStatistics_ == nullptr || s.period == 0)
        return false;
    sqlite3_bind_int64(addStatistics_, 1, s.t);
    sqlite3_bind_int(addStatistics_, 2, s.period);
    for (int i = 0; i < kCounts; ++i)
        sqlite3_bind_int64(addStatistics_, i + 3, s.counts[static_cast<std::size_t>(i)]);
    return stepOnce(addStatistics_, lastCode_);
}

bool Store::add(const Event& e) {
    if (addEvent_ == nullptr)
        return false;
    sqlite3_bind_int64(addEvent_, 1, e.t);
    sqlite3_bind_int(addEvent_, 2, static_cast<int>(e.kind));
    const std::string text = e.text.substr(0, kMaxEventText);
    const std::string program = e.program.substr(0, 64);
    sqlite3_bind_text(addEvent_, 3, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(addEvent_, 4, program.c_str(), static_cast<int>(program.size()),
                      SQLITE_TRANSIENT);
    return stepOnce(addEvent_, lastCode_);
}

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
    const Step steps[] = {
        {rfRawAsAggregate(), "rf", "rf_minute", "f", 5, false, now - kFullResolutionKept, kMinute,
         rawSpan},
        {statisticsRawAsAggregate(), "statistics", "statistics_minute", "c", kCounts, true,
         now - kFullResolutionKept, kMinute, rawSpan},
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
    if (!commit()) {
        rollback();
        return -1;
    }
    return done;
}

namespace {

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
                const long long p = withPeriod ? sqlite3_column_int64(q, 1) : 0;
                period = static_cast<double>(p);
                const int first = withPeriod ? 2 : 1;
                for (int i = 0; i < values; ++i) {
                    const auto k = static_cast<std::size_t>(i);
                    const long long v = sqlite3_column_int64(q, first + i);
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
                n = sqlite3_column_int64(q, 1);
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

Millis sliceWidth(Millis since, Millis until, int maxRows) {
    return std::max<Millis>(1, (until - since) / std::max(1, maxRows) + 1);
}

}  // namespace

std::vector<RfRow> Store::rf(Millis since, Millis until, int maxRows) {
    std::vector<RfRow> out;
    std::vector<Slice> slices;
    std::string raw = "SELECT t";
    for (const char* field : kRfFields)
        raw += std::string(", ") + field;
    if (!foldRows(db_,
                  {{rfAggregate("rf_hour")}, {rfAggregate("rf_minute")}, {raw + " FROM rf", true}},
                  5, false, since, until, sliceWidth(since, until, maxRows), slices, lastCode_))
        return out;
    out.reserve(slices.size());
    for (const Slice& s : slices) {
        RfRow r;
        r.t = s.t;
        r.samples = static_cast<int>(s.n);
        const double n = static_cast<double>(std::max<long long>(1, s.n));
        for (std::size_t i = 0; i < 5; ++i)
            r.fields[i] = {s.mins[i], s.sums[i] / n, s.maxes[i]};
        out.push_back(r);
    }
    return out;
}

std::vector<StatisticsRow> Store::statistics(Millis since, Millis until, int maxRows) {
    std::vector<StatisticsRow> out;
    std::vector<Slice> slices;
    std::string raw = "SELECT t, period";
    for (int i = 0; i < kCounts; ++i)
        raw += ", c" + std::to_string(i);
    if (!foldRows(db_,
                  {{statisticsAggregate("statistics_hour")},
                   {statisticsAggregate("statistics_minute")},
                   {raw + " FROM statistics", true}},
                  kCounts, true, since, until, sliceWidth(since, until, maxRows), slices,
                  lastCode_))
        return out;
    out.reserve(slices.size());
    for (const Slice& s : slices) {
        StatisticsRow r;
        r.t = s.t;
        r.reports = static_cast<int>(s.n);
        r.seconds = s.period / 100.0;
        for (std::size_t k = 0; k < kCounts; ++k) {
            r.totals[k] = s.sums[k];
            r.rates[k] = {s.mins[k] / kRateScale, r.seconds > 0 ? s.sums[k] / r.seconds : 0,
                          s.maxes[k] / kRateScale};
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
    std::string sql = "SELECT t, kind, text, program FROM events WHERE t BETWEEN ?1 AND ?2";
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

Millis Store::newest() {
    sqlite3_stmt* q = nullptr;
    Millis t = 0;
    if (sqlite3_prepare_v2(db_,
                           "SELECT max(m) FROM (SELECT max(t) AS m FROM rf UNION ALL SELECT max(t) "
                           "FROM statistics UNION ALL SELECT max(t) FROM events UNION ALL SELECT "
                           "max(t) FROM rf_minute UNION ALL SELECT max(t) FROM rf_hour)",
                           -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
        t = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    return t;
}

std::string Store::lastError() const {
    return sqlite3_errstr(lastCode_) + std::string(lastCode_ == SQLITE_OK ? "" : "");
}

bool Store::lastFailureWasFullDisk() const {
    return (lastCode_ & 0xff) == SQLITE_FULL || (lastCode_ & 0xff) == SQLITE_IOERR;
}

std::string defaultStorePath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/brixtool/history.sqlite3";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/brixtool/history.sqlite3";
    return {};
}

bool makeParentFolders(const std::string& path, std::string& error) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string folder = path.substr(0, at);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            error = folder + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace brix::history
