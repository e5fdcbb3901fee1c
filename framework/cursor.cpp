#include "framework/cursor.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>

#include "framework/ui_bridge.h"

namespace fw {

namespace {

void restoreOnUiThread(const std::optional<QCursor>& cursor) {
    // Back to exactly one level: the saved cursor, or none (the normal one).
    while (QGuiApplication::overrideCursor() != nullptr)
        QGuiApplication::restoreOverrideCursor();
    if (cursor)
        QGuiApplication::setOverrideCursor(*cursor);
}

}  // namespace

SavedCursor beginWaitCursor() {
    SavedCursor saved;
    if (const QCursor* current = QGuiApplication::overrideCursor())
        saved.cursor_ = *current;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    return saved;
}

void restoreCursor(const SavedCursor& saved) {
    if (UiBridge::isUiThread()) {
        restoreOnUiThread(saved.cursor_);
    } else if (QCoreApplication::instance() != nullptr) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [cursor = saved.cursor_] { restoreOnUiThread(cursor); },
            Qt::QueuedConnection);
    }
}

}  // namespace fw
