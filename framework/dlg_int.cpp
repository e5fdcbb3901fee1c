#include "framework/dlg_int.h"

#include <cstdint>
#include <limits>

namespace fw {

std::uint32_t parseDlgInt(QStringView text, bool* translated, bool isSigned) {
    if (translated != nullptr)
        *translated = false;
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (isSigned && i < text.size() && text[i] == u'-') {
        negative = true;
        ++i;
    }
    // One past the largest magnitude: 2^31 for a negative signed value.
    const std::uint64_t limit = !isSigned  ? std::numeric_limits<std::uint32_t>::max()
                                : negative ? std::uint64_t{1} << 31
                                           : std::numeric_limits<std::int32_t>::max();
    std::uint64_t magnitude = 0;
    qsizetype digits = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            break;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > limit)
            return 0;  // out of range: not translated
        ++digits;
    }
    if (digits == 0)
        return 0;
    if (translated != nullptr)
        *translated = true;
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

}  // namespace fw
