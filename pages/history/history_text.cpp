// Texts and figures the History window's parts share.
#include "pages/history/history_text.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <optional>

#include "domain/clock.h"

namespace brix::history_text {

using history::Millis;

QString localTime(Millis t, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(t).toString(QString::fromLatin1(format));
}

QString eventCaption(history::EventKind kind) {
    switch (kind) {
        case history::EventKind::LinkUp:
            return QStringLiteral("Link up");
        case history::EventKind::LinkDown:
            return QStringLiteral("Link down");
        case history::EventKind::Error:
            return QStringLiteral("Error");
        case history::EventKind::Embedded:
            return QStringLiteral("Modem message");
        case history::EventKind::Version:
            return QStringLiteral("Version");
        case history::EventKind::Tune:
            return QStringLiteral("Tune");
        case history::EventKind::TableSet:
            return QStringLiteral("Channel table set");
        case history::EventKind::ScannerSet:
            return QStringLiteral("Scanner set");
        case history::EventKind::Gap:
            return QStringLiteral("Gap");
        case history::EventKind::ChannelChange:
            return QStringLiteral("Channel change");
    }
    return QStringLiteral("Event");
}

QString eventText(const history::Event& e) {
    QString text = eventCaption(e.kind) + QStringLiteral(": ") + QString::fromStdString(e.text);
    if (!e.program.empty())
        text += QStringLiteral(" (%1)").arg(QString::fromStdString(e.program));
    return text;
}

}  // namespace brix::history_text
