#pragma once
// A simulated past of the modem written into a history store: days of reports with outages of
// several lengths, a retune and its channel change, a gap, and a noisy evening, so that the
// History window and the dashboard show what they are for in a demonstration, and tests have a
// month to draw without waiting a month.

#include <cstdint>
#include <string>

namespace brix::sim {

// Writes the `days` before now into the new store `path`; false with the reason in `error`.
bool fillHistory(const std::string& path, int days, std::uint32_t seed, std::string& error);

}  // namespace brix::sim
