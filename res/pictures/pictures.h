#pragma once
// Every bitmap and icon of the tool, drawn by code on first use and cached.
//
// Bitmaps are addressed by name (case-insensitive: "TUNEU", "green", "RecChan") or by number
// (200-221, 273, 280, 281; a name made of digits means the same number). A plain call gives the
// picture at its stated pixel size with device pixel ratio 1; the dpr overloads give the same
// logical size drawn at dpr times the pixels, with devicePixelRatio() set, so a surface of the
// same dpr takes it 1:1. An unknown name gives a null pixmap.
//
// Sizes in logical pixels:
//   200-209, 211-220 digits 15 x 27; 210, 221, 280, 281 display faces 107 x 35;
//   GREEN, YELLOW, RED, BLACK bar cells 4 x 13; LEDON, LEDOFF 22 x 16;
//   TUNE*, SET*, CANCEL* 77 x 23; LABEL* 17 x 17; RECUP*, RECDOWN*, TRANSUP*, TRANSDOWN* 21 x 17
//   (faces U normal, D pressed, F focus, X disabled);
//   RECCHAN, TRANSCHAN 140 x 16; FREQ, BRATE 32 x 16; SLIDEPOS1-4 24 x 12; MESSAGE 80 x 16;
//   LABELS 120 x 16; 273 64 x 16.
//   Icons: 128 32 x 32 (also 16, 48, 64, 96, 256); 133, 134 32 x 16; 276, 277 32 x 48 (three
//   words, one per 16-pixel row, to stand beside three bars 16 pixels apart).
// Area pictures and faces are drawn on panelColor().
//
// Call only on the user-interface thread, after the QGuiApplication exists.

#include <QColor>
#include <QIcon>
#include <QList>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace res {

// Numbers of the bitmaps that are addressed by number.
inline constexpr int kTransmitDigit0 = 200;  // 200..209: digits 0..9, transmit colours
inline constexpr int kTransmitFreqBackground = 210;
inline constexpr int kReceiveDigit0 = 211;  // 211..220: digits 0..9, receive colours
inline constexpr int kReceiveFreqBackground = 221;
inline constexpr int kMessageKinds = 273;  // 64 x 16 strip, four 16 x 16 kind pictures
inline constexpr int kTransmitRateBackground = 280;
inline constexpr int kReceiveRateBackground = 281;

// Icon numbers.
inline constexpr int kAppIcon = 128;
inline constexpr int kInIcon = 133;
inline constexpr int kOutIcon = 134;
inline constexpr int kReceiveBarsIcon = 276;   // MSG SYNC ERR
inline constexpr int kTransmitBarsIcon = 277;  // MSG LVL ERR

QPixmap bitmap(const QString& name);
QPixmap bitmap(const QString& name, qreal dpr);
QPixmap bitmap(int id);
QPixmap bitmap(int id, qreal dpr);

// Logical size of a bitmap, or an empty size for an unknown name.
QSize bitmapSize(const QString& name);
QSize bitmapSize(int id);

// Icons 128, 133, 134, 276, 277; a null icon for any other number. The icon holds its natural
// size (iconSize) at 1x and 2x; 128 also holds 16, 32, 48 and 256 pixel squares.
QIcon icon(int id);
QSize iconSize(int id);
// One picture of an icon at its natural size (or at `size` when given), for icon controls.
QPixmap iconPixmap(int id, qreal dpr = 1.0, QSize size = QSize());

// The dark panel colour that the area pictures and buttons are drawn on; a page that shows them
// should use it as its background so they sit flush.
QColor panelColor();

// Every bitmap name (upper case, numbers as digits) and every icon number, for review tools.
QStringList bitmapNames();
QList<int> iconIds();

}  // namespace res
