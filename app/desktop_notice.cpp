#include "app/desktop_notice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QVariantMap>
#include <QWidget>

namespace brix {

namespace {

QString clockTime(std::int64_t unixMs) {
    return QDateTime::fromMSecsSinceEpoch(unixMs).toString(QStringLiteral("HH:mm:ss"));
}

}  // namespace

DesktopNotice::DesktopNotice(QWidget* window) : QObject(window), window_(window) {
    // The link's events wait in their queue; half a second is soon enough for a person.
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { look(); });
    timer_.start(500);
}

void DesktopNotice::look() {
    if (events_.take(taken_) == 0)
        return;
    for (const LinkEvent& e : taken_) {
        const bool away = window_->isMinimized() || !window_->isActiveWindow();
        if (const auto* silent = std::get_if<LinkSilent>(&e.body)) {
            // Seen in the window, a drop needs no notification, nor does its end.
            toldDown_ = away;
            if (away)
                show(QStringLiteral("Modem link down"),
                     QStringLiteral("Nothing heard from the modem since %1.")
                         .arg(clockTime(silent->lastHeardMs)),
                     true);
        } else if (const auto* heard = std::get_if<LinkHeard>(&e.body)) {
            if (toldDown_)
                show(QStringLiteral("Modem link back"),
                     QStringLiteral("The modem answers again, silent since %1.")
                         .arg(clockTime(heard->silentSinceMs)),
                     false);
            toldDown_ = false;
        }
    }
}

void DesktopNotice::show(const QString& summary, const QString& body, bool urgent) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("org.example.BrixTool"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(urgent ? 2 : 1));
    call << QStringLiteral("Brix Tool") << shown_ << QStringLiteral("org.example.BrixTool")
         << summary << body << QStringList() << hints << -1;
    // Never waited for: a bus or a service that does not answer holds up nothing.
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this](QDBusPendingCallWatcher* w) {
                         const QDBusPendingReply<uint> reply = *w;
                         if (!reply.isError())
                             shown_ = reply.value();
                         w->deleteLater();
                     });
}

}  // namespace brix
