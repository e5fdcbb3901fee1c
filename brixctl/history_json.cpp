// The history's rows as JSON, and the times brixctl takes.
#include "brixctl/history_json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "history/history_range.h"
#include "history/history_table.h"

namespace brixctl {

using brix::history::Millis;
using nlohmann::ordered_json;

// "90s", "30m", "2h", "7d", "1y" before now, "today", "yesterday", "13:01", or an ISO time;
// nullopt when it is none of them.
std::optional<Millis> parseTime(const std::string& text, Millis now) {
    if (text == "now")
        return now;
    // Calendar words and years, in local time: the start of today or yesterday, a time of day
    // today ("13:01"), years before now ("1y").
    const std::time_t nowSeconds = static_cast<std::time_t>(now / 1000);
    std::tm local{};
    localtime_r(&nowSeconds, &local);
    local.tm_isdst = -1;
    int hour = 0, minute = 0, used = 0;
    if (text == "today" || text == "yesterday") {
        local.tm_hour = local.tm_min = local.tm_sec = 0;
        local.tm_mday -= text == "yesterday" ? 1 : 0;
        return static_cast<Millis>(std::mktime(&local)) * 1000;
    }
    if (text.size() == 5 && std::sscanf(text.c_str(), "%2d:%2d%n", &hour, &minute, &used) == 2 &&
        used == 5 && std::isdigit(static_cast<unsigned char>(text[0])) && hour < 24 &&
        minute < 60) {
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = 0;
        return static_cast<Millis>(std::mktime(&local)) * 1000;
    }
    if (text.size() >= 2 && text.size() <= 4 && text.back() == 'y' &&
        text.find_first_not_of("0123456789") == text.size() - 1) {
        local.tm_year -= std::stoi(text.substr(0, text.size() - 1));
        return static_cast<Millis>(std::mktime(&local)) * 1000 + now % 1000;
    }
    if (text.size() >= 2 && text.size() <= 12 &&
        text.find_first_not_of("0123456789") == text.size() - 1) {
        const long long n = std::stoll(text.substr(0, text.size() - 1));
        if (n > 1'000'000'000)  // no history is that old, and weeks of it would overflow
            return std::nullopt;
        switch (text.back()) {
            case 'w':
                return now - n * 7 * 86'400'000;
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
    // An ISO time: a date, then perhaps a time of day with seconds and their fraction, then
    // perhaps Z or an offset such as +01:00 (without either: local time). What brixctl prints
    // reads back.
    std::tm tm{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &consumed) != 3 ||
        consumed != 10)
        return std::nullopt;
    std::string rest = text.substr(10);
    long long millis = 0;
    if (!rest.empty() && (rest[0] == 'T' || rest[0] == 't' || rest[0] == ' ')) {
        int n = 0;
        if (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &n) != 2 || n != 5)
            return std::nullopt;
        rest = rest.substr(6);
        if (rest.size() >= 3 && rest[0] == ':' &&
            std::isdigit(static_cast<unsigned char>(rest[1])) &&
            std::isdigit(static_cast<unsigned char>(rest[2]))) {
            tm.tm_sec = (rest[1] - '0') * 10 + (rest[2] - '0');
            rest = rest.substr(3);
            if (!rest.empty() && rest[0] == '.') {
                std::size_t digits = 1;
                long long scale = 100;
                while (digits < rest.size() &&
                       std::isdigit(static_cast<unsigned char>(rest[digits]))) {
                    millis += (rest[digits] - '0') * scale;
                    scale /= 10;
                    ++digits;
                }
                if (digits == 1)
                    return std::nullopt;
                rest = rest.substr(digits);
            }
        }
    }
    std::optional<long long> offsetSeconds;
    if (rest == "Z" || rest == "z") {
        offsetSeconds = 0;
    } else if (!rest.empty()) {
        int hours = 0, minutes = 0, n = 0;
        if ((rest[0] != '+' && rest[0] != '-') ||
            (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &hours, &minutes, &n) != 2 &&
             std::sscanf(rest.c_str() + 1, "%2d%2d%n", &hours, &minutes, &n) != 2) ||
            static_cast<std::size_t>(n) + 1 != rest.size() || hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (rest[0] == '-' ? -1 : 1) * (hours * 3600LL + minutes * 60LL);
    }
    const std::tm asked = tm;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 59)
        return std::nullopt;
    std::tm check = tm;
    const std::time_t t = offsetSeconds ? timegm(&tm) - *offsetSeconds : std::mktime(&tm);
    // 2026-02-30 is no day: the calendar moved it to March.
    if (offsetSeconds)
        timegm(&check);
    else
        check = tm;
    if (check.tm_mday != asked.tm_mday || check.tm_mon != asked.tm_mon - 1)
        return std::nullopt;
    return static_cast<Millis>(t) * 1000 + millis;
}

// A value of the store, rounded to what it can mean: mean values keep two decimals.
double rounded(double v) {
    return std::round(v * 100) / 100;
}

// A negative scale (the attenuation code to dBmV) turns the smallest into the largest.
std::array<double, 3> scaled(const std::array<double, 3>& v, double scale) {
    return scale < 0 ? std::array<double, 3>{v[2] * scale, v[1] * scale, v[0] * scale}
                     : std::array<double, 3>{v[0] * scale, v[1] * scale, v[2] * scale};
}

ordered_json spread(const std::array<double, 3>& v, double scale) {
    const auto s = scaled(v, scale);
    return ordered_json{{"min", rounded(s[0])}, {"mean", rounded(s[1])}, {"max", rounded(s[2])}};
}

namespace {

// Rates per second: the store keeps their minimum and maximum in tenths, so the mean too.
ordered_json rateSpread(const std::array<double, 3>& v) {
    return spread(
        {std::round(v[0] * 10) / 10, std::round(v[1] * 10) / 10, std::round(v[2] * 10) / 10});
}

// Mbit/s of the rate codes' minimum, mean and maximum.
ordered_json rateOfCodes(const std::array<double, 3>& codes) {
    return ordered_json{{"min", rounded(brix::history::codeMbps(codes[0]))},
                        {"mean", rounded(brix::history::codeMbps(codes[1]))},
                        {"max", rounded(brix::history::codeMbps(codes[2]))}};
}

}  // namespace

ordered_json sampleJson(const brix::history::RfRow& r) {
    ordered_json row{{"time", brix::history::isoTime(r.t)}, {"samples", r.samples}};
    row["receive_frequency_mhz"] = spread(r.fields[0], 0.1);
    row["receive_rate_code"] = spread(r.fields[1]);
    row["receive_bit_rate_mbps"] = rateOfCodes(r.fields[1]);
    row["transmit_frequency_mhz"] = spread(r.fields[2], 0.1);
    row["transmit_rate_code"] = spread(r.fields[3]);
    row["transmit_bit_rate_mbps"] = rateOfCodes(r.fields[3]);
    row["attenuation_dbmv"] = spread(r.fields[4], -2);
    return row;
}

ordered_json statisticsJson(const brix::history::StatisticsRow& r) {
    ordered_json row{{"time", brix::history::isoTime(r.t)},
                     {"reports", r.reports},
                     {"seconds", rounded(r.seconds)}};
    for (std::size_t k = 0; k < brix::history::kCounts; ++k) {
        const std::string name = brix::history::kCountNames[k];
        row[name + "_per_second"] = rateSpread(r.rates[k]);
        row[name + "_total"] = r.totals[k];
    }
    return row;
}

ordered_json eventJson(const brix::history::Event& e) {
    return ordered_json{{"time", brix::history::isoTime(e.t)},
                        {"kind", brix::history::eventKindName(e.kind)},
                        {"text", e.text},
                        {"program", e.program}};
}

}  // namespace brixctl
