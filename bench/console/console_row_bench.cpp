// The link sends Console lines in bursts (a statistics report is 14 lines) and waits on the
// user-interface thread for each. Once the list holds 200 rows every message pays for an
// insertion and the scroll to it, and every fiftieth for a block of 50 deletions; with logging on
// also for a line written and, every tenth line, a flush.

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "app/tool_app.h"
#include "brix_debug.h"
#include "res/resources.h"

namespace {

using brix::BrixDebug;
using brix::MessageKind;

std::unique_ptr<BrixDebug> fullConsole() {
    auto page = std::make_unique<BrixDebug>();
    page->create(nullptr);
    page->widget()->show();
    for (int i = 0; i < BrixDebug::kMaxRows; ++i)
        page->addConsoleMessage(MessageKind::Embedded, "Downstream frequency = 453.0 MHz", false);
    return page;
}

void fullListBlockTrim(benchmark::State& state) {
    auto page = fullConsole();
    for (auto _ : state)
        page->addConsoleMessage(MessageKind::Embedded, "Downstream frequency = 453.0 MHz", false);
    page->destroyWindow();
}
BENCHMARK(fullListBlockTrim);

void fullListLogged(benchmark::State& state) {
    brix::theApp.messageLog = std::tmpfile();
    brix::theApp.logEnabled = brix::theApp.messageLog != nullptr;
    auto page = fullConsole();
    for (auto _ : state)
        page->addConsoleMessage(MessageKind::Embedded, "Downstream frequency = 453.0 MHz", true);
    page->destroyWindow();  // closes the log
}
BENCHMARK(fullListLogged);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fw::setResources(&res::resources());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
