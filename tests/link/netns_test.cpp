// The product ports and the limited broadcast address. Only inside tools/netns-run.

#include <gtest/gtest.h>

#include <chrono>

#include "link_test_support.h"
#include "private_netns.h"

namespace brix::testing {
namespace {

using namespace std::chrono_literals;
using NetnsTest = LinkTest;

// A socket on the modem's port that hears the tool's broadcasts and broadcasts back.
class BroadcastModem {
public:
    BroadcastModem() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(kModemPort);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~BroadcastModem() { ::close(fd_); }
    bool bound() const { return bound_; }
    Bytes receive(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return {};
        Bytes buf(2048);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }
    void broadcast(const Bytes& f) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        to.sin_port = htons(kLocalPort);
        ::sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

TEST_F(NetnsTest, ProductSocketBroadcastsAndHoldsItsPort) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    BroadcastModem modem;
    ASSERT_TRUE(modem.bound());
    ASSERT_TRUE(openLinkSocket());
    EXPECT_EQ(linkSocketPort(), kLocalPort);

    // The port has one owner: another socket cannot bind it (no SO_REUSEADDR).
    const int other = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in port{};
    port.sin_family = AF_INET;
    port.sin_port = htons(kLocalPort);
    EXPECT_NE(::bind(other, reinterpret_cast<sockaddr*>(&port), sizeof port), 0);
    ::close(other);

    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
    EXPECT_EQ(modem.receive(1000),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x06, 0x00, 0x0C, 0x00}));

    // Our own broadcast to 30588 does not come back to 30587.
    std::uint8_t buffer[kReceiveCapacity];
    std::int16_t count = 0;
    EXPECT_FALSE(receiveFrame(buffer, kReceiveCapacity, count));

    // The owner's relay hands it on: it may take a pass to arrive.
    modem.broadcast(inbound(11, 4));
    bool received = false;
    for (int pass = 0; pass < 10 && !received; ++pass)
        received = receiveFrame(buffer, kReceiveCapacity, count);
    EXPECT_TRUE(received);
    EXPECT_EQ(count, 16);
    closeLinkSocket();
}

TEST_F(NetnsTest, LinkStartAndStopOnProductPorts) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    BroadcastModem modem;
    ASSERT_TRUE(modem.bound());
    ASSERT_TRUE(linkStart());
    Bytes first = modem.receive(2000);
    ASSERT_EQ(first.size(), 12u);
    EXPECT_EQ(first[8], 6);

    modem.broadcast(rfReport(5552, 4, 400, 2, 3));
    ASSERT_TRUE(
        peer.waitFor(3s, [](const RecordingPeer& p) { return p.consoleLocked().size() >= 5; }));
    EXPECT_EQ(peer.consoleTexts()[1],
              "Receive Cannel: Frequency = 555.2 MHz, Bit Rate =   9.45 Mbit/sec");
    EXPECT_TRUE(linkStop());
}

}  // namespace
}  // namespace brix::testing
