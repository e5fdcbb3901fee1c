#pragma once
// The wait cursor while a request is out, over the window of the page that asked (never over
// other windows, such as the question that asks the user to click). beginWaitCursor shows it and
// returns what it replaced; restoreCursor puts that back. An empty (default) token restores the
// normal cursor.

#include <QCursor>
#include <QPointer>
#include <QWidget>

#include <optional>

namespace fw {

class SavedCursor {
public:
    SavedCursor() = default;
    bool isEmpty() const { return !cursor_.has_value(); }

private:
    friend SavedCursor beginWaitCursor(QWidget* over);
    friend void restoreCursor(const SavedCursor& saved);
    std::optional<QCursor> cursor_;  // nullopt: the normal cursor was showing
};

// User-interface thread only. The cursor covers the top-level window of `over`.
SavedCursor beginWaitCursor(QWidget* over);
// Any thread: off the user-interface thread the change is posted there. It applies to the
// window the last wait cursor covered.
void restoreCursor(const SavedCursor& saved);

}  // namespace fw
