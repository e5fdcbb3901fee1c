// The history store's file: its tables, opening it (read-only or to write), what is no store
// of ours, and setting a damaged one aside.
#include "history/history_store.h"

#include <glob.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "history/store_internal.h"

namespace brix::history {
namespace {

constexpr int kSchemaVersion = 1;

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

// The columns each table of ours has, in order.
std::vector<std::pair<std::string, std::vector<std::string>>> expectedTables() {
    const auto aggregates = [](const char* prefix, int count) {
        std::vector<std::string> out;
        for (int i = 0; i < count; ++i)
            for (const char* part : {"_min", "_sum", "_max"})
                out.push_back(prefix + std::to_string(i) + part);
        return out;
    };
    const auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    std::vector<std::string> statistics = {"t", "period"};
    for (int i = 0; i < kCounts; ++i)
        statistics.push_back("c" + std::to_string(i));
    return {
        {"meta", {"key", "value"}},
        {"rf",
         {"t", "rx_frequency", "rx_rate_code", "tx_frequency", "tx_rate_code", "attenuation"}},
        {"statistics", statistics},
        {"rf_minute", join({"t", "n"}, aggregates("f", 5))},
        {"rf_hour", join({"t", "n"}, aggregates("f", 5))},
        {"statistics_minute", join({"t", "n", "period_sum"}, aggregates("c", kCounts))},
        {"statistics_hour", join({"t", "n", "period_sum"}, aggregates("c", kCounts))},
        {"events", {"t", "kind", "text", "program"}},
    };
}

// A store is read, or written, only as ours: no view or trigger (a view can be made to run
// for ever, a trigger runs when a row is added), our tables with our columns, and a schema no
// newer than this program's. Empty when so, else why not.
std::string unexpectedSchema(sqlite3* db) {
    sqlite3_stmt* q = nullptr;
    std::string why;
    if (sqlite3_prepare_v2(db,
                           "SELECT type, name FROM sqlite_master WHERE type NOT IN ('table', "
                           "'index') OR (type = 'index' AND name NOT LIKE 'sqlite_autoindex_%' "
                           "AND name != 'events_t') LIMIT 1",
                           -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
        why = std::string("it holds a ") +
              reinterpret_cast<const char*>(sqlite3_column_text(q, 0)) + " (" +
              reinterpret_cast<const char*>(sqlite3_column_text(q, 1)) + "), which no history has";
    sqlite3_finalize(q);
    if (!why.empty())
        return why;
    for (const auto& [table, columns] : expectedTables()) {
        std::vector<std::string> found;
        const std::string info = "PRAGMA table_info(" + table + ")";
        if (sqlite3_prepare_v2(db, info.c_str(), -1, &q, nullptr) == SQLITE_OK)
            while (sqlite3_step(q) == SQLITE_ROW && found.size() < 64)
                found.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(q, 1)));
        sqlite3_finalize(q);
        if (!found.empty() && found != columns)
            return "its table " + table + " has other columns than a history's";
    }
    if (sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key = 'schema'", -1, &q, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW && sqlite3_column_int64(q, 0) > kSchemaVersion)
        why = "it was written by a newer program (schema " +
              std::to_string(sqlite3_column_int64(q, 0)) + "; this one reads " +
              std::to_string(kSchemaVersion) + ")";
    sqlite3_finalize(q);
    return why;
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

// Nothing in a store's schema is run with more trust than a query of ours: no function with
// side effects from a view or trigger, no writing to the schema itself.
void distrustSchema(sqlite3* db) {
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
}

// A connection is used by one thread at a time (see Store), so SQLite's per-call mutex is left
// out: it was a fifth of reading a week.
sqlite3* openConnection(const std::string& path, bool readOnly, std::string& error) {
    sqlite3* db = nullptr;
    const int flags =
        readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const int rc = sqlite3_open_v2(path.c_str(), &db,
                                   flags | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = path + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    // Another program's writer may hold the lock for a moment: wait that long, not forever.
    sqlite3_busy_timeout(db, 200);
    distrustSchema(db);
    return db;
}

}  // namespace

std::string rfAggregate(const char* table) {
    std::string s = "SELECT t, n";
    for (int i = 0; i < 5; ++i)
        for (const char* part : {"_min", "_sum", "_max"})
            s += ", f" + std::to_string(i) + part;
    return s + " FROM " + table;
}

std::string statisticsAggregate(const char* table) {
    std::string s = "SELECT t, n, period_sum";
    for (int i = 0; i < kCounts; ++i)
        for (const char* part : {"_min", "_sum", "_max"})
            s += ", c" + std::to_string(i) + part;
    return s + " FROM " + table;
}

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
        if (sqlite3_open_v2(
                immutableUri(path).c_str(), &db,
                SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX,
                nullptr) == SQLITE_OK) {
            distrustSchema(db);
            code = readable(db);
        }
    }
    if (code == SQLITE_OK && foreign(db)) {
        sqlite3_close(db);
        error = path + ": a database of another program, not a history: left as it is";
        return nullptr;
    }
    if (code == SQLITE_OK) {
        if (const std::string why = unexpectedSchema(db); !why.empty()) {
            sqlite3_close(db);
            error = path + ": not read: " + why;
            return nullptr;
        }
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
    if (readOnly) {
        // A reader scans ranges once, and a writer elsewhere makes a cache stale each second:
        // a small cache spares a server the heap that 2 MB a connection would take.
        store->exec("PRAGMA cache_size=-256");
        // Pages read where the kernel keeps them, not copied: a week's scan is a third faster.
        store->exec("PRAGMA mmap_size=268435456");
        return store;
    }
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

namespace {

int interruptIfAsked(void* flag) {
    return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed) ? 1 : 0;
}

}  // namespace

void Store::interruptWhen(const std::atomic<bool>* flag) {
    interrupt_ = flag;
    // Every few thousand steps of a query: a long one ends soon after it is asked to.
    if (flag != nullptr)
        sqlite3_progress_handler(db_, 10000, interruptIfAsked,
                                 const_cast<std::atomic<bool>*>(flag));
    else
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
}

bool Store::exec(const char* sql) {
    lastCode_ = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return lastCode_ == SQLITE_OK;
}

std::string Store::lastError() const {
    return sqlite3_errstr(lastCode_) + std::string(lastCode_ == SQLITE_OK ? "" : "");
}

bool Store::lastFailureWasLock() const {
    return (lastCode_ & 0xff) == SQLITE_BUSY || (lastCode_ & 0xff) == SQLITE_LOCKED;
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

std::vector<std::string> serviceStores(const std::string& interfaceName) {
    const std::string pattern = std::string(kServiceStateFolder) + "/" +
                                (interfaceName.empty() ? std::string("*") : interfaceName) +
                                "/history.sqlite3";
    std::vector<std::string> readable;
    glob_t found{};
    if (::glob(pattern.c_str(), 0, nullptr, &found) == 0)
        for (std::size_t i = 0; i < found.gl_pathc && i < 64; ++i)
            if (::access(found.gl_pathv[i], R_OK) == 0)
                readable.emplace_back(found.gl_pathv[i]);
    ::globfree(&found);
    return readable;
}

std::string companionStore(const std::string& read, const std::string& interfaceName) {
    const std::string own = defaultStorePath();
    std::string other;
    if (!own.empty() && own != read) {
        other = own;
    } else {
        const std::vector<std::string> services = serviceStores(interfaceName);
        if (services.size() == 1 && services.front() != read)
            other = services.front();
    }
    struct stat info {};
    return !other.empty() && ::stat(other.c_str(), &info) == 0 && S_ISREG(info.st_mode)
               ? other
               : std::string();
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
