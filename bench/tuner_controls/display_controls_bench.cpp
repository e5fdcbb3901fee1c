// The Tuner feeds four displays, six bars and two lamps every 500 ms. An unchanged value must
// cost next to nothing; a change costs only the copies of what changed.

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstdint>

#include "display_controls.h"
#include "pictures.h"

namespace {

using brix::BitRateDisplay;
using brix::FrequencyDisplay;
using brix::LedIndicator;
using brix::LevelBar;

void frequencyUnchanged(benchmark::State& state) {
    FrequencyDisplay d;
    d.loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground);
    d.setValue(4525, false);
    for (auto _ : state)
        d.setValue(4525, false);
}
BENCHMARK(frequencyUnchanged);

// One place changes per call (the tenths digit).
void frequencyTenthsChanging(benchmark::State& state) {
    FrequencyDisplay d;
    d.loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground);
    std::uint32_t v = 4525;
    for (auto _ : state) {
        v ^= 1;
        d.setValue(v, false);
    }
}
BENCHMARK(frequencyTenthsChanging);

// Every place changes per call.
void frequencyAllChanging(benchmark::State& state) {
    FrequencyDisplay d;
    d.loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground);
    bool high = false;
    for (auto _ : state) {
        high = !high;
        d.setValue(high ? 12345 : 6789, false);
    }
}
BENCHMARK(frequencyAllChanging);

// The two decimals are copied at every call even when the rate stays.
void bitRateUnchanged(benchmark::State& state) {
    BitRateDisplay d;
    d.loadBitmaps(res::kReceiveDigit0, res::kReceiveRateBackground);
    d.setValue(4, false);
    for (auto _ : state)
        d.setValue(4, false);
}
BENCHMARK(bitRateUnchanged);

void levelUnchanged(benchmark::State& state) {
    LevelBar bar(1, 24);
    bar.loadBitmaps(QStringLiteral("GREEN"), QStringLiteral("BLACK"));
    bar.setLevel(500, false);
    for (auto _ : state)
        bar.setLevel(500, false);
}
BENCHMARK(levelUnchanged);

// Between an empty and a full bar: 24 cells per call.
void levelFullSwing(benchmark::State& state) {
    LevelBar bar(1, 24);
    bar.loadBitmaps(QStringLiteral("GREEN"), QStringLiteral("BLACK"));
    bool full = false;
    for (auto _ : state) {
        full = !full;
        bar.setLevel(full ? 1000 : 0, false);
    }
}
BENCHMARK(levelFullSwing);

void lampToggle(benchmark::State& state) {
    LedIndicator lamp;
    lamp.loadBitmaps();
    for (auto _ : state)
        lamp.toggle();
}
BENCHMARK(lampToggle);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
