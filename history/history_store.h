#pragma once
// The signal history: what the modem reported, and what happened on the link, with its time, in
// one SQLite file. Full resolution for a week, then minimum, mean and maximum per minute for 90
// days and per hour for 5 years, so that years of recording stay small. No Qt: the window and
// brixctl share it.
//
// A Store is one connection and is used by one thread at a time. The file is in WAL mode, so
// readers in other processes never block the one writer (Recorder, recorder.h).

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace brix::history {

// Unix time in milliseconds.
using Millis = std::int64_t;

inline constexpr Millis kSecond = 1000;
inline constexpr Millis kMinute = 60 * kSecond;
inline constexpr Millis kHour = 60 * kMinute;
inline constexpr Millis kDay = 24 * kHour;
// How long each resolution is kept.
inline constexpr Millis kFullResolutionKept = 7 * kDay;
inline constexpr Millis kMinutesKept = 90 * kDay;
inline constexpr Millis kHoursKept = 5 * 365 * kDay;
// Whatever arrives, the store stays small: beyond these many rows the oldest detail goes first
// (samples into their minutes, the modem's messages and errors before other events). A week of
// reports every 3 s is about 200,000 samples.
inline constexpr long kMaxFullResolutionRows = 300000;
inline constexpr long kMaxEvents = 100000;

// One RF report.
struct RfSample {
    Millis t = 0;
    std::uint16_t rxFrequency = 0;  // tenths of a MHz
    std::uint16_t rxRateCode = 0;
    std::uint16_t txFrequency = 0;
    std::uint16_t txRateCode = 0;
    std::uint16_t attenuation = 0;
};

// The eight counts of a statistics report, in the report's order.
inline constexpr int kCounts = 8;
inline constexpr std::array<const char*, kCounts> kCountNames = {
    "upstream_fragments",         "upstream_packets",     "upstream_bytes",
    "upstream_retransmitted",     "downstream_forwarded", "downstream_filtered",
    "downstream_forwarded_bytes", "upstream_grants"};

// One statistics report (period of 10 hundredths or more).
struct StatisticsSample {
    Millis t = 0;
    std::uint16_t period = 0;  // hundredths of a second
    std::array<std::uint32_t, kCounts> counts{};
};

enum class EventKind : int {
    LinkUp = 1,
    LinkDown = 2,
    Error = 3,     // a Console line of kind Error
    Embedded = 4,  // a debug message of the modem
    Version = 5,   // a version text that changed
    Tune = 6,
    TableSet = 7,
    ScannerSet = 8,
    Gap = 9,             // nothing heard for longer than two RF periods, less than a link-down
    ChannelChange = 10,  // the receive channel is another than in the report before
};
// "link-up", "error", ...; nullopt for a name that is none of them.
const char* eventKindName(EventKind kind);
std::optional<EventKind> eventKindFromName(const std::string& name);

struct Event {
    Millis t = 0;
    EventKind kind = EventKind::Error;
    std::string text;     // UTF-8, at most kMaxEventText bytes
    std::string program;  // who asked, for user requests ("brixtool", "brixctl")
};
inline constexpr std::size_t kMaxEventText = 512;

// A row of a range query: one RF sample, or the minimum, mean and maximum over the minute or
// hour that starts at `t` when the range reaches into consolidated data.
struct RfRow {
    Millis t = 0;
    int samples = 1;
    // minimum, mean, maximum of each field (all three equal for a single sample).
    std::array<std::array<double, 3>, 5> fields{};  // rxFrequency .. attenuation
};

// Statistics as rates per second over the row's time.
struct StatisticsRow {
    Millis t = 0;
    int reports = 1;
    double seconds = 0;                                  // sum of the periods
    std::array<std::array<double, 3>, kCounts> rates{};  // min, mean, max per second
    std::array<double, kCounts> totals{};                // sums of the counts
};

class Store {
public:
    // Opens or creates the store at `path`. nullptr with the reason in `error` when it cannot:
    // also for what is no regular file, and for another program's database (never touched).
    // A read-only store whose side files cannot be made is read as it stands, when no writer
    // is at work on it. A file that is no database (or a damaged one) is set aside as
    // "<path>.damaged-<date>" and a new store started, when `setAsideDamaged` and the store is
    // opened for writing; `error` then names the file set aside while the result is a usable store.
    static std::unique_ptr<Store> open(const std::string& path, bool readOnly, std::string& error,
                                       bool setAsideDamaged = true);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Batches: every write between begin and commit is one transaction.
    bool begin();
    bool commit();
    void rollback();

    bool add(const RfSample& s);
    bool add(const StatisticsSample& s);
    bool add(const Event& e);

    // Moves what is older than its resolution keeps into the next one and drops what is older
    // than 5 years, relative to `now`. Does at most `maxRows` rows of work, so that the writer
    // is never held long; returns the rows it moved or dropped (0: nothing left to do), or -1.
    long consolidate(Millis now, long maxRows = 20000);

    // Rows in [since, until], oldest first; at most about `maxRows` of them: a range with more
    // is reduced to minimum, mean and maximum per slice of (until - since) / maxRows.
    std::vector<RfRow> rf(Millis since, Millis until, int maxRows = 100000);
    std::vector<StatisticsRow> statistics(Millis since, Millis until, int maxRows = 100000);
    // The same, a long range read in two halves side by side, the second on `other` (another
    // connection to the same store, idle meanwhile) when not null.
    std::vector<RfRow> rf(Millis since, Millis until, int maxRows, Store* other);
    std::vector<StatisticsRow> statistics(Millis since, Millis until, int maxRows, Store* other);
    std::vector<Event> events(Millis since, Millis until, int maxRows = 100000);
    // Only the events of `kinds` (all when empty); with `newest`, the newest `maxRows` of the
    // range (still oldest first).
    std::vector<Event> events(Millis since, Millis until, int maxRows,
                              const std::vector<EventKind>& kinds, bool newest);
    long countEvents(Millis since, Millis until);

    // Moves what the write-ahead log holds into the main file, as far as no reader holds it.
    bool checkpoint();
    // Writes a whole copy of the store as it is now to `file` (a new file, one of its own
    // without side files), while a writer goes on; the interrupt flag (below) ends it, leaving
    // nothing behind. False with the reason in `error`.
    bool backup(const std::string& file, std::string& error);

    // The oldest time recorded (0 when none).
    Millis oldest();
    // The newest time recorded (0 when none): a writer never records before it, so that a clock
    // that jumps backwards does not reorder the history.
    Millis newest();

    // Ends any query of this store soon after `flag` becomes true (a signal, a window that
    // closes), so that no query runs on deaf to it; the query then gives what it has. nullptr:
    // no more.
    void interruptWhen(const std::atomic<bool>* flag);

    // The last SQLite error of this connection, for a message.
    std::string lastError() const;
    // True when the last failure was a full disk (so the writer may try again later).
    bool lastFailureWasFullDisk() const;
    // True when the last failure was another program's lock on the store (it passes).
    bool lastFailureWasLock() const;

private:
    explicit Store(sqlite3* db);
    Millis timeBound(const char* aggregate);
    bool exec(const char* sql);
    bool prepareWrites();
    sqlite3* db_;
    sqlite3_stmt* addRf_ = nullptr;
    sqlite3_stmt* addStatistics_ = nullptr;
    sqlite3_stmt* addEvent_ = nullptr;
    int lastCode_ = 0;
    const std::atomic<bool>* interrupt_ = nullptr;
};

// The user's store: $XDG_STATE_HOME/brixtool/history.sqlite3 (~/.local/state/... by default).
// Empty when neither XDG_STATE_HOME nor HOME is set.
std::string defaultStorePath();

// Makes the folders of `path` (mode 0700 for those it makes). False with the reason in `error`.
bool makeParentFolders(const std::string& path, std::string& error);

// Where the packaged service keeps each interface's history ($STATE_DIRECTORY of its unit).
inline constexpr char kServiceStateFolder[] = "/var/lib/brixctl-serve";
// The services' stores this user may read: of `interfaceName`, or of every interface when it
// is empty.
std::vector<std::string> serviceStores(const std::string& interfaceName);

// The other half of one record: while a user's program owned the link in the service's place
// it recorded into the user's store, so the service's store and the user's are read as one,
// the companion's rows from the time the store read began on (what a user recorded before the
// service was there is not the service's record).
// The store beside `read` that holds the rest: the user's when `read` is another, else the
// service's (the only one, or that of `interfaceName`); empty when there is none.
std::string companionStore(const std::string& read, const std::string& interfaceName);

// `more` into `into`, both ordered by time, as one list ordered by time (equal times: `into`'s
// first).
template <typename Row>
void mergeByTime(std::vector<Row>& into, std::vector<Row>&& more) {
    if (more.empty())
        return;
    const auto middle = static_cast<std::ptrdiff_t>(into.size());
    into.insert(into.end(), std::make_move_iterator(more.begin()),
                std::make_move_iterator(more.end()));
    std::inplace_merge(into.begin(), into.begin() + middle, into.end(),
                       [](const Row& a, const Row& b) { return a.t < b.t; });
}

}  // namespace brix::history
