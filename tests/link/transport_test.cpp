// The datagram transport on loopback ports, and link start failures.

#include <gtest/gtest.h>

#include <chrono>

#include "link/link_senders.h"
#include "link_test_support.h"

namespace brix::testing {
namespace {

using TransportTest = LinkTest;

TEST_F(TransportTest, LongDatagramIsCutAndQuietLineWaits) {
    ModemSocket modem;
    ASSERT_TRUE(openLinkSocket(modem.endpoints()));
    ASSERT_GT(linkSocketPort(), 0);

    Bytes big(2000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7);
    modem.send(big);
    std::uint8_t buffer[kReceiveCapacity];
    std::int16_t count = 0;
    ASSERT_TRUE(receiveFrame(buffer, kReceiveCapacity, count));
    EXPECT_EQ(count, 1514);
    EXPECT_EQ(Bytes(buffer, buffer + 1514), Bytes(big.begin(), big.begin() + 1514));

    // The rest of the cut datagram is gone: nothing waits now, and the step waits 100 ms.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(receiveFrame(buffer, kReceiveCapacity, count));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(95));

    // An empty datagram delivers nothing either.
    modem.send({});
    FakeClock clock;
    EXPECT_FALSE(receiveFrame(buffer, kReceiveCapacity, count, clock));
    EXPECT_EQ(clock.idles(), 1);

    sendFrame(buildRequest(MessageType::Version).bytes, 12);
    EXPECT_EQ(modem.receive(1000).size(), 12u);
    EXPECT_EQ(getLinkActivity(), 0);
    closeLinkSocket();
    EXPECT_EQ(linkSocketPort(), -1);
    // A send that cannot go out still counts as a send for the activity lamp.
    setLinkActivity(1);
    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
    EXPECT_EQ(getLinkActivity(), 0);
}

// What reaches the link's port from another port than the modem's is no modem's: a program of
// this PC or a sender on the segment is not taken for it, however many it sends, and the
// modem's datagrams behind a flood of them still come through.
TEST_F(TransportTest, OnlyTheModemsPortIsHeard) {
    ModemSocket modem;
    ModemSocket stranger;
    ASSERT_TRUE(openLinkSocket(modem.endpoints()));
    const std::uint64_t refusedBefore = linkSendersRefused();
    for (int i = 0; i < 40; ++i)
        stranger.send(rfReport(1, 1, 1, 1, 1));
    modem.send(rfReport(4525, 4, 300, 1, 3));
    std::uint8_t buffer[kReceiveCapacity];
    std::int16_t count = 0;
    FakeClock clock;
    bool got = false;
    for (int i = 0; i < 10 && !got; ++i)
        got = receiveFrame(buffer, kReceiveCapacity, count, clock);
    ASSERT_TRUE(got);
    EXPECT_EQ(readU16(buffer + 12), 4525);  // the modem's, not one of the stranger's
    EXPECT_EQ(linkSendersRefused() - refusedBefore, 40u);
    EXPECT_FALSE(receiveFrame(buffer, kReceiveCapacity, count, clock));
}

TEST_F(TransportTest, BusyPortFailsTheStart) {
    ModemSocket holder;  // holds a loopback port
    ModemSocket modem;
    LinkEndpoints endpoints = modem.endpoints();
    endpoints.localPort = holder.port();
    EXPECT_FALSE(openLinkSocket(endpoints));
    EXPECT_FALSE(linkStart(endpoints));
    auto console = peer.console();
    ASSERT_EQ(console.size(), 2u);
    EXPECT_EQ(console[0].text, "Cannot initialize sockets !!!");
    // The holder offers no link to attach to, and it is this very program.
    EXPECT_EQ(console[1].text, "port " + std::to_string(holder.port()) + " is held by " +
                                   "link_tests (pid " + std::to_string(::getpid()) +
                                   "), which offers no link to attach to");
    EXPECT_EQ(console[0].kind, MessageKind::Error);
    EXPECT_TRUE(console[0].log);
    EXPECT_EQ(linkSocketPort(), -1);
    // No thread, nothing sent.
    EXPECT_TRUE(modem.drain().empty());
    EXPECT_TRUE(linkStop());
    EXPECT_TRUE(modem.drain().empty());
}

}  // namespace
}  // namespace brix::testing
