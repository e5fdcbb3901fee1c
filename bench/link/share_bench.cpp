// The owner's relay under load: a 20,000 frames/s flood handed to three attached programs and the
// owner's own link, the latency the relay adds to a datagram, and the owner's receive rate under
// a flood as fast as loopback goes, against a bare recv loop. Prints the figures.
// Loopback only (the modem's side sends to 127.0.0.1); run it inside tools/netns-run all the same.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/link_share.h"
#include "link/link_state.h"

namespace {

using Clock = std::chrono::steady_clock;

int udpSocket(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

std::uint16_t portOf(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

void sendTo(int fd, std::uint16_t port, const std::uint8_t* f, std::size_t n) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(fd, f, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

int attachRaw(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return -1;
    char greeting[128];
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 1000);
    ::recv(fd, greeting, sizeof greeting, 0);
    return fd;
}

// A statistics report with a sequence number and the time it was sent.
struct Frame {
    std::uint8_t bytes[58] = {};
    Frame() {
        for (int i = 0; i < 6; ++i)
            bytes[i] = 0xFF;
        brix::writeU16(bytes + 6, brix::kLinkMagic);
        brix::writeU16(bytes + 8, 3);
        brix::writeU16(bytes + 10, 12);
    }
    void stamp(std::uint32_t seq) {
        brix::writeU32(bytes + 12, seq);
        const auto ns = Clock::now().time_since_epoch().count();
        std::memcpy(bytes + 16, &ns, sizeof ns);
    }
};

double since(const std::uint8_t* f) {
    Clock::rep sent = 0;
    std::memcpy(&sent, f + 16, sizeof sent);
    return static_cast<double>(Clock::now().time_since_epoch().count() - sent) / 1e6;  // ms
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    // A fixed port (the share needs one) that is free now.
    int probe = udpSocket(0);
    const std::uint16_t port = portOf(probe);
    ::close(probe);
    char folder[] = "/tmp/brix-share-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr)
        return 1;
    ::setenv("XDG_RUNTIME_DIR", folder, 1);
    ::unsetenv("RUNTIME_DIRECTORY");
    const int sink = udpSocket(0);
    if (!brix::openLinkSocket({INADDR_LOOPBACK, port, INADDR_LOOPBACK, portOf(sink)}) ||
        brix::linkSharePath().empty()) {
        std::fprintf(stderr, "cannot own the link: %s\n", brix::linkSocketFailureText());
        return 1;
    }
    const int link = brix::linkState().socket.load();
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(attachRaw(brix::linkSharePath()));
    while (brix::linkAttachedCount() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // 1. The flood: 20,000 frames a second for 3 s, paced in 1 ms steps.
    constexpr int kRate = 20000;
    constexpr int kSeconds = 3;
    constexpr int kTotal = kRate * kSeconds;
    std::atomic<bool> done{false};
    std::vector<std::atomic<int>> got(4);
    std::vector<std::vector<double>> latency(4);
    std::vector<std::thread> readers;
    class Spin : public brix::LinkClock {
    public:
        std::int32_t nowMs() override { return brix::msSinceProgramStart(); }
        void idleSleep() override {}
    } spin;
    // The clients read their sockets; the owner's link reads as the link thread does.
    class Waiting : public brix::LinkClock {
    public:
        explicit Waiting(int fd) : fd_(fd) {}
        std::int32_t nowMs() override { return brix::msSinceProgramStart(); }
        void idleSleep() override {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 20);
        }

    private:
        int fd_;
    } waiting(link);
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&, r] {
            std::uint8_t buf[2048];
            latency[r].reserve(kTotal);
            while (!done.load()) {
                if (r == 3) {
                    std::int16_t count = 0;
                    if (brix::receiveFrame(buf, brix::kReceiveCapacity, count, waiting)) {
                        got[r].fetch_add(1, std::memory_order_relaxed);
                        latency[r].push_back(since(buf));
                    }
                    continue;
                }
                pollfd p{clients[r], POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                while (::recv(clients[r], buf, sizeof buf, MSG_DONTWAIT) > 0) {
                    got[r].fetch_add(1, std::memory_order_relaxed);
                    latency[r].push_back(since(buf));
                }
            }
        });
    }
    const int modem = udpSocket(0);
    Frame f;
    const auto start = Clock::now();
    for (int sent = 0; sent < kTotal;) {
        const auto due = start + std::chrono::microseconds(1000000LL * sent / kRate);
        std::this_thread::sleep_until(due);
        for (int i = 0; i < kRate / 1000 && sent < kTotal; ++i, ++sent) {
            f.stamp(static_cast<std::uint32_t>(sent));
            sendTo(modem, port, f.bytes, sizeof f.bytes);
        }
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    done.store(true);
    for (std::thread& t : readers)
        t.join();
    std::printf("flood: %d frames in %.2f s (%.0f frames/s)\n", kTotal, sendSeconds,
                kTotal / sendSeconds);
    for (int r = 0; r < 4; ++r)
        std::printf("  %-12s received %d of %d (%.1f%%), latency median %.3f ms\n",
                    r < 3 ? ("client " + std::to_string(r + 1)).c_str() : "owner's link",
                    got[r].load(), kTotal, 100.0 * got[r].load() / kTotal, median(latency[r]));

    // 2. The relay's added latency: one frame at a time to a client, against the same frame
    // straight from UDP socket to UDP socket.
    std::vector<double> relayed, bare;
    const int direct = udpSocket(0);
    std::uint8_t buf[2048];
    for (int i = 0; i < 3000; ++i) {
        f.stamp(static_cast<std::uint32_t>(i));
        sendTo(modem, port, f.bytes, sizeof f.bytes);
        pollfd p{clients[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0 && ::recv(clients[0], buf, sizeof buf, 0) > 0)
            relayed.push_back(since(buf));
        for (int c = 1; c < 3; ++c)
            while (::recv(clients[c], buf, sizeof buf, MSG_DONTWAIT) > 0) {
            }
        std::int16_t count = 0;
        while (brix::receiveFrame(buf, brix::kReceiveCapacity, count, spin)) {
        }
        f.stamp(static_cast<std::uint32_t>(i));
        sendTo(modem, portOf(direct), f.bytes, sizeof f.bytes);
        pollfd q{direct, POLLIN, 0};
        if (::poll(&q, 1, 1000) > 0 && ::recv(direct, buf, sizeof buf, 0) > 0)
            bare.push_back(since(buf));
    }
    const double mr = median(relayed), mb = median(bare);
    std::printf(
        "latency: through the relay median %.3f ms, bare UDP median %.3f ms, added %.3f "
        "ms\n",
        mr, mb, mr - mb);

    // 3. The owner's receive rate under a flood as fast as loopback takes it (the link's own
    // receiveFrame loop), against a bare recv loop on a UDP socket fed the same way.
    // The two take turns, in half-second rounds that alternate which goes first, so that a
    // change in the machine's other load falls on both alike.
    struct Side {
        long frames = 0;
        double seconds = 0;
    };
    auto flood = [&](std::uint16_t to, auto&& receiveOne, Side& side) {
        while (receiveOne()) {
        }  // what an earlier round left
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            Frame g;
            while (!stop.load()) {
                sendTo(modem, to, g.bytes, sizeof g.bytes);
            }
        });
        const auto t0 = Clock::now();
        while (Clock::now() - t0 < std::chrono::milliseconds(500))
            side.frames += receiveOne() ? 1 : 0;
        side.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        stop.store(true);
        sender.join();
    };
    for (int c : clients)
        ::close(c);  // the owner alone, as bare recv is
    while (brix::linkAttachedCount() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto ownerOne = [&] {
        std::int16_t count = 0;
        return brix::receiveFrame(buf, sizeof buf, count, spin);
    };
    auto bareOne = [&] {
        pollfd p{direct, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && ::recv(direct, buf, sizeof buf, MSG_DONTWAIT) > 0;
    };
    Side ownerSide, bareSide;
    for (int round = 0; round < 8; ++round) {
        if (round % 2 == 0) {
            flood(port, ownerOne, ownerSide);
            flood(portOf(direct), bareOne, bareSide);
        } else {
            flood(portOf(direct), bareOne, bareSide);
            flood(port, ownerOne, ownerSide);
        }
    }
    const double owner = static_cast<double>(ownerSide.frames) / ownerSide.seconds;
    const double plain = static_cast<double>(bareSide.frames) / bareSide.seconds;
    std::printf(
        "receive under a full flood: owner's link %.0f frames/s, bare recv %.0f "
        "frames/s, ratio %.2f\n",
        owner, plain, owner / plain);
    brix::closeLinkSocket();
    std::system((std::string("rm -rf ") + folder).c_str());
    return 0;
}
