// The pictures: sizes and scales the controls rely on, and the rules that make erasing by
// background cells invisible.

#include <QColor>
#include <QImage>

#include <gtest/gtest.h>

#include "pictures.h"

namespace {

QImage image(const QPixmap& pm) {
    QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(1.0);
    return img;
}

int brightness(QRgb c) {
    return qMax(qRed(c), qMax(qGreen(c), qBlue(c)));
}

TEST(Pictures, HaveTheirStatedSizesAtOneAndTwoTimes) {
    struct Case {
        QString name;
        QSize size;
    };
    std::vector<Case> cases;
    for (int d = 0; d < 10; ++d) {
        cases.push_back({QString::number(200 + d), {15, 27}});
        cases.push_back({QString::number(211 + d), {15, 27}});
    }
    for (int id : {210, 221, 280, 281})
        cases.push_back({QString::number(id), {107, 35}});
    cases.push_back({QStringLiteral("273"), {64, 16}});
    for (const char* n : {"GREEN", "YELLOW", "RED", "BLACK"})
        cases.push_back({n, {4, 13}});
    for (const char* n : {"LEDON", "LEDOFF"})
        cases.push_back({n, {22, 16}});
    for (const char* set :
         {"TUNE", "SET", "CANCEL", "LABEL", "RECUP", "RECDOWN", "TRANSUP", "TRANSDOWN"}) {
        const QSize size = QString(set) == "LABEL" ? QSize(17, 17)
                           : QString(set).startsWith("REC") || QString(set).startsWith("TRANS")
                               ? QSize(21, 17)
                               : QSize(77, 23);
        for (const char* letter : {"U", "D", "F", "X"}) {
            cases.push_back({QString(set) + letter, size});
        }
    }
    for (const char* n : {"RECCHAN", "TRANSCHAN", "FREQ", "BRATE", "SLIDEPOS1", "SLIDEPOS2",
                          "SLIDEPOS3", "SLIDEPOS4", "MESSAGE", "LABELS"}) {
        cases.push_back({n, res::bitmapSize(n)});
        EXPECT_FALSE(res::bitmapSize(n).isEmpty()) << n;
    }
    for (const Case& c : cases) {
        const QPixmap one = res::bitmap(c.name);
        const QPixmap two = res::bitmap(c.name.toLower(), 2.0);
        ASSERT_FALSE(one.isNull()) << qPrintable(c.name);
        EXPECT_EQ(one.size(), c.size) << qPrintable(c.name);
        EXPECT_EQ(one.devicePixelRatio(), 1.0);
        EXPECT_EQ(two.size(), c.size * 2) << qPrintable(c.name);
        EXPECT_EQ(two.devicePixelRatio(), 2.0);
        EXPECT_EQ(two.deviceIndependentSize().toSize(), c.size);
    }
    EXPECT_EQ(res::bitmap(213).toImage(), res::bitmap(QStringLiteral("213")).toImage());
    EXPECT_TRUE(res::bitmap(QStringLiteral("NOPE")).isNull());
    EXPECT_TRUE(res::bitmap(199).isNull());
}

TEST(Pictures, FaceStatesLookDifferent) {
    for (const char* set :
         {"TUNE", "SET", "CANCEL", "LABEL", "RECUP", "RECDOWN", "TRANSUP", "TRANSDOWN"}) {
        const QString s = QString::fromLatin1(set);
        const QImage u = image(res::bitmap(s + "U")), d = image(res::bitmap(s + "D")),
                     f = image(res::bitmap(s + "F")), x = image(res::bitmap(s + "X"));
        EXPECT_NE(u, d) << set;
        EXPECT_NE(u, f) << set;
        EXPECT_NE(u, x) << set;
        EXPECT_NE(d, f) << set;
    }
    EXPECT_NE(image(res::bitmap("TUNEU")), image(res::bitmap("SETU")));
    EXPECT_NE(image(res::bitmap("RECUPU")), image(res::bitmap("RECDOWNU")));
}

// Places are erased by copying the background's cell, so every place of a background must be
// the same unlit digit, and the lit point must stay outside every cell and digit.
TEST(Pictures, BackgroundPlacesAreAlikeAndThePointIsOutsideThem) {
    for (qreal dpr : {1.0, 2.0}) {
        struct Bg {
            int id;
            std::vector<int> digitX;
            int pointFrom, pointTo;  // the gap that holds the point
        };
        const Bg backgrounds[] = {{210, {4, 23, 42, 61, 87}, 76, 87},
                                  {221, {4, 23, 42, 61, 87}, 76, 87},
                                  {280, {4, 23, 42, 68, 87}, 57, 68},
                                  {281, {4, 23, 42, 68, 87}, 57, 68}};
        const int s = int(dpr);
        for (const Bg& bg : backgrounds) {
            const QImage img = image(res::bitmap(bg.id, dpr));
            const QImage first = img.copy(bg.digitX[0] * s, 4 * s, 15 * s, 27 * s);
            for (int x : bg.digitX) {
                EXPECT_EQ(img.copy(x * s, 4 * s, 15 * s, 27 * s), first) << bg.id << " x " << x;
            }
            int brightest = 0;
            for (int y = 4 * s; y < 31 * s; ++y) {
                for (int x = bg.pointFrom * s; x < bg.pointTo * s; ++x) {
                    brightest = qMax(brightest, brightness(img.pixel(x, y)));
                }
            }
            EXPECT_GT(brightest, 200) << "no lit point in background " << bg.id;
            // Unlit segments are only faintly visible.
            int unlit = 0;
            for (int y = 0; y < first.height(); ++y) {
                for (int x = 0; x < first.width(); ++x) {
                    unlit = qMax(unlit, brightness(first.pixel(x, y)));
                }
            }
            EXPECT_LT(unlit, 90) << bg.id;
        }
    }
}

// A digit picture drawn over a place must agree with the background there wherever it is
// unlit, or a changed digit would leave a seam.
TEST(Pictures, DigitFaceMatchesTheBackgroundAroundTheSegments) {
    for (auto [digit0, bgId] : {std::pair{211, 221}, std::pair{200, 210}}) {
        const QImage bg = image(res::bitmap(bgId)).copy(23, 4, 15, 27);
        for (int d = 0; d < 10; ++d) {
            const QImage img = image(res::bitmap(digit0 + d));
            // The corners of the cell hold no segment.
            for (QPoint p : {QPoint(0, 0), QPoint(14, 0), QPoint(0, 26), QPoint(14, 26)}) {
                EXPECT_EQ(img.pixel(p), bg.pixel(p)) << digit0 + d;
            }
        }
        // Digit 1 lights only the right side: the left segments match the unlit background.
        const QImage one = image(res::bitmap(digit0 + 1));
        EXPECT_EQ(one.copy(0, 8, 4, 11), bg.copy(0, 8, 4, 11));
    }
}

TEST(Pictures, KindStripHasFourPicturesOnDarkBlue) {
    const QImage strip = image(res::bitmap(res::kMessageKinds));
    ASSERT_EQ(strip.size(), QSize(64, 16));
    const QRgb blue = qRgb(0, 0, 128);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(strip.pixel(16 * k, 0), blue) << k;
        int drawn = 0;
        for (int y = 0; y < 16; ++y) {
            for (int x = 16 * k; x < 16 * k + 16; ++x)
                drawn += strip.pixel(x, y) != blue;
        }
        EXPECT_GT(drawn, 40) << "kind " << k << " is nearly empty";
    }
    // Error: red disc, white bar through the middle.
    EXPECT_EQ(QColor(strip.pixel(56, 8)), QColor(Qt::white));
    EXPECT_GT(qRed(strip.pixel(56, 3)), 180);
    EXPECT_LT(qGreen(strip.pixel(56, 3)), 60);
}

TEST(Pictures, IconsHaveTheirSizes) {
    const QIcon app = res::icon(res::kAppIcon);
    ASSERT_FALSE(app.isNull());
    for (int side : {16, 32, 48, 256}) {
        EXPECT_TRUE(app.availableSizes().contains(QSize(side, side))) << side;
    }
    for (int id : {133, 134, 276, 277}) {
        EXPECT_FALSE(res::icon(id).isNull()) << id;
        EXPECT_EQ(res::iconPixmap(id).size(), res::iconSize(id)) << id;
        EXPECT_EQ(res::iconPixmap(id, 2.0).size(), res::iconSize(id) * 2) << id;
    }
    EXPECT_TRUE(res::icon(129).isNull());
}

}  // namespace
