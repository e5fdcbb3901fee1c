#include "framework/cursor.h"

#include "framework/ui_bridge.h"

namespace fw {

namespace {

// The window under the wait cursor; user-interface thread only.
QPointer<QWidget> waitWindow;

void restoreOnUiThread(const std::optional<QCursor>& cursor) {
    QWidget* window = waitWindow.data();
    if (window == nullptr)
        return;
    if (cursor)
        window->setCursor(*cursor);
    else
        window->unsetCursor();
}

}  // namespace

SavedCursor beginWaitCursor(QWidget* over) {
    SavedCursor saved;
    QWidget* window = over != nullptr ? over->window() : nullptr;
    if (window == nullptr)
        return saved;
    // A window keeps a cursor of its own once it had one; the arrow is the normal cursor.
    if (window->testAttribute(Qt::WA_SetCursor) && window->cursor().shape() != Qt::ArrowCursor)
        saved.cursor_ = window->cursor();
    window->setCursor(Qt::WaitCursor);
    waitWindow = window;
    return saved;
}

void restoreCursor(const SavedCursor& saved) {
    if (UiBridge::isUiThread()) {
        restoreOnUiThread(saved.cursor_);
    } else {
        UiBridge::post([cursor = saved.cursor_] { restoreOnUiThread(cursor); });
    }
}

}  // namespace fw
