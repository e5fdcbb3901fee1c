// The Tuner's 500 ms tick: with nothing changed it must draw nothing, and with every value
// changing it must keep far ahead of two ticks a second (target: 2,000 ticks per second).
//
// Counters: draws = bitmap copies into the controls' surfaces per tick; paints = paint events of
// the controls per tick (the variants that let the window system repaint).

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "brix_tuner.h"
#include "channels/channel_table.h"
#include "display_controls.h"
#include "draw_log.h"
#include "link/link_state.h"
#include "res/resources.h"

namespace {

using brix::BrixTuner;
using brix::linkState;

// Counts paint events of the display controls.
class PaintCounter : public QObject {
public:
    std::uint64_t paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

struct Page {
    QWidget host;
    BrixTuner tuner;
    PaintCounter counter;

    Page() {
        host.resize(520, 320);
        tuner.create(&host);
        tuner.widget()->move(10, 30);
        tuner.widget()->show();
        host.show();
        for (QWidget* w : controls())
            w->installEventFilter(&counter);
        QApplication::processEvents();
    }
    ~Page() { tuner.destroyWindow(); }

    std::array<brix::BitmapSurfaceWidget*, 12> controls() {
        return {&tuner.receiveFrequencyDisplay(),
                &tuner.transmitFrequencyDisplay(),
                &tuner.receiveRateDisplay(),
                &tuner.transmitRateDisplay(),
                &tuner.levelBar(0),
                &tuner.levelBar(1),
                &tuner.levelBar(2),
                &tuner.levelBar(3),
                &tuner.levelBar(4),
                &tuner.levelBar(5),
                &tuner.inLamp(),
                &tuner.outLamp()};
    }
    std::uint64_t draws() {
        std::uint64_t total = 0;
        for (auto* w : controls())
            total += drawLog(*w).total();
        return total;
    }
};

void setValues(bool high) {
    brix::LinkState& st = linkState();
    st.rxFrequency = high ? 8888 : 1234;
    st.txFrequency = high ? 1234 : 8888;
    st.rxRateCode = high ? 4 : 0;
    st.txRateCode = high ? 0 : 3;
    st.rxPacketRate = high ? 100 : 0;
    st.grantRate = high ? 0 : 100;
    st.txFragmentRate = high ? 100 : 0;
    st.txLevel = high ? 0 : 16;
    st.retransmitRate = high ? 100 : 0;
    st.activity = high ? 1 : 0;
}

void report(benchmark::State& state, Page& page, std::uint64_t draws0, std::uint64_t paints0) {
    const double ticks = double(state.iterations());
    state.counters["draws"] = benchmark::Counter(double(page.draws() - draws0) / ticks);
    state.counters["paints"] = benchmark::Counter(double(page.counter.paints - paints0) / ticks);
    state.counters["ticks"] = benchmark::Counter(ticks, benchmark::Counter::kIsRate);
}

void tickUnchanged(benchmark::State& state, bool repaint) {
    Page page;
    setValues(true);
    page.tuner.onTimer(1);
    linkState().activity = -1;
    page.tuner.onTimer(1);
    QApplication::processEvents();
    const std::uint64_t draws0 = page.draws();
    const std::uint64_t paints0 = page.counter.paints;
    for (auto _ : state) {
        page.tuner.onTimer(1);
        if (repaint)
            QApplication::processEvents();
    }
    report(state, page, draws0, paints0);
}

void tickAllChanging(benchmark::State& state, bool repaint) {
    Page page;
    setValues(true);
    page.tuner.onTimer(1);  // bars take their peaks
    QApplication::processEvents();
    const std::uint64_t draws0 = page.draws();
    const std::uint64_t paints0 = page.counter.paints;
    bool high = false;
    for (auto _ : state) {
        setValues(high);
        brix::channelTable().labelRefreshPending = 1;
        high = !high;
        page.tuner.onTimer(1);
        if (repaint)
            QApplication::processEvents();
    }
    report(state, page, draws0, paints0);
}

void tickUnchangedOnly(benchmark::State& state) {
    tickUnchanged(state, false);
}
void tickUnchangedWithRepaint(benchmark::State& state) {
    tickUnchanged(state, true);
}
void tickAllChangingOnly(benchmark::State& state) {
    tickAllChanging(state, false);
}
void tickAllChangingWithRepaint(benchmark::State& state) {
    tickAllChanging(state, true);
}
BENCHMARK(tickUnchangedOnly)->UseRealTime();
BENCHMARK(tickUnchangedWithRepaint)->UseRealTime();
BENCHMARK(tickAllChangingOnly)->UseRealTime();
BENCHMARK(tickAllChangingWithRepaint)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fw::setResources(&res::resources());
    // The page reads and writes its channel file in the current directory.
    QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    brix::linkReset();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
