#pragma once
// The painters behind res::bitmap and res::icon. Each draws one picture in logical pixels with
// its top-left corner at (0, 0); the caller scales the painter for 2x pictures.

#include <QColor>
#include <QPainter>
#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

namespace res::paint {

enum class DigitSet { Receive, Transmit };
enum class FaceState { Normal, Pressed, Focused, Disabled };

inline constexpr QSize kDigitSize{15, 27};
inline constexpr QSize kDisplaySize{107, 35};

QColor panel();

// A 15 x 27 digit; digit -1 draws every segment unlit.
void digit(QPainter& p, DigitSet set, int digit);
// A 107 x 35 display face with every place unlit and the decimal point lit.
void displayBackground(QPainter& p, DigitSet set, bool bitRate);

// A 4 x 13 bar cell; an invalid colour draws the unlit cell.
void barCell(QPainter& p, QColor lit);
// A 22 x 16 lamp.
void lamp(QPainter& p, bool on);

void textFace(QPainter& p, QSize size, const QString& text, FaceState state);
void arrowFace(QPainter& p, QSize size, bool up, bool receive, FaceState state);
void labelFace(QPainter& p, QSize size, FaceState state);

// A line of text on the panel, centred.
void caption(QPainter& p, QSize size, const QString& text, QColor colour, int pixelSize);
// Words one under the other, each centred in an equal share of the height.
void stackedWords(QPainter& p, QSize size, const QStringList& words,
                  const std::vector<QColor>& colours, int pixelSize);

// The 64 x 16 strip of the four message kind pictures.
void kindStrip(QPainter& p);
// The tool's icon in a square of `side` logical pixels.
void appIcon(QPainter& p, int side);

}  // namespace res::paint
