#pragma once
// The modem's bit rates: the RF report's rate codes, the channel table's rate indexes, and the
// texts the tool shows for them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace brix {

// Rates of the RF report's codes 0..6 in hundredths of Mbit/s (5 and 6 are 9.45 as 4 is);
// codes 7 and above have none.
inline constexpr std::array<std::uint16_t, 7> kCodeRates = {256, 320, 512, 682, 945, 945, 945};
// Rates of the channel table's indexes 0..4, as the lists offer them, in hundredths of Mbit/s.
inline constexpr std::array<std::uint16_t, 5> kListRates = {256, 320, 512, 682, 945};
// The lists' texts of those rates, index by index.
inline constexpr std::array<const char*, 5> kListRateTexts = {"2.56", "3.20", "5.12", "6.82",
                                                              "9.45"};

// Text shown on the RF report lines for bit-rate codes without a rate (7 and above).
inline constexpr const char* kUnknownBitRateText = "     ?";

// Mbit/s of an RF report's rate code, or none outside 0..6.
std::optional<double> codeRateMbps(int code);
// Mbit/s of a channel table's rate index, or none outside 0..4.
std::optional<double> indexRateMbps(int index);
// A code's rate as the RF report lines show it ("%6.2f": "  9.45"), kUnknownBitRateText for a
// code without one.
std::string codeRateText(int code);

}  // namespace brix
