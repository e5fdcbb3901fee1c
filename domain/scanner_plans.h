#pragma once
// The modem's frequency scanner: four channel plans, each with a bit for 6.82 and one for
// 9.45 Mbit/s in the scan mask (the first byte of the scanner parameters).

#include <array>
#include <cstdint>

namespace brix {

struct ScannerPlan {
    const char* name;
    std::uint8_t bit682;
    std::uint8_t bit945;
};
// In the order the modem's answer and the Scanner page list them.
inline constexpr std::array<ScannerPlan, 4> kScannerPlans = {{
    {"NTSC", 0x02, 0x01},
    {"PALB", 0x08, 0x04},
    {"PALD", 0x20, 0x10},
    {"Other", 0x80, 0x40},
}};
// The parameters that Default sets: NTSC at 9.45 Mbit/s.
inline constexpr std::uint8_t kScannerDefaults[2] = {0x01, 0x00};
// A second byte of 0xFF in an answer: the modem uses its defaults whatever the mask says.
inline constexpr std::uint8_t kShowDefaults = 0xFF;

}  // namespace brix
