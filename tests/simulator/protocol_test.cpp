// The modem's frame code checked against byte sequences written out by hand from the frame
// tables, not against the tool's link code.

#include "protocol.h"

#include <gtest/gtest.h>

#include <random>

using namespace brix::sim;

namespace {

const Bytes kFF6{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Inbound parsed(const Bytes& b) {
    std::string why;
    auto in = parseFrame(b.data(), b.size(), why);
    EXPECT_TRUE(in.has_value()) << why;
    return in.value_or(Inbound{});
}

}  // namespace

TEST(SimProtocol, ReadsTheToolsRequestsFromTheirByteExamples) {
    // Start-up Get of the channel table.
    const Bytes get = cat(kFF6, {0x79, 0x77, 0x00, 0x00, 0x02, 0x00, 0x62, 0x1E});
    const auto g = decodeGetRequest(parsed(get));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->item, 0x62);
    EXPECT_EQ(g->count, 30);

    // RfQuery: bodiless, length word 12.
    const Bytes rf = cat(kFF6, {0x79, 0x77, 0x06, 0x00, 0x0C, 0x00});
    EXPECT_EQ(parsed(rf).type, type::kRfQuery);
    EXPECT_EQ(parsed(rf).lengthWord, 12);
    EXPECT_EQ(parsed(rf).bodyBytes, 0u);

    // Channel-table Set: 46 bytes, length word 34, 09 11 62 1E, then the 30-byte body.
    Bytes body(30);
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes set =
        cat(cat(kFF6, {0x79, 0x77, 0x01, 0x00, 0x22, 0x00, 0x09, 0x11, 0x62, 0x1E}), body);
    ASSERT_EQ(set.size(), 46u);
    const auto s = decodeSetRequest(parsed(set));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->word, 0x1109);
    EXPECT_EQ(s->item, 0x62);
    EXPECT_EQ(s->count, 30);
    EXPECT_EQ(s->data, body);
    EXPECT_FALSE(s->truncated);

    // The same Set cut short in the datagram: only what arrived, flagged.
    const Bytes cut(set.begin(), set.begin() + 20);
    const auto c = decodeSetRequest(parsed(cut));
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->truncated);
    EXPECT_EQ(c->data.size(), 4u);

    // TuneChannel (5552, 4): B0 15 04 00 at offsets 12 to 15.
    const Bytes tune = cat(kFF6, {0x79, 0x77, 0x12, 0x00, 0x04, 0x00, 0xB0, 0x15, 0x04, 0x00});
    const auto t = decodeTuneChannel(parsed(tune));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->frequency, 5552);
    EXPECT_EQ(t->rateCode, 4);

    // TuneFrequency 4525 (0x11AD).
    const Bytes tf = cat(kFF6, {0x79, 0x77, 0x05, 0x00, 0x02, 0x00, 0xAD, 0x11});
    EXPECT_EQ(decodeTuneFrequency(parsed(tf)), 4525);

    // Requests too short for their fields are refused, not read beyond their end.
    const Bytes shortTune(tune.begin(), tune.begin() + 15);
    EXPECT_FALSE(decodeTuneChannel(parsed(shortTune)));
    EXPECT_FALSE(decodeGetRequest(parsed(rf)));
    EXPECT_FALSE(decodeTuneFrequency(parsed(rf)));
}

TEST(SimProtocol, RejectsBadHeaders) {
    std::string why;
    const Bytes bigEndianMagic = cat(kFF6, {0x77, 0x79, 0x06, 0x00, 0x0C, 0x00});
    EXPECT_FALSE(parseFrame(bigEndianMagic.data(), bigEndianMagic.size(), why));
    EXPECT_NE(why.find("magic"), std::string::npos);
    const Bytes eleven(kFF6.begin(), kFF6.end());
    EXPECT_FALSE(parseFrame(eleven.data(), eleven.size(), why));
    EXPECT_FALSE(parseFrame(nullptr, 0, why));
    const Bytes minusOne = cat(kFF6, {0x79, 0x77, 0xFF, 0xFF, 0x0C, 0x00});
    EXPECT_EQ(parsed(minusOne).type, -1);
}

TEST(SimProtocol, EncodesReportsByteForByte) {
    RfValues rf{4525, 4, 300, 1, 6};
    EXPECT_EQ(encodeRfReport(rf), cat(kFF6, {0x79, 0x77, 0x07, 0x00, 0x0A, 0x00, 0xAD, 0x11, 0x04,
                                             0x00, 0x2C, 0x01, 0x01, 0x00, 0x06, 0x00}));

    StatisticsValues s;
    s.period = 1005;
    s.txFragments = 0x0102;
    s.txPackets = 0x0304;
    s.txBytes = 0x05060708;
    s.retransmitted = 0x090A;
    s.rxForwardedPackets = 0x0B0C;
    s.rxFilteredPackets = 0x0D0E;
    s.rxForwardedBytes = 0xF1F2F3F4;
    s.grants = 0xFFEE;
    Bytes expected = cat(kFF6, {0x79, 0x77, 0x04, 0x00, 0x22, 0x00, 0xED, 0x03});
    expected.resize(26, 0);  // offsets 14 to 25: not read by the tool
    expected = cat(expected, {0x02, 0x01, 0x04, 0x03, 0x08, 0x07, 0x06, 0x05, 0x0A, 0x09,
                              0x0C, 0x0B, 0x0E, 0x0D, 0xF4, 0xF3, 0xF2, 0xF1, 0xEE, 0xFF});
    ASSERT_EQ(expected.size(), 46u);
    EXPECT_EQ(encodeStatistics(type::kStatistics2, s), expected);
}

TEST(SimProtocol, EncodesGetReplySetAckAndLinkTest) {
    EXPECT_EQ(encodeGetReply(0x27, {0x01, 0x00}),
              cat(kFF6, {0x79, 0x77, 0x00, 0x00, 0x04, 0x00, 0x27, 0x02, 0x01, 0x00}));
    // The acknowledgement has the layout of the tool's scanner Set request: 18 bytes, length
    // word 6, 09 11 27 02, then the data.
    EXPECT_EQ(encodeSetAck(0x27, {0x05, 0x00}),
              cat(kFF6, {0x79, 0x77, 0x01, 0x00, 0x06, 0x00, 0x09, 0x11, 0x27, 0x02, 0x05, 0x00}));
    const Bytes table(30, 0xAB);
    const Bytes ack = encodeSetAck(0x62, table);
    ASSERT_EQ(ack.size(), 46u);
    EXPECT_EQ(Bytes(ack.begin() + 10, ack.begin() + 16),
              (Bytes{0x22, 0x00, 0x09, 0x11, 0x62, 0x1E}));
    EXPECT_EQ(Bytes(ack.begin() + 16, ack.end()), table);

    EXPECT_EQ(encodeLinkTest(), cat(kFF6, {0x79, 0x77, 0x0A, 0x00, 0x0C, 0x00}));
}

TEST(SimProtocol, EncodesTextsAndDebugMessages) {
    const Bytes v = encodeVersionText(type::kVersion, "V1!!2.05!!X");
    EXPECT_EQ(v, cat(cat(kFF6, {0x79, 0x77, 0x0F, 0x00, 0x0C, 0x00}),
                     {'V', '1', '!', '!', '2', '.', '0', '5', '!', '!', 'X', 0}));
    EXPECT_EQ(encodeDebugText("Hi"),
              cat(kFF6, {0x79, 0x77, 0x11, 0x00, 0x05, 0x00, 0x03, 0x00, 'H', 'i', 0}));
    EXPECT_EQ(encodeDebugVersion("Boot")[12], 6);
    EXPECT_EQ(encodeDebugDteq(1000, 3),
              cat(kFF6, {0x79, 0x77, 0x11, 0x00, 0x06, 0x00, 0x07, 0x00, 0xE8, 0x03, 0x03, 0x00}));
    EXPECT_EQ(encodeDebugMapGtr(0x10, 0x20),
              cat(kFF6, {0x79, 0x77, 0x11, 0x00, 0x0A, 0x00, 0x09, 0x00, 0x10, 0x00, 0x00, 0x00,
                         0x20, 0x00, 0x00, 0x00}));
}

TEST(SimProtocol, ChecksTheLinkTestAnswer) {
    const Bytes good = cat(kFF6, {0x79, 0x77, 0x0A, 0x00, 0x0C, 0x00, 0x87, 0xD6, 0x12, 0x00});
    EXPECT_EQ(checkLinkTestAnswer(good.data(), good.size()), "");

    Bytes lengthFour = good;
    lengthFour[10] = 4;
    EXPECT_NE(checkLinkTestAnswer(lengthFour.data(), lengthFour.size()).find("length word"),
              std::string::npos);
    Bytes otherValue = good;
    otherValue[12] = 0x88;
    EXPECT_NE(checkLinkTestAnswer(otherValue.data(), otherValue.size()).find("value"),
              std::string::npos);
    EXPECT_NE(checkLinkTestAnswer(good.data(), 15).find("bytes"), std::string::npos);
    Bytes type11 = good;
    type11[8] = 11;
    EXPECT_NE(checkLinkTestAnswer(type11.data(), type11.size()), "");
}

TEST(SimProtocol, DescribesAnyBytesWithinTheirBounds) {
    const Bytes noZero = cat(kFF6, {0x79, 0x77, 0x0F, 0x00, 0x03, 0x00, 'a', 'b', 'c'});
    EXPECT_NE(describeFrame(noZero.data(), noZero.size(), true).find("\"abc\" (no zero byte)"),
              std::string::npos);
    EXPECT_NE(describeFrame(noZero.data(), 5, true).find("malformed"), std::string::npos);

    // Every prefix of random frames of every type: must stay in bounds (ASan watches).
    std::mt19937 rng(5);
    for (int t = -1; t <= 20; ++t) {
        for (int round = 0; round < 20; ++round) {
            Bytes f = cat(kFF6, {0x79, 0x77, static_cast<std::uint8_t>(t), 0, 0, 0});
            const std::size_t extra = rng() % 40;
            for (std::size_t i = 0; i < extra; ++i)
                f.push_back(static_cast<std::uint8_t>(rng()));
            for (std::size_t n = 0; n <= f.size(); ++n) {
                const Bytes prefix(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
                EXPECT_FALSE(describeFrame(prefix.data(), prefix.size(), t % 2 == 0).empty());
            }
        }
    }
}
