// What the display controls draw, copy by copy, for the values the Tuner feeds them.

#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "display_controls.h"
#include "draw_log.h"
#include "pictures.h"

namespace brix {

void PrintTo(const Blit& b, std::ostream* os) {
    static const char* kinds[] = {"Background", "Cell", "Digit", "Lit", "Unlit"};
    *os << kinds[int(b.kind)];
    if (b.kind == Blit::Kind::Digit)
        *os << b.digit;
    *os << "@(" << b.x << ',' << b.y << ')';
}

namespace {

using Kind = Blit::Kind;
using Blits = std::vector<Blit>;

Blit digitAt(int d, int x) {
    return {Kind::Digit, d, x, 4};
}
Blit cellOf(int place) {
    return {Kind::Cell, -1, 19 * place, 0};
}
Blit background() {
    return {Kind::Background, -1, 0, 0};
}

Blits cells(Kind kind, int from, int to) {  // cells from..to-1
    Blits out;
    for (int c = from; c < to; ++c)
        out.push_back({kind, -1, 4 * c, 0});
    return out;
}

Blits operator+(Blits a, const Blits& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Draws the control's starting picture and forgets it, so a test sees only its own copies.
template <typename Control>
void settle(Control& c) {
    c.grab();
    drawLog(c).clear();
}

struct ReceiveFrequency : ::testing::Test {
    FrequencyDisplay display;
    void SetUp() override {
        ASSERT_TRUE(display.loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground));
        settle(display);
    }
    Blits drawn() { return drawLog(display).entries(); }
};

TEST_F(ReceiveFrequency, FirstDrawIsBackgroundThenEveryPlace) {
    FrequencyDisplay fresh;
    fresh.loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground);
    fresh.setValue(0, false);
    // "   0.0": three blank cells, 0, the point left to the background, 0.
    EXPECT_EQ(drawLog(fresh).entries(), (Blits{background(), cellOf(0), cellOf(1), cellOf(2),
                                                digitAt(0, 61), digitAt(0, 87)}));
}

TEST_F(ReceiveFrequency, ClampsToMaximumAndDrawsOnlyChangedPlaces) {
    display.setValue(20000, false);
    EXPECT_EQ(display.value(), 15000u);
    // "   0.0" -> "1500.0": place 3 and the tenths keep their 0.
    EXPECT_EQ(drawn(), (Blits{digitAt(1, 4), digitAt(5, 23), digitAt(0, 42)}));

    drawLog(display).clear();
    display.setValue(0xFFFFFFFFu, false);  // a -1 typed by the user, read unsigned
    EXPECT_EQ(display.value(), 15000u);
    EXPECT_TRUE(drawn().empty());
}

TEST_F(ReceiveFrequency, FallingBelowAThousandErasesTheFirstPlace) {
    display.setValue(10000, false);
    drawLog(display).clear();
    display.setValue(9999, false);
    EXPECT_EQ(drawn(),
              (Blits{cellOf(0), digitAt(9, 23), digitAt(9, 42), digitAt(9, 61), digitAt(9, 87)}));
}

TEST_F(ReceiveFrequency, UnchangedValueDrawsNothingAndRedrawAllDrawsEverything) {
    display.setValue(4525, false);
    drawLog(display).clear();
    const auto before = drawLog(display).total();
    display.setValue(4525, false);
    EXPECT_EQ(drawLog(display).total(), before);

    display.setValue(4525, true);
    EXPECT_EQ(drawn(),
              (Blits{cellOf(0), digitAt(4, 23), digitAt(5, 42), digitAt(2, 61), digitAt(5, 87)}));
}

TEST(FrequencyDisplay, StoresValuesBeforeItsBitmapsAndShowsThemOnceLoaded) {
    FrequencyDisplay display;
    display.setValue(4525, false);
    EXPECT_EQ(display.value(), 4525u);
    EXPECT_EQ(drawLog(display).total(), 0u);
    EXPECT_FALSE(display.hasSurface());

    display.loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground);
    display.grab();
    EXPECT_EQ(drawLog(display).entries(), (Blits{background(), cellOf(0), digitAt(4, 23),
                                                  digitAt(5, 42), digitAt(2, 61), digitAt(5, 87)}));
}

TEST(FrequencyDisplay, LostSurfaceIsRepaintedFromState) {
    FrequencyDisplay display;
    display.loadBitmaps(res::kTransmitDigit0, res::kTransmitFreqBackground);
    display.setValue(1234, false);
    display.dropSurface();
    drawLog(display).clear();
    display.grab();
    EXPECT_TRUE(display.hasSurface());
    EXPECT_EQ(drawLog(display).entries(), (Blits{background(), cellOf(0), digitAt(1, 23),
                                                  digitAt(2, 42), digitAt(3, 61), digitAt(4, 87)}));
}

// The surface must hold the bitmaps pixel for pixel at their place, at any screen scale.
TEST(FrequencyDisplay, SurfaceHoldsBitmapsOneToOne) {
    FrequencyDisplay display;
    display.loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground);
    display.setValue(4525, false);
    const int s = display.surfaceScale();
    if (qgetenv("QT_SCALE_FACTOR") == "2") {
        EXPECT_EQ(s, 2);
    }
    const QImage surface = display.surface().toImage();
    ASSERT_EQ(surface.size(), QSize(107, 35) * s);
    EXPECT_EQ(surface.devicePixelRatio(), s);

    auto region = [&](int x, int y, int w, int h) {
        QImage r = surface.copy(x * s, y * s, w * s, h * s);
        r.setDevicePixelRatio(1.0);
        return r.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };
    auto picture = [&](int id) {
        QImage r = res::bitmap(id, s).toImage();
        r.setDevicePixelRatio(1.0);
        return r.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };
    EXPECT_EQ(region(23, 4, 15, 27), picture(res::kReceiveDigit0 + 4));
    EXPECT_EQ(region(61, 4, 15, 27), picture(res::kReceiveDigit0 + 2));
    EXPECT_EQ(region(87, 4, 15, 27), picture(res::kReceiveDigit0 + 5));
    // The blank first place and the point are the background's own pixels.
    const QImage bg = picture(res::kReceiveFreqBackground);
    EXPECT_EQ(region(0, 0, 19, 35), bg.copy(0, 0, 19 * s, 35 * s));
    EXPECT_EQ(region(76, 0, 11, 35), bg.copy(76 * s, 0, 11 * s, 35 * s));
}

struct ReceiveRate : ::testing::Test {
    BitRateDisplay display;
    void SetUp() override {
        ASSERT_TRUE(display.loadBitmaps(res::kReceiveDigit0, res::kReceiveRateBackground));
        settle(display);
    }
    Blits drawn() { return drawLog(display).entries(); }
};

TEST_F(ReceiveRate, StartsAtTheFirstRate) {
    BitRateDisplay fresh;
    fresh.loadBitmaps(res::kReceiveDigit0, res::kReceiveRateBackground);
    fresh.grab();
    // "  2.56": two blank cells, 2, point, 5 at 68, 6 at 87.
    EXPECT_EQ(drawLog(fresh).entries(), (Blits{background(), cellOf(0), cellOf(1), digitAt(2, 42),
                                                digitAt(5, 68), digitAt(6, 87)}));
    EXPECT_EQ(fresh.rateTable(), (std::array<std::uint16_t, 7>{256, 320, 512, 682, 945, 945, 945}));
}

TEST_F(ReceiveRate, CodesFiveAndSixShowNineFortyFiveAndKeepTheirCode) {
    display.setValue(4, false);
    for (std::uint32_t code : {5u, 6u}) {
        drawLog(display).clear();
        display.setValue(code, false);
        EXPECT_EQ(display.value(), code);
        // Same text: only the two decimals, which are copied at every call.
        EXPECT_EQ(drawn(), (Blits{digitAt(4, 68), digitAt(5, 87)}));
    }
    display.setValue(7, false);
    EXPECT_EQ(display.value(), 6u);
    display.setValue(0xFFFFu, false);
    EXPECT_EQ(display.value(), 6u);
}

TEST_F(ReceiveRate, ChangedIntegerPlaceIsRedrawn) {
    display.setValue(3, false);  // 2.56 -> 6.82
    EXPECT_EQ(drawn(), (Blits{digitAt(6, 42), digitAt(8, 68), digitAt(2, 87)}));
    drawLog(display).clear();
    display.setValue(3, true);
    EXPECT_EQ(drawn(),
              (Blits{cellOf(0), cellOf(1), digitAt(6, 42), digitAt(8, 68), digitAt(2, 87)}));
}

TEST(BitRateDisplay, ConstructorKeepsTheCodeWithinTheTable) {
    BitRateDisplay display(9, 0, 40);
    EXPECT_EQ(display.maximum(), 6u);
    EXPECT_EQ(display.value(), 6u);
    display.loadBitmaps(res::kTransmitDigit0, res::kTransmitRateBackground);
    display.setValue(30, true);
    EXPECT_EQ(display.value(), 6u);
}

struct Bar : ::testing::Test {
    Blits drawn(const LevelBar& bar) { return drawLog(bar).entries(); }
    void load(LevelBar& bar) {
        ASSERT_TRUE(bar.loadBitmaps(QStringLiteral("GREEN"), QStringLiteral("BLACK")));
        settle(bar);
    }
};

TEST_F(Bar, ScalesToTheLargestValueSeen) {
    LevelBar bar(1, 24);
    load(bar);
    bar.setLevel(1, false);
    EXPECT_EQ(bar.lastLit(), 24u);
    EXPECT_EQ(drawn(bar), cells(Kind::Lit, 0, 24));

    drawLog(bar).clear();
    bar.setLevel(0, false);
    EXPECT_EQ(bar.lastLit(), 0u);
    EXPECT_EQ(drawn(bar), cells(Kind::Unlit, 0, 24));

    drawLog(bar).clear();
    bar.setLevel(100, false);
    EXPECT_EQ(bar.peak(), 100u);
    EXPECT_EQ(drawn(bar), cells(Kind::Lit, 0, 24));

    drawLog(bar).clear();
    bar.setLevel(50, false);
    EXPECT_EQ(bar.peak(), 100u);
    EXPECT_EQ(bar.lastLit(), 12u);
    EXPECT_EQ(bar.lastValue(), 50u);
    EXPECT_EQ(drawn(bar), cells(Kind::Unlit, 12, 24));

    drawLog(bar).clear();
    bar.setLevel(50, false);
    EXPECT_TRUE(drawn(bar).empty());
}

TEST_F(Bar, TransmitLevelStartsWithPeakSixteen) {
    LevelBar bar(16, 24);
    load(bar);
    bar.setLevel(8, false);
    EXPECT_EQ(bar.peak(), 16u);
    EXPECT_EQ(drawn(bar), cells(Kind::Lit, 0, 12));
}

TEST_F(Bar, LastCellIsAlwaysDark) {
    LevelBar bar(1, 24);
    load(bar);
    EXPECT_EQ(bar.size(), QSize(100, 13));
    bar.setLevel(5, false);
    drawLog(bar).clear();
    bar.setLevel(5, true);
    EXPECT_EQ(drawn(bar), cells(Kind::Lit, 0, 24) + cells(Kind::Unlit, 24, 25));

    bar.dropSurface();
    drawLog(bar).clear();
    bar.grab();  // repaint from lastValue
    EXPECT_EQ(drawn(bar), cells(Kind::Lit, 0, 24) + cells(Kind::Unlit, 24, 25));
}

// A negative transmit level arrives as a huge unsigned number; it must not wreck the scale.
TEST_F(Bar, NegativeLevelShowsDarkAndLeavesThePeakAlone) {
    LevelBar bar(16, 24);
    load(bar);
    bar.setLevel(8, false);
    drawLog(bar).clear();
    bar.setLevel(0xFFFFFFFFu, false);  // -1
    EXPECT_EQ(bar.peak(), 16u);
    EXPECT_EQ(bar.lastLit(), 0u);
    EXPECT_EQ(drawn(bar), cells(Kind::Unlit, 0, 12));

    bar.setLevel(0x80000000u, false);  // the most negative level
    EXPECT_EQ(bar.peak(), 16u);

    drawLog(bar).clear();
    bar.setLevel(8, false);  // ordinary values light again
    EXPECT_EQ(bar.lastLit(), 12u);
    EXPECT_EQ(drawn(bar), cells(Kind::Lit, 0, 12));
}

TEST_F(Bar, LargeRatesDoNotWrapTheProduct) {
    LevelBar bar(1, 24);
    load(bar);
    bar.setLevel(0x7FFFFFFFu, false);
    EXPECT_EQ(bar.peak(), 0x7FFFFFFFu);
    EXPECT_EQ(bar.lastLit(), 24u);
    bar.setLevel(0x40000000u, false);  // 24 * 2^30 wraps to 0 in 32 bits
    EXPECT_EQ(bar.lastLit(), 12u);
}

TEST(LevelBar, ZeroPeakDoesNotDivideByZero) {
    LevelBar bar(0, 24);
    bar.loadBitmaps(QStringLiteral("RED"), QStringLiteral("BLACK"));
    bar.setLevel(0, true);
    EXPECT_EQ(bar.lastLit(), 0u);
    bar.setLevel(3, false);
    EXPECT_EQ(bar.lastLit(), 24u);
}

TEST(LedIndicator, TogglesBetweenItsTwoPicturesAndRepaintsTheLastOne) {
    LedIndicator lamp;
    lamp.loadBitmaps();
    settle(lamp);
    EXPECT_EQ(lamp.state(), 0);

    lamp.toggle();
    EXPECT_EQ(lamp.state(), 1);
    lamp.toggle();
    EXPECT_EQ(lamp.state(), 0);
    lamp.toggle();
    EXPECT_EQ(drawLog(lamp).entries(),
              (Blits{{Kind::Lit, -1, 0, 0}, {Kind::Unlit, -1, 0, 0}, {Kind::Lit, -1, 0, 0}}));

    lamp.dropSurface();
    drawLog(lamp).clear();
    lamp.grab();
    EXPECT_EQ(drawLog(lamp).entries(), (Blits{{Kind::Lit, -1, 0, 0}}));
    EXPECT_EQ(lamp.state(), 1);

    lamp.showOff();
    EXPECT_EQ(lamp.state(), 0);
}

TEST(DisplayControls, AreSizedToTheirBitmapsAndLetTheMouseThrough) {
    FrequencyDisplay freq;
    BitRateDisplay rate;
    LevelBar bar;
    LedIndicator lamp;
    const std::vector<std::pair<QWidget*, QSize>> expected = {
        {&freq, {107, 35}}, {&rate, {107, 35}}, {&bar, {100, 13}}, {&lamp, {22, 16}}};
    for (const auto& [w, size] : expected) {
        EXPECT_EQ(w->size(), size);
        // Layouts and the framework's placement must not stretch them.
        w->setGeometry(0, 0, 300, 300);
        EXPECT_EQ(w->size(), size);
        EXPECT_TRUE(w->testAttribute(Qt::WA_TransparentForMouseEvents));
    }
}


}  // namespace
}  // namespace brix
