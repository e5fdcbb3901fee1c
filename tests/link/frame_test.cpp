// Outbound frames byte for byte, and which received datagrams are accepted and dispatched.

#include <gtest/gtest.h>

#include <thread>

#include "link_test_support.h"

namespace brix::testing {
namespace {

using FrameTest = LinkTest;

TEST_F(FrameTest, ValueRequestCarriesItsValue) {
    EXPECT_EQ(toBytes(buildValueRequest(MessageType::Query8, 0xBEEF), 14),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x08, 0x00, 0x02, 0x00, 0xEF,
                     0xBE}));
}

// Everything the link sends, through a loopback socket, exactly as it leaves.
class SentFramesTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_TRUE(linkOpen(modem.endpoints()));
        auto first = modem.drain();
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0],
                  (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x06, 0x00, 0x0C, 0x00}));
    }
    ModemSocket modem;
};

TEST_F(SentFramesTest, GetAndSetRequests) {
    sendGetRequest(DataItem::ChannelTable, kChannelTableLength);
    Bytes table(30);
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint8_t>(i + 1);
    sendSetRequest(DataItem::ChannelTable, kChannelTableLength, table.data());
    sendSetRequest(DataItem::ScannerParams, kScannerParamsLength, Bytes{0x05, 0x00}.data());

    auto sent = modem.drain();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x00, 0x00, 0x02,
                              0x00, 0x62, 0x1E}));

    Bytes expectSet{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77,
                    0x01, 0x00, 0x22, 0x00, 0x09, 0x11, 0x62, 0x1E};
    expectSet.insert(expectSet.end(), table.begin(), table.end());
    EXPECT_EQ(sent[1].size(), 46u);
    EXPECT_EQ(sent[1], expectSet);

    EXPECT_EQ(sent[2], (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x01, 0x00, 0x06,
                              0x00, 0x09, 0x11, 0x27, 0x02, 0x05, 0x00}));
}

TEST_F(SentFramesTest, TuneCommandsAreFollowedByRfQuery) {
    const Bytes rfQuery{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x06, 0x00, 0x0C, 0x00};
    sendTuneChannel(5552, 4);
    sendTuneFrequency(4525);
    auto sent = modem.drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x12, 0x00, 0x04,
                              0x00, 0xB0, 0x15, 0x04, 0x00}));
    EXPECT_EQ(sent[1], rfQuery);
    EXPECT_EQ(sent[2], (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x05, 0x00, 0x02,
                              0x00, 0xAD, 0x11}));
    EXPECT_EQ(sent[3], rfQuery);
    EXPECT_EQ(getLinkActivity(), 0);
}

TEST_F(SentFramesTest, LinkTestIsAnsweredWithSixteenBytes) {
    dispatch(inbound(10));
    auto sent = modem.drain();
    ASSERT_EQ(sent.size(), 1u);
    // Length word 12 although there is a 4-byte body; 1234567 = 0x0012D687.
    EXPECT_EQ(sent[0], (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x0A, 0x00, 0x0C,
                              0x00, 0x87, 0xD6, 0x12, 0x00}));
    dispatch(inbound(11, 4));  // the modem's reply to our test: nothing visible
    EXPECT_TRUE(modem.drain().empty());
    EXPECT_EQ(peer.calls(), 0);
}

// The Get and Set senders rely on the area's address bytes: they hold 0xFF in a thread's area
// from its first use, also in a thread that has never built a request.
TEST_F(SentFramesTest, EveryThreadStartsWithAddressBytes) {
    std::thread other([] { sendGetRequest(DataItem::ScannerParams, 2); });
    other.join();
    auto sent = modem.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x00, 0x00, 0x02,
                              0x00, 0x27, 0x02}));
}

// Acceptance is by magic only (little-endian 0x7779); dispatch by type 0..18 only; any accepted
// frame marks receive activity.
TEST_F(SentFramesTest, AcceptanceByMagicAndTypeRange) {
    FakeClock clock;
    auto pass = [&](const Bytes& f) {
        setLinkActivity(-1);
        modem.send(f);
        linkPass(clock);
        return getLinkActivity();
    };

    Bytes bigEndian = rfReport(4525, 2, 300, 1, 4);
    bigEndian[6] = 0x77;
    bigEndian[7] = 0x79;
    EXPECT_EQ(pass(bigEndian), -1);
    EXPECT_TRUE(peer.console().empty());

    for (std::int16_t type : {19, 100, -1, 2, 12}) {
        EXPECT_EQ(pass(inbound(type, 30)), 1) << type;
    }
    // Nine bytes hold no whole type word: accepted, but no handler runs.
    Bytes nine = inbound(7);
    nine.resize(9);
    EXPECT_EQ(pass(nine), 1);
    EXPECT_EQ(peer.calls(), 0);
    std::uint16_t rx = 0, tx = 0;
    getFrequencies(rx, tx);
    EXPECT_EQ(rx, 0);

    // A bare 12-byte header of type 7 still reaches the RF handler (fields read as zero).
    EXPECT_EQ(pass(rfReport(4525, 2, 300, 1, 4)), 1);
    EXPECT_EQ(pass(inbound(7)), 1);
    getFrequencies(rx, tx);
    EXPECT_EQ(rx, 0);
    EXPECT_EQ(tx, 0);

    // The address bytes are not examined.
    Bytes other = inbound(19);
    other[0] = 0x12;
    EXPECT_EQ(pass(other), 1);
}

TEST_F(SentFramesTest, ShortDatagramNeverShowsEarlierBytes) {
    FakeClock clock;
    modem.send(rfReport(4525, 2, 300, 1, 4));
    linkPass(clock);
    // Same type, but only the receive frequency: the rest must read as zero, not as 2/300/1/4.
    Bytes shorter = rfReport(4000, 0, 0, 0, 0);
    shorter.resize(14);
    modem.send(shorter);
    linkPass(clock);
    std::uint16_t rx = 0, tx = 0, rxCode = 0, txCode = 0;
    getFrequencies(rx, tx);
    getRateCodes(rxCode, txCode);
    EXPECT_EQ(rx, 4000);
    EXPECT_EQ(tx, 0);
    EXPECT_EQ(rxCode, 0);
    EXPECT_EQ(txCode, 0);
    std::int32_t a = 0, level = 0, c = 0;
    getStatisticsRates(1, a, level, c);
    EXPECT_EQ(level, 16);

    // Nothing waiting: the frame in the buffer is not handled again.
    int before = peer.calls();
    linkPass(clock);
    EXPECT_EQ(peer.calls(), before);
}

}  // namespace
}  // namespace brix::testing
