#include "bitmap_button.h"

#include <QPainter>

#include <cmath>

#include "pictures.h"

namespace brix {

BitmapButton::BitmapButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::StrongFocus);
}

QChar BitmapButton::faceLetter(Face face) {
    switch (face) {
        case Face::Pressed:
            return u'D';
        case Face::Focused:
            return u'F';
        case Face::Disabled:
            return u'X';
        case Face::Normal:
            break;
    }
    return u'U';
}

bool BitmapButton::loadBitmaps(const QString& setName) {
    setName_ = setName.trimmed().toUpper();
    faceSize_ = res::bitmapSize(setName_ + u'U');
    bool complete = !faceSize_.isEmpty();
    for (Face f : {Face::Pressed, Face::Focused, Face::Disabled}) {
        complete &= !res::bitmapSize(setName_ + faceLetter(f)).isEmpty();
    }
    if (!faceSize_.isEmpty())
        setFixedSize(faceSize_);
    updateGeometry();
    update();  // the new face shows at the next paint, even when the state stays the same
    return complete;
}

bool BitmapButton::autoLoad(const QString& caption) {
    return loadBitmaps(caption);
}

BitmapButton::Face BitmapButton::currentFace() const {
    if (isDown())
        return Face::Pressed;
    if (hasFocus())
        return Face::Focused;
    if (!isEnabled())
        return Face::Disabled;
    return Face::Normal;
}

QSize BitmapButton::sizeHint() const {
    return faceSize_.isEmpty() ? QSize(21, 17) : faceSize_;
}

QPixmap BitmapButton::facePixmap(Face face, qreal dpr) const {
    if (setName_.isEmpty())
        return QPixmap();
    QPixmap pm = res::bitmap(setName_ + faceLetter(face), dpr);
    if (pm.isNull() && face != Face::Normal)
        pm = res::bitmap(setName_ + u'U', dpr);
    return pm;
}

void BitmapButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int scale = qMax(1, int(std::ceil(devicePixelRatioF() - 0.01)));
    const QPixmap pm = facePixmap(currentFace(), scale);
    if (pm.isNull()) {
        p.fillRect(rect(), res::panelColor());
        return;
    }
    p.drawPixmap(0, 0, pm);
}

}  // namespace brix
