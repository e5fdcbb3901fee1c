#pragma once
// A desktop notification when the link to the modem goes down and when it comes back, while
// the window is minimised or not in front: the technician working in another window hears of a
// drop at once. Through the freedesktop notification service on the session bus; where there is
// none, nothing is shown and nothing waits.

#include <QObject>
#include <QTimer>

#include <vector>

#include "link/link_events.h"

class QWidget;

namespace brix {

class DesktopNotice : public QObject {
public:
    // For `window`; make it before the link starts, so that it misses no event.
    explicit DesktopNotice(QWidget* window);

private:
    void look();
    void show(const QString& summary, const QString& body, bool urgent);

    QWidget* window_;
    LinkSubscription events_{256};
    std::vector<LinkEvent> taken_;
    QTimer timer_;
    uint shown_ = 0;         // the notification on screen, replaced by the next
    bool toldDown_ = false;  // the current drop was notified
};

}  // namespace brix
