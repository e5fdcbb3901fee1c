#pragma once
// A report of a range of the history for a person at the provider's support desk: the range and
// when it was made, the modem, a summary of the outages, a table of every outage with what the
// modem said around it, the charts with the outages shaded, and the events. Written as a PDF
// (A4, printable), one self-contained HTML file, or a PNG of the charts, from one drawing (cairo),
// without the window's libraries.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "history/history_range.h"

namespace brix::report {

using history::Millis;

struct Outage {
    Millis start = 0;
    Millis end = 0;        // the range's end (or now) while it goes on
    bool ongoing = false;  // no link-up came in the range
    std::string before;    // what the modem said, or a channel change, just before it
    std::string after;     // and just after
};

struct ReportData {
    history::RangeData range;         // the rows and the events that count (readRange)
    std::vector<history::Event> all;  // every event of the range, oldest first (capped)
    // The versions recorded last before the range: they are recorded only when they change,
    // so a day's report of a modem that has run for months finds them only here.
    std::vector<history::Event> versionsBefore;
    long allCount = 0;          // how many the range holds
    std::string interfaceName;  // empty: the default route's
    std::string source;         // the store read, or the served history's address
    Millis made = 0;            // when the report was made
    // The newest RF sample of the range as it is stored (findNewestSample): the rows above are
    // slices of a long range, whose means blend a channel the modem left with the one it took.
    std::optional<history::RfRow> newest;

    // analyse() fills these.
    std::string microcode, boot;    // the modem's versions, as last recorded up to the range's end
    std::string receive, transmit;  // "452.5 MHz at 9.45 Mbit/s", of `newest` (or the last row)
    std::vector<Outage> outages;
    Millis downTotal = 0, longest = 0;
    long retunes = 0, channelChanges = 0, gaps = 0;
    double retransmitShare = -1;  // retransmitted / upstream packets; -1: none sent
    // The range's ends, outages and events are not all at one offset from UTC (a change to or
    // from summer time): each time in the tables is given with its own, as the hour repeated
    // in autumn is otherwise two.
    bool severalOffsets = false;
};

// Reads [since, until] of a record for a report: the rows at about a chart's width, every event
// (the oldest 20,000 of a range with more), and what analyse() makes of them (set `made`
// first). `companion` as for history::Record; `second` another connection to `store`.
void readReport(ReportData& d, history::Store& store, history::Store& second,
                history::Store* companion, Millis since, Millis until);

// The rows of [since, until] of the same history as d.range.rf, at most kReportColumns.
using RfReader = std::function<std::vector<history::RfRow>(Millis since, Millis until)>;

// Sets d.newest from d.range.rf, read again over ever shorter ends of the range until its last
// row is one as stored.
void findNewestSample(ReportData& d, const RfReader& read);

// Rows a chart holds at most, about its width on paper and more.
inline constexpr int kReportColumns = 1500;
inline constexpr int kReportEvents = 20000;

// Fills what the report says of the range from its rows and `all` its events.
void analyse(ReportData& d);

// "14:03:07" style local times and the offset of the zone, for a person.
std::string localDateTime(Millis t);
std::string zoneText(Millis t);  // "UTC+01:00 (CET)"
// A time of the tables: with its offset ("2026-10-25 02:30:00 +01:00") when d.severalOffsets.
std::string tableTime(const ReportData& d, Millis t);
// "Times are local, UTC+01:00 (CET).", or the offsets at the range's start and end, and with
// `tables` that each time in them has its own.
std::string zoneNote(const ReportData& d, bool tables = true);
// "Made 2026-11-02 10:00:00." with its offset when it is not the range's.
std::string madeText(const ReportData& d);

// "14 s", "1 min 15 s", "2 h": to the nearest second, as brixctl's messages say it, one form
// in every part of the report.
std::string durationText(Millis ms);

// The summary as sentences, for the report and a test.
std::vector<std::string> summaryLines(const ReportData& d);

// "pdf", "html" or "png" by the extension of `path` (.htm too); empty for any other.
std::string reportFormat(const std::string& path);

// Writes the report to `path`, by its extension: .pdf, .html or .png; through a symbolic link
// to the file it names; a file replaced keeps its mode. False with the reason and the path.
bool writeReport(const ReportData& d, const std::string& path, std::string& error);

// The report as a download: `format` pdf, html or png. False with the reason.
bool reportBytes(const ReportData& d, const std::string& format, std::string& bytes,
                 std::string& error);

}  // namespace brix::report
