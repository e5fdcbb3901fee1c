#include "domain/frequency.h"

namespace brix {

std::string mhzText(std::uint32_t tenths) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string mhzUnitText(std::uint32_t tenths) {
    return mhzText(tenths) + " MHz";
}

}  // namespace brix
