#pragma once
// Pictures of windows, saved for people to look at and checked for what they must hold: the
// window's size in device pixels, and in the area of a control either something drawn (more
// than one colour) or the same pixels as another picture. No comparison with stored pictures:
// those would break with every font update.

#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <QWidget>

#include <gtest/gtest.h>

#include <set>

namespace brix::testing {

// Grabs `widget`, checks the picture's size and that it is not one flat fill, and saves it as
// `dir`/`name`.png. A null image when there is no picture.
inline QImage savePicture(QWidget* widget, const QString& dir, const QString& name) {
    if (widget == nullptr) {
        ADD_FAILURE() << name.toStdString() << ": no window";
        return {};
    }
    QDir().mkpath(dir);
    const QPixmap pixmap = widget->grab();
    EXPECT_FALSE(pixmap.isNull()) << name.toStdString();
    EXPECT_EQ(pixmap.deviceIndependentSize().toSize(), widget->size()) << name.toStdString();
    EXPECT_TRUE(pixmap.save(dir + QStringLiteral("/") + name + QStringLiteral(".png")))
        << name.toStdString();
    QImage image = pixmap.toImage();
    image.setDevicePixelRatio(pixmap.devicePixelRatio());
    return image;
}

// The part of `picture` (of `root`) that `child` covers, in device pixels.
inline QImage areaOf(const QImage& picture, const QWidget* root, const QWidget* child) {
    if (child == nullptr)
        return {};
    const QRect logical(child->mapTo(root, QPoint(0, 0)), child->size());
    const qreal dpr = picture.devicePixelRatio();
    const QRect device(QPoint(qRound(logical.x() * dpr), qRound(logical.y() * dpr)),
                       QSize(qRound(logical.width() * dpr), qRound(logical.height() * dpr)));
    return picture.copy(device);
}

// The number of colours in `image` (0 for none).
inline std::size_t colours(const QImage& image) {
    std::set<QRgb> seen;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            seen.insert(image.pixel(x, y));
    return seen.size();
}

}  // namespace brix::testing
