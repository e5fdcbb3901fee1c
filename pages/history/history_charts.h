#pragma once
// The History window's four charts over one time axis: bit rates with frequency changes and
// events marked, attenuation, packets and bytes per second, spans with the link down shaded.

#include <QColor>
#include <QList>
#include <QPointF>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

#include "history/history_store.h"
#include "pages/history/history_window.h"

class QAreaSeries;
class QChart;
class QDateTimeAxis;
class QLineSeries;
class QResizeEvent;
class QScatterSeries;
class QValueAxis;
class QVBoxLayout;

namespace brix {

class HistoryCharts : public QWidget {
public:
    explicit HistoryCharts(QWidget* parent);

    // Called with the window's new range when a chart was zoomed or zoomed out.
    std::function<void(history::Millis, history::Millis)> onZoom;

    void show(const HistoryWindow::Data& d);

protected:
    void resizeEvent(QResizeEvent* event) override;

    // One time axis for the eye: every chart's plot area starts where the widest axis labels
    // of the four end.
    void align();

private:
    struct Chart {
        QChart* chart = nullptr;
        QDateTimeAxis* time = nullptr;
        QValueAxis* value = nullptr;
        std::vector<QLineSeries*> lines;
        // The pieces of each line after its first, where nothing was recorded between them
        // (made as needed, kept for the next range).
        std::vector<std::vector<QLineSeries*>> pieces;
        QAreaSeries* down = nullptr;
    };

    Chart addChart(QVBoxLayout* layout, const char* title, const char* unit,
                   std::initializer_list<const char*> names);
    QScatterSeries* addMarkers(Chart& c, const char* name, QColor color, QStringList& texts);
    void draw(Chart& c, std::size_t line, const QList<QPointF>& points,
              const HistoryWindow::Data& d,
              const std::vector<std::pair<history::Millis, history::Millis>>& spans);
    void fill(Chart& c, const std::vector<QList<QPointF>>& series, const HistoryWindow::Data& d,
              const std::vector<std::pair<history::Millis, history::Millis>>& spans,
              double atLeast);

    Chart rates_, level_, packets_, bytes_;
    QScatterSeries* changes_ = nullptr;
    QScatterSeries* marks_ = nullptr;
    QStringList changeTexts_;
    QStringList eventTexts_;
    bool applying_ = false;
};

}  // namespace brix
