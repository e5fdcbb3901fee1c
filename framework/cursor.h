#pragma once
// The wait cursor while a request is out. beginWaitCursor shows it and returns what it replaced;
// restoreCursor puts that back. An empty (default) token restores the normal cursor.

#include <QCursor>

#include <optional>

namespace fw {

class SavedCursor {
public:
    SavedCursor() = default;
    bool isEmpty() const { return !cursor_.has_value(); }

private:
    friend SavedCursor beginWaitCursor();
    friend void restoreCursor(const SavedCursor& saved);
    std::optional<QCursor> cursor_;  // nullopt: the normal cursor was showing
};

// User-interface thread only.
SavedCursor beginWaitCursor();
// Any thread: off the user-interface thread the change is posted there.
void restoreCursor(const SavedCursor& saved);

}  // namespace fw
