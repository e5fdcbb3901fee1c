// brixctl record and brixctl history: the signal history written by a session of our own, and
// read back without the modem.
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>

#include <nlohmann/json.hpp>

#include "brixctl/commands.h"
#include "brixctl/history_feed.h"
#include "brixctl/history_json.h"
#include "brixctl/history_remote.h"
#include "brixctl/output.h"
#include "brixctl/session.h"
#include "domain/clock.h"
#include "history/history_range.h"
#include "history/history_store.h"
#include "history/history_table.h"
#include "link/link_frame.h"
#include "link/link_share.h"
#include "link/link_transport.h"
#include "report/report.h"

namespace brixctl {
namespace {

using brix::history::Millis;
using nlohmann::ordered_json;
using namespace std::chrono_literals;

constexpr int kMaxRows = 100000;
// Rows brixctl serve sends for one request at most.
constexpr int kServedRows = 20000;

std::string text3(const std::array<double, 3>& v, double scale, int decimals) {
    const auto s = scaled(v, scale);
    if (s[0] == s[2])
        return fixed(s[0], decimals);
    // The mean of whole codes is rarely whole: one decimal more.
    return fixed(s[0], decimals) + ".." + fixed(s[2], decimals) + " (mean " +
           fixed(s[1], decimals + 1) + ")";
}

// Events are listed one a row, the oldest first, up to kMaxRows: a range with more is cut,
// which is said (samples and statistics are reduced to slices instead, and are whole).
void tellIfCut(brix::history::Store& store, const std::string& what, Millis since, Millis until) {
    if (what != "events")
        return;
    const long all = store.countEvents(since, until);
    if (all > kMaxRows)
        std::fprintf(stderr,
                     "brixctl: the oldest %d of the range's %ld events shown; name a shorter "
                     "range with --since and --until for the rest\n",
                     kMaxRows, all);
}

// Where the rows of `brixctl history` come from: a store here, or a served history.
struct Source {
    std::string described;  // "in PATH", "at URL": the first line of text output
    std::function<std::vector<brix::history::RfRow>()> rf;
    std::function<std::vector<brix::history::StatisticsRow>()> statistics;
    std::function<std::vector<brix::history::Event>()> events;
    std::function<void()> afterwards = [] {};
};

int printHistory(const Options& o, const std::string& what, const Source& source);

// `brixctl report`: the range as a person at the provider's desk reads it, written to `file`.
// `d` read and analysed.
int writeReportFile(const Options& o, brix::report::ReportData& d, const std::string& file) {
    d.interfaceName = o.interfaceName;
    if (Session::interrupted())
        return kInterrupted;
    std::string error;
    if (!brix::report::writeReport(d, file, error)) {
        std::fprintf(stderr, "brixctl: the report is not written: %s\n", error.c_str());
        return kFailed;
    }
    std::printf("The report of %s to %s written to %s\n",
                brix::report::localDateTime(d.range.since).c_str(),
                brix::report::localDateTime(d.range.until).c_str(), file.c_str());
    return kDone;
}

using brix::report::kReportColumns;

// Ctrl-C, or the served history that could not be read told; 0 when it was read.
int servedFailure(const RemoteHistory& remote) {
    if (Session::interrupted())
        return kInterrupted;
    if (remote.error().empty())
        return 0;
    std::fprintf(stderr, "brixctl: the history at %s cannot be read: %s\n", remote.shown().c_str(),
                 remote.error().c_str());
    return kFailed;
}

// `brixctl history --from URL`: the rows read whole first, so that a failure prints no rows.
int readServed(const Options& o, const std::string& what, const std::string& from, Millis since,
               Millis until, const std::string& file) {
    if (what == "backup") {
        std::fprintf(stderr,
                     "brixctl: backup copies a store of this PC; --from reads a served "
                     "history\n");
        return kUsage;
    }
    RemoteHistory remote(from, since, until, o.caFile);
    if (what == "report") {
        brix::report::ReportData d;
        d.range.since = since;
        d.range.until = until;
        d.range.rf = remote.rf(kReportColumns);
        if (remote.error().empty())
            d.range.statistics = remote.statistics(kReportColumns);
        if (remote.error().empty())
            d.all = remote.events();
        if (const int rc = servedFailure(remote))
            return rc;
        // The channels as the newest sample has them, read over the range's last slices.
        std::string narrowed;
        brix::report::findNewestSample(d, [&](Millis a, Millis b) {
            RemoteHistory end(from, a, b, o.caFile);
            auto rows = end.rf(kReportColumns);
            if (!end.error().empty() && narrowed.empty())
                narrowed = end.error();
            return rows;
        });
        if (Session::interrupted())
            return kInterrupted;
        if (!narrowed.empty()) {
            std::fprintf(stderr, "brixctl: the history at %s cannot be read: %s\n",
                         remote.shown().c_str(), narrowed.c_str());
            return kFailed;
        }
        d.allCount = static_cast<long>(d.all.size());
        d.source = "the history served at " + remote.shown();
        d.made = brix::unixMsNow();
        brix::report::analyse(d);
        return writeReportFile(o, d, file);
    }
    std::vector<brix::history::RfRow> rf;
    std::vector<brix::history::StatisticsRow> statistics;
    std::vector<brix::history::Event> events;
    if (what == "samples")
        rf = remote.rf(kServedRows);
    else if (what == "statistics")
        statistics = remote.statistics(kServedRows);
    else
        events = remote.events();
    if (const int rc = servedFailure(remote))
        return rc;
    Source source;
    source.described = "at " + remote.shown();
    source.rf = [&] { return rf; };
    source.statistics = [&] { return statistics; };
    source.events = [&] { return events; };
    if (what == "events" && events.size() >= static_cast<std::size_t>(kServedRows))
        source.afterwards = [] {
            std::fprintf(stderr,
                         "brixctl: the oldest %d events of the range shown, as many as the "
                         "server sends at once; name a shorter range for the rest\n",
                         kServedRows);
        };
    return printHistory(o, what, source);
}

}  // namespace

int runRecord(const Options& o) {
    const std::string path = historyPath(o.history);
    if (path.empty()) {
        std::fprintf(stderr, "brixctl: no place for the history: set HOME or use --history\n");
        return kUsage;
    }
    std::unique_ptr<Notifier> notifier;
    if (o.notify.wanted()) {
        NotifyOptions notify = o.notify;
        notify.program = "brixctl record";
        notifier = std::make_unique<Notifier>(notify, o.interfaceName);
    }
    // Subscribed before the link opens: the feed starts recording when this program owns it.
    HistoryFeed feed(path, [&notifier](const std::string& text) {
        if (notifier)
            notifier->recorderError(text);
    });
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    // The version texts now rather than at the link's first version poll, 20 s on.
    brix::sendFrame(brix::buildRequest(brix::MessageType::Version).bytes, 12);
    s.start();
    s.onEvent([&](const brix::LinkEvent& e) {
        journalPresence(e);
        journalRecording(e, path);
        if (notifier)
            notifier->take(e);
    });
    // A store that fails is looked at once a second.
    while (!Session::interrupted()) {
        s.waitUntil(after(1), [] { return false; });
        if (feed.feed().failed())
            return kFailed;  // the reason was printed
    }
    return kDone;
}

namespace {

// `brixctl history backup FILE`: a whole copy of the store while its writer goes on.
int backupHistory(brix::history::Store& store, const std::string& path, const std::string& file) {
    if (file.empty()) {
        std::fprintf(stderr, "brixctl: history backup needs the FILE to write\n");
        return kUsage;
    }
    std::string error;
    if (!store.backup(file, error)) {
        if (Session::interrupted()) {
            std::fprintf(stderr, "brixctl: interrupted: %s is not written\n", file.c_str());
            return kInterrupted;
        }
        std::fprintf(stderr, "brixctl: the history in %s is not copied: %s\n", path.c_str(),
                     error.c_str());
        return kFailed;
    }
    std::printf("The history in %s copied to %s\n", path.c_str(), file.c_str());
    return kDone;
}

// One event as `history events` prints it: a line for people, a JSON document on a line of
// its own, or a CSV row under the header printed first.
void printEvent(Output& out, const brix::history::Event& e) {
    if (out.format() == Format::Json) {
        out.json(eventJson(e), true);
    } else if (out.format() == Format::Csv) {
        for (const auto& row : brix::history::eventsTable({e}).rows)
            out.line(brix::history::csvLine(row));
    } else {
        out.line(localTime(e.t) + "  " + brix::history::eventKindName(e.kind) + "  " + e.text +
                 (e.program.empty() ? "" : "  (" + e.program + ")"));
    }
}

// `brixctl history events --follow`: the range up to a minute ago, then the events as they are
// recorded (the last minute's first), in the store's order, until Ctrl-C or the reader goes.
int followEvents(const Options& o, const brix::history::Record& record,
                 const std::string& described, Millis since) {
    namespace h = brix::history;
    Output out(o.format);
    if (o.format == Format::Text)
        out.line("History " + described + ", followed (Ctrl-C ends)");
    if (o.format == Format::Csv)
        out.line(h::csvLine(h::eventsTable({}).header));
    const Millis now = brix::unixMsNow();
    const Millis recent = std::max(since, now - h::EventFollower::kLate);
    if (since < recent)
        for (const auto& e : record.events(since, recent - 1, kMaxRows, false)) {
            if (Session::interrupted())
                return kInterrupted;
            printEvent(out, e);
        }
    h::EventFollower follower(recent);
    while (!Session::interrupted() && !readerGone()) {
        for (const auto& e : follower.poll(record, brix::unixMsNow()))
            printEvent(out, e);
        for (int i = 0; i < 10 && !Session::interrupted() && !readerGone(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return kDone;
}

// `history events --follow --from URL`: the stream is listened to first, then the range read,
// so that nothing falls between the two; what both hold is printed once.
int followServed(const Options& o, const std::string& from, Millis since) {
    namespace h = brix::history;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<h::Event> streamed;
    bool connected = false, ended = false;
    std::atomic<bool> stop{false};
    RemoteHistory stream(from, since, since, o.caFile);
    std::thread listener([&] {
        stream.follow(
            [&](const h::Event& e) {
                std::lock_guard lock(mutex);
                if (streamed.size() < 100000)  // a reader that stopped reading holds no more
                    streamed.push_back(e);
                wake.notify_all();
            },
            [&] {
                std::lock_guard lock(mutex);
                connected = true;
                wake.notify_all();
            },
            stop);
        std::lock_guard lock(mutex);
        ended = true;
        wake.notify_all();
    });
    // However this ends (a reader gone makes the next write throw), the listener is stopped
    // and joined first: a thread left running would end the program with an abort.
    const auto stopListener = [&] {
        stop = true;
        if (listener.joinable())
            listener.join();
    };
    struct Joined {
        const std::function<void()> join;
        ~Joined() { join(); }
    } joined{stopListener};
    const auto finish = [&](int rc) {
        stopListener();
        // A stream that ended because of Ctrl-C ends the follow as Ctrl-C does.
        if (rc == kFailed && Session::interrupted())
            rc = kDone;
        if (rc == kFailed)
            std::fprintf(stderr, "brixctl: the history at %s cannot be followed: %s\n",
                         stream.shown().c_str(), stream.error().c_str());
        return rc;  // Ctrl-C ends a follow as it ends watch: done
    };
    {
        std::unique_lock lock(mutex);
        while (!connected && !ended && !Session::interrupted())
            wake.wait_for(lock, std::chrono::milliseconds(100));
        if (!connected)
            return finish(ended ? kFailed : kDone);
    }
    const Millis now = brix::unixMsNow();
    RemoteHistory range(from, since, now + h::EventFollower::kLate, o.caFile);
    const std::vector<h::Event> before = range.events();
    if (const int rc = servedFailure(range)) {
        stopListener();
        return rc;
    }
    Output out(o.format);
    if (o.format == Format::Text)
        out.line("History at " + range.shown() + ", followed (Ctrl-C ends)");
    if (o.format == Format::Csv)
        out.line(h::csvLine(h::eventsTable({}).header));
    // The range's recent events, which the stream may bring again.
    std::map<std::tuple<Millis, int, std::string, std::string>, int> printed;
    for (const auto& e : before) {
        printEvent(out, e);
        // The server's stream may bring again the last minute of its own clock: with room
        // for the two clocks' difference.
        if (e.t >= now - 2 * h::EventFollower::kLate)
            ++printed[{e.t, static_cast<int>(e.kind), e.text, e.program}];
    }
    while (!Session::interrupted() && !readerGone()) {
        std::deque<h::Event> batch;
        {
            std::unique_lock lock(mutex);
            wake.wait_for(lock, std::chrono::milliseconds(200),
                          [&] { return !streamed.empty() || ended; });
            batch.swap(streamed);
            if (batch.empty() && ended)
                return finish(kFailed);
        }
        for (const auto& e : batch) {
            auto again = printed.find({e.t, static_cast<int>(e.kind), e.text, e.program});
            if (again != printed.end() && again->second > 0) {
                --again->second;
                continue;
            }
            printEvent(out, e);
        }
    }
    return finish(kDone);
}

}  // namespace

int runHistory(const Options& o, const std::string& what, const std::string& sinceText,
               const std::string& untilText, const std::string& file, const std::string& from,
               bool follow) {
    // Told before a long range is read, as any other mistake of the command line.
    if (what == "report" && brix::report::reportFormat(file).empty()) {
        std::fprintf(stderr, "brixctl: %s: the report is written as .pdf, .html or .png\n",
                     file.c_str());
        return kUsage;
    }
    const Millis now = brix::unixMsNow();
    const auto since =
        sinceText.empty() ? std::optional<Millis>(now - 3'600'000) : parseTime(sinceText, now);
    const auto until = untilText.empty() ? std::optional<Millis>(now) : parseTime(untilText, now);
    if (!since || !until) {
        std::fprintf(
            stderr,
            "brixctl: %s is no time: give 90s, 30m, 2h, 7d, 2w or 1y ago, today, yesterday, a "
            "time of day such as 13:01, or an ISO time such as 2026-12-09T03:00:00Z\n",
            brix::visibleText(!since ? sinceText : untilText).c_str());
        return kUsage;
    }
    if (*since > *until) {
        std::fprintf(stderr, "brixctl: --since is after --until\n");
        return kUsage;
    }
    if (follow && (what != "events" || !untilText.empty())) {
        std::fprintf(stderr,
                     "brixctl: --follow follows the events: history events --follow "
                     "[--since TIME], without --until\n");
        return kUsage;
    }
    if (follow && !from.empty())
        return followServed(o, from, *since);
    if (!from.empty())
        return readServed(o, what, from, *since, *until, file);
    std::string lookedAt;
    const std::string path = historyToRead(o.history, o.interfaceName, lookedAt);
    std::string error;
    auto store = path.empty() ? nullptr : brix::history::Store::open(path, true, error);
    if (store == nullptr) {
        if (!lookedAt.empty())
            std::fprintf(stderr, "brixctl: no history found: looked at %s%s\n", lookedAt.c_str(),
                         path.empty() ? "" : (": " + error.substr(path.size() + 2)).c_str());
        else
            std::fprintf(stderr, "brixctl: no history to read: %s\n",
                         path.empty() ? "set HOME or use --history" : error.c_str());
        return kFailed;
    }
    // Ctrl-C or SIGTERM end a long query or copy too, not only the output after it.
    store->interruptWhen(&Session::interruptFlag());
    if (what == "backup")
        return backupHistory(*store, path, file);
    // A store with no row at all is no history to show as empty: most often a copy of a store
    // being written, made without its write-ahead log.
    // Followed, it is only a store that nothing was recorded into yet.
    if (!follow && store->newest() == 0 &&
        store->countEvents(0, std::numeric_limits<Millis>::max()) == 0) {
        std::fprintf(stderr,
                     "brixctl: %s holds nothing at all; a copy of a store made while it was "
                     "written lacks what its -wal file held: copy one with brixctl history "
                     "backup FILE\n",
                     path.c_str());
        return kFailed;
    }
    // One record: what a user's program recorded while it had the link in the service's place
    // is read with the service's, and the other way round; not when a store was named.
    std::unique_ptr<brix::history::Store> companion;
    const std::string companionPath =
        o.history.empty() ? brix::history::companionStore(path, o.interfaceName) : std::string();
    if (!companionPath.empty()) {
        std::string ignored;
        companion = brix::history::Store::open(companionPath, true, ignored);
        if (companion != nullptr)
            companion->interruptWhen(&Session::interruptFlag());
    }
    const brix::history::Record record{*store, companion.get()};
    if (what == "report") {
        auto second = brix::history::Store::open(path, true, error);
        if (second == nullptr) {
            std::fprintf(stderr, "brixctl: %s\n", error.c_str());
            return kFailed;
        }
        second->interruptWhen(&Session::interruptFlag());
        brix::report::ReportData d;
        d.range.path = path;
        d.made = brix::unixMsNow();
        brix::report::readReport(d, *store, *second, companion.get(), *since, *until);
        d.source = "the history in " + d.range.path;
        return writeReportFile(o, d, file);
    }
    if (follow)
        return followEvents(o, record,
                            "in " + path + (companion != nullptr ? " and " + companionPath : ""),
                            *since);
    Source source;
    source.described = "in " + path + (companion != nullptr ? " and " + companionPath : "");
    source.rf = [&] { return record.rf(*since, *until, kMaxRows); };
    source.statistics = [&] { return record.statistics(*since, *until, kMaxRows); };
    source.events = [&] { return record.events(*since, *until, kMaxRows, false); };
    source.afterwards = [&] { tellIfCut(*store, what, *since, *until); };
    return printHistory(o, what, source);
}

namespace {

int printHistory(const Options& o, const std::string& what, const Source& source) {
    const auto& rfRows = source.rf;
    const auto& statisticsRows = source.statistics;
    const auto& eventRows = source.events;
    Output out(o.format);
    if (o.format == Format::Text)
        out.line("History " + source.described);
    if (o.format == Format::Csv) {
        // The columns the History window exports too.
        namespace h = brix::history;
        const h::Table table = what == "samples"      ? h::samplesTable(rfRows())
                               : what == "statistics" ? h::statisticsTable(statisticsRows())
                                                      : h::eventsTable(eventRows());
        out.line(h::csvLine(table.header));
        for (const auto& row : table.rows) {
            if (Session::interrupted())
                return kInterrupted;
            out.line(h::csvLine(row));
        }
        source.afterwards();
        return kDone;
    }
    ordered_json rows = ordered_json::array();
    if (what == "samples") {
        for (const auto& r : rfRows()) {
            if (Session::interrupted())
                return kInterrupted;
            if (o.format == Format::Json)
                rows.push_back(sampleJson(r));
            else
                out.line(localTime(r.t) + "  rx " + text3(r.fields[0], 0.1, 1) + " MHz code " +
                         text3(r.fields[1], 1, 0) + "  tx " + text3(r.fields[2], 0.1, 1) +
                         " MHz code " + text3(r.fields[3], 1, 0) + "  attenuation " +
                         text3(r.fields[4], -2, 0) + " dBmV");
        }
    } else if (what == "statistics") {
        for (const auto& r : statisticsRows()) {
            if (Session::interrupted())
                return kInterrupted;
            std::string line = localTime(r.t) + "  " + fixed(r.seconds, 2) + " s";
            for (std::size_t k = 0; k < brix::history::kCounts; ++k)
                line += "  " + std::string(brix::history::kCountNames[k]) + " " +
                        // Rounded as the served JSON rounds it: a read --from prints the same.
                        fixed(std::round(r.rates[k][1] * 10) / 10, 1) + "/s";
            if (o.format == Format::Json)
                rows.push_back(statisticsJson(r));
            else
                out.line(line);
        }
    } else {
        for (const auto& e : eventRows()) {
            if (Session::interrupted())
                return kInterrupted;
            if (o.format == Format::Json)
                rows.push_back(eventJson(e));
            else
                out.line(localTime(e.t) + "  " + brix::history::eventKindName(e.kind) + "  " +
                         e.text + (e.program.empty() ? "" : "  (" + e.program + ")"));
        }
    }
    if (Session::interrupted())
        return kInterrupted;
    if (o.format == Format::Json)
        out.json(rows);
    source.afterwards();
    return kDone;
}

}  // namespace

}  // namespace brixctl
