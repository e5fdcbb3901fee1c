#include "domain/text.h"

namespace brix {

std::string latin1ToUtf8(std::string_view latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (const char ch : latin1) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

void escape(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

// The length of the UTF-8 sequence at `i`, or 0 when none starts there (overlong forms,
// surrogates and code points past U+10FFFF included).
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const auto cont = [&](std::size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    const unsigned char lead = b(0);
    if (lead >= 0xC2 && lead <= 0xDF)
        return cont(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!cont(1) || !cont(2) || (lead == 0xE0 && b(1) < 0xA0) || (lead == 0xED && b(1) > 0x9F))
            return 0;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3) || (lead == 0xF0 && b(1) < 0x90) ||
            (lead == 0xF4 && b(1) > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

}  // namespace

std::string visibleText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto u = static_cast<unsigned char>(utf8[i]);
        if (u < 0x80) {
            if (u < 0x20 || u == 0x7F) {
                escape(out, u);
            } else {
                out += static_cast<char>(u);
            }
            ++i;
            continue;
        }
        const std::size_t n = utf8Length(utf8, i);
        if (n == 0) {
            escape(out, u);
            ++i;
        } else if (n == 2 && u == 0xC2 && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            // U+0080..U+009F: the C1 controls (CSI among them), shown as their Latin-1 byte.
            escape(out, static_cast<unsigned char>(utf8[i + 1]));
            i += 2;
        } else {
            out.append(utf8.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace brix
