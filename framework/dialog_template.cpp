#include "framework/dialog_template.h"

namespace fw {

QRect dialogUnitsToPixels(int x, int y, int cx, int cy) {
    const int left = dialogUnitsToPixelsX(x);
    const int top = dialogUnitsToPixelsY(y);
    const int right = dialogUnitsToPixelsX(x + cx);
    const int bottom = dialogUnitsToPixelsY(y + cy);
    return QRect(left, top, right - left, bottom - top);
}

QRect dialogUnitsToPixels(const ControlTemplate& c) {
    return dialogUnitsToPixels(c.x, c.y, c.cx, c.cy);
}

}  // namespace fw
