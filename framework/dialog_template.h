#pragma once
// Dialogs described as data: a window and its controls in dialog units, as a resource editor
// would lay them out. The framework turns a template into widgets; see dialog.h.

#include <QRect>

#include <cstdint>
#include <span>

namespace fw {

// What a template control becomes.
enum class ControlKind : std::uint8_t {
    PushButton,
    DefPushButton,  // the button that Enter presses
    AutoCheckBox,   // toggles itself when clicked
    GroupBox,
    Static,           // text; alignment and prefix handling by style flags
    Edit,             // one-line edit
    DropDownList,     // drop-down list without typing; cy is the dropped height
    ListView,         // report view (columns); usually replaced by attachControl
    TabControl,       // fw::TabControl
    Trackbar,         // horizontal slider
    Icon,             // text holds the icon number ("128"); sized to the icon when cx, cy are 0
    StaticBitmap,     // text holds the bitmap name or number; sized to the bitmap
    OwnerDrawButton,  // bitmap button; the page attaches the real one
    Placeholder,      // empty area for a custom control put in with attachControl
};

// Style flags of a control (combine with |).
namespace cs {
inline constexpr unsigned Disabled = 1u << 0;
inline constexpr unsigned Hidden = 1u << 1;
inline constexpr unsigned TabStop = 1u << 2;
inline constexpr unsigned Center = 1u << 3;  // static text alignment (default left)
inline constexpr unsigned Right = 1u << 4;
inline constexpr unsigned NoPrefix = 1u << 5;     // static: '&' is shown, not a mnemonic
inline constexpr unsigned Border = 1u << 6;       // edit, static
inline constexpr unsigned AutoHScroll = 1u << 7;  // edit
inline constexpr unsigned ReadOnly = 1u << 8;     // edit
inline constexpr unsigned VScroll = 1u << 9;      // drop-down list
inline constexpr unsigned Sort = 1u << 10;        // drop-down list
inline constexpr unsigned SingleSel = 1u << 11;   // list view
inline constexpr unsigned Ticks = 1u << 12;       // trackbar: tick marks below
}  // namespace cs

// Style flags of a dialog window.
namespace ds {
inline constexpr unsigned Popup = 1u << 0;  // top-level window
inline constexpr unsigned Child = 1u << 1;  // page inside another window
inline constexpr unsigned Caption = 1u << 2;
inline constexpr unsigned SysMenu = 1u << 3;
inline constexpr unsigned MinimizeBox = 1u << 4;
inline constexpr unsigned ModalFrame = 1u << 5;
inline constexpr unsigned Visible = 1u << 6;
inline constexpr unsigned AppWindow = 1u << 7;  // own task-bar entry
}  // namespace ds

struct ControlTemplate {
    int id = -1;  // -1: no id (labels, group boxes, pictures)
    ControlKind kind = ControlKind::Static;
    const char* text = "";  // UTF-8
    unsigned style = 0;
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
};

struct DialogTemplate {
    int id = 0;  // 0: no such template
    const char* caption = "";
    const char* fontName = "";
    int fontPoints = 8;
    int cx = 0;
    int cy = 0;
    unsigned style = 0;
    std::span<const ControlTemplate> controls{};

    // The first control with this id, or nullptr.
    const ControlTemplate* find(int controlId) const {
        for (const ControlTemplate& c : controls) {
            if (c.id == controlId)
                return &c;
        }
        return nullptr;
    }
};

// Dialog units to pixels for the fixed base units of 6 x 13 pixels: x * 6 / 4 and y * 13 / 8.
// A rectangle is converted corner by corner, so neighbouring controls stay flush.
constexpr int dialogUnitsToPixelsX(int x) {
    return x * 6 / 4;
}
constexpr int dialogUnitsToPixelsY(int y) {
    return y * 13 / 8;
}
QRect dialogUnitsToPixels(int x, int y, int cx, int cy);
QRect dialogUnitsToPixels(const ControlTemplate& c);

}  // namespace fw
