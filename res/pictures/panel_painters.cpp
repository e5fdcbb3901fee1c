// Digits, display faces, bar cells and lamps.

#include <QLinearGradient>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>

#include <array>

#include "painters.h"

namespace res::paint {
namespace {

struct DigitColours {
    QColor face;     // glass behind the segments
    QColor unlit;    // a segment that is off, faintly visible
    QColor lit;      // a segment that is on
    QColor outline;  // drawn around lit segments (transmit set only)
};

DigitColours coloursOf(DigitSet set) {
    if (set == DigitSet::Receive) {
        return {QColor(6, 12, 8), QColor(18, 44, 24), QColor(70, 255, 110), QColor()};
    }
    return {QColor(12, 8, 5), QColor(48, 34, 12), QColor(255, 226, 60), QColor(225, 40, 25)};
}

// Segments a..g, the usual order: top, upper right, lower right, bottom, lower left, upper left,
// middle.
constexpr std::array<std::uint8_t, 10> kSegmentsOf = {
    0b0111111,  // 0: abcdef
    0b0000110,  // 1: bc
    0b1011011,  // 2: abdeg
    0b1001111,  // 3: abcdg
    0b1100110,  // 4: bcfg
    0b1101101,  // 5: acdfg
    0b1111101,  // 6: acdefg
    0b0000111,  // 7: abc
    0b1111111,  // 8
    0b1101111,  // 9: abcdfg
};

// Segment outlines in the 15 x 27 cell: 3 pixels thick with bevelled ends that meet at the
// corners, and a small gap between neighbours so each segment reads on its own.
QPolygonF segment(int index) {
    constexpr qreal h = 1.5;  // half thickness
    constexpr qreal g = 0.9;  // gap at each end
    constexpr qreal left = 2.5, right = 12.5;
    constexpr qreal top = 2.5, middle = 13.5, bottom = 24.5;
    auto horizontal = [&](qreal y) {
        const qreal x0 = left + g, x1 = right - g;
        return QPolygonF(
            {{x0, y}, {x0 + h, y - h}, {x1 - h, y - h}, {x1, y}, {x1 - h, y + h}, {x0 + h, y + h}});
    };
    auto vertical = [&](qreal x, qreal y0, qreal y1) {
        y0 += g;
        y1 -= g;
        return QPolygonF(
            {{x, y0}, {x + h, y0 + h}, {x + h, y1 - h}, {x, y1}, {x - h, y1 - h}, {x - h, y0 + h}});
    };
    switch (index) {
        case 0:
            return horizontal(top);
        case 1:
            return vertical(right, top, middle);
        case 2:
            return vertical(right, middle, bottom);
        case 3:
            return horizontal(bottom);
        case 4:
            return vertical(left, middle, bottom);
        case 5:
            return vertical(left, top, middle);
        default:
            return horizontal(middle);
    }
}

// The segments of one place with the cell's top-left corner at `origin`; the face is not filled.
void segments(QPainter& p, const DigitColours& c, QPointF origin, int digit) {
    const std::uint8_t lit = (digit >= 0 && digit <= 9) ? kSegmentsOf[digit] : 0;
    p.save();
    p.translate(origin);
    p.setPen(Qt::NoPen);
    for (int s = 0; s < 7; ++s) {
        if ((lit & (1u << s)) == 0) {
            p.setBrush(c.unlit);
            p.drawPolygon(segment(s));
        }
    }
    for (int s = 0; s < 7; ++s) {
        if ((lit & (1u << s)) == 0)
            continue;
        const QPolygonF poly = segment(s);
        if (c.outline.isValid()) {
            // A rim outside the segment, then the segment itself over it.
            p.setPen(QPen(c.outline, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.setBrush(Qt::NoBrush);
            p.drawPolygon(poly);
            p.setPen(Qt::NoPen);
        }
        p.setBrush(c.lit);
        p.drawPolygon(poly);
    }
    p.restore();
}

void point(QPainter& p, const DigitColours& c, QPointF centre) {
    const QRectF dot(centre.x() - 1.5, centre.y() - 1.5, 3, 3);
    if (c.outline.isValid()) {
        p.setPen(QPen(c.outline, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawRect(dot);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(c.lit);
    p.drawRect(dot);
}

}  // namespace

QColor panel() {
    return QColor(21, 24, 28);
}

void digit(QPainter& p, DigitSet set, int d) {
    const DigitColours c = coloursOf(set);
    p.fillRect(QRect(QPoint(0, 0), kDigitSize), c.face);
    segments(p, c, QPointF(0, 0), d);
}

void displayBackground(QPainter& p, DigitSet set, bool bitRate) {
    const DigitColours c = coloursOf(set);
    const QRect all(QPoint(0, 0), kDisplaySize);
    p.fillRect(all, c.face);
    // A thin bezel at the very edge, outside every digit cell's drawing area.
    p.setPen(QColor(44, 50, 58));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, all.width() - 1, all.height() - 1));

    // Unlit digits exactly where the controls draw the lit ones.
    const int integerPlaces = bitRate ? 3 : 4;
    for (int i = 0; i < integerPlaces; ++i)
        segments(p, c, QPointF(19 * i + 4, 4), -1);
    if (bitRate)
        segments(p, c, QPointF(68, 4), -1);
    segments(p, c, QPointF(87, 4), -1);

    // The decimal point sits in the gap after the last integer place, level with the bottom
    // segment, and outside every cell that is ever erased or drawn.
    const qreal afterLast = 19 * (integerPlaces - 1) + 4 + kDigitSize.width();  // 76 or 57
    const qreal nextDigit = bitRate ? 68 : 87;
    point(p, c, QPointF((afterLast + nextDigit) / 2.0, 4 + 24.5));
}

void barCell(QPainter& p, QColor lit) {
    const QRect body(0, 0, 3, 13);
    p.fillRect(QRect(0, 0, 4, 13), QColor(10, 12, 14));
    if (lit.isValid()) {
        QLinearGradient g(0, 0, 0, 13);
        g.setColorAt(0.0, lit.lighter(135));
        g.setColorAt(0.5, lit);
        g.setColorAt(1.0, lit.darker(125));
        p.fillRect(body, g);
    } else {
        p.fillRect(body, QColor(32, 36, 40));
        p.fillRect(QRect(0, 0, 3, 1), QColor(40, 45, 50));
    }
}

void lamp(QPainter& p, bool on) {
    p.fillRect(QRect(0, 0, 22, 16), panel());
    const QPointF centre(11, 8);
    // Bezel ring.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(58, 62, 68));
    p.drawEllipse(centre, 7.5, 7.5);
    p.setBrush(QColor(12, 12, 14));
    p.drawEllipse(centre, 6.5, 6.5);
    QRadialGradient g(centre + QPointF(-1.5, -1.5), 7.0);
    if (on) {
        g.setColorAt(0.0, QColor(255, 230, 220));
        g.setColorAt(0.25, QColor(255, 90, 70));
        g.setColorAt(0.8, QColor(225, 25, 15));
        g.setColorAt(1.0, QColor(150, 10, 5));
    } else {
        g.setColorAt(0.0, QColor(120, 40, 36));
        g.setColorAt(0.35, QColor(80, 16, 12));
        g.setColorAt(1.0, QColor(42, 6, 4));
    }
    p.setBrush(g);
    p.drawEllipse(centre, 5.5, 5.5);
}

}  // namespace res::paint
