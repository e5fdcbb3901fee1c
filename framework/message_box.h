#pragma once
// Message boxes with the customary flags and results. Callable from any thread: off the
// user-interface thread the box runs there through the process bridge (uiBridge()) while only
// the calling thread waits. Such a box is closed, answering IDCANCEL, when the bridge is
// cancelled, and after that none is shown (IDCANCEL at once) until the bridge is reset. A box
// asked for on the user-interface thread itself is always shown; inside a bridged call it is
// closed by that call's cancellation like the others.

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

#include "framework/ids.h"

namespace fw {

// Buttons (low four bits).
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
inline constexpr unsigned MB_YESNOCANCEL = 0x3;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_RETRYCANCEL = 0x5;
// Icons.
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;

struct MessageBoxRequest {
    QPointer<QWidget> owner;  // nullptr: no owner, other windows stay usable
    QString text;
    QString caption;
    unsigned flags = MB_OK;
    bool fromOtherThread = false;  // asked from a thread other than the user interface's
};

// Shows the box and returns the button pressed (IDOK, IDCANCEL, IDRETRY, ...). Escape and
// closing the box answer IDCANCEL where there is a Cancel button, else the only button.
int messageBox(QWidget* owner, const QString& text, const QString& caption, unsigned flags);

// Replaces the presentation of boxes: while set, every box is answered by `handler` on the
// user-interface thread (a run without a screen that logs them, say) and nothing is shown.
// nullptr restores real boxes.
using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;
void setMessageBoxHandler(MessageBoxHandler handler);

}  // namespace fw
