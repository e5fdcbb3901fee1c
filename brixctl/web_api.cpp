// The dashboard's API (web_api.h). Every argument is untrusted: a time that is none, a range
// that runs backwards, a points count beyond reason are a 400 with the reason, and nothing else.
#include "brixctl/web_api.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include <nlohmann/json.hpp>

#include "brixctl/history_feed.h"
#include "brixctl/history_json.h"
#include "brixctl/output.h"
#include "domain/clock.h"
#include "domain/rates.h"
#include "domain/text.h"
#include "history/history_range.h"
#include "history/history_table.h"
#include "link/link_commands.h"
#include "link/link_share.h"
#include "link/link_transport.h"
#include "report/report.h"

namespace brixctl {

namespace {

using brix::history::Millis;
using nlohmann::ordered_json;

constexpr int kDefaultPoints = 2000;
constexpr int kMaxPoints = 20000;
constexpr int kMaxEventRows = 20000;  // the oldest of a range with more
constexpr Millis kFiveYears = 5LL * 366 * 86'400'000;

std::string dump(const ordered_json& j) {
    // Texts the modem sent may be anything: never thrown on, nothing a terminal acts on.
    return jsonText(j);
}

http::Reply jsonReply(const ordered_json& j, unsigned status = 200) {
    http::Reply r;
    r.status = status;
    r.body = dump(j) + "\n";
    return r;
}

http::Reply refused(const std::string& why, unsigned status = 400) {
    return jsonReply(ordered_json{{"error", why}}, status);
}

// The range and reduction a history request asks for, or why it is refused.
struct Asked {
    Millis since = 0, until = 0;
    int points = kDefaultPoints;
    bool csv = false;
    bool newest = false;  // events: the newest of a range with more than are sent
    std::string error;
};

Asked parseAsked(const http::Request& req) {
    Asked a;
    const Millis now = brix::unixMsNow();
    const auto get = [&](const char* key) {
        const auto it = req.query.find(key);
        return it == req.query.end() ? std::string() : it->second;
    };
    for (const auto& [key, value] : req.query)
        if (key != "since" && key != "until" && key != "points" && key != "format" &&
            key != "newest") {
            a.error = "unknown argument " + brix::visibleText(key.substr(0, 32)) +
                      ": since, until, points, format, newest";
            return a;
        }
    const std::string since = get("since"), until = get("until"), points = get("points"),
                      format = get("format"), newest = get("newest");
    for (const char* key : {"since", "until", "points", "format", "newest"})
        if (req.query.count(key) != 0 && get(key).empty()) {
            a.error = std::string(key) + " is given without a value";
            return a;
        }
    if (!newest.empty() && newest != "1" && newest != "0") {
        a.error = "newest is 1 or 0";
        return a;
    }
    a.newest = newest == "1";
    const auto s = since.empty() ? std::optional<Millis>(now - 3'600'000) : parseTime(since, now);
    const auto u = until.empty() ? std::optional<Millis>(now) : parseTime(until, now);
    if (!s || !u) {
        a.error = brix::visibleText((!s ? since : until).substr(0, 64)) +
                  " is no time: give 10m, 2h, 7d, 1y, today, 13:01 or an ISO time";
        return a;
    }
    if (*s > *u) {
        a.error = "since is after until";
        return a;
    }
    // Nothing older than five years is kept; an older since reads the same and costs nothing.
    a.since = std::max(*s, std::min(*u, now) - kFiveYears - 86'400'000);
    a.until = *u;
    if (!points.empty()) {
        if (points.size() > 5 || points.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(points) < 1 || std::stoi(points) > kMaxPoints) {
            a.error = "points is a count from 1 to " + std::to_string(kMaxPoints);
            return a;
        }
        a.points = std::stoi(points);
    }
    if (format != "" && format != "json" && format != "csv") {
        a.error = "format is json or csv";
        return a;
    }
    a.csv = format == "csv";
    return a;
}

// The store of the record and its companion, opened for one request.
struct Opened {
    std::unique_ptr<brix::history::Store> store, second, companion;
    std::string path, companionPath, error;
};

Opened openRecord(const WebApiOptions& o) {
    Opened r;
    // The store serve itself records into, never one found by attaching to the link: serve
    // holds the link already, and attaching again from its own process would end its link.
    r.path = o.store;
    if (r.path.empty()) {
        r.error = "no history is kept here";
        return r;
    }
    r.store = brix::history::Store::open(r.path, true, r.error, false);
    if (r.store != nullptr)
        r.second = brix::history::Store::open(r.path, true, r.error, false);
    if (r.second == nullptr) {
        r.store.reset();
        r.error = "the history cannot be read";  // the path is the server's business
        return r;
    }
    r.companionPath =
        o.history.empty() ? brix::history::companionStore(r.path, o.interfaceName) : std::string();
    if (!r.companionPath.empty()) {
        std::string ignored;
        r.companion = brix::history::Store::open(r.companionPath, true, ignored, false);
    }
    return r;
}

http::Reply historyReply(const http::Request& req, const WebApiOptions& o, const char* what) {
    if (o.noHistory)
        return refused("this service keeps no history (--no-history)", 404);
    const Asked a = parseAsked(req);
    if (!a.error.empty())
        return refused(a.error);
    Opened opened = openRecord(o);
    if (opened.store == nullptr)
        return refused(opened.error, 503);
    brix::history::RangeData d;
    d.since = a.since;
    d.until = a.until;
    const std::string w = what;
    if (w == "summary") {
        brix::history::readRange(d, *opened.store, *opened.second, opened.companion.get(),
                                 opened.companionPath, a.points);
        return jsonReply(ordered_json{{"since", brix::history::isoTime(a.since)},
                                      {"until", brix::history::isoTime(a.until)},
                                      {"text", brix::history::summaryText(d, brix::unixMsNow())}});
    }
    const brix::history::Record record{*opened.store, opened.companion.get(), opened.second.get()};
    namespace h = brix::history;
    h::Table table;
    // Each row written as it is made: a large range never stands as a document in memory.
    std::string rows = "[";
    const auto add = [&rows](const ordered_json& row) {
        if (rows.size() > 1)
            rows += ',';
        rows += dump(row);
    };
    if (w == "samples") {
        const auto found = record.rf(a.since, a.until, a.points);
        if (a.csv)
            table = h::samplesTable(found);
        else
            for (const auto& r : found)
                add(sampleJson(r));
    } else if (w == "statistics") {
        const auto found = record.statistics(a.since, a.until, a.points);
        if (a.csv)
            table = h::statisticsTable(found);
        else
            for (const auto& r : found)
                add(statisticsJson(r));
    } else {
        const auto found = record.events(a.since, a.until, kMaxEventRows, a.newest);
        if (a.csv)
            table = h::eventsTable(found);
        else
            for (const auto& e : found)
                add(eventJson(e));
    }
    if (!a.csv) {
        http::Reply r;
        r.body = std::move(rows) + "]\n";
        return r;
    }
    http::Reply r;
    r.type = "text/csv; charset=utf-8";
    r.body = h::csvLine(table.header) + "\r\n";
    for (const auto& row : table.rows)
        r.body += h::csvLine(row) + "\r\n";
    r.attachment = "brix-" + w + ".csv";
    return r;
}

ordered_json side(std::uint16_t tenths, std::uint16_t code) {
    const auto mbps = brix::codeRateMbps(code);
    return ordered_json{{"frequency_mhz", tenths / 10.0},
                        {"bit_rate_mbps", mbps ? ordered_json(*mbps) : ordered_json(nullptr)},
                        {"rate_code", code}};
}

}  // namespace

std::string statusJson(const ServeState& state, const std::string& interfaceName) {
    ordered_json j;
    j["time"] = brix::history::isoTime(brix::unixMsNow());
    const std::int64_t lastReport = state.lastReportUnixMs();
    j["last_report"] =
        lastReport != 0 ? ordered_json(brix::history::isoTime(lastReport)) : ordered_json(nullptr);
    j["interface"] = interfaceName.empty() ? ordered_json(nullptr) : ordered_json(interfaceName);
    const auto [answers, since] = state.presence();
    j["modem"] = {{"answers", answers},
                  {"since", since != 0 ? ordered_json(brix::history::isoTime(since))
                                       : ordered_json(nullptr)}};
    const bool reported = brix::getLinkCounters().rfReports > 0;
    if (reported) {
        std::uint16_t rxF = 0, txF = 0, rxCode = 0, txCode = 0;
        brix::getFrequencies(rxF, txF);
        brix::getRateCodes(rxCode, txCode);
        j["receive"] = side(rxF, rxCode);
        j["transmit"] = side(txF, txCode);
        j["attenuation_dbmv"] = -2 * static_cast<int>(brix::getAttenuation());
        std::int32_t rxPackets = 0, grants = 0, unused = 0, txFragments = 0, txLevel = 0,
                     retransmits = 0;
        brix::getStatisticsRates(0, rxPackets, grants, unused);
        brix::getStatisticsRates(1, txFragments, txLevel, retransmits);
        j["tx_level"] = txLevel;
        const bool measured = brix::getLinkCounters().statisticsReports > 0;
        const auto rate = [&](std::int32_t v) { return measured ? ordered_json(v) : nullptr; };
        j["rates"] = {{"receive_packets", rate(rxPackets)},
                      {"grants", rate(grants)},
                      {"transmit_fragments", rate(txFragments)},
                      {"retransmits", rate(retransmits)}};
    } else {
        j["receive"] = j["transmit"] = j["attenuation_dbmv"] = j["tx_level"] = j["rates"] = nullptr;
    }
    // The traffic of the last statistics report, per second of its period.
    const brix::StatisticsCounters c = brix::getLastStatistics();
    const double seconds = c.period / 100.0;
    const auto per = [&](double count) {
        return c.period >= 10 ? ordered_json(std::round(count / seconds * 10) / 10)
                              : ordered_json(nullptr);
    };
    j["traffic"] = {{"upstream_bytes_per_second", per(static_cast<std::uint32_t>(c.txBytes))},
                    {"downstream_bytes_per_second", per(static_cast<std::uint32_t>(c.rxBytes))},
                    {"upstream_packets_per_second", per(c.txPackets)},
                    {"downstream_packets_per_second", per(c.forwarded)}};
    const auto text = [](const std::string& t) {
        return t.empty() ? ordered_json(nullptr) : modemText(t);
    };
    j["microcode_version"] = text(state.microcodeVersion());
    j["boot_version"] = text(state.bootVersion());
    const brix::LinkRole role = brix::linkRole();
    j["link"] = {{"role", role == brix::LinkRole::Owner      ? "owner"
                          : role == brix::LinkRole::Attached ? "attached"
                          : role == brix::LinkRole::Lost     ? "lost"
                                                             : "closed"},
                 {"owner", role == brix::LinkRole::Attached ? ordered_json(brix::linkOwnerName())
                                                            : ordered_json(nullptr)},
                 {"attached", role == brix::LinkRole::Owner ? brix::linkAttachedCount() : 0}};
    return dump(j);
}

// A report of the range for the provider (brixctl report), as a download: format pdf (the
// default), html or png.
http::Reply reportReply(const http::Request& req, const WebApiOptions& o) {
    if (o.noHistory)
        return refused("this service keeps no history (--no-history)", 404);
    http::Request plain = req;
    std::string format = "pdf";
    if (const auto it = plain.query.find("format"); it != plain.query.end()) {
        format = it->second;
        plain.query.erase(it);
    }
    if (format != "pdf" && format != "html" && format != "png")
        return refused("format is pdf, html or png");
    const Asked a = parseAsked(plain);
    if (!a.error.empty())
        return refused(a.error);
    Opened opened = openRecord(o);
    if (opened.store == nullptr)
        return refused(opened.error, 503);
    brix::report::ReportData d;
    d.interfaceName = o.interfaceName;
    d.made = brix::unixMsNow();
    d.source = "the history served by brixctl serve";  // its path is the server's business
    brix::report::readReport(d, *opened.store, *opened.second, opened.companion.get(), a.since,
                             a.until);
    http::Reply r;
    std::string error;
    if (!brix::report::reportBytes(d, format, r.body, error)) {
        std::fprintf(stderr, "brixctl: a report asked for could not be made: %s\n", error.c_str());
        return refused("the report could not be made", 500);
    }
    r.type = format == "pdf"    ? "application/pdf"
             : format == "html" ? "text/html; charset=utf-8"
                                : "image/png";
    r.attachment = "brix-report." + format;
    return r;
}

void addWebApi(http::Server& server, const ServeState& state, const WebApiOptions& o) {
    if (!server.files("/", o.webRoot, "index.html"))
        server.route("/", [](const http::Request&) {
            http::Reply r;
            r.type = "text/plain; charset=utf-8";
            r.body =
                "brixctl: the dashboard's files are not installed; the metrics are at "
                "metrics, the API at api/v1/status\n";
            return r;
        });
    server.files("/javascript/dygraphs/", o.chartsRoot);
    server.route("/api/v1/status", [&state, o](const http::Request& req) {
        if (!req.query.empty())
            return refused("the status takes no argument");
        http::Reply r;
        r.body = statusJson(state, o.interfaceName) + "\n";
        return r;
    });
    server.slowRoute("/api/v1/history/report",
                     [o](const http::Request& req) { return reportReply(req, o); });
    for (const char* what : {"samples", "statistics", "events", "summary"})
        server.slowRoute(
            std::string("/api/v1/history/") + what,
            [o, what](const http::Request& req) { return historyReply(req, o, what); });
    server.stream("/api/v1/stream", [&state, o] {
        return "event: status\ndata: " + statusJson(state, o.interfaceName) + "\n\n";
    });
}

StreamFeed::StreamFeed(http::Server& server, const ServeState& state, WebApiOptions o)
    : server_(server), state_(state), o_(std::move(o)) {}

void StreamFeed::statusChanged(bool changed) {
    // A report within a second of the last one sent is sent when the second is over, not
    // dropped: the one that answers a tune is often such.
    statusPending_ = statusPending_ || changed;
    const std::int64_t now = nowNs();
    if (!statusPending_ || now - lastStatusNs_ < 1'000'000'000 || server_.streamClients() == 0)
        return;
    statusPending_ = false;
    lastStatusNs_ = now;
    server_.publish("status", statusJson(state_, o_.interfaceName));
}

void StreamFeed::pollEvents() {
    const Millis now = brix::unixMsNow();
    if (server_.streamClients() == 0 || o_.noHistory) {
        events_.reset();
        return;
    }
    // From a minute back: an event is written up to 10 s after its time (a link-down), so one
    // stamped before the first client came but written after it is news to that client too.
    // Clients drop what they already read.
    if (!events_)
        events_.emplace(now - brix::history::EventFollower::kLate);
    Opened opened = openRecord(o_);
    if (opened.store == nullptr)
        return;
    for (const auto& e :
         events_->poll(brix::history::Record{*opened.store, opened.companion.get()}, now))
        server_.publish("event", dump(eventJson(e)));
}

}  // namespace brixctl
