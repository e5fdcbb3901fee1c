// brixctl record and brixctl history: the signal history written by a session of our own, and
// read back without the modem.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "brixctl/commands.h"
#include "brixctl/history_feed.h"
#include "brixctl/output.h"
#include "brixctl/session.h"
#include "history/history_store.h"
#include "history/history_table.h"
#include "link/link_frame.h"
#include "link/link_share.h"
#include "link/link_transport.h"

namespace brixctl {
namespace {

using brix::history::Millis;
using nlohmann::ordered_json;
using namespace std::chrono_literals;

constexpr int kMaxRows = 100000;

Millis nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "90s", "30m", "2h", "7d" before now, or an ISO time; nullopt when it is neither.
std::optional<Millis> parseTime(const std::string& text, Millis now) {
    if (text == "now")
        return now;
    if (text.size() >= 2 && text.size() <= 12 &&
        text.find_first_not_of("0123456789") == text.size() - 1) {
        const long long n = std::stoll(text.substr(0, text.size() - 1));
        switch (text.back()) {
            case 's':
                return now - n * 1000;
            case 'm':
                return now - n * 60'000;
            case 'h':
                return now - n * 3'600'000;
            case 'd':
                return now - n * 86'400'000;
            default:
                return std::nullopt;
        }
    }
    std::tm tm{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &consumed) != 5)
        return std::nullopt;
    std::string rest = text.substr(static_cast<std::size_t>(consumed));
    if (rest.size() >= 3 && rest[0] == ':') {
        tm.tm_sec = std::atoi(rest.substr(1, 2).c_str());
        rest = rest.substr(3);
    }
    const bool utc = rest == "Z";
    if (!rest.empty() && !utc)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        return std::nullopt;
    const std::time_t t = utc ? timegm(&tm) : std::mktime(&tm);
    return static_cast<Millis>(t) * 1000;
}

// A value of the store, rounded to what it can mean: mean values keep two decimals.
double rounded(double v) {
    return std::round(v * 100) / 100;
}

ordered_json spread(const std::array<double, 3>& v, double scale = 1) {
    return ordered_json{{"min", rounded(v[0] * scale)},
                        {"mean", rounded(v[1] * scale)},
                        {"max", rounded(v[2] * scale)}};
}

// Rates per second: the store keeps their minimum and maximum in tenths, so the mean too.
ordered_json rateSpread(const std::array<double, 3>& v) {
    return spread(
        {std::round(v[0] * 10) / 10, std::round(v[1] * 10) / 10, std::round(v[2] * 10) / 10});
}

std::string text3(const std::array<double, 3>& v, double scale, int decimals) {
    if (v[0] == v[2])
        return fixed(v[0] * scale, decimals);
    return fixed(v[0] * scale, decimals) + ".." + fixed(v[2] * scale, decimals) + " (mean " +
           fixed(v[1] * scale, decimals) + ")";
}

}  // namespace

int runRecord(const Options& o) {
    const std::string path = historyPath(o.history);
    if (path.empty()) {
        std::fprintf(stderr, "brixctl: no place for the history: set HOME or use --history\n");
        return kUsage;
    }
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    HistoryFeed feed(s, path);
    // The version texts now rather than at the link's first version poll, 20 s on.
    brix::sendFrame(brix::buildRequest(brix::MessageType::Version).bytes, 12);
    s.start();
    bool toldAttached = false;
    while (!Session::interrupted()) {
        s.waitUntil(after(0.2), [] { return false; });
        if (feed.feed().failed())
            return kFailed;  // the reason was printed
        // The owner records what this program would; it goes on, to take over when it goes.
        if (!toldAttached && brix::linkRole() == brix::LinkRole::Attached) {
            toldAttached = true;
            std::fprintf(stderr,
                         "brixctl: the link is %s's, which records the history; this program "
                         "records from when it owns the link\n",
                         brix::linkOwnerName().c_str());
        } else if (toldAttached && feed.feed().owning()) {
            toldAttached = false;
            std::fprintf(stderr, "brixctl: this program owns the link now and records into %s\n",
                         path.c_str());
        }
    }
    return kDone;
}

int runHistory(const Options& o, const std::string& what, const std::string& sinceText,
               const std::string& untilText) {
    const Millis now = nowMs();
    const auto since =
        sinceText.empty() ? std::optional<Millis>(now - 3'600'000) : parseTime(sinceText, now);
    const auto until = untilText.empty() ? std::optional<Millis>(now) : parseTime(untilText, now);
    if (!since || !until) {
        std::fprintf(stderr,
                     "brixctl: %s is no time: give 90s, 30m, 2h or 7d ago, or an ISO time such as "
                     "2026-12-09T03:00:00Z\n",
                     (!since ? sinceText : untilText).c_str());
        return kUsage;
    }
    if (*since > *until) {
        std::fprintf(stderr, "brixctl: --since is after --until\n");
        return kUsage;
    }
    const std::string path = historyPath(o.history);
    std::string error;
    auto store = path.empty() ? nullptr : brix::history::Store::open(path, true, error);
    if (store == nullptr) {
        std::fprintf(stderr, "brixctl: no history to read: %s\n",
                     path.empty() ? "set HOME or use --history" : error.c_str());
        return kFailed;
    }
    Output out(o.format);
    if (o.format == Format::Csv) {
        // The columns the History window exports too.
        namespace h = brix::history;
        const h::Table table =
            what == "samples"      ? h::samplesTable(store->rf(*since, *until, kMaxRows))
            : what == "statistics" ? h::statisticsTable(store->statistics(*since, *until, kMaxRows))
                                   : h::eventsTable(store->events(*since, *until, kMaxRows));
        out.line(h::csvLine(table.header));
        for (const auto& row : table.rows)
            out.line(h::csvLine(row));
        return kDone;
    }
    ordered_json rows = ordered_json::array();
    if (what == "samples") {
        for (const auto& r : store->rf(*since, *until, kMaxRows)) {
            ordered_json row{{"time", isoTime(r.t)}, {"samples", r.samples}};
            row["receive_frequency_mhz"] = spread(r.fields[0], 0.1);
            row["receive_rate_code"] = spread(r.fields[1]);
            row["transmit_frequency_mhz"] = spread(r.fields[2], 0.1);
            row["transmit_rate_code"] = spread(r.fields[3]);
            row["attenuation_dbmv"] = spread(r.fields[4], -2);
            if (o.format == Format::Json)
                rows.push_back(row);
            else
                out.line(isoTime(r.t) + "  rx " + text3(r.fields[0], 0.1, 1) + " MHz code " +
                         text3(r.fields[1], 1, 0) + "  tx " + text3(r.fields[2], 0.1, 1) +
                         " MHz code " + text3(r.fields[3], 1, 0) + "  attenuation " +
                         text3(r.fields[4], -2, 0) + " dBmV");
        }
    } else if (what == "statistics") {
        for (const auto& r : store->statistics(*since, *until, kMaxRows)) {
            ordered_json row{
                {"time", isoTime(r.t)}, {"reports", r.reports}, {"seconds", rounded(r.seconds)}};
            std::string line = isoTime(r.t) + "  " + fixed(r.seconds, 2) + " s";
            for (std::size_t k = 0; k < brix::history::kCounts; ++k) {
                const std::string name = brix::history::kCountNames[k];
                row[name + "_per_second"] = rateSpread(r.rates[k]);
                row[name + "_total"] = r.totals[k];
                line += "  " + name + " " + fixed(r.rates[k][1], 1) + "/s";
            }
            if (o.format == Format::Json)
                rows.push_back(row);
            else
                out.line(line);
        }
    } else {
        for (const auto& e : store->events(*since, *until, kMaxRows)) {
            const ordered_json row{{"time", isoTime(e.t)},
                                   {"kind", brix::history::eventKindName(e.kind)},
                                   {"text", e.text},
                                   {"program", e.program}};
            if (o.format == Format::Json)
                rows.push_back(row);
            else
                out.line(isoTime(e.t) + "  " + brix::history::eventKindName(e.kind) + "  " +
                         e.text + (e.program.empty() ? "" : "  (" + e.program + ")"));
        }
    }
    if (o.format == Format::Json)
        out.json(rows);
    return kDone;
}

}  // namespace brixctl
