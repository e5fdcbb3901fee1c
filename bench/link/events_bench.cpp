// The link's typed events under a flood of reports, on loopback. Two figures:
//  1. 20,000 reports a second for a few seconds into a running link with four subscribers that
//     keep up (each a thread that waits on its subscription): what each got and lost.
//  2. The link's own drain rate (datagrams taken and decoded a second of the link thread's CPU
//     time, the socket kept full) with no subscriber and with four, in alternating rounds; the
//     medians and their ratio.
// A plain program that prints its figures: tools/netns-run build/bench/link/link_events_bench

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "link/link_events.h"
#include "link/link_state.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSubscribers = 4;
constexpr int kFloodRate = 20000;
constexpr int kFloodSeconds = 3;

class NullPeer : public brix::LinkPeer {
public:
    void addConsoleMessage(brix::MessageKind, const char*, bool) override {}
    void setMicrocodeVersion(const char*) override {}
    void setBootVersion(const char*) override {}
    int onChannelTableReply(const std::uint8_t*, int) override { return 0; }
    int onScannerReply(const std::uint8_t*) override { return 0; }
    void cancelPendingCalls() override {}
};

// The link's time; the idle wait returns as soon as a datagram comes.
class PromptClock : public brix::LinkClock {
public:
    std::int32_t nowMs() override { return brix::msSinceProgramStart(); }
    void idleSleep() override {
        pollfd p{brix::linkState().socket.load(), POLLIN, 0};
        ::poll(&p, 1, 5);
    }
};

Bytes rfReport(std::uint16_t rx) {
    Bytes f(22, 0);
    for (std::size_t i = 0; i < 6; ++i)
        f[i] = 0xFF;
    brix::writeU16(f.data() + 6, brix::kLinkMagic);
    brix::writeU16(f.data() + 8, 7);
    brix::writeU16(f.data() + 10, 12);
    brix::writeU16(f.data() + 12, rx);
    brix::writeU16(f.data() + 14, 4);
    brix::writeU16(f.data() + 16, 300);
    brix::writeU16(f.data() + 20, 3);
    return f;
}

int senderSocket(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
    return fd;
}

void sendTo(int fd, std::uint16_t port, const Bytes& b) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

double threadSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double processSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A subscriber on a thread of its own that takes what comes until stopped.
struct Reader {
    brix::LinkSubscription subscription{brix::LinkSubscription::kDefaultCapacity, 10ms};
    std::atomic<bool> stop{false};
    std::uint64_t reports = 0;
    std::uint64_t lost = 0;
    double cpu = 0;
    std::thread thread;

    Reader() {
        thread = std::thread([this] {
            const double start = threadSeconds();
            std::vector<brix::LinkEvent> events;
            while (!stop) {
                subscription.wait(events, Clock::now() + 100ms);
                for (const brix::LinkEvent& e : events) {
                    if (std::holds_alternative<brix::RfReport>(e.body))
                        ++reports;
                    else if (const auto* l = std::get_if<brix::EventsLost>(&e.body))
                        lost += l->count;
                }
            }
            cpu = threadSeconds() - start;
        });
    }
    void finish() {
        stop = true;
        subscription.wake();
        thread.join();
    }
};

// The link thread's share of a core (the process's time less the sender's and the readers').
double flood(int subscribers) {
    NullPeer peer;
    brix::setLinkPeer(&peer);
    std::uint16_t sender = 0;
    const int fd = senderSocket(sender);
    PromptClock clock;
    if (!brix::linkStart({INADDR_LOOPBACK, 0, INADDR_LOOPBACK, sender}, &clock)) {
        std::printf("the link did not start\n");
        return 0;
    }
    const auto port = static_cast<std::uint16_t>(brix::linkSocketPort());
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < subscribers; ++i)
        readers.push_back(std::make_unique<Reader>());
    const std::uint32_t before = brix::getLinkCounters().rfReports;
    const Bytes report = rfReport(4525);
    const double process0 = processSeconds();
    const double main0 = threadSeconds();
    const auto start = Clock::now();
    const long total = static_cast<long>(kFloodRate) * kFloodSeconds;
    for (long i = 0; i < total; ++i) {
        // Paced in steps of a millisecond's worth.
        if (i % (kFloodRate / 1000) == 0)
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds(i * 1000000 / kFloodRate));
        sendTo(fd, port, report);
    }
    std::this_thread::sleep_for(300ms);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const std::uint32_t taken = brix::getLinkCounters().rfReports - before;
    brix::linkStop();
    double readersCpu = 0;
    for (auto& r : readers) {
        r->finish();
        readersCpu += r->cpu;
    }
    const double linkCpu = (processSeconds() - process0) - (threadSeconds() - main0) - readersCpu;
    std::printf(
        "1. %d reports/s for %d s, %d subscribers: the link took %u of %ld; its thread "
        "%.2f %% of a core\n",
        kFloodRate, kFloodSeconds, subscribers, taken, total, 100.0 * linkCpu / wall);
    for (std::size_t i = 0; i < readers.size(); ++i)
        std::printf("   subscriber %zu: %llu reports, %llu lost, %.2f %% of a core\n", i + 1,
                    static_cast<unsigned long long>(readers[i]->reports),
                    static_cast<unsigned long long>(readers[i]->lost),
                    100.0 * readers[i]->cpu / wall);
    ::close(fd);
    brix::linkReset();
    return linkCpu / wall;
}

// Datagrams a second of the link thread's time that it takes from a socket kept full.
double drainRate(int subscribers) {
    NullPeer peer;
    brix::setLinkPeer(&peer);
    std::uint16_t sender = 0;
    const int fd = senderSocket(sender);
    if (!brix::linkOpen({INADDR_LOOPBACK, 0, INADDR_LOOPBACK, sender}))
        return 0;
    int size = 4 << 20;
    ::setsockopt(brix::linkState().socket.load(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const auto port = static_cast<std::uint16_t>(brix::linkSocketPort());
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < subscribers; ++i)
        readers.push_back(std::make_unique<Reader>());
    const Bytes report = rfReport(4525);
    // Batches the socket holds whole; only the draining is timed.
    constexpr int kBatch = 1000;
    constexpr int kBatches = 20;
    struct : brix::LinkClock {
        std::int32_t nowMs() override { return brix::msSinceProgramStart(); }
        void idleSleep() override { quiet = true; }
        bool quiet = false;
    } clock;
    const std::uint32_t before = brix::getLinkCounters().rfReports;
    double seconds = 0;
    for (int b = 0; b < kBatches; ++b) {
        for (int i = 0; i < kBatch; ++i)
            sendTo(fd, port, report);
        clock.quiet = false;
        // The link thread's own CPU time: four readers on a machine of few cores also take
        // the processor from it, which is the machine's cost, not the link's.
        const double start = threadSeconds();
        while (!clock.quiet)
            brix::linkPass(clock);
        seconds += threadSeconds() - start;
    }
    const std::uint32_t taken = brix::getLinkCounters().rfReports - before;
    for (auto& r : readers)
        r->finish();
    brix::closeLinkSocket();
    brix::linkReset();
    ::close(fd);
    return taken / seconds;
}

}  // namespace

int main() {
    const double alone = flood(0);
    const double watched = flood(kSubscribers);
    std::printf("   the link thread with %d subscribers: %+.2f %% of a core\n", kSubscribers,
                100.0 * (watched - alone));
    std::vector<double> bare, subscribed;
    for (int round = 0; round < 7; ++round) {
        bare.push_back(drainRate(0));
        subscribed.push_back(drainRate(kSubscribers));
    }
    std::sort(bare.begin(), bare.end());
    std::sort(subscribed.begin(), subscribed.end());
    const double b = bare[bare.size() / 2];
    const double s = subscribed[subscribed.size() / 2];
    std::printf(
        "2. the link's drain rate, datagrams a second of its thread's CPU time, median of 7 "
        "rounds: %.0f without subscribers, %.0f with %d; %.1f %% of the rate without\n",
        b, s, kSubscribers, 100.0 * s / b);
    return 0;
}
