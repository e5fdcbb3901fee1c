// Cost of handling each kind of report, and of one idle pass of the link thread.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <vector>

#include "link/link_state.h"

namespace {

using brix::LinkPeer;
using brix::MessageKind;
using Bytes = std::vector<std::uint8_t>;

// A user interface that does nothing, so only the link's own work is measured.
class NullPeer : public LinkPeer {
public:
    void addConsoleMessage(MessageKind, const char* text, bool) override {
        benchmark::DoNotOptimize(text);
    }
    void setMicrocodeVersion(const char*) override {}
    void setBootVersion(const char*) override {}
    int onChannelTableReply(const std::uint8_t*, int) override { return 0; }
    int onScannerReply(const std::uint8_t*) override { return 0; }
    void cancelPendingCalls() override {}
};

NullPeer nullPeer;

Bytes frame(std::int16_t type, std::size_t body) {
    Bytes f(12 + body, 0);
    for (int i = 0; i < 6; ++i)
        f[static_cast<std::size_t>(i)] = 0xFF;
    brix::writeU16(f.data() + 6, brix::kLinkMagic);
    brix::writeU16(f.data() + 8, static_cast<std::uint16_t>(type));
    brix::writeU16(f.data() + 10, 12);
    return f;
}

void prepare() {
    brix::linkStop();
    brix::linkReset();
    brix::setLinkPeer(&nullPeer);
}

void runDispatch(benchmark::State& state, std::vector<Bytes> frames,
                 std::int16_t statisticsMessages = 0) {
    prepare();
    brix::setStatisticsMessages(statisticsMessages);
    std::size_t i = 0;
    for (auto _ : state) {
        const Bytes& f = frames[i++ % frames.size()];
        brix::dispatchFrame(f.data(), static_cast<std::int16_t>(f.size()));
    }
    brix::linkReset();
}

void BM_RfReportUnchanged(benchmark::State& state) {
    Bytes f = frame(7, 10);
    brix::writeU16(f.data() + 12, 4525);
    runDispatch(state, {f});
}
BENCHMARK(BM_RfReportUnchanged);

void BM_RfReportChanged(benchmark::State& state) {
    Bytes a = frame(7, 10), b = frame(7, 10);
    brix::writeU16(a.data() + 12, 4525);
    brix::writeU16(b.data() + 12, 5552);
    runDispatch(state, {a, b});
}
BENCHMARK(BM_RfReportChanged);

void BM_StatisticsReport(benchmark::State& state) {
    Bytes f = frame(3, 34);
    brix::writeU16(f.data() + 12, 700);
    brix::writeU16(f.data() + 26, 1234);
    runDispatch(state, {f}, static_cast<std::int16_t>(state.range(0)));
}
BENCHMARK(BM_StatisticsReport)->Arg(0)->Arg(1);

void BM_VersionText(benchmark::State& state) {
    Bytes f = frame(15, 0);
    const char text[] = "CM Microcode!!2.05.17!!Build 1234";
    f.insert(f.end(), text, text + sizeof text);
    runDispatch(state, {f});
}
BENCHMARK(BM_VersionText);

void BM_DebugMessage(benchmark::State& state) {
    Bytes text = frame(17, 2), dteq = frame(17, 6), map = frame(17, 10);
    const char hello[] = "ranging complete";
    brix::writeU16(text.data() + 12, 3);
    text.insert(text.end(), hello, hello + sizeof hello);
    brix::writeU16(dteq.data() + 12, 7);
    brix::writeU16(map.data() + 12, 9);
    brix::writeU32(map.data() + 14, 0x10);
    brix::writeU32(map.data() + 18, 0x20);
    runDispatch(state, {text, dteq, map});
}
BENCHMARK(BM_DebugMessage);

void BM_GetReply(benchmark::State& state) {
    Bytes f = frame(0, 32);
    f[12] = 0x62;
    runDispatch(state, {f});
}
BENCHMARK(BM_GetReply);

void BM_SetAck(benchmark::State& state) {
    Bytes f = frame(1, 34);
    f[14] = 0x62;
    prepare();
    Bytes data(30, 0);
    brix::requestSet(brix::DataItem::ChannelTable, 30, data.data());
    for (auto _ : state)
        brix::dispatchFrame(f.data(), static_cast<std::int16_t>(f.size()));
    brix::linkReset();
}
BENCHMARK(BM_SetAck);

void BM_LinkTestAnswer(benchmark::State& state) {
    // Without a socket the answer is built and handed to the transport, which drops it.
    runDispatch(state, {frame(10, 0)});
}
BENCHMARK(BM_LinkTestAnswer);

void BM_IgnoredType(benchmark::State& state) {
    runDispatch(state, {frame(19, 0), frame(12, 0)});
}
BENCHMARK(BM_IgnoredType);

// A clock that stands still and never sleeps: nothing falls due, nothing waits.
class StillClock : public brix::LinkClock {
public:
    std::int32_t nowMs() override { return 1000; }
    void idleSleep() override {}
};

// One quiet pass: the readiness test of a real loopback socket and the timer checks.
void BM_IdlePass(benchmark::State& state) {
    prepare();
    brix::LinkEndpoints loopback{INADDR_LOOPBACK, 0, INADDR_LOOPBACK, 9};
    if (!brix::linkOpen(loopback)) {
        state.SkipWithError("no loopback socket");
        return;
    }
    StillClock clock;
    for (auto _ : state)
        benchmark::DoNotOptimize(brix::linkPass(clock));
    brix::linkStop();
    brix::linkReset();
}
BENCHMARK(BM_IdlePass);

}  // namespace

BENCHMARK_MAIN();
