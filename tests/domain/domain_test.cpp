// The values every part of the tool shows alike: rates at the edges of their tables, the
// modem's Latin-1 texts, escapes for the terminal, frequency texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "domain/frequency.h"
#include "domain/rates.h"
#include "domain/scanner_plans.h"
#include "domain/text.h"

namespace brix {
namespace {

TEST(Rates, CodesHaveRatesUpToSixOnly) {
    EXPECT_DOUBLE_EQ(*codeRateMbps(0), 2.56);
    EXPECT_DOUBLE_EQ(*codeRateMbps(4), 9.45);
    EXPECT_DOUBLE_EQ(*codeRateMbps(5), 9.45);
    EXPECT_DOUBLE_EQ(*codeRateMbps(6), 9.45);
    EXPECT_FALSE(codeRateMbps(7));
    EXPECT_FALSE(codeRateMbps(65535));
    EXPECT_FALSE(codeRateMbps(-1));

    EXPECT_EQ(codeRateText(0), "  2.56");
    EXPECT_EQ(codeRateText(6), "  9.45");
    EXPECT_EQ(codeRateText(7), kUnknownBitRateText);
}

TEST(Rates, IndexesHaveRatesUpToFourOnly) {
    EXPECT_DOUBLE_EQ(*indexRateMbps(3), 6.82);
    EXPECT_DOUBLE_EQ(*indexRateMbps(4), 9.45);
    EXPECT_FALSE(indexRateMbps(5));
    EXPECT_FALSE(indexRateMbps(255));
    EXPECT_FALSE(indexRateMbps(-1));
}

// The lists' texts are written out; each must say its own rate, and the first five codes are
// the five indexes.
TEST(Rates, ListTextsSayTheirRates) {
    for (std::size_t i = 0; i < kListRates.size(); ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%.2f", kListRates[i] / 100.0);
        EXPECT_STREQ(kListRateTexts[i], text) << "index " << i;
        EXPECT_EQ(kListRates[i], kCodeRates[i]) << "index " << i;
    }
}

TEST(ScannerPlans, EachBitBelongsToOnePlan) {
    unsigned seen = 0;
    for (const ScannerPlan& p : kScannerPlans) {
        EXPECT_EQ(seen & (p.bit682 | p.bit945), 0u) << p.name;
        seen |= p.bit682 | p.bit945;
    }
    EXPECT_EQ(seen, 0xFFu);
    EXPECT_EQ(kScannerDefaults[0], kScannerPlans[0].bit945);  // NTSC at 9.45 Mbit/s
}

TEST(Frequency, TextsAtTheEdges) {
    EXPECT_EQ(mhzText(0), "0.0");
    EXPECT_EQ(mhzText(6035), "603.5");
    EXPECT_EQ(mhzText(65535), "6553.5");
    EXPECT_EQ(mhzUnitText(9), "0.9 MHz");
    EXPECT_EQ(mhzUnitText(65535), "6553.5 MHz");
}

TEST(Text, Latin1BecomesUtf8) {
    EXPECT_EQ(latin1ToUtf8("abc"), "abc");
    EXPECT_EQ(latin1ToUtf8(std::string("\x80\xA0\xE9\xFF", 4)), "\xC2\x80\xC2\xA0\xC3\xA9\xC3\xBF");
    EXPECT_EQ(latin1ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
    // Every byte round-trips to exactly one code point of the same value.
    for (int b = 0x80; b <= 0xFF; ++b) {
        const std::string utf8 = latin1ToUtf8(std::string(1, static_cast<char>(b)));
        ASSERT_EQ(utf8.size(), 2u);
        const int cp = ((static_cast<unsigned char>(utf8[0]) & 0x1F) << 6) |
                       (static_cast<unsigned char>(utf8[1]) & 0x3F);
        EXPECT_EQ(cp, b);
    }
}

TEST(Text, ControlCharactersAreEscaped) {
    EXPECT_EQ(visibleText("plain é text"), "plain é text");
    EXPECT_EQ(visibleText("a\x1b[31mb\n"), "a\\x1b[31mb\\x0a");
    EXPECT_EQ(visibleText(std::string("\0\x7F", 2)), "\\x00\\x7f");
    // C1 controls (a terminal takes U+009B as CSI) as their Latin-1 byte; U+00A0 is no control.
    EXPECT_EQ(visibleText("\xC2\x9B\xC2\xA0"), "\\x9b\xC2\xA0");
    // Bytes that are not UTF-8 are escaped one by one, and the next character is kept whole.
    EXPECT_EQ(visibleText("\xC2\x41"), "\\xc2A");
    EXPECT_EQ(visibleText("\xFF\xE9x"), "\\xff\\xe9x");
    EXPECT_EQ(visibleText("\xC0\xAF"), "\\xc0\\xaf");  // an overlong '/'
    EXPECT_EQ(visibleText("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    // What latin1ToUtf8 makes of any Latin-1 text loses only its controls.
    EXPECT_EQ(visibleText(latin1ToUtf8("\x85\xE9\x07")), "\\x85\xC3\xA9\\x07");
}

}  // namespace
}  // namespace brix
