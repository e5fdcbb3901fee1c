#pragma once
// Frequencies as the tool shows them: tenths of a MHz to text, without locale surprises.

#include <cstdint>
#include <string>

namespace brix {

// "603.5".
std::string mhzText(std::uint32_t tenths);
// "603.5 MHz".
std::string mhzUnitText(std::uint32_t tenths);

}  // namespace brix
