#pragma once
// The History window: what the modem did over a range of time, from the signal history's store
// (history/). A window of its own beside the fixed main window, resizable, not modal: charts of
// the bit rates (frequency changes marked), the attenuation and the traffic per second, spans
// with the link down shaded, events as markers and in a list, a summary a screen reader reads,
// and export of the shown range as CSV or of the charts as PNG.
//
// The store is read on a thread of the window's own, reduced in the query to about one row per
// pixel column, so that a week draws as fast as ten minutes and the window never waits for the
// disk. While shown it follows the present once a second; hidden or minimised, it does nothing.

#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "history/history_range.h"
#include "history/history_store.h"

class QButtonGroup;
class QLabel;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace brix {

class HistoryLoader;
class HistoryCharts;

class HistoryWindow : public QWidget {
    Q_OBJECT

public:
    // The ranges offered, and the one shown first.
    struct Range {
        const char* caption;  // "24 hours"
        const char* summary;  // "Last 24 hours"
        history::Millis span;
    };
    static const std::vector<Range>& ranges();
    static constexpr int kFirstRange = 1;  // 1 hour

    // `storePath` names the store to show; asked at each load, since it changes when another
    // program takes over or gives up the link.
    explicit HistoryWindow(std::function<std::string()> storePath, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    // The shown range in Unix milliseconds.
    history::Millis since() const { return since_; }
    history::Millis until() const { return until_; }

    // What was loaded last, for the summary and the exports.
    using Data = history::RangeData;

    // "Last 24 hours: link down 2 times for 3 min 10 s in all; 1 retune; receive rate 9.45
    // Mbit/s" for `data` (the range's caption as `lead`).
    static QString summaryText(const QString& lead, const Data& data);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void chooseRange(int index);
    void zoomTo(history::Millis since, history::Millis until);
    void back();
    void tick();
    void load();
    void loaded(std::shared_ptr<const Data> result, quint64 generation);
    void exportCsv();
    void exportPng();
    void exportReport();
    QString lead() const;
    void saveSize();

    std::function<std::string()> storePath_;
    std::unique_ptr<HistoryLoader> loader_;
    HistoryCharts* charts_ = nullptr;
    QButtonGroup* rangeButtons_ = nullptr;
    QPushButton* backButton_ = nullptr;
    QLabel* summary_ = nullptr;
    QTreeWidget* events_ = nullptr;
    QTimer* timer_ = nullptr;

    int range_ = kFirstRange;  // -1 while zoomed
    history::Millis since_ = 0;
    history::Millis until_ = 0;
    struct Shown {
        int range;
        history::Millis since, until;
    };
    std::vector<Shown> backStack_;
    quint64 generation_ = 0;
    std::shared_ptr<const Data> data_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // gone with the window
};

}  // namespace brix
