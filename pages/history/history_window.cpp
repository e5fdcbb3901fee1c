#include "pages/history/history_window.h"

#include <sys/stat.h>

#include <QAbstractButton>
#include <QAreaSeries>
#include <QButtonGroup>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QCursor>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSettings>
#include <QShortcut>
#include <QShowEvent>
#include <QSplitter>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "domain/clock.h"
#include "domain/rates.h"
#include "framework/ui_bridge.h"
#include "history/history_table.h"

namespace brix {

using history::EventKind;
using history::Millis;

namespace {

// Rows asked of the store per chart at most: one per pixel column of a wide window.
constexpr int kColumns = 2000;
// Events listed at most (the newest of the range).
constexpr int kMaxEvents = 2000;

Millis nowMs() {
    return unixMsNow();
}

// Mbit/s of an RF report's rate code (a mean of codes rounded), 0 for a code without a rate.
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

QString localTime(Millis t, const char* format = "yyyy-MM-dd HH:mm:ss") {
    return QDateTime::fromMSecsSinceEpoch(t).toString(QString::fromLatin1(format));
}

// The spans with the link down: from each link-down to the next link-up, the range's end when
// none came. A link-up first means the link was down when the range began.
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
        spans.emplace_back(*downSince, std::max(*downSince, std::min(d.until, nowMs())));
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

}  // namespace

// Reads the store on a thread of its own: the newest request wins, and the answer is handed to
// the window on its own thread.
class HistoryLoader {
public:
    using Done = std::function<void(std::shared_ptr<const HistoryWindow::Data>, quint64)>;

    explicit HistoryLoader(Done done) : done_(std::move(done)) {
        thread_ = std::thread([this] { run(); });
    }
    ~HistoryLoader() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    void request(std::string path, Millis since, Millis until, int columns, quint64 generation) {
        {
            std::lock_guard lock(mutex_);
            pending_ = Request{std::move(path), since, until, columns, generation};
        }
        wake_.notify_one();
    }

private:
    struct Request {
        std::string path;
        Millis since, until;
        int columns;
        quint64 generation;
    };

    void run() {
        for (;;) {
            Request r;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stop_ || pending_.has_value(); });
                if (stop_)
                    return;
                r = std::move(*pending_);
                pending_.reset();
            }
            done_(load(r), r.generation);
        }
    }

    std::shared_ptr<const HistoryWindow::Data> load(const Request& r) {
        auto d = std::make_shared<HistoryWindow::Data>();
        d->path = r.path;
        d->since = r.since;
        d->until = r.until;
        if (r.path.empty()) {
            d->error = "no history is kept (BRIX_HISTORY=off, or no home folder)";
            return d;
        }
        // A store set aside and started anew is another file under the same name.
        struct stat info {};
        const bool exists = ::stat(r.path.c_str(), &info) == 0;
        if (store_ == nullptr || r.path != openPath_ || !exists || info.st_ino != openInode_) {
            store_.reset();
            second_.reset();
            std::string error;
            store_ = history::Store::open(r.path, true, error, false);
            if (store_ != nullptr)
                second_ = history::Store::open(r.path, true, error, false);
            if (second_ == nullptr) {
                store_.reset();
                d->error = error;
                return d;
            }
            openPath_ = r.path;
            openInode_ = info.st_ino;
        }
        // The two tables side by side, each on a connection of its own: a long range takes
        // the longer of the two, not their sum.
        auto statistics = std::async(
            std::launch::async, [&] { return second_->statistics(r.since, r.until, r.columns); });
        d->rf = store_->rf(r.since, r.until, r.columns);
        d->statistics = statistics.get();
        // The list holds the newest; what the summary counts and the shading shows is read
        // whole, however many debug messages a long range holds.
        d->events = store_->events(r.since, r.until, kMaxEvents, {}, true);
        d->eventCount = store_->countEvents(r.since, r.until);
        d->counted = store_->events(r.since, r.until, 1'000'000,
                                    {EventKind::LinkUp, EventKind::LinkDown, EventKind::Tune,
                                     EventKind::Error, EventKind::Gap, EventKind::ChannelChange},
                                    false);
        return d;
    }

    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Request> pending_;  // guarded by mutex_
    bool stop_ = false;               // guarded by mutex_
    // Loader thread only.
    std::unique_ptr<history::Store> store_;
    std::unique_ptr<history::Store> second_;
    std::string openPath_;
    ino_t openInode_ = 0;
    std::thread thread_;
};

// The four charts over one time axis.
class HistoryCharts : public QWidget {
public:
    explicit HistoryCharts(QWidget* parent) : QWidget(parent) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        rates_ = addChart(layout, "Bit rate", "Mbit/s", {"Receive rate", "Transmit rate"});
        level_ = addChart(layout, "Attenuation", "dBmV", {"Attenuation"});
        packets_ = addChart(layout, "Packets per second", "1/s",
                            {"Downstream packets", "Upstream packets", "Retransmissions"});
        bytes_ =
            addChart(layout, "Bytes per second", "kB/s", {"Downstream bytes", "Upstream bytes"});
        changes_ = addMarkers(rates_, "Frequency changes", QColor(0, 130, 0), changeTexts_);
        marks_ = addMarkers(rates_, "Events", QColor(200, 60, 0), eventTexts_);
    }

    // Called with the window's new range when a chart was zoomed or zoomed out.
    std::function<void(Millis, Millis)> onZoom;

    void show(const HistoryWindow::Data& d) {
        applying_ = true;
        const auto spans = downSpans(d);
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
        const double markAt =
            rates_.value->max() - (rates_.value->max() - rates_.value->min()) * 0.03;
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

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        QTimer::singleShot(0, this, [this] { align(); });
    }

    // One time axis for the eye: every chart's plot area starts where the widest axis labels
    // of the four end.
    void align() {
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

private:
    struct Chart {
        QChart* chart = nullptr;
        QDateTimeAxis* time = nullptr;
        QValueAxis* value = nullptr;
        std::vector<QLineSeries*> lines;
        QAreaSeries* down = nullptr;
    };

    static void addSpread(QList<QPointF>& points, qreal x, const std::array<double, 3>& v,
                          double scale = 1) {
        points.append({x, v[0] * scale});
        if (v[2] != v[0])
            points.append({x, v[2] * scale});
    }

    Chart addChart(QVBoxLayout* layout, const char* title, const char* unit,
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

    QScatterSeries* addMarkers(Chart& c, const char* name, QColor color, QStringList& texts) {
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

    void fill(Chart& c, const std::vector<QList<QPointF>>& series, const HistoryWindow::Data& d,
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
            c.lines[i]->replace(series[i]);
        c.value->setRange(low, high);
        c.value->applyNiceNumbers();
        low = c.value->min();
        high = c.value->max();
        QList<QPointF> top, bottom;
        for (const auto& [from, to] : spans) {
            // A rectangle from the bottom to the top of the chart.
            top << QPointF(from, low) << QPointF(from, high) << QPointF(to, high)
                << QPointF(to, low);
            bottom << QPointF(from, low) << QPointF(from, low) << QPointF(to, low)
                   << QPointF(to, low);
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

    Chart rates_, level_, packets_, bytes_;
    QScatterSeries* changes_ = nullptr;
    QScatterSeries* marks_ = nullptr;
    QStringList changeTexts_;
    QStringList eventTexts_;
    bool applying_ = false;
};

const std::vector<HistoryWindow::Range>& HistoryWindow::ranges() {
    static const std::vector<Range> kRanges = {
        {"10 minutes", "Last 10 minutes", 10 * history::kMinute},
        {"1 hour", "Last hour", history::kHour},
        {"24 hours", "Last 24 hours", history::kDay},
        {"7 days", "Last 7 days", 7 * history::kDay},
        {"30 days", "Last 30 days", 30 * history::kDay},
        {"1 year", "Last year", 365 * history::kDay},
    };
    return kRanges;
}

QString HistoryWindow::summaryText(const QString& lead, const Data& d) {
    if (!d.error.empty())
        return lead + QStringLiteral(": no history to show: ") + QString::fromStdString(d.error);
    const auto spans = downSpans(d);
    Millis down = 0;
    for (const auto& [from, to] : spans)
        down += to - from;
    QStringList parts;
    if (spans.empty())
        parts << QStringLiteral("link never down");
    else
        parts << QStringLiteral("link down %1 %2 for %3 in all")
                     .arg(spans.size())
                     .arg(spans.size() == 1 ? QStringLiteral("time") : QStringLiteral("times"))
                     .arg(duration(down));
    const auto retunes = std::count_if(d.counted.begin(), d.counted.end(), [](const auto& e) {
        return e.kind == history::EventKind::Tune;
    });
    parts << (retunes == 0   ? QStringLiteral("no retune")
              : retunes == 1 ? QStringLiteral("1 retune")
                             : QStringLiteral("%1 retunes").arg(retunes));
    const auto count = [&](history::EventKind kind) {
        return std::count_if(d.counted.begin(), d.counted.end(),
                             [kind](const auto& e) { return e.kind == kind; });
    };
    // Told only when there were some: most ranges have none, and the sentence stays short.
    if (const auto changes = count(history::EventKind::ChannelChange); changes > 0)
        parts << (changes == 1 ? QStringLiteral("1 channel change")
                               : QStringLiteral("%1 channel changes").arg(changes));
    if (const auto gaps = count(history::EventKind::Gap); gaps > 0)
        parts << (gaps == 1 ? QStringLiteral("1 gap") : QStringLiteral("%1 gaps").arg(gaps));
    const auto errors = count(history::EventKind::Error);
    if (errors > 0)
        parts << (errors == 1 ? QStringLiteral("1 error")
                              : QStringLiteral("%1 errors").arg(errors));
    if (d.rf.empty()) {
        parts << QStringLiteral("no report from the modem");
    } else {
        double slowest = 1e9, fastest = 0;
        for (const history::RfRow& r : d.rf) {
            slowest = std::min(slowest, codeMbps(r.fields[1][0]));
            fastest = std::max(fastest, codeMbps(r.fields[1][2]));
        }
        parts << (slowest == fastest
                      ? QStringLiteral("receive rate %1 Mbit/s").arg(fastest, 0, 'f', 2)
                      : QStringLiteral("receive rate %1 to %2 Mbit/s")
                            .arg(slowest, 0, 'f', 2)
                            .arg(fastest, 0, 'f', 2));
    }
    if (d.eventCount > static_cast<long>(d.events.size()))
        parts << QStringLiteral("the newest %1 of %2 events listed")
                     .arg(d.events.size())
                     .arg(d.eventCount);
    return lead + QStringLiteral(": ") + parts.join(QStringLiteral("; "));
}

HistoryWindow::HistoryWindow(std::function<std::string()> storePath, QWidget* parent)
    : QWidget(parent, Qt::Window), storePath_(std::move(storePath)) {
    setWindowTitle(QStringLiteral("History"));
    setObjectName(QStringLiteral("historyWindow"));
    auto* layout = new QVBoxLayout(this);

    auto* bar = new QHBoxLayout;
    rangeButtons_ = new QButtonGroup(this);
    rangeButtons_->setExclusive(true);
    for (std::size_t i = 0; i < ranges().size(); ++i) {
        auto* b = new QPushButton(QString::fromLatin1(ranges()[i].caption), this);
        b->setCheckable(true);
        b->setAccessibleDescription(QString::fromLatin1(ranges()[i].summary));
        rangeButtons_->addButton(b, static_cast<int>(i));
        bar->addWidget(b);
    }
    rangeButtons_->button(kFirstRange)->setChecked(true);
    connect(rangeButtons_, &QButtonGroup::idClicked, this, [this](int id) { chooseRange(id); });
    bar->addSpacing(12);
    backButton_ = new QPushButton(QStringLiteral("&Back"), this);
    backButton_->setAccessibleDescription(QStringLiteral("The range shown before the last zoom"));
    backButton_->setEnabled(false);
    connect(backButton_, &QPushButton::clicked, this, [this] { back(); });
    bar->addWidget(backButton_);
    bar->addStretch(1);
    auto* csv = new QPushButton(QStringLiteral("Export &CSV..."), this);
    auto* png = new QPushButton(QStringLiteral("Export &PNG..."), this);
    connect(csv, &QPushButton::clicked, this, [this] { exportCsv(); });
    connect(png, &QPushButton::clicked, this, [this] { exportPng(); });
    bar->addWidget(csv);
    bar->addWidget(png);
    layout->addLayout(bar);

    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("historySummary"));
    summary_->setAccessibleName(QStringLiteral("Summary"));
    summary_->setWordWrap(true);
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    summary_->setFocusPolicy(Qt::StrongFocus);
    layout->addWidget(summary_);

    auto* split = new QSplitter(Qt::Vertical, this);
    charts_ = new HistoryCharts(split);
    charts_->onZoom = [this](Millis since, Millis until) { zoomTo(since, until); };
    events_ = new QTreeWidget(split);
    events_->setObjectName(QStringLiteral("historyEvents"));
    events_->setAccessibleName(QStringLiteral("Events"));
    events_->setRootIsDecorated(false);
    events_->setUniformRowHeights(true);
    events_->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Event"),
                              QStringLiteral("Text"), QStringLiteral("Program")});
    events_->header()->setStretchLastSection(false);
    events_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    split->addWidget(charts_);
    split->addWidget(events_);
    split->setStretchFactor(0, 4);
    split->setStretchFactor(1, 1);
    layout->addWidget(split, 1);

    // A window beside the main one: Escape puts it away, as it does a dialog.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, [this] { tick(); });

    // What the loader hands over runs on this thread, and only while the window is there.
    loader_ = std::make_unique<HistoryLoader>(
        [this, alive = std::weak_ptr<int>(alive_)](std::shared_ptr<const Data> result,
                                                   quint64 generation) {
            fw::UiBridge::post([this, alive, result, generation] {
                if (alive.lock())
                    loaded(result, generation);
            });
        });

    resize(960, 760);
    const QByteArray geometry = QSettings(QStringLiteral("brixtool"), QStringLiteral("history"))
                                    .value(QStringLiteral("geometry"))
                                    .toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    chooseRange(kFirstRange);
}

HistoryWindow::~HistoryWindow() {
    // The loader's thread posts to this window; it ends first, and what it posted is dropped.
    loader_.reset();
    alive_.reset();
}

QString HistoryWindow::lead() const {
    if (range_ >= 0)
        return QString::fromLatin1(ranges()[static_cast<std::size_t>(range_)].summary);
    return QStringLiteral("From %1 to %2").arg(localTime(since_), localTime(until_));
}

void HistoryWindow::chooseRange(int index) {
    if (index < 0 || index >= static_cast<int>(ranges().size()))
        return;
    range_ = index;
    backStack_.clear();
    backButton_->setEnabled(false);
    if (QAbstractButton* b = rangeButtons_->button(index))
        b->setChecked(true);
    until_ = nowMs();
    since_ = until_ - ranges()[static_cast<std::size_t>(index)].span;
    load();
}

void HistoryWindow::zoomTo(Millis since, Millis until) {
    if (until <= since || (since == since_ && until == until_))
        return;
    backStack_.push_back({range_, since_, until_});
    backButton_->setEnabled(true);
    range_ = -1;
    // A zoomed range stays where it is; no range button is the shown one.
    rangeButtons_->setExclusive(false);
    for (QAbstractButton* b : rangeButtons_->buttons())
        b->setChecked(false);
    rangeButtons_->setExclusive(true);
    since_ = since;
    until_ = until;
    load();
}

void HistoryWindow::back() {
    if (backStack_.empty())
        return;
    const Shown was = backStack_.back();
    backStack_.pop_back();
    backButton_->setEnabled(!backStack_.empty());
    range_ = was.range;
    if (range_ >= 0) {
        rangeButtons_->button(range_)->setChecked(true);
        until_ = nowMs();
        since_ = until_ - ranges()[static_cast<std::size_t>(range_)].span;
    } else {
        since_ = was.since;
        until_ = was.until;
    }
    load();
}

void HistoryWindow::tick() {
    // Nothing is read or drawn unless somebody can see it.
    if (!isVisible() || isMinimized() || range_ < 0)
        return;
    const Millis span = ranges()[static_cast<std::size_t>(range_)].span;
    // A long range moves by a pixel column only every few minutes; its rows are read then.
    const Millis every = std::clamp<Millis>(span / std::max(1, charts_->width()), 1000, 60'000);
    const Millis now = nowMs();
    if (now - until_ < every - 100)
        return;
    until_ = now;
    since_ = now - span;
    load();
}

void HistoryWindow::load() {
    // A slice a pixel column of the charts: more rows would only be drawn over each other.
    const int columns = std::clamp(charts_->width(), 200, kColumns);
    loader_->request(storePath_ ? storePath_() : std::string(), since_, until_, columns,
                     ++generation_);
}

void HistoryWindow::loaded(std::shared_ptr<const Data> result, quint64 generation) {
    if (generation != generation_)
        return;  // a newer range was asked for since
    data_ = std::move(result);
    charts_->show(*data_);
    const QString text = summaryText(lead(), *data_);
    if (summary_->text() != text) {
        summary_->setText(text);
        // As the Tuner's displays do: the name says what it is, the description what it tells
        // (a label's text is not offered to a screen reader once it has a name of its own).
        summary_->setAccessibleDescription(text);
    }

    // The list is rebuilt only when it changed, so that a reader's place in it is kept.
    const int rows = events_->topLevelItemCount();
    const bool same =
        rows == static_cast<int>(data_->events.size()) &&
        (rows == 0 || events_->topLevelItem(rows - 1)->data(0, Qt::UserRole).toLongLong() ==
                          data_->events.back().t);
    if (!same) {
        events_->setUpdatesEnabled(false);
        events_->clear();
        QList<QTreeWidgetItem*> items;
        for (const history::Event& e : data_->events) {
            auto* item = new QTreeWidgetItem({localTime(e.t), eventCaption(e.kind),
                                              QString::fromStdString(e.text),
                                              QString::fromStdString(e.program)});
            item->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(e.t));
            item->setToolTip(2, QString::fromStdString(e.text));
            items.append(item);
        }
        events_->addTopLevelItems(items);
        for (int c = 0; c < 2; ++c)
            events_->resizeColumnToContents(c);
        events_->setUpdatesEnabled(true);
    }
}

void HistoryWindow::exportCsv() {
    QString chosen;
    QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export the shown range as CSV"), QStringLiteral("brix-history.csv"),
        QStringLiteral("Samples (*.csv);;Statistics (*.csv);;Events (*.csv)"), &chosen);
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".csv");  // a name typed without one gets the type's
    std::string error;
    const std::string store = storePath_ ? storePath_() : std::string();
    auto s = store.empty() ? nullptr : history::Store::open(store, true, error, false);
    QString problem;
    if (s == nullptr) {
        problem = QStringLiteral("No history to read: %1")
                      .arg(QString::fromStdString(store.empty() ? "none is kept" : error));
    } else {
        constexpr int kRows = 1'000'000;
        const history::Table table =
            chosen.startsWith(QStringLiteral("Statistics"))
                ? history::statisticsTable(s->statistics(since_, until_, kRows))
            : chosen.startsWith(QStringLiteral("Events"))
                ? history::eventsTable(s->events(since_, until_, kRows))
                : history::samplesTable(s->rf(since_, until_, kRows));
        // Written aside and renamed when whole: a full disk never leaves half a file.
        QSaveFile file(path);
        bool ok = file.open(QIODevice::WriteOnly);
        const auto put = [&](const std::vector<std::string>& cells) {
            const std::string line = history::csvLine(cells) + "\n";
            ok = ok && file.write(line.data(), static_cast<qint64>(line.size())) ==
                           static_cast<qint64>(line.size());
        };
        put(table.header);
        for (const auto& row : table.rows)
            put(row);
        if (!ok || !file.commit())
            problem = QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
    }
    if (!problem.isEmpty())
        QMessageBox::warning(this, QStringLiteral("History"), problem);
}

void HistoryWindow::exportPng() {
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export the charts as PNG"),
                                                QStringLiteral("brix-history.png"),
                                                QStringLiteral("PNG pictures (*.png)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".png");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !charts_->grab().save(&file, "PNG") || !file.commit())
        QMessageBox::warning(this, QStringLiteral("History"),
                             QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
}

void HistoryWindow::saveSize() {
    QSettings(QStringLiteral("brixtool"), QStringLiteral("history"))
        .setValue(QStringLiteral("geometry"), saveGeometry());
}

void HistoryWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_->start();
    if (range_ >= 0)
        chooseRange(range_);  // what happened while it was hidden
}

void HistoryWindow::hideEvent(QHideEvent* event) {
    saveSize();
    timer_->stop();
    QWidget::hideEvent(event);
}

void HistoryWindow::closeEvent(QCloseEvent* event) {
    saveSize();
    QWidget::closeEvent(event);
}

void HistoryWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && !isMinimized() && isVisible() && range_ >= 0)
        chooseRange(range_);
}

}  // namespace brix
