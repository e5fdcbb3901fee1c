// The link's receive-and-dispatch path on loopback against a bare select-and-recv loop over the
// same kind of socket, in the same run. A sender thread floods each socket with a batch of frames
// that do not reach the user interface (unchanged RF reports, statistics with the lines off,
// link-test replies); then the batch is drained, once through linkPass and once through the bare
// loop, and only the draining is timed. The two drains alternate, so a busy machine slows both.
// At the end the two rates and their ratio are printed.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "link/link_state.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kBatch = 1000;
constexpr int kReceiveBuffer = 4 << 20;

class NullPeer : public brix::LinkPeer {
public:
    void addConsoleMessage(brix::MessageKind, const char*, bool) override { ++calls; }
    void setMicrocodeVersion(const char*) override { ++calls; }
    void setBootVersion(const char*) override { ++calls; }
    int onChannelTableReply(const std::uint8_t*, int) override { return ++calls, 0; }
    int onScannerReply(const std::uint8_t*) override { return ++calls, 0; }
    void cancelPendingCalls() override {}
    long calls = 0;
};

// The link thread's own time, without the idle wait: a drain ends at its first quiet pass.
class DrainClock : public brix::LinkClock {
public:
    std::int32_t nowMs() override { return brix::msSinceProgramStart(); }
    void idleSleep() override { ++idles; }
    long idles = 0;
};

Bytes frame(std::int16_t type, std::size_t body) {
    Bytes f(12 + body, 0);
    for (std::size_t i = 0; i < 6; ++i)
        f[i] = 0xFF;
    brix::writeU16(f.data() + 6, brix::kLinkMagic);
    brix::writeU16(f.data() + 8, static_cast<std::uint16_t>(type));
    brix::writeU16(f.data() + 10, 12);
    return f;
}

std::vector<Bytes> quietFrames() {
    Bytes rf = frame(7, 10);
    brix::writeU16(rf.data() + 12, 4525);
    brix::writeU16(rf.data() + 14, 2);
    brix::writeU16(rf.data() + 16, 300);
    brix::writeU16(rf.data() + 20, 4);
    Bytes statistics = frame(3, 34);
    brix::writeU16(statistics.data() + 12, 700);
    brix::writeU16(statistics.data() + 36, 5000);
    Bytes reply = frame(11, 4);
    brix::writeU32(reply.data() + 12, brix::kLinkTestValue);
    return {rf, statistics, reply};
}

int loopbackSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return -1;
    return fd;
}

std::uint16_t portOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Room for a whole batch, so nothing is lost while the socket fills.
void enlargeReceiveBuffer(int fd) {
    int size = kReceiveBuffer;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Floods the port it is given with one batch of frames, then reports back.
class Sender {
public:
    Sender() : fd_(loopbackSocket()), thread_([this] { run(); }) {}
    ~Sender() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
        ::close(fd_);
    }
    void flood(std::uint16_t port) {
        std::unique_lock<std::mutex> lock(mutex_);
        port_ = port;
        busy_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !busy_; });
    }

private:
    void run() {
        const std::vector<Bytes> frames = quietFrames();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return busy_ || quit_; });
            if (quit_)
                return;
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(port_);
            for (int i = 0; i < kBatch; ++i) {
                const Bytes& f = frames[static_cast<std::size_t>(i) % frames.size()];
                ::sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
            busy_ = false;
            changed_.notify_all();
        }
    }

    int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint16_t port_ = 0;
    bool busy_ = false;
    bool quit_ = false;
    std::thread thread_;
};

// Totals over the whole run, for the summary line.
struct Totals {
    double linkFrames = 0, linkSeconds = 0, bareFrames = 0, bareSeconds = 0;
};
Totals totals;

double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The link thread's passes until the first quiet one; returns the frames taken.
long drainLink(DrainClock& clock) {
    const long idlesBefore = clock.idles;
    long passes = 0;
    while (clock.idles == idlesBefore) {
        brix::linkPass(clock);
        ++passes;
    }
    return passes - 1;
}

// The bare loop: a zero-time-out select, then one read, until nothing waits.
long drainBare(int fd) {
    static std::uint8_t buffer[brix::kReceiveCapacity];
    long frames = 0;
    for (;;) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(fd, &ready);
        timeval zero{0, 0};
        if (::select(fd + 1, &ready, nullptr, nullptr, &zero) <= 0)
            return frames;
        if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
            return frames;
        benchmark::DoNotOptimize(buffer);
        ++frames;
    }
}

void BM_ReceivePathVsBareLoop(benchmark::State& state) {
    NullPeer peer;
    brix::linkStop();
    brix::linkReset();
    brix::setLinkPeer(&peer);
    brix::setStatisticsMessages(0);
    // The link's queries go here and are never read.
    const int sink = loopbackSocket();
    const int bare = loopbackSocket();
    if (sink < 0 || bare < 0 ||
        !brix::linkOpen({INADDR_LOOPBACK, 0, INADDR_LOOPBACK, portOf(sink)})) {
        state.SkipWithError("no loopback sockets");
        return;
    }
    const int linkFd = brix::linkState().socket.load();
    enlargeReceiveBuffer(linkFd);
    enlargeReceiveBuffer(bare);
    const auto linkPort = static_cast<std::uint16_t>(brix::linkSocketPort());
    const std::uint16_t barePort = portOf(bare);

    Sender sender;
    DrainClock clock;
    // The first RF report is new and writes its lines; every later one is unchanged.
    sender.flood(linkPort);
    drainLink(clock);
    const long callsBefore = peer.calls;

    Totals run;
    bool linkFirst = true;
    for (auto _ : state) {
        const double before = run.linkSeconds + run.bareSeconds;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == linkFirst) {
                sender.flood(linkPort);
                const auto start = Clock::now();
                run.linkFrames += static_cast<double>(drainLink(clock));
                run.linkSeconds += seconds(start);
            } else {
                sender.flood(barePort);
                const auto start = Clock::now();
                run.bareFrames += static_cast<double>(drainBare(bare));
                run.bareSeconds += seconds(start);
            }
        }
        state.SetIterationTime(run.linkSeconds + run.bareSeconds - before);
        linkFirst = !linkFirst;
    }
    if (peer.calls != callsBefore)
        state.SkipWithError("frames reached the user interface");

    const double linkRate = run.linkFrames / run.linkSeconds;
    const double bareRate = run.bareFrames / run.bareSeconds;
    state.counters["link_fps"] = linkRate;
    state.counters["bare_fps"] = bareRate;
    state.counters["ratio"] = linkRate / bareRate;
    state.counters["lost"] =
        static_cast<double>(state.iterations()) * 2 * kBatch - run.linkFrames - run.bareFrames;
    totals = run;

    brix::linkStop();
    brix::linkReset();
    ::close(sink);
    ::close(bare);
}
BENCHMARK(BM_ReceivePathVsBareLoop)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (totals.linkSeconds > 0 && totals.bareSeconds > 0) {
        const double linkRate = totals.linkFrames / totals.linkSeconds;
        const double bareRate = totals.bareFrames / totals.bareSeconds;
        std::printf("link receive path (linkPass): %.0f frames/s\n", linkRate);
        std::printf("bare select + recv loop:      %.0f frames/s\n", bareRate);
        std::printf("ratio link/bare = %.2f\n", linkRate / bareRate);
    }
    return 0;
}
