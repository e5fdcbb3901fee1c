// Texts and figures the History window's parts share.
#include "pages/history/history_text.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <optional>

#include "domain/clock.h"
#include "domain/rates.h"

namespace brix::history_text {

using history::Millis;

double codeMbps(double code) {
    const long c = std::lround(code);
    return c >= 0 && c < 7 ? codeRateMbps(static_cast<int>(c)).value_or(0) : 0;
}

QString duration(Millis ms) {
    const long long s = ms / 1000;
    if (s < 60)
        return QStringLiteral("%1 s").arg(s);
    if (s < 3600)
        return s % 60 ? QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60)
                      : QStringLiteral("%1 min").arg(s / 60);
    if (s < 86400)
        return (s / 60) % 60 ? QStringLiteral("%1 h %2 min").arg(s / 3600).arg((s / 60) % 60)
                             : QStringLiteral("%1 h").arg(s / 3600);
    return (s / 3600) % 24 ? QStringLiteral("%1 d %2 h").arg(s / 86400).arg((s / 3600) % 24)
                           : QStringLiteral("%1 d").arg(s / 86400);
}

QString localTime(Millis t, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(t).toString(QString::fromLatin1(format));
}

std::vector<std::pair<Millis, Millis>> downSpans(const HistoryWindow::Data& d) {
    std::vector<std::pair<Millis, Millis>> spans;
    std::optional<Millis> downSince;
    bool first = true;
    for (const history::Event& e : d.counted) {
        if (e.kind == history::EventKind::LinkDown) {
            if (!downSince)
                downSince = e.t;
            first = false;
        } else if (e.kind == history::EventKind::LinkUp) {
            if (downSince)
                spans.emplace_back(*downSince, e.t);
            else if (first)
                spans.emplace_back(d.since, e.t);
            downSince.reset();
            first = false;
        }
    }
    if (downSince)
        spans.emplace_back(*downSince, std::max(*downSince, std::min(d.until, unixMsNow())));
    return spans;
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
