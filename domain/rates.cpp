#include "domain/rates.h"

#include <cstdio>

namespace brix {

std::optional<double> codeRateMbps(int code) {
    if (code < 0 || code >= static_cast<int>(kCodeRates.size()))
        return std::nullopt;
    return kCodeRates[static_cast<std::size_t>(code)] / 100.0;
}

std::optional<double> indexRateMbps(int index) {
    if (index < 0 || index >= static_cast<int>(kListRates.size()))
        return std::nullopt;
    return kListRates[static_cast<std::size_t>(index)] / 100.0;
}

std::string codeRateText(int code) {
    const std::optional<double> mbps = codeRateMbps(code);
    if (!mbps)
        return kUnknownBitRateText;
    char text[16];
    std::snprintf(text, sizeof text, "%6.2f", *mbps);
    return text;
}

}  // namespace brix
