#pragma once
// The modem's texts: Latin-1 bytes, shown as UTF-8; and any text made safe for a terminal or a
// CSV file, so that nothing the modem (or a label) holds reaches either raw.

#include <string>
#include <string_view>

namespace brix {

// Latin-1 to UTF-8, for the texts the modem sends and the labels stored.
std::string latin1ToUtf8(std::string_view latin1);

// Control characters (C0, DEL, C1) and bytes that are not UTF-8 as "\xNN"; the rest as it is.
std::string visibleText(std::string_view utf8);

}  // namespace brix
