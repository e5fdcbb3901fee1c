#include "history/history_table.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <utility>

namespace brix::history {
namespace {

// A mean keeps two decimals; the store's rates are kept in tenths.
double rounded(double v, double per = 100) {
    return std::round(v * per) / per;
}

// The shortest text that reads back as `v`, with ".0" on a whole number, as JSON tools write.
std::string number(double v) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v);
    std::string out(text, r.ptr);
    if (out.find_first_of(".eEn") == std::string::npos)
        out += ".0";
    return out;
}

// Minimum, mean and maximum; rates are kept in tenths, so their mean is shown in tenths too.
void spread(std::vector<std::string>& row, const std::array<double, 3>& v, double scale,
            bool tenths = false) {
    // A negative scale (the attenuation code to dBmV) turns the smallest into the largest.
    const std::array<double, 3> ordered = scale < 0 ? std::array<double, 3>{v[2], v[1], v[0]} : v;
    for (const double x : ordered)
        row.push_back(number(rounded((tenths ? rounded(x, 10) : x) * scale)));
}

void spreadHeader(std::vector<std::string>& header, const std::string& name) {
    for (const char* part : {".min", ".mean", ".max"})
        header.push_back(name + part);
}

}  // namespace

namespace {

// Whole seconds and the milliseconds past them, rounded down also before 1970 (-1 ms is
// 23:59:59.999 of the day before, not second 0 and a negative millisecond).
std::pair<std::time_t, int> splitMillis(Millis t) {
    Millis seconds = t / 1000, millis = t % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    return {static_cast<std::time_t>(seconds), static_cast<int>(millis)};
}

}  // namespace

std::string isoTime(Millis t) {
    const auto [seconds, millis] = splitMillis(t);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return text;
}

std::string localTime(Millis t) {
    const auto [seconds, millis] = splitMillis(t);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    const long offset = tm.tm_gmtoff / 60;  // minutes east of UTC
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  millis, offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

Table samplesTable(const std::vector<RfRow>& rows) {
    Table table;
    table.header = {"time", "samples"};
    static const char* const kFields[] = {"receive_frequency_mhz", "receive_rate_code",
                                          "transmit_frequency_mhz", "transmit_rate_code",
                                          "attenuation_dbmv"};
    static const double kScale[] = {0.1, 1, 0.1, 1, -2};
    for (const char* name : kFields)
        spreadHeader(table.header, name);
    for (const RfRow& r : rows) {
        std::vector<std::string> row{isoTime(r.t), std::to_string(r.samples)};
        for (std::size_t f = 0; f < 5; ++f)
            spread(row, r.fields[f], kScale[f]);
        table.rows.push_back(std::move(row));
    }
    return table;
}

Table statisticsTable(const std::vector<StatisticsRow>& rows) {
    Table table;
    table.header = {"time", "reports", "seconds"};
    for (const char* name : kCountNames) {
        spreadHeader(table.header, std::string(name) + "_per_second");
        table.header.push_back(std::string(name) + "_total");
    }
    for (const StatisticsRow& r : rows) {
        std::vector<std::string> row{isoTime(r.t), std::to_string(r.reports),
                                     number(rounded(r.seconds))};
        for (std::size_t k = 0; k < kCounts; ++k) {
            spread(row, r.rates[k], 1, true);
            row.push_back(number(r.totals[k]));
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

namespace {

// A text that a spreadsheet would take for a formula (=, +, -, @ first) is marked as text with
// a leading apostrophe, as spreadsheets expect: the modem's texts come from anyone on the
// segment.
std::string asText(const std::string& v) {
    if (!v.empty() &&
        (v[0] == '=' || v[0] == '+' || v[0] == '-' || v[0] == '@' || v[0] == '\t' || v[0] == '\r'))
        return "'" + v;
    return v;
}

}  // namespace

Table eventsTable(const std::vector<Event>& events) {
    Table table;
    table.header = {"time", "kind", "text", "program"};
    for (const Event& e : events)
        table.rows.push_back(
            {isoTime(e.t), eventKindName(e.kind), asText(e.text), asText(e.program)});
    return table;
}

std::string csvLine(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0)
            line += ',';
        const std::string v = visibleText(cells[i]);
        if (v.find_first_of(",\"\r\n") == std::string::npos) {
            line += v;
            continue;
        }
        line += '"';
        for (const char c : v) {
            if (c == '"')
                line += '"';
            line += c;
        }
        line += '"';
    }
    return line;
}

}  // namespace brix::history
