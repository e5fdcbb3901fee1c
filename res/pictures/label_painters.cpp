// Button faces, area captions, the message kind strip and the tool's icon.

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainterPath>
#include <QPolygonF>

#include <cmath>

#include "painters.h"

namespace res::paint {
namespace {

const QColor kReceiveAccent(90, 230, 120);
const QColor kTransmitAccent(245, 200, 70);
const QColor kFocusRing(245, 170, 40);

QFont panelFont(int pixelSize, bool bold = true) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

// A raised (or, pressed, sunken) key cap filling `size`.
void keyCap(QPainter& p, QSize size, FaceState state) {
    const QRectF r(0.5, 0.5, size.width() - 1, size.height() - 1);
    p.fillRect(QRect(QPoint(0, 0), size), panel());
    QLinearGradient g(0, 0, 0, size.height());
    QColor border;
    switch (state) {
        case FaceState::Pressed:
            g.setColorAt(0, QColor(22, 25, 29));
            g.setColorAt(1, QColor(36, 40, 46));
            border = QColor(120, 128, 140);
            break;
        case FaceState::Disabled:
            g.setColorAt(0, QColor(36, 39, 44));
            g.setColorAt(1, QColor(36, 39, 44));
            border = QColor(56, 60, 66);
            break;
        default:
            g.setColorAt(0, QColor(66, 73, 83));
            g.setColorAt(1, QColor(40, 45, 52));
            border = QColor(96, 104, 116);
            break;
    }
    p.setPen(QPen(border, 1));
    p.setBrush(g);
    p.drawRoundedRect(r, 2.5, 2.5);
    if (state == FaceState::Normal || state == FaceState::Focused) {
        // Highlight along the top edge.
        p.setPen(QColor(110, 118, 130));
        p.drawLine(QPointF(3, 1.5), QPointF(size.width() - 3, 1.5));
    }
    if (state == FaceState::Focused) {
        p.setPen(QPen(kFocusRing, 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(1.5, 1.5, -1.5, -1.5), 1.5, 1.5);
    }
}

QColor inkOf(FaceState state, QColor normal) {
    if (state == FaceState::Disabled)
        return QColor(88, 94, 102);
    return normal;
}

// A pressed face shows its content one pixel down and right, as a key going in.
QPointF pressOffset(FaceState state) {
    return state == FaceState::Pressed ? QPointF(1, 1) : QPointF(0, 0);
}

}  // namespace

void textFace(QPainter& p, QSize size, const QString& text, FaceState state) {
    keyCap(p, size, state);
    p.setFont(panelFont(11));
    p.setPen(inkOf(state, QColor(236, 240, 244)));
    p.drawText(QRectF(QPointF(0, 0), size).translated(pressOffset(state)), Qt::AlignCenter, text);
}

void arrowFace(QPainter& p, QSize size, bool up, bool receive, FaceState state) {
    keyCap(p, size, state);
    const QPointF c = QPointF(size.width() / 2.0, size.height() / 2.0) + pressOffset(state);
    const qreal w = 5.0, h = 4.0;
    QPolygonF tri;
    if (up) {
        tri << QPointF(c.x() - w, c.y() + h / 2) << QPointF(c.x() + w, c.y() + h / 2)
            << QPointF(c.x(), c.y() - h / 2 - 1.5);
    } else {
        tri << QPointF(c.x() - w, c.y() - h / 2) << QPointF(c.x() + w, c.y() - h / 2)
            << QPointF(c.x(), c.y() + h / 2 + 1.5);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(inkOf(state, receive ? kReceiveAccent : kTransmitAccent));
    p.drawPolygon(tri);
}

void labelFace(QPainter& p, QSize size, FaceState state) {
    keyCap(p, size, state);
    // A small "go" triangle pointing at the label beside the button.
    const QPointF c = QPointF(size.width() / 2.0, size.height() / 2.0) + pressOffset(state);
    QPolygonF tri;
    tri << QPointF(c.x() - 2.5, c.y() - 4) << QPointF(c.x() + 3.5, c.y())
        << QPointF(c.x() - 2.5, c.y() + 4);
    p.setPen(Qt::NoPen);
    p.setBrush(inkOf(state, kReceiveAccent));
    p.drawPolygon(tri);
}

void caption(QPainter& p, QSize size, const QString& text, QColor colour, int pixelSize) {
    p.fillRect(QRect(QPoint(0, 0), size), panel());
    QFont f = panelFont(pixelSize);
    // Shrink the letters rather than clip a word.
    while (QFontMetricsF(f).horizontalAdvance(text) > size.width() - 2 && f.pixelSize() > 6) {
        f.setPixelSize(f.pixelSize() - 1);
    }
    p.setFont(f);
    p.setPen(colour);
    p.drawText(QRectF(QPointF(0, 0), size), Qt::AlignCenter, text);
}

void stackedWords(QPainter& p, QSize size, const QStringList& words,
                  const std::vector<QColor>& colours, int pixelSize) {
    p.fillRect(QRect(QPoint(0, 0), size), panel());
    if (words.isEmpty())
        return;
    p.setFont(panelFont(pixelSize));
    const qreal row = qreal(size.height()) / words.size();
    for (int i = 0; i < words.size(); ++i) {
        const std::size_t ci = std::size_t(i);
        p.setPen(ci < colours.size() ? colours[ci] : QColor(220, 224, 230));
        p.drawText(QRectF(0, row * i, size.width(), row), Qt::AlignCenter, words[i]);
    }
}

void kindStrip(QPainter& p) {
    p.fillRect(QRect(0, 0, 64, 16), QColor(0, 0, 128));
    p.setRenderHint(QPainter::Antialiasing, true);

    // Embedded: a chip with pins on two sides.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 200, 200));
    for (int k = 0; k < 4; ++k) {
        p.drawRect(QRectF(2, 3.5 + 2.5 * k, 2, 1));
        p.drawRect(QRectF(12, 3.5 + 2.5 * k, 2, 1));
    }
    p.setBrush(QColor(40, 40, 40));
    p.setPen(QPen(QColor(150, 150, 150), 1));
    p.drawRect(QRectF(4.5, 2.5, 7, 11));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(230, 230, 230));
    p.drawEllipse(QPointF(6.5, 4.5), 0.9, 0.9);

    // Driver: a gear.
    {
        const QPointF c(24, 8);
        QPainterPath gear;
        const int teeth = 8;
        for (int k = 0; k < teeth * 2; ++k) {
            const qreal a = (k + 0.5) * M_PI / teeth;
            const qreal rr = (k % 2 == 0) ? 6.6 : 4.9;
            const QPointF pt(c.x() + rr * std::cos(a), c.y() + rr * std::sin(a));
            if (k == 0) {
                gear.moveTo(pt);
            } else {
                gear.lineTo(pt);
            }
        }
        gear.closeSubpath();
        QPainterPath hole;
        hole.addEllipse(c, 2.0, 2.0);
        p.setPen(QPen(QColor(120, 100, 20), 0.8));
        p.setBrush(QColor(240, 200, 60));
        p.drawPath(gear.subtracted(hole));
    }

    // Application: a window with a title bar.
    p.setPen(QPen(QColor(10, 10, 10), 1));
    p.setBrush(QColor(250, 250, 250));
    p.drawRect(QRectF(33.5, 2.5, 13, 11));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 170, 255));
    p.drawRect(QRectF(34, 3, 12, 3));
    p.setBrush(QColor(200, 30, 30));
    p.drawRect(QRectF(43.5, 3.5, 2, 2));

    // Error: a red disc crossed by a white bar.
    p.setPen(QPen(QColor(120, 0, 0), 0.8));
    p.setBrush(QColor(225, 20, 20));
    p.drawEllipse(QPointF(56, 8), 6.6, 6.6);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(51.5, 6.5, 9, 3));
}

void appIcon(QPainter& p, int side) {
    p.save();
    p.scale(side / 32.0, side / 32.0);
    p.setRenderHint(QPainter::Antialiasing, true);
    // Dark rounded panel.
    QLinearGradient g(0, 0, 0, 32);
    g.setColorAt(0, QColor(52, 58, 66));
    g.setColorAt(1, QColor(24, 27, 31));
    p.setPen(QPen(QColor(110, 118, 130), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
    // Level bars rising left to right: green, green, yellow, red.
    const QColor colours[4] = {QColor(70, 230, 110), QColor(70, 230, 110), QColor(245, 210, 60),
                               QColor(240, 64, 48)};
    const qreal heights[4] = {7, 11, 15, 19};
    p.setPen(Qt::NoPen);
    for (int k = 0; k < 4; ++k) {
        p.setBrush(colours[k]);
        p.drawRoundedRect(QRectF(5.5 + 5.5 * k, 27 - heights[k], 4, heights[k]), 0.8, 0.8);
    }
    // A radio signal in the top-left corner, clear of the bars.
    const QPointF source(9, 12);
    p.setBrush(QColor(90, 200, 255));
    p.drawEllipse(source, 1.6, 1.6);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(90, 200, 255), 1.8, Qt::SolidLine, Qt::RoundCap));
    for (qreal r : {4.0, 7.0}) {
        p.drawArc(QRectF(source.x() - r, source.y() - r, 2 * r, 2 * r), 50 * 16, 80 * 16);
    }
    p.restore();
}

}  // namespace res::paint
