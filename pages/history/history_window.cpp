#include "pages/history/history_window.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QShortcut>
#include <QShowEvent>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstdlib>

#include <algorithm>

#include "domain/clock.h"
#include "framework/ui_bridge.h"
#include "history/history_table.h"
#include "pages/history/history_charts.h"
#include "pages/history/history_loader.h"
#include "pages/history/history_text.h"
#include "report/report.h"

namespace brix {

using history::Millis;
using history_text::eventCaption;
using history_text::localTime;

namespace {

// Rows asked of the store per chart at most: one per pixel column of a wide window.
constexpr int kColumns = 2000;

Millis nowMs() {
    return unixMsNow();
}

}  // namespace

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
    return lead + QStringLiteral(": ") + QString::fromStdString(history::summaryText(d, nowMs()));
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
    auto* report = new QPushButton(QStringLiteral("&Report..."), this);
    report->setAccessibleDescription(
        QStringLiteral("A report of the shown range for the provider: PDF, HTML or PNG"));
    connect(png, &QPushButton::clicked, this, [this] { exportPng(); });
    connect(report, &QPushButton::clicked, this, [this] { exportReport(); });
    bar->addWidget(csv);
    bar->addWidget(png);
    bar->addWidget(report);
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
    // Local times, with the zone's offset said once.
    const int offset = QDateTime::currentDateTime().offsetFromUtc() / 60;
    const QString zone = QStringLiteral("Time (UTC%1%2:%3)")
                             .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                             .arg(std::abs(offset) / 60, 2, 10, QLatin1Char('0'))
                             .arg(std::abs(offset) % 60, 2, 10, QLatin1Char('0'));
    events_->setHeaderLabels(
        {zone, QStringLiteral("Event"), QStringLiteral("Text"), QStringLiteral("Program")});
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
    // Each kind has a name of its own, which follows the kind chosen until the user types one.
    static const QStringList kKinds = {QStringLiteral("Samples"), QStringLiteral("Statistics"),
                                       QStringLiteral("Events")};
    const auto nameOf = [](const QString& kind) {
        return QStringLiteral("brix-%1.csv").arg(kind.toLower());
    };
    QFileDialog dialog(this, QStringLiteral("Export the shown range as CSV"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    QStringList filters;
    for (const QString& kind : kKinds)
        filters << kind + QStringLiteral(" (*.csv)");
    dialog.setNameFilters(filters);
    dialog.selectFile(nameOf(kKinds[0]));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        const QString typed = QFileInfo(dialog.selectedFiles().value(0)).fileName();
        for (const QString& kind : kKinds)
            if (typed == nameOf(kind) || typed.isEmpty()) {
                dialog.selectFile(nameOf(filter.section(QLatin1Char(' '), 0, 0)));
                break;
            }
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString path = dialog.selectedFiles().first();
    const QString chosen = dialog.selectedNameFilter();
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

// The report brixctl report writes, of the shown range: the two say the same.
void HistoryWindow::exportReport() {
    QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Report of the shown range"), QStringLiteral("brix-report.pdf"),
        QStringLiteral("PDF (*.pdf);;HTML, one file (*.html);;PNG pictures of the charts (*.png)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".pdf");
    const std::string store = storePath_();
    std::string error;
    auto first = history::Store::open(store, true, error, false);
    auto second = first != nullptr ? history::Store::open(store, true, error, false) : nullptr;
    if (second == nullptr) {
        QMessageBox::warning(
            this, QStringLiteral("History"),
            QStringLiteral("Cannot read the history: %1").arg(QString::fromStdString(error)));
        return;
    }
    const std::string other = history::companionStore(store, {});
    std::string ignored;
    auto companion = other.empty() ? nullptr : history::Store::open(other, true, ignored, false);
    report::ReportData d;
    d.made = unixMsNow();
    d.range.path = store + (companion != nullptr ? " and " + other : "");
    d.source = "the history in " + d.range.path;
    if (const char* name = std::getenv("BRIX_INTERFACE"))
        d.interfaceName = name;
    report::readReport(d, *first, *second, companion.get(), since_, until_);
    if (!report::writeReport(d, path.toStdString(), error))
        QMessageBox::warning(
            this, QStringLiteral("History"),
            QStringLiteral("The report is not written: %1").arg(QString::fromStdString(error)));
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
