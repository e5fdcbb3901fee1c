// Face choice, sizing and redraw of the bitmap buttons.

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include "bitmap_button.h"
#include "pictures.h"

namespace brix {
namespace {

using Face = BitmapButton::Face;

// What the button shows, in device pixels, compared with a face picture.
QImage shown(BitmapButton& b) {
    QImage img = b.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(1.0);
    return img;
}

QImage face(const QString& name, const BitmapButton& b) {
    const int scale = qMax(1, qCeil(b.devicePixelRatioF() - 0.01));
    QImage img =
        res::bitmap(name, scale).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(1.0);
    return img;
}

TEST(BitmapButton, CaptionNamesTheSetAndSizesTheButton) {
    BitmapButton b;
    b.setText(QStringLiteral("RecUp"));
    EXPECT_TRUE(b.autoLoad());
    EXPECT_EQ(b.setName(), QStringLiteral("RECUP"));
    EXPECT_EQ(b.size(), QSize(21, 17));

    EXPECT_TRUE(b.autoLoad(QStringLiteral("TransDown")));
    EXPECT_EQ(b.setName(), QStringLiteral("TRANSDOWN"));

    EXPECT_TRUE(b.loadBitmaps(QStringLiteral("tune")));
    EXPECT_EQ(b.size(), QSize(77, 23));
    EXPECT_TRUE(b.loadBitmaps(QStringLiteral("LABEL")));
    EXPECT_EQ(b.size(), QSize(17, 17));
}

TEST(BitmapButton, PressedBeatsFocusBeatsDisabled) {
    QWidget page;
    auto* b = new BitmapButton(&page);
    auto* other = new BitmapButton(&page);
    b->loadBitmaps(QStringLiteral("TUNE"));
    other->loadBitmaps(QStringLiteral("CANCEL"));
    other->move(0, 40);
    page.show();
    QApplication::setActiveWindow(&page);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&page));

    other->setFocus();
    EXPECT_EQ(b->currentFace(), Face::Normal);
    EXPECT_EQ(shown(*b), face(QStringLiteral("TUNEU"), *b));

    b->setFocus();
    EXPECT_EQ(b->currentFace(), Face::Focused);
    EXPECT_EQ(shown(*b), face(QStringLiteral("TUNEF"), *b));

    b->setDown(true);
    EXPECT_EQ(b->currentFace(), Face::Pressed);
    EXPECT_EQ(shown(*b), face(QStringLiteral("TUNED"), *b));
    b->setDown(false);

    other->setEnabled(false);
    EXPECT_EQ(other->currentFace(), Face::Disabled);
    EXPECT_EQ(shown(*other), face(QStringLiteral("CANCELX"), *other));
}

TEST(BitmapButton, NewSetShowsAtOnceAndClicksStillArrive) {
    QWidget page;
    auto* b = new BitmapButton(&page);
    b->loadBitmaps(QStringLiteral("TUNE"));
    b->setFocusPolicy(Qt::NoFocus);
    page.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));

    b->loadBitmaps(QStringLiteral("SET"));
    EXPECT_EQ(shown(*b), face(QStringLiteral("SETU"), *b));

    QSignalSpy clicked(b, &QAbstractButton::clicked);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(clicked.count(), 1);
}

TEST(BitmapButton, MissingSetIsReportedAndStillPaints) {
    BitmapButton b;
    EXPECT_FALSE(b.loadBitmaps(QStringLiteral("NOSUCHSET")));
    EXPECT_FALSE(b.grab().isNull());
    EXPECT_EQ(b.sizeHint(), QSize(21, 17));
}

}  // namespace
}  // namespace brix
