// What a report says of a range: the outages with what the modem said around them, and the
// counts of its summary.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "report/report.h"

namespace brix::report {

namespace {

// How far from an outage's edge a message of the modem still belongs to it.
constexpr Millis kAround = 60'000;

bool saysSomething(const history::Event& e) {
    return e.kind == history::EventKind::Embedded || e.kind == history::EventKind::Error ||
           e.kind == history::EventKind::ChannelChange;
}

// The last of the modem's messages in [from, to), or the first when `first`.
std::string messageIn(const std::vector<history::Event>& all, Millis from, Millis to, bool first) {
    const history::Event* found = nullptr;
    for (const auto& e : all) {
        if (e.t < from || e.t >= to || !saysSomething(e))
            continue;
        found = &e;
        if (first)
            break;
    }
    return found != nullptr ? found->text : std::string();
}

// A row's channel. A stored minute or hour (the newest of a range long past) in which the modem
// changed channel holds both ends: told as such, never as their mean, a channel it never used.
std::string channelText(const std::array<double, 3>& frequency, const std::array<double, 3>& code) {
    char mhz[48];
    if (frequency[0] == frequency[2])
        std::snprintf(mhz, sizeof mhz, "%.1f MHz", frequency[1] / 10);
    else
        std::snprintf(mhz, sizeof mhz, "%.1f to %.1f MHz", frequency[0] / 10, frequency[2] / 10);
    char rate[64];
    const double low = history::codeMbps(code[0]), high = history::codeMbps(code[2]);
    if (code[0] == code[2] && low > 0)
        std::snprintf(rate, sizeof rate, " at %.2f Mbit/s", low);
    else if (code[0] == code[2])
        std::snprintf(rate, sizeof rate, " (rate code %ld)", std::lround(code[0]));
    else if (low > 0 && high > 0)
        std::snprintf(rate, sizeof rate, " at %.2f to %.2f Mbit/s", low, high);
    else
        std::snprintf(rate, sizeof rate, " (rate codes %ld to %ld)", std::lround(code[0]),
                      std::lround(code[2]));
    return std::string(mhz) + rate;
}

// Seconds east of UTC of the local time at `t`.
long offsetOf(Millis t) {
    const std::time_t s = static_cast<std::time_t>(t / 1000);
    std::tm tm{};
    localtime_r(&s, &tm);
    return tm.tm_gmtoff;
}

// "+01:00"
std::string offsetText(Millis t) {
    const long minutes = offsetOf(t) / 60;
    char text[48];
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", minutes < 0 ? '-' : '+',
                  std::labs(minutes) / 60, std::labs(minutes) % 60);
    return text;
}

}  // namespace

void readReport(ReportData& d, history::Store& store, history::Store& second,
                history::Store* companion, Millis since, Millis until) {
    d.range.since = since;
    d.range.until = until;
    // Only what the report shows: the rows, and every event (of which the counted are made).
    const history::Record record{store, companion, &second};
    d.range.rf = record.rf(since, until, kReportColumns);
    findNewestSample(d,
                     [&](Millis from, Millis to) { return record.rf(from, to, kReportColumns); });
    d.range.statistics = record.statistics(since, until, kReportColumns);
    d.all = record.events(since, until, kReportEvents, false);
    d.versionsBefore.clear();
    for (history::Store* s : {&store, companion}) {
        if (s == nullptr)
            continue;
        auto found = s->events(0, since, 4, {history::EventKind::Version}, true);
        d.versionsBefore.insert(d.versionsBefore.end(), found.begin(), found.end());
    }
    std::stable_sort(d.versionsBefore.begin(), d.versionsBefore.end(),
                     [](const history::Event& a, const history::Event& b) { return a.t < b.t; });
    d.allCount = store.countEvents(since, until) +
                 (companion != nullptr ? companion->countEvents(since, until) : 0);
    analyse(d);
}

void findNewestSample(ReportData& d, const RfReader& read) {
    d.newest.reset();
    if (d.range.rf.empty())
        return;
    history::RfRow newest = d.range.rf.back();
    Millis from = d.range.since, to = d.range.until;
    // A read's last slice is at most (to - from) / kReportColumns + 1 long and holds every row
    // from its start on: the next read is of it alone, some thousand times shorter. A range of
    // years is down to slices of a millisecond, rows as stored, in five reads or so.
    for (int i = 0; i < 16 && newest.samples > 1; ++i) {
        const Millis slice = (to - from) / kReportColumns + 1;
        if (slice <= 1)
            break;
        from = newest.t;
        to = std::min(to, newest.t + 2 * slice);
        const auto rows = read(from, to);
        if (rows.empty())
            break;
        newest = rows.back();
    }
    d.newest = newest;
}

void analyse(ReportData& d) {
    d.microcode.clear();
    d.boot.clear();
    d.receive.clear();
    d.transmit.clear();
    d.outages.clear();
    d.downTotal = d.longest = 0;
    d.retunes = d.channelChanges = d.gaps = 0;
    d.retransmitShare = -1;
    // What the outages and the counts are made of, from every event of the range.
    d.range.counted.clear();
    for (const auto& e : d.all)
        if (e.kind == history::EventKind::LinkUp || e.kind == history::EventKind::LinkDown ||
            e.kind == history::EventKind::Tune || e.kind == history::EventKind::Error ||
            e.kind == history::EventKind::Gap || e.kind == history::EventKind::ChannelChange)
            d.range.counted.push_back(e);
    const auto& counted = d.range.counted;
    for (const auto& [start, end] : history::downSpans(d.range, d.made)) {
        Outage o;
        o.start = start;
        o.end = end;
        o.ongoing = std::none_of(counted.begin(), counted.end(), [&](const history::Event& e) {
            return e.kind == history::EventKind::LinkUp && e.t == end;
        });
        o.before = messageIn(d.all, start - kAround, start + 1, false);
        o.after = messageIn(d.all, end, end + kAround, true);
        d.downTotal += end - start;
        d.longest = std::max(d.longest, end - start);
        d.outages.push_back(std::move(o));
    }
    for (const auto& e : counted) {
        d.retunes += e.kind == history::EventKind::Tune;
        d.channelChanges += e.kind == history::EventKind::ChannelChange;
        d.gaps += e.kind == history::EventKind::Gap;
    }
    for (const auto* events : {&d.versionsBefore, &d.all})
        for (const auto& e : *events)
            if (e.kind == history::EventKind::Version)
                (e.text.find("Boot") != std::string::npos ? d.boot : d.microcode) = e.text;
    if (d.newest || !d.range.rf.empty()) {
        const auto& f = (d.newest ? *d.newest : d.range.rf.back()).fields;
        d.receive = channelText(f[0], f[1]);
        d.transmit = channelText(f[2], f[3]);
    }
    d.severalOffsets = false;
    const long offset = offsetOf(d.range.since);
    const auto other = [&](Millis t) { return offsetOf(t) != offset; };
    if (other(d.range.until))
        d.severalOffsets = true;
    for (const auto& o : d.outages)
        d.severalOffsets = d.severalOffsets || other(o.start) || other(o.end);
    for (const auto& e : d.all)
        d.severalOffsets = d.severalOffsets || other(e.t);
    double packets = 0, retransmitted = 0;
    for (const auto& r : d.range.statistics) {
        packets += r.totals[1];
        retransmitted += r.totals[3];
    }
    if (packets > 0)
        d.retransmitShare = retransmitted / packets;
}

std::string localDateTime(Millis t) {
    const std::time_t s = static_cast<std::time_t>(t / 1000);
    std::tm tm{};
    localtime_r(&s, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string zoneText(Millis t) {
    const std::time_t s = static_cast<std::time_t>(t / 1000);
    std::tm tm{};
    localtime_r(&s, &tm);
    const long offset = tm.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "UTC%c%02ld:%02ld%s%s%s", offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60, tm.tm_zone != nullptr ? " (" : "",
                  tm.tm_zone != nullptr ? tm.tm_zone : "", tm.tm_zone != nullptr ? ")" : "");
    return text;
}

std::string tableTime(const ReportData& d, Millis t) {
    return d.severalOffsets ? localDateTime(t) + " " + offsetText(t) : localDateTime(t);
}

std::string zoneNote(const ReportData& d, bool tables) {
    const Millis since = d.range.since, until = d.range.until;
    if (!d.severalOffsets)
        return "Times are local, " + zoneText(since) + ".";
    const std::string each = tables ? "; each time in the tables with its offset." : ".";
    if (offsetOf(since) != offsetOf(until))
        return "Times are local, from " + zoneText(since) + " to " + zoneText(until) + each;
    return "Times are local, " + zoneText(since) +
           " at the start and the end, another offset between" + each;
}

std::string madeText(const ReportData& d) {
    const bool own = d.severalOffsets || offsetOf(d.made) != offsetOf(d.range.since);
    return "Made " + localDateTime(d.made) + (own ? " " + offsetText(d.made) : "") + ".";
}

std::string durationText(Millis ms) {
    return history::durationText((ms + 500) / 1000 * 1000);
}

std::vector<std::string> summaryLines(const ReportData& d) {
    std::vector<std::string> lines;
    const auto n = static_cast<long>(d.outages.size());
    if (n == 0) {
        lines.push_back("The link was never down.");
    } else {
        lines.push_back(
            "The link was down " + std::string(n == 1 ? "once" : std::to_string(n) + " times") +
            ", for " + durationText(d.downTotal) + " in all; the longest " +
            (n == 1 ? "outage" : "outage") + " lasted " + durationText(d.longest) + ".");
    }
    const auto count = [](long k, const char* one, const char* many) {
        return k == 1 ? std::string("1 ") + one : std::to_string(k) + " " + many;
    };
    lines.push_back(count(d.gaps, "gap", "gaps") +
                    " shorter than an outage (nothing heard for 6 to 10 s); " +
                    count(d.retunes, "retune", "retunes") + "; " +
                    count(d.channelChanges, "change", "changes") + " of the receive channel.");
    if (d.retransmitShare >= 0) {
        char text[96];
        std::snprintf(text, sizeof text, "%.2f%% of the upstream packets were re-transmitted.",
                      d.retransmitShare * 100);
        lines.emplace_back(text);
    }
    return lines;
}

}  // namespace brix::report
