// The signal history's store and recorder on real files: what goes in comes out, the
// resolutions move and drop as they age, and a store that cannot be written is told once and
// never takes the recorder down.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "history/history_store.h"
#include "history/history_table.h"
#include "history/recorder.h"

namespace brix::history {
namespace {

namespace fs = std::filesystem;

class Folder {
public:
    Folder() {
        char name[] = "/tmp/brix-history-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~Folder() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(path_))
            out.push_back(e.path().filename().string());
        return out;
    }

private:
    std::string path_;
};

// What a recorder reported, as the Console would get it.
struct Lines {
    std::mutex mutex;
    std::vector<std::string> errors, notices;
    Recorder::Report error() {
        return [this](const std::string& s) {
            std::lock_guard lock(mutex);
            errors.push_back(s);
        };
    }
    Recorder::Report notice() {
        return [this](const std::string& s) {
            std::lock_guard lock(mutex);
            notices.push_back(s);
        };
    }
};

std::unique_ptr<Store> openStore(const std::string& path, bool readOnly = false) {
    std::string error;
    auto store = Store::open(path, readOnly, error);
    EXPECT_NE(store, nullptr) << error;
    return store;
}

constexpr Millis kNow = 1'800'000'000'000;  // a day in 2027

TEST(HistoryStore, WhatGoesInComesOutAndLongRangesAreReducedToMinMeanMax) {
    Folder dir;
    auto store = openStore(dir.file("h.sqlite3"));
    ASSERT_TRUE(store->begin());
    // 600 RF reports 3 s apart: the frequency steps from 4525 to 6035 half-way.
    for (int i = 0; i < 600; ++i) {
        RfSample s;
        s.t = kNow + i * 3000;
        s.rxFrequency = i < 300 ? 4525 : 6035;
        s.rxRateCode = 4;
        s.attenuation = static_cast<std::uint16_t>(i % 10);
        ASSERT_TRUE(store->add(s));
    }
    StatisticsSample st;
    st.t = kNow + 7000;
    st.period = 700;  // 7 s
    st.counts = {70, 140, 7000, 7, 1400, 0, 700000, 35};
    ASSERT_TRUE(store->add(st));
    ASSERT_TRUE(
        store->add(Event{kNow + 1, EventKind::Tune, "603.5 MHz at 9.45 Mbit/s", "brixctl"}));
    ASSERT_TRUE(store->add(Event{kNow + 900'000, EventKind::LinkDown, "no frame for 10 s", ""}));
    ASSERT_TRUE(store->commit());

    const Millis end = kNow + 600 * 3000 - 1;  // ten slices of exactly 60 reports
    const auto all = store->rf(kNow, end);
    ASSERT_EQ(all.size(), 600u);
    EXPECT_EQ(all[299].fields[0][1], 4525);
    EXPECT_EQ(all[300].fields[0][1], 6035);

    // Ten slices: each holds the minimum, mean and maximum of its 60 reports.
    const auto ten = store->rf(kNow, end, 10);
    ASSERT_GE(ten.size(), 10u);
    ASSERT_LE(ten.size(), 11u);
    EXPECT_EQ(ten[0].fields[4][0], 0);
    EXPECT_EQ(ten[0].fields[4][2], 9);
    EXPECT_DOUBLE_EQ(ten[0].fields[4][1], 4.5);
    int samples = 0;
    for (const auto& r : ten)
        samples += r.samples;
    EXPECT_EQ(samples, 600);

    const auto stats = store->statistics(kNow, end);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_DOUBLE_EQ(stats[0].seconds, 7.0);
    EXPECT_DOUBLE_EQ(stats[0].rates[4][1], 200.0);  // 1400 packets in 7 s
    EXPECT_DOUBLE_EQ(stats[0].rates[6][0], 100000.0);
    EXPECT_DOUBLE_EQ(stats[0].totals[2], 7000.0);

    const auto events = store->events(kNow, end);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, EventKind::Tune);
    EXPECT_EQ(events[0].program, "brixctl");
    EXPECT_EQ(events[1].text, "no frame for 10 s");
    EXPECT_EQ(store->newest(), kNow + 599 * 3000);
}

// A long range that holds few rows gives every one of them as kept, not slices of its length.
TEST(HistoryStore, ALongRangeOfFewRowsIsReadRowByRow) {
    Folder dir;
    auto store = openStore(dir.file("few.sqlite3"));
    store->begin();
    for (int i = 0; i < 232; ++i)
        store->add(RfSample{kNow - 7 * kMinute + i * 1800, 4525, 4, 300, 2, 6});
    ASSERT_TRUE(store->commit());
    for (const Millis span : {kHour, 7 * kDay, 365 * kDay, 5 * 365 * kDay})
        EXPECT_EQ(store->rf(kNow - span, kNow + kSecond).size(), 232u) << span;
    // More rows than asked for: slices, every sample in one of them.
    const auto sliced = store->rf(kNow - kHour, kNow + kSecond, 100);
    EXPECT_LE(sliced.size(), 101u);
    int samples = 0;
    for (const auto& r : sliced)
        samples += r.samples;
    EXPECT_EQ(samples, 232);
}

// A long range read on two connections side by side is the same range, slice for slice: none
// is cut in two where the halves meet, across the resolutions too.
TEST(HistoryStore, ALongRangeReadInTwoHalvesIsTheSameAsInOne) {
    Folder dir;
    auto store = openStore(dir.file("halves.sqlite3"));
    store->begin();
    const Millis start = kNow - 10 * kDay;
    for (Millis t = start; t < kNow; t += 3 * kSecond) {
        const auto i = static_cast<std::uint16_t>((t / kSecond) % 97);
        store->add(RfSample{t, static_cast<std::uint16_t>(4000 + i), 4, 300, 2, i});
        store->add(StatisticsSample{t + 1, 300, {i, 2u * i, 3, 4, 5, 6, 7, 8}});
    }
    ASSERT_TRUE(store->commit());
    // Three days age into minutes; the week since stays at full resolution.
    while (store->consolidate(kNow, 100000) > 0) {
    }
    auto other = openStore(dir.file("halves.sqlite3"), true);
    for (const auto& [since, points] :
         std::vector<std::pair<Millis, int>>{{start, 1000}, {kNow - 7 * kDay, 997}, {start, 50}}) {
        const auto one = store->rf(since, kNow, points);
        const auto two = store->rf(since, kNow, points, other.get());
        ASSERT_EQ(one.size(), two.size()) << points;
        for (std::size_t i = 0; i < one.size(); ++i) {
            ASSERT_EQ(one[i].t, two[i].t) << i;
            ASSERT_EQ(one[i].samples, two[i].samples) << i;
            ASSERT_EQ(one[i].fields, two[i].fields) << i;
        }
        const auto stOne = store->statistics(since, kNow, points);
        const auto stTwo = store->statistics(since, kNow, points, other.get());
        ASSERT_EQ(stOne.size(), stTwo.size());
        for (std::size_t i = 0; i < stOne.size(); ++i) {
            ASSERT_EQ(stOne[i].reports, stTwo[i].reports) << i;
            ASSERT_EQ(stOne[i].rates, stTwo[i].rates) << i;
        }
    }
}

TEST(HistoryStore, AgeingMovesFullResolutionToMinutesToHoursAndDropsBeyondFiveYears) {
    Folder dir;
    auto store = openStore(dir.file("h.sqlite3"));
    auto rfAt = [&](Millis t, std::uint16_t attenuation) {
        RfSample s;
        s.t = t;
        s.rxFrequency = 4525;
        s.attenuation = attenuation;
        ASSERT_TRUE(store->add(s));
    };
    const Millis week = kNow - 8 * kDay - (kNow % kMinute);  // a whole minute 8 days ago
    const Millis season = kNow - 100 * kDay - (kNow % kHour);
    const Millis ancient = kNow - 6 * 365 * kDay;
    ASSERT_TRUE(store->begin());
    for (int i = 0; i < 20; ++i)
        rfAt(week + i * 3000, static_cast<std::uint16_t>(i));  // one minute: 0 .. 19
    for (int i = 0; i < 6; ++i)
        rfAt(season + i * 10 * kMinute, static_cast<std::uint16_t>(10 * i));  // one hour
    rfAt(ancient, 7);
    rfAt(kNow - kHour, 3);  // recent: stays as it is
    StatisticsSample st;
    st.t = week + 1000;
    st.period = 1000;
    st.counts[1] = 50;
    ASSERT_TRUE(store->add(st));
    st.t = week + 11000;
    st.counts[1] = 150;
    ASSERT_TRUE(store->add(st));
    ASSERT_TRUE(store->add(Event{season, EventKind::Embedded, "chatty", ""}));
    ASSERT_TRUE(store->add(Event{season + 1, EventKind::LinkDown, "kept", ""}));
    ASSERT_TRUE(store->commit());

    long moved = 0;
    for (int pass = 0; pass < 50 && (moved = store->consolidate(kNow, 10)) > 0; ++pass) {
    }
    ASSERT_EQ(moved, 0) << store->lastError();

    const auto rows = store->rf(ancient - kDay, kNow);
    ASSERT_EQ(rows.size(), 3u);  // the hour, the minute, the recent report
    EXPECT_EQ(rows[0].t, season);
    EXPECT_EQ(rows[0].samples, 6);
    EXPECT_EQ(rows[0].fields[4][0], 0);
    EXPECT_EQ(rows[0].fields[4][2], 50);
    EXPECT_DOUBLE_EQ(rows[0].fields[4][1], 25.0);
    EXPECT_EQ(rows[1].t, week);
    EXPECT_EQ(rows[1].samples, 20);
    EXPECT_DOUBLE_EQ(rows[1].fields[4][1], 9.5);
    EXPECT_EQ(rows[2].samples, 1);

    // Two statistics reports in one minute: 200 packets in 20 s, between 5 and 15 a second.
    const auto stats = store->statistics(week, week + kMinute);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].reports, 2);
    EXPECT_DOUBLE_EQ(stats[0].rates[1][1], 10.0);
    EXPECT_DOUBLE_EQ(stats[0].rates[1][0], 5.0);
    EXPECT_DOUBLE_EQ(stats[0].rates[1][2], 15.0);

    const auto events = store->events(0, kNow);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "kept");
}

TEST(HistoryRecorder, KeepsTheOrderWhenTheClockJumpsBackAndWritesOnFlush) {
    Folder dir;
    const std::string path = dir.file("h.sqlite3");
    Lines lines;
    {
        Recorder recorder(path, lines.error(), lines.notice());
        RfSample s;
        s.t = kNow;
        s.rxFrequency = 4525;
        recorder.record(s);
        s.t = kNow - kHour;  // the clock set back an hour
        s.rxFrequency = 6035;
        recorder.record(s);
        recorder.record(Event{kNow - 2 * kHour, EventKind::Tune, "603.5", "brixtool"});
        recorder.flush();
        // Written, and readable by another connection while the recorder holds the store.
        auto reader = openStore(path, true);
        const auto rows = reader->rf(kNow - 10, kNow + 10, 100);
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].fields[0][1], 4525);
        EXPECT_EQ(rows[1].fields[0][1], 6035);
        EXPECT_GT(rows[1].t, rows[0].t);
        // An event keeps its time.
        const auto events = reader->events(kNow - 3 * kHour, kNow + 10);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].t, kNow - 2 * kHour);
    }
    EXPECT_TRUE(lines.errors.empty());
}

// A flood of the modem's messages in one millisecond: every one keeps its time and its order,
// and what comes after is not pushed ahead, across a restart too.
TEST(HistoryRecorder, AFloodOfEventsKeepsRealTimesAndPushesNothingIntoTheFuture) {
    Folder dir;
    const std::string path = dir.file("h.sqlite3");
    Lines lines;
    {
        Recorder recorder(path, lines.error(), lines.notice());
        for (int i = 0; i < 5000; ++i)
            recorder.record(Event{kNow, EventKind::Embedded, std::to_string(i), ""});
        recorder.record(RfSample{kNow + 5, 4525, 4, 300, 2, 6});
        recorder.record(Event{kNow + 6, EventKind::Tune, "Tune to 603.5 MHz", "brixctl"});
        recorder.flush();
    }
    {
        Recorder again(path, lines.error(), lines.notice());
        again.record(RfSample{kNow + 7, 6035, 3, 300, 2, 6});
        again.flush();
    }
    auto reader = openStore(path, true);
    const auto events = reader->events(0, kNow + kHour, 100000);
    ASSERT_EQ(events.size(), 5001u);
    for (int i = 0; i < 5000; ++i) {
        EXPECT_EQ(events[static_cast<std::size_t>(i)].t, kNow);
        EXPECT_EQ(events[static_cast<std::size_t>(i)].text, std::to_string(i));
    }
    EXPECT_EQ(events.back().t, kNow + 6);
    const auto rows = reader->rf(kNow, kNow + 10, 100);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].t, kNow + 5);
    EXPECT_EQ(rows[1].t, kNow + 7);
    EXPECT_TRUE(lines.errors.empty());
}

TEST(HistoryRecorder, DamagedLockedAndReadOnlyStoresAreToldOnceAndNothingIsLost) {
    Folder dir;
    // Not a database: set aside under a dated name, a new store started.
    const std::string damaged = dir.file("damaged.sqlite3");
    std::ofstream(damaged) << std::string(4096, 'x');
    {
        Lines lines;
        Recorder recorder(damaged, lines.error(), lines.notice());
        recorder.record(RfSample{kNow, 4525, 4, 300, 2, 6});
        recorder.flush();
        EXPECT_TRUE(recorder.recording());
        // What the set-aside file held is not in the new store: told as an error.
        ASSERT_EQ(lines.errors.size(), 1u);
        EXPECT_NE(lines.errors[0].find("set aside as"), std::string::npos) << lines.errors[0];
    }
    int asideCount = 0;
    for (const auto& name : dir.names()) {
        if (name.rfind("damaged.sqlite3.damaged-", 0) == 0) {
            ++asideCount;
            EXPECT_EQ(fs::file_size(dir.file(name)), 4096u);
        }
    }
    EXPECT_EQ(asideCount, 1);
    EXPECT_EQ(openStore(damaged, true)->rf(0, kNow + 1).size(), 1u);

    // A second recorder on a store that another one writes: one error, and it records nothing.
    const std::string shared = dir.file("shared.sqlite3");
    Lines first, second;
    {
        Recorder a(shared, first.error());
        a.flush();
        Recorder b(shared, second.error());
        b.record(RfSample{kNow, 1, 1, 1, 1, 1});
        b.record(RfSample{kNow + 1, 1, 1, 1, 1, 1});
        b.flush();
        EXPECT_FALSE(b.recording());
        EXPECT_EQ(b.dropped(), 2u);
        ASSERT_EQ(second.errors.size(), 1u);
        EXPECT_NE(second.errors[0].find("another program"), std::string::npos);
        a.record(RfSample{kNow + 2, 2, 2, 2, 2, 2});
        a.flush();
        EXPECT_TRUE(a.recording());
    }
    EXPECT_TRUE(first.errors.empty());

    // A folder that cannot be written (as root every file can: a path under a plain file then).
    Lines readOnly;
    {
        const std::string blocker = dir.file("plain");
        std::ofstream(blocker) << "x";
        Recorder r(blocker + "/h.sqlite3", readOnly.error());
        for (int i = 0; i < 100; ++i)
            r.record(RfSample{kNow + i, 1, 1, 1, 1, 1});
        r.flush();
        EXPECT_FALSE(r.recording());
    }
    EXPECT_EQ(readOnly.errors.size(), 1u);
}

// Whatever a flood brought, consolidation brings the store back within its bounds: the oldest
// samples into their minutes (nothing of them lost from the minute's minimum, mean and maximum),
// the oldest of the modem's messages before any other event.
TEST(HistoryStore, AFloodIsBroughtBackWithinBoundsOldestDetailFirst) {
    Folder dir;
    auto store = openStore(dir.file("h.sqlite3"));
    const Millis start = kNow - kDay;
    const long samples = kMaxFullResolutionRows + 20000;
    ASSERT_TRUE(store->begin());
    for (long i = 0; i < samples; ++i)
        store->add(RfSample{start + i * 100, 4525, 4, 300, 2, 6});
    store->add(Event{start, EventKind::Tune, "the oldest tune", "brixctl"});
    for (long i = 0; i < kMaxEvents + 5000; ++i)
        store->add(Event{start + i, EventKind::Embedded, "chatter", ""});
    store->add(Event{start + 1, EventKind::LinkDown, "down", ""});
    ASSERT_TRUE(store->commit());

    for (int i = 0; i < 1000 && store->consolidate(kNow, 20000) > 0; ++i) {
    }
    const auto rows = store->rf(start, kNow, 1'000'000);
    long full = 0, all = 0;
    for (const RfRow& r : rows) {
        full += r.samples == 1 ? 1 : 0;
        all += r.samples;
    }
    // Whole minutes move: the newest bound's worth stays, and less than a minute more.
    EXPECT_GE(full, kMaxFullResolutionRows);
    EXPECT_LT(full, kMaxFullResolutionRows + 600);
    EXPECT_EQ(all, samples);  // counted in their minutes
    const auto events = store->events(0, kNow, 1'000'000);
    EXPECT_EQ(static_cast<long>(events.size()), kMaxEvents);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].text, "the oldest tune");  // the messages went first
    EXPECT_EQ(events[1].kind, EventKind::LinkDown);
}

// A store made to harm its reader is told, never read as a history: a view that runs for ever
// in place of a table, a trigger that would run as a row is written, our names with other
// columns, a schema from a newer program. Values no report can hold are shown within range.
TEST(HistoryStore, ACraftedStoreIsToldNotRead) {
    Folder dir;
    const auto craft = [&](const std::string& name, const char* sql) {
        const std::string path = dir.file(name);
        { openStore(path); }
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
        return path;
    };
    const auto refused = [](const std::string& path, bool readOnly) {
        std::string error;
        EXPECT_EQ(Store::open(path, readOnly, error), nullptr) << path;
        return error;
    };
    const std::string view =
        craft("view.sqlite3",
              "DROP TABLE rf; CREATE VIEW rf AS WITH RECURSIVE r(t) AS (SELECT 1 UNION ALL "
              "SELECT t + 1 FROM r) SELECT t, 0 AS a, 0 AS b, 0 AS c, 0 AS d, 0 AS e FROM r");
    EXPECT_NE(refused(view, true).find("not read: it holds a view (rf)"), std::string::npos);
    const std::string trigger =
        craft("trigger.sqlite3",
              "CREATE TABLE seen(x); CREATE TRIGGER spy AFTER INSERT ON events BEGIN INSERT INTO "
              "seen VALUES(new.text); END");
    EXPECT_NE(refused(trigger, false).find("it holds a trigger (spy)"), std::string::npos);
    EXPECT_NE(refused(trigger, true).find("it holds a trigger (spy)"), std::string::npos);
    const std::string columns =
        craft("columns.sqlite3", "DROP TABLE events; CREATE TABLE events(t, what)");
    EXPECT_NE(refused(columns, true).find("its table events has other columns"), std::string::npos);
    const std::string future =
        craft("future.sqlite3", "UPDATE meta SET value = 99 WHERE key = 'schema'");
    EXPECT_NE(refused(future, true).find("written by a newer program (schema 99"),
              std::string::npos);

    const std::string huge = craft("huge.sqlite3",
                                   "INSERT INTO rf VALUES(1800000000000, 4525, 4, 300, 2, 1e308);"
                                   "INSERT INTO statistics VALUES(1800000000000, 100, -5, 1e300, "
                                   "0, 0, 0, 0, 0, 0);"
                                   "INSERT INTO events VALUES(1800000000000, 5, "
                                   "hex(zeroblob(2000000)), hex(zeroblob(1000)))");
    auto store = openStore(huge, true);
    const auto events = store->events(0, kNow + 1, 10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text.size(), kMaxEventText);
    EXPECT_EQ(events[0].program.size(), 64u);
    const auto rows = store->rf(0, kNow + 1, 10);
    ASSERT_EQ(rows.size(), 1u);
    for (double v : rows[0].fields[4])
        EXPECT_LE(v, 65535);
    const auto stats = store->statistics(0, kNow + 1, 10);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_GE(stats[0].totals[0], 0);
    EXPECT_LE(stats[0].rates[1][2], 4294967295.0 * 10);
}

// A query asked to end gives up within a few thousand of its steps.
TEST(HistoryStore, AQueryEndsWhenAskedTo) {
    Folder dir;
    auto store = openStore(dir.file("h.sqlite3"));
    ASSERT_TRUE(store->begin());
    for (int i = 0; i < 20000; ++i)
        store->add(RfSample{kNow - kDay + i * 1000, 4525, 4, 300, 2, 6});
    ASSERT_TRUE(store->commit());
    std::atomic<bool> stop{true};
    store->interruptWhen(&stop);
    EXPECT_TRUE(store->rf(kNow - kDay, kNow, 100000).empty());
    stop = false;
    EXPECT_EQ(store->rf(kNow - kDay, kNow, 100000).size(), 20000u);
    store->interruptWhen(nullptr);
}

// A reader holding the store for a while (another program's transaction, a member's lock on a
// byte of its files) holds the writes back; nothing is lost: once it lets go, what came meanwhile
// is written, and a reader's lock on the store file itself never keeps the writer out.
TEST(HistoryRecorder, ALockHeldForAWhileHoldsRowsBackAndLosesNone) {
    Folder dir;
    const std::string path = dir.file("h.sqlite3");
    Lines lines;
    Recorder::Options options;
    options.flushEvery = std::chrono::milliseconds(50);
    options.retryAfter = std::chrono::milliseconds(200);
    Recorder recorder(path, lines.error(), lines.notice(), options);
    recorder.record(RfSample{kNow, 4525, 4, 300, 2, 6});
    recorder.flush();
    ASSERT_TRUE(recorder.recording());

    // A reader's shared lock on the store file, as a member of the service's group could take.
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::flock(reader, LOCK_SH | LOCK_NB), 0);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (int i = 1; i <= 3; ++i) {
        recorder.record(RfSample{kNow + i * 1000, 4525, 4, 300, 2, 6});
        recorder.flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(recorder.recording());
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);

    // Tried again each second: the rows held back are there, in order.
    std::string error;
    std::size_t rows = 0;
    for (int i = 0; i < 40 && rows < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto store = Store::open(path, true, error);
        rows = store != nullptr ? store->rf(kNow - 1, kNow + 10000).size() : 0;
    }
    EXPECT_EQ(rows, 4u);
    EXPECT_EQ(recorder.dropped(), 0u);
    ::close(reader);
    std::lock_guard lock(lines.mutex);
    EXPECT_TRUE(lines.errors.empty()) << lines.errors.front();
    ASSERT_EQ(lines.notices.size(), 2u);
    EXPECT_NE(lines.notices[0].find("is locked by another program"), std::string::npos);
    EXPECT_NE(lines.notices[1].find("recorded again"), std::string::npos);
}

}  // namespace
}  // namespace brix::history

namespace brix::history {
namespace {

// A small tmpfs of our own (a mount namespace of this test's process, so nothing is left on
// the host): the store fills it, is told once, and records again once there is room.
TEST(HistoryRecorder, AFullDiskIsToldOnceAndRecordingResumesWhenThereIsRoom) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a tmpfs of its own (CI runs as root)";
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    Folder folder;
    const std::string disk = folder.file("disk");
    fs::create_directory(disk);
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m"), 0);
    const std::string filler = disk + "/filler";
    {
        // All but 64 KiB taken: the store's first pages fit, its growth does not.
        std::ofstream f(filler, std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < (1024 - 64) / 4; ++i)
            f << block;
    }
    Lines lines;
    Recorder::Options options;
    options.flushEvery = std::chrono::milliseconds(50);
    options.retryAfter = std::chrono::milliseconds(200);
    {
        Recorder recorder(disk + "/history.sqlite3", lines.error(), lines.notice(), options);
        Millis t = kNow;
        const std::string text(400, 'e');
        for (int i = 0; i < 2000 && recorder.recording(); ++i) {
            recorder.record(Event{t++, EventKind::Error, text, ""});
            if (i % 50 == 0)
                recorder.flush();
        }
        recorder.flush();
        EXPECT_FALSE(recorder.recording());
        {
            std::lock_guard lock(lines.mutex);
            ASSERT_EQ(lines.errors.size(), 1u);
            EXPECT_NE(lines.errors[0].find("full"), std::string::npos) << lines.errors[0];
        }
        // Room again: after the retry time the next batch is written and that is told.
        fs::remove(filler);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int i = 0; i < 20; ++i) {
            recorder.record(Event{t++, EventKind::Error, "after", ""});
            recorder.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        EXPECT_TRUE(recorder.recording());
        std::lock_guard lock(lines.mutex);
        EXPECT_EQ(lines.errors.size(), 1u);
        ASSERT_EQ(lines.notices.size(), 1u);
        EXPECT_NE(lines.notices[0].find("recorded again"), std::string::npos);
    }
    const auto events = openStore(disk + "/history.sqlite3", true)->events(kNow, kNow + 10000);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().text, "after");
    ASSERT_EQ(::umount(disk.c_str()), 0);
}

// What is no store is left as it is: a FIFO (which would block an open for good), a folder,
// another program's database, a store in a folder the reader may not write (read as it stands
// when no writer is at work).
TEST(HistoryStore, WhatIsNoStoreIsLeftAloneAndAStoreIsReadWithoutItsSideFiles) {
    Folder dir;
    std::string error;
    const std::string fifo = dir.file("fifo.sqlite3");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Store::open(fifo, true, error), nullptr);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_EQ(Store::open(fifo, false, error), nullptr);
    EXPECT_EQ(Store::open(dir.file(""), true, error), nullptr);

    const std::string other = dir.file("other.db");
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE x(a); INSERT INTO x VALUES(1);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const auto before = fs::file_size(other);
    EXPECT_EQ(Store::open(other, false, error), nullptr);
    EXPECT_NE(error.find("another program"), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(other), before);
    for (const auto& name : dir.names())
        EXPECT_EQ(name.find(".damaged-"), std::string::npos) << name;

    // A store whose writer has ended (no side files), in a folder the reader cannot write to:
    // as a read-only file of a read-only folder, the way a member of the service's group sees
    // it. Root may write anywhere, so the folder is made read-only by a bind mount of its own.
    const std::string path = dir.file("h.sqlite3");
    {
        auto store = openStore(path);
        store->begin();
        store->add(RfSample{kNow, 4525, 4, 300, 2, 6});
        store->commit();
    }
    ASSERT_FALSE(fs::exists(path + "-wal"));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    const std::string folder = dir.file("");
    if (::geteuid() == 0) {
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(
            ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr),
            0);
    } else {
        ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    }
    auto reader = Store::open(path, true, error);
    ASSERT_NE(reader, nullptr) << error;
    EXPECT_EQ(reader->rf(0, kNow + 1).size(), 1u);
    reader.reset();
    if (::geteuid() == 0)
        ::umount(folder.c_str());
    else
        ::chmod(folder.c_str(), 0755);
}

// Times before 1970 (a range of a century asked of a served history) read back as they were.
TEST(HistoryTable, TimesBefore1970KeepTheirMilliseconds) {
    EXPECT_EQ(isoTime(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(isoTime(-1'000), "1969-12-31T23:59:59.000Z");
    EXPECT_EQ(isoTime(-1'577'923'200'500), "1919-12-31T23:59:59.500Z");
    EXPECT_EQ(isoTime(1'765'000'000'123), "2025-12-06T05:46:40.123Z");
}

// The columns brixctl history --csv prints and the History window exports.
TEST(HistoryTable, CsvColumnsQuotingAndControlCharacters) {
    RfRow r;
    r.t = 1'765'000'000'123;
    r.samples = 3;
    r.fields = {{{6035, 6035, 6035}, {1, 2.3333, 4}, {300, 300, 300}, {0, 0, 0}, {2, 3, 4}}};
    const Table samples = samplesTable({r});
    ASSERT_EQ(samples.header.size(), 2u + 15u);
    EXPECT_EQ(samples.header[2], "receive_frequency_mhz.min");
    EXPECT_EQ(samples.header[16], "attenuation_dbmv.max");
    EXPECT_EQ(csvLine(samples.rows[0]),
              "2025-12-06T05:46:40.123Z,3,603.5,603.5,603.5,1.0,2.33,4.0,30.0,30.0,30.0,"
              "0.0,0.0,0.0,-8.0,-6.0,-4.0");  // the highest code is the lowest level

    StatisticsRow s;
    s.rates[0] = {0.04, 1.26, 2.5};
    s.totals[0] = 12;
    const Table statistics = statisticsTable({s});
    EXPECT_EQ(statistics.header[3], "upstream_fragments_per_second.min");
    EXPECT_EQ(statistics.header[6], "upstream_fragments_total");
    // Rates are kept in tenths.
    EXPECT_EQ(statistics.rows[0][3], "0.0");
    EXPECT_EQ(statistics.rows[0][4], "1.3");
    EXPECT_EQ(statistics.rows[0][6], "12.0");

    const Table events = eventsTable({Event{0, EventKind::Embedded,
                                            "a, \"b\"\x1b[2J\xc2\x9b\x7f"
                                            "caf\xc3\xa9",
                                            "brixctl"}});
    EXPECT_EQ(csvLine(events.header), "time,kind,text,program");
    // Quoted for the comma and quote; ESC, CSI and DEL shown as text, é kept.
    EXPECT_EQ(csvLine(events.rows[0]),
              "1970-01-01T00:00:00.000Z,debug,\"a, \"\"b\"\"\\x1b[2J\\x9b\\x7f"
              "caf\xc3\xa9\",brixctl");
    // A text that is not UTF-8 (a store written by something else) loses no byte and lets no
    // control through: a lone lead byte before a letter is escaped, the letter kept.
    EXPECT_EQ(csvLine({"\xc2\x41\xc2\x9b", "\xff"}), "\\xc2A\\x9b,\\xff");

    // What a spreadsheet would run as a formula is kept as text; the numbers of the other
    // tables (-8.0 above) are numbers still.
    const Table formulas =
        eventsTable({Event{0, EventKind::Embedded, "=HYPERLINK(\"http://x\")", "@evil"},
                     Event{0, EventKind::Embedded, "-12 dB", "+1"},
                     Event{0, EventKind::Embedded, "MAP - 10", ""}});
    EXPECT_EQ(formulas.rows[0][2], "'=HYPERLINK(\"http://x\")");
    EXPECT_EQ(formulas.rows[0][3], "'@evil");
    EXPECT_EQ(formulas.rows[1][2], "'-12 dB");
    EXPECT_EQ(formulas.rows[1][3], "'+1");
    EXPECT_EQ(formulas.rows[2][2], "MAP - 10");
}

}  // namespace
}  // namespace brix::history
