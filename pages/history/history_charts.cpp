// The History window's four charts over one time axis.
#include "pages/history/history_charts.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCursor>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QGraphicsLayout>
#include <QLegendMarker>
#include <QLineSeries>
#include <QResizeEvent>
#include <QScatterSeries>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <array>

#include "domain/clock.h"
#include "pages/history/history_text.h"

namespace brix {

using history::codeMbps;
using history::Millis;
using history_text::eventText;
using history_text::localTime;

namespace {

void addSpread(QList<QPointF>& points, qreal x, const std::array<double, 3>& v, double scale = 1) {
    points.append({x, v[0] * scale});
    if (v[2] != v[0])
        points.append({x, v[2] * scale});
}

}  // namespace

HistoryCharts::HistoryCharts(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    rates_ = addChart(layout, "Bit rate", "Mbit/s", {"Receive rate", "Transmit rate"});
    level_ = addChart(layout, "Attenuation", "dBmV", {"Attenuation"});
    packets_ = addChart(layout, "Packets per second", "1/s",
                        {"Downstream packets", "Upstream packets", "Retransmissions"});
    bytes_ = addChart(layout, "Bytes per second", "kB/s", {"Downstream bytes", "Upstream bytes"});
    changes_ = addMarkers(rates_, "Frequency changes", QColor(0, 130, 0), changeTexts_);
    marks_ = addMarkers(rates_, "Events", QColor(200, 60, 0), eventTexts_);
}

void HistoryCharts::show(const HistoryWindow::Data& d) {
    applying_ = true;
    const auto spans = history::downSpans(d, unixMsNow());
    // Bit rates: the slowest and the fastest of each slice, so that a dip of a second
    // still shows when a pixel holds an hour.
    std::vector<QList<QPointF>> rates(2), level(1), packets(3), bytes(2);
    QList<QPointF> changes;
    changeTexts_.clear();
    double lastFrequency = -1;
    for (const history::RfRow& r : d.rf) {
        const auto x = static_cast<qreal>(r.t);
        for (int side = 0; side < 2; ++side) {
            const auto& code = r.fields[side == 0 ? 1 : 3];
            rates[side].append({x, codeMbps(code[0])});
            if (code[2] != code[0])
                rates[side].append({x, codeMbps(code[2])});
        }
        level[0].append({x, -2 * r.fields[4][2]});
        if (r.fields[4][0] != r.fields[4][2])
            level[0].append({x, -2 * r.fields[4][0]});
        const auto& rx = r.fields[0];
        if ((lastFrequency >= 0 && rx[0] != lastFrequency) || rx[0] != rx[2]) {
            changes.append({x, codeMbps(r.fields[1][1])});
            changeTexts_.append(QStringLiteral("%1: receive frequency %2 MHz")
                                    .arg(localTime(r.t))
                                    .arg(rx[2] / 10.0, 0, 'f', 1));
        }
        lastFrequency = rx[2];
    }
    static constexpr int kPacketCounts[] = {4, 1, 3};  // forwarded, upstream, retransmitted
    static constexpr int kByteCounts[] = {6, 2};
    for (const history::StatisticsRow& r : d.statistics) {
        const auto x = static_cast<qreal>(r.t);
        for (int i = 0; i < 3; ++i)
            addSpread(packets[static_cast<std::size_t>(i)], x, r.rates[kPacketCounts[i]]);
        for (int i = 0; i < 2; ++i)
            addSpread(bytes[static_cast<std::size_t>(i)], x, r.rates[kByteCounts[i]], 1e-3);
    }
    fill(rates_, rates, d, spans, 10);
    // Events stand along the top of the bit-rate chart.
    const double markAt = rates_.value->max() - (rates_.value->max() - rates_.value->min()) * 0.03;
    fill(level_, level, d, spans, 0);
    fill(packets_, packets, d, spans, 0);
    fill(bytes_, bytes, d, spans, 0);
    changes_->replace(changes);
    QList<QPointF> marks;
    eventTexts_.clear();
    for (const history::Event& e : d.events) {
        if (e.kind == history::EventKind::LinkUp || e.kind == history::EventKind::LinkDown)
            continue;  // the shading shows them
        marks.append({static_cast<qreal>(e.t), markAt});
        eventTexts_.append(localTime(e.t) + QStringLiteral("  ") + eventText(e));
    }
    marks_->replace(marks);
    applying_ = false;
    align();
}

void HistoryCharts::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    QTimer::singleShot(0, this, [this] { align(); });
}

void HistoryCharts::align() {
    Chart* all[] = {&rates_, &level_, &packets_, &bytes_};
    qreal left = 0;
    for (Chart* c : all) {
        c->chart->setPlotArea(QRectF());  // laid out by itself again
        if (QGraphicsLayout* l = c->chart->layout())
            l->activate();
        left = std::max(left, c->chart->plotArea().left());
    }
    for (Chart* c : all) {
        const QRectF area = c->chart->plotArea();
        if (area.right() > left)
            c->chart->setPlotArea(QRectF(left, area.top(), area.right() - left, area.height()));
    }
}

HistoryCharts::Chart HistoryCharts::addChart(QVBoxLayout* layout, const char* title,
                                             const char* unit,
                                             std::initializer_list<const char*> names) {
    Chart c;
    c.chart = new QChart;
    c.chart->setAnimationOptions(QChart::NoAnimation);
    c.chart->legend()->setAlignment(Qt::AlignTop);
    c.chart->setMargins(QMargins(4, 2, 4, 2));
    c.time = new QDateTimeAxis;
    c.time->setFormat(QStringLiteral("MM-dd HH:mm"));
    c.value = new QValueAxis;
    c.value->setTitleText(QString::fromLatin1(unit));
    c.value->setLabelFormat(QStringLiteral("%.4g"));
    c.chart->addAxis(c.time, Qt::AlignBottom);
    c.chart->addAxis(c.value, Qt::AlignLeft);
    auto* upper = new QLineSeries;
    auto* lower = new QLineSeries;
    c.down = new QAreaSeries(upper, lower);
    // The area series does not own its edges: they go with it.
    upper->setParent(c.down);
    lower->setParent(c.down);
    c.down->setName(QStringLiteral("Link down"));
    c.down->setColor(QColor(150, 150, 150, 90));
    c.down->setBorderColor(QColor(150, 150, 150, 90));
    c.chart->addSeries(c.down);
    c.down->attachAxis(c.time);
    c.down->attachAxis(c.value);
    // The shading is told once, in the first chart's legend.
    if (layout->count() > 0)
        for (QLegendMarker* m : c.chart->legend()->markers(c.down))
            m->setVisible(false);
    for (const char* name : names) {
        auto* line = new QLineSeries;
        line->setName(QString::fromLatin1(name));
        c.chart->addSeries(line);
        line->attachAxis(c.time);
        line->attachAxis(c.value);
        c.lines.push_back(line);
    }
    c.pieces.resize(c.lines.size());
    auto* view = new QChartView(c.chart, this);
    view->setRenderHint(QPainter::Antialiasing, false);
    view->setRubberBand(QChartView::HorizontalRubberBand);
    view->setMinimumHeight(100);
    view->setAccessibleName(QString::fromLatin1(title) + QStringLiteral(" chart"));
    layout->addWidget(view, 1);
    QObject::connect(c.time, &QDateTimeAxis::rangeChanged, this,
                     [this](const QDateTime& min, const QDateTime& max) {
                         if (!applying_ && onZoom)
                             onZoom(min.toMSecsSinceEpoch(), max.toMSecsSinceEpoch());
                     });
    return c;
}

void HistoryCharts::draw(Chart& c, std::size_t line, const QList<QPointF>& points,
                         const HistoryWindow::Data& d,
                         const std::vector<std::pair<Millis, Millis>>& spans) {
    // A line is not drawn across a time when the link was down or nothing was recorded: more
    // than three of the steps its rows are apart there (a slice of the range, or the store's
    // resolution at that age: a report, a minute, an hour).
    const Millis now = unixMsNow();
    // The store gives a range in as many slices as the chart has pixels: never more than 1000.
    const Millis slice = (d.until - d.since) / 1000;
    const auto step = [&](Millis t) {
        const Millis age = now - t;
        const Millis kept = age <= history::kFullResolutionKept ? 10 * history::kSecond
                            : age <= history::kMinutesKept      ? history::kMinute
                                                                : history::kHour;
        return std::max(kept, slice);
    };
    const auto apart = [&](const QPointF& a, const QPointF& b) {
        const auto from = static_cast<Millis>(a.x());
        const auto to = static_cast<Millis>(b.x());
        if (to - from > 3 * step(to))
            return true;
        for (const auto& [down, up] : spans)
            if (down < to && up > from && (down > from || up < to))
                return true;
        return false;
    };
    constexpr std::size_t kMostPieces = 200;  // beyond, the rest is drawn as one
    std::vector<QList<QPointF>> pieces(1);
    for (qsizetype i = 0; i < points.size(); ++i) {
        if (i > 0 && pieces.size() < kMostPieces && apart(points[i - 1], points[i]))
            pieces.emplace_back();
        pieces.back().append(points[i]);
    }
    c.lines[line]->replace(pieces[0]);
    auto& extra = c.pieces[line];
    while (extra.size() + 1 < pieces.size()) {
        auto* piece = new QLineSeries;
        piece->setPen(c.lines[line]->pen());
        c.chart->addSeries(piece);
        piece->attachAxis(c.time);
        piece->attachAxis(c.value);
        for (QLegendMarker* m : c.chart->legend()->markers(piece))
            m->setVisible(false);
        extra.push_back(piece);
    }
    for (std::size_t i = 0; i < extra.size(); ++i)
        extra[i]->replace(i + 1 < pieces.size() ? pieces[i + 1] : QList<QPointF>());
}

QScatterSeries* HistoryCharts::addMarkers(Chart& c, const char* name, QColor color,
                                          QStringList& texts) {
    auto* s = new QScatterSeries;
    s->setName(QString::fromLatin1(name));
    s->setMarkerSize(9);
    s->setColor(color);
    s->setBorderColor(color);
    c.chart->addSeries(s);
    s->attachAxis(c.time);
    s->attachAxis(c.value);
    QObject::connect(s, &QScatterSeries::hovered, this,
                     [s, &texts](const QPointF& point, bool state) {
                         if (!state) {
                             QToolTip::hideText();
                             return;
                         }
                         const QList<QPointF> points = s->points();
                         const auto i = points.indexOf(point);
                         if (i >= 0 && i < texts.size())
                             QToolTip::showText(QCursor::pos(), texts[i]);
                     });
    return s;
}

void HistoryCharts::fill(Chart& c, const std::vector<QList<QPointF>>& series,
                         const HistoryWindow::Data& d,
                         const std::vector<std::pair<Millis, Millis>>& spans, double atLeast) {
    double low = 0, high = atLeast;
    bool any = false;
    for (const auto& points : series)
        for (const QPointF& p : points) {
            low = any ? std::min(low, p.y()) : std::min(0.0, p.y());
            high = std::max(high, p.y());
            any = true;
        }
    if (high <= low)
        high = low + 1;
    high += (high - low) * 0.08;  // room for the event markers
    for (std::size_t i = 0; i < series.size() && i < c.lines.size(); ++i)
        draw(c, i, series[i], d, spans);
    c.value->setRange(low, high);
    c.value->applyNiceNumbers();
    low = c.value->min();
    high = c.value->max();
    QList<QPointF> top, bottom;
    for (const auto& [from, to] : spans) {
        // A rectangle from the bottom to the top of the chart.
        top << QPointF(from, low) << QPointF(from, high) << QPointF(to, high) << QPointF(to, low);
        bottom << QPointF(from, low) << QPointF(from, low) << QPointF(to, low) << QPointF(to, low);
    }
    c.down->upperSeries()->replace(top);
    c.down->lowerSeries()->replace(bottom);
    c.time->setRange(QDateTime::fromMSecsSinceEpoch(d.since),
                     QDateTime::fromMSecsSinceEpoch(d.until));
    const Millis span = d.until - d.since;
    c.time->setFormat(span <= 2 * history::kHour   ? QStringLiteral("HH:mm:ss")
                      : span <= 2 * history::kDay  ? QStringLiteral("HH:mm")
                      : span <= 60 * history::kDay ? QStringLiteral("MM-dd HH:mm")
                                                   : QStringLiteral("yyyy-MM-dd"));
}

}  // namespace brix
