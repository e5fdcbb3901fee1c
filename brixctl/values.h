#pragma once
// The values brixctl reads from its command line and files and shows: frequencies, bit rates,
// scanner plans, labels, the channel table as JSON. Every parser names the bad value.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "brixctl/output.h"
#include "channels/channel_table.h"
#include "domain/frequency.h"
#include "domain/rates.h"
#include "domain/scanner_plans.h"

namespace brixctl {

// "555.2" (MHz) to tenths of a MHz, 0..maxTenths with at most one decimal. Throws BadValue.
inline constexpr std::uint16_t kTunerMaxTenths = 15000;  // the Tuner's displays: 1500.0 MHz
std::uint16_t parseFrequency(std::string_view text, std::uint16_t maxTenths = kTunerMaxTenths);
// The same for a JSON number.
std::uint16_t frequencyFromMhz(double mhz, const std::string& what, std::uint16_t maxTenths);
// A rate as the lists show it ("6.82", "9.45", also "3.2") to its index 0..4. Throws BadValue.
int parseListRate(std::string_view text);

// A value that the user gave and brixctl refuses; the text names it.
struct BadValue {
    std::string message;
};

// Adds one "PLAN:RATE[,RATE...]" argument to `mask`. Throws BadValue.
void addScannerSetting(std::string_view setting, std::uint8_t& mask);

// The channel file of the window in the current directory.
inline constexpr const char* kChannelFileName = "Brix Tool .lb";

// Labels are stored as Latin-1 bytes, shown through latin1ToUtf8 (domain/text.h). Throws BadValue
// naming `what` for a character outside Latin-1 or text that is not UTF-8.
std::string utf8ToLatin1(std::string_view text, const std::string& what);

// The modem's table with the labels of the stored entries that hold the same frequency and
// bit rate (empty where they differ).
nlohmann::ordered_json tableJson(const brix::ChannelTableBody& body,
                                 const brix::ChannelTable& file);

// The table that `table get --json` prints, read back: its body and its ten labels (Latin-1).
// Throws BadValue for anything else.
struct TableInput {
    brix::ChannelTableBody body;
    std::array<std::optional<std::string>, brix::kChannelCount> labels;  // none: keep the stored
};
TableInput parseTableJson(std::string_view text);

}  // namespace brixctl
