#pragma once
// The history's rows as JSON, the same for brixctl history --json and the served API, and the
// times both take.

#include <array>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "history/history_store.h"

namespace brixctl {

// "90s", "30m", "2h", "7d", "1y" before `now`, "now", "today", "yesterday", "13:01", or an ISO
// time; nullopt when it is none of them.
std::optional<brix::history::Millis> parseTime(const std::string& text, brix::history::Millis now);

// A value of the store, rounded to what it can mean: mean values keep two decimals.
double rounded(double v);
// Minimum, mean and maximum times `scale`; a negative scale (the attenuation code to dBmV)
// turns the smallest into the largest.
std::array<double, 3> scaled(const std::array<double, 3>& v, double scale);
nlohmann::ordered_json spread(const std::array<double, 3>& v, double scale = 1);

nlohmann::ordered_json sampleJson(const brix::history::RfRow& r);
nlohmann::ordered_json statisticsJson(const brix::history::StatisticsRow& r);
nlohmann::ordered_json eventJson(const brix::history::Event& e);

}  // namespace brixctl
