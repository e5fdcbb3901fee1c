#pragma once
// Text to integer as dialog controls read numbers: optional leading blanks, an optional '-'
// (signed only), decimal digits up to the first non-digit. Anything else, or a value outside
// the 32-bit range, is not translated and reads as 0.

#include <QStringView>

#include <cstdint>

namespace fw {

std::uint32_t parseDlgInt(QStringView text, bool* translated, bool isSigned);

}  // namespace fw
