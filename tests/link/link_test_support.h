#pragma once
// Shared pieces of the link tests: a clock the test moves, a loopback socket that plays the
// modem, builders of inbound frames, and a fixture that gives every test a fresh link.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "link/link_state.h"
#include "recording_peer.h"

namespace brix::testing {

using Bytes = std::vector<std::uint8_t>;

// Time stands still until the test moves it; each idle wait moves it by `idleStep` ms.
class FakeClock : public LinkClock {
public:
    explicit FakeClock(std::int32_t idleStep = kIdleSleepMs) : idleStep_(idleStep) {}
    std::int32_t nowMs() override { return now_.load(); }
    void idleSleep() override {
        now_.fetch_add(idleStep_);
        idles_.fetch_add(1);
        if (yield_)
            std::this_thread::yield();
    }
    void set(std::int32_t ms) { now_.store(ms); }
    void yieldOnIdle(bool on) { yield_ = on; }
    int idles() const { return idles_.load(); }

private:
    std::atomic<std::int32_t> now_{0};
    std::atomic<int> idles_{0};
    std::int32_t idleStep_;
    bool yield_ = false;
};

// A UDP socket on 127.0.0.1 (system-chosen port) standing in for the modem.
class ModemSocket {
public:
    ModemSocket() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~ModemSocket() { ::close(fd_); }
    ModemSocket(const ModemSocket&) = delete;
    ModemSocket& operator=(const ModemSocket&) = delete;

    std::uint16_t port() const { return port_; }

    // Link endpoints on loopback that send to this socket.
    LinkEndpoints endpoints() const {
        return LinkEndpoints{INADDR_LOOPBACK, 0, INADDR_LOOPBACK, port_};
    }

    // Everything that has arrived (loopback delivers during the send, so no waiting needed).
    std::vector<Bytes> drain() {
        std::vector<Bytes> out;
        for (;;) {
            Bytes buf(4096);
            ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0)
                break;
            buf.resize(static_cast<std::size_t>(n));
            out.push_back(std::move(buf));
        }
        return out;
    }

    // The next datagram within `ms`, or empty.
    Bytes receive(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return {};
        Bytes buf(4096);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0)
            return {};
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }

    void sendTo(std::uint16_t port, const Bytes& datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    }
    // To the link socket.
    void send(const Bytes& datagram) {
        sendTo(static_cast<std::uint16_t>(linkSocketPort()), datagram);
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

inline std::int16_t typeOf(const Bytes& frame) {
    return frame.size() >= 10 ? static_cast<std::int16_t>(readU16(frame.data() + 8)) : -999;
}

// Inbound frame: header with the given type and `bodySize` zero bytes after it.
inline Bytes inbound(std::int16_t type, std::size_t bodySize = 0) {
    Bytes f(kFrameHeaderSize + bodySize, 0);
    for (int i = 0; i < 6; ++i)
        f[i] = 0xFF;
    writeU16(f.data() + 6, kLinkMagic);
    writeU16(f.data() + 8, static_cast<std::uint16_t>(type));
    writeU16(f.data() + 10, static_cast<std::uint16_t>(kFrameHeaderSize));
    return f;
}

inline Bytes rfReport(std::uint16_t rxFreq, std::uint16_t rxCode, std::uint16_t txFreq,
                      std::uint16_t txCode, std::uint16_t attenuation) {
    Bytes f = inbound(7, 10);
    writeU16(f.data() + 12, rxFreq);
    writeU16(f.data() + 14, rxCode);
    writeU16(f.data() + 16, txFreq);
    writeU16(f.data() + 18, txCode);
    writeU16(f.data() + 20, attenuation);
    return f;
}

inline Bytes textFrame(std::int16_t type, const std::string& text, bool terminate = true) {
    Bytes f = inbound(type);
    f.insert(f.end(), text.begin(), text.end());
    if (terminate)
        f.push_back(0);
    return f;
}

inline Bytes debugFrame(std::uint16_t subType, const Bytes& data) {
    Bytes f = inbound(17, 2);
    writeU16(f.data() + 12, subType);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

inline void dispatch(const Bytes& f) {
    dispatchFrame(f.data(), static_cast<std::int16_t>(f.size()));
}

inline Bytes toBytes(const LinkFrame& f, std::size_t n) {
    return Bytes(f.bytes, f.bytes + n);
}

// Every test starts and ends with a stopped link in its program-start state and a recorder.
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        linkStop();
        linkReset();
        setLinkPeer(&peer);
    }
    void TearDown() override {
        linkStop();
        linkReset();
    }
    RecordingPeer peer;
};

}  // namespace brix::testing
