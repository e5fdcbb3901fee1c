// What each report handler stores and writes to the Console.

#include <gtest/gtest.h>

#include <string>

#include "link_test_support.h"

namespace brix::testing {
namespace {

using ReportsTest = LinkTest;

std::vector<std::string> rfLines(const std::string& rx, const std::string& tx,
                                 const std::string& attenuation) {
    return {"RF REPORT:", rx, tx,
            "                            Attenuation Level = -" + attenuation + " dBmV", ""};
}

TEST_F(ReportsTest, RfReportWritesOnlyWhenChanged) {
    // All zero with attenuation 16 equals the state after start: nothing written, values stored.
    dispatch(rfReport(0, 0, 0, 0, 16));
    EXPECT_TRUE(peer.console().empty());

    dispatch(rfReport(4525, 2, 300, 1, 4));
    auto expected =
        rfLines("Receive Cannel: Frequency = 452.5 MHz, Bit Rate =   5.12 Mbit/sec",
                "Transmit Cannel: Frequency =  30.0 MHz, Bit Rate =   3.20 Mbit/sec", " 8");
    EXPECT_EQ(peer.consoleTexts(), expected);
    for (const auto& c : peer.console()) {
        EXPECT_EQ(c.kind, MessageKind::Embedded);
        EXPECT_TRUE(c.log);
    }

    dispatch(rfReport(4525, 2, 300, 1, 4));
    EXPECT_EQ(peer.console().size(), 5u);

    // Only the attenuation differs: written again. Code 0 pads to " 0"; code 20 gives -40, -4.
    dispatch(rfReport(4525, 2, 300, 1, 0));
    EXPECT_EQ(peer.console().size(), 10u);
    EXPECT_EQ(peer.consoleTexts()[8], "                            Attenuation Level = - 0 dBmV");
    dispatch(rfReport(4525, 2, 300, 1, 20));
    EXPECT_EQ(peer.consoleTexts()[13], "                            Attenuation Level = -40 dBmV");

    std::uint16_t rx = 0, tx = 0, rxCode = 0, txCode = 0;
    getFrequencies(rx, tx);
    getRateCodes(rxCode, txCode);
    EXPECT_EQ(rx, 4525);
    EXPECT_EQ(tx, 300);
    EXPECT_EQ(rxCode, 2);
    EXPECT_EQ(txCode, 1);
    std::int32_t first = 0, level = 0, third = 0;
    getStatisticsRates(1, first, level, third);
    EXPECT_EQ(level, -4);
}

TEST_F(ReportsTest, RfReportExtremeValuesAreDefined) {
    // Codes 5 and 6 are 9.45; 7 and above have no rate; the largest frequency is 6553.5 MHz.
    dispatch(rfReport(65535, 6, 15000, 7, 65535));
    auto texts = peer.consoleTexts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[1], "Receive Cannel: Frequency = 6553.5 MHz, Bit Rate =   9.45 Mbit/sec");
    EXPECT_EQ(texts[2], "Transmit Cannel: Frequency = 1500.0 MHz, Bit Rate =      ? Mbit/sec");
    EXPECT_EQ(texts[3], "                            Attenuation Level = -131070 dBmV");
    std::int32_t first = 0, level = 0, third = 0;
    getStatisticsRates(1, first, level, third);
    EXPECT_EQ(level, 16 - 65535);
}

Bytes statistics(std::int16_t type, std::uint16_t period, std::uint16_t fragments,
                 std::uint16_t packets, std::uint32_t bytes, std::uint16_t retransmitted,
                 std::uint16_t forwarded, std::uint16_t filtered, std::uint32_t rxBytes,
                 std::uint16_t grants) {
    Bytes f = inbound(type, 34);
    writeU16(f.data() + 12, period);
    for (int i = 14; i < 26; ++i)
        f[static_cast<std::size_t>(i)] = 0xAA;  // not read
    writeU16(f.data() + 26, fragments);
    writeU16(f.data() + 28, packets);
    writeU32(f.data() + 30, bytes);
    writeU16(f.data() + 34, retransmitted);
    writeU16(f.data() + 36, forwarded);
    writeU16(f.data() + 38, filtered);
    writeU32(f.data() + 40, rxBytes);
    writeU16(f.data() + 44, grants);
    return f;
}

void expectRates(std::int32_t rx, std::int32_t grants, std::int32_t frag, std::int32_t retr) {
    std::int32_t a = -1, b = -1, c = -1;
    getStatisticsRates(0, a, b, c);
    EXPECT_EQ(a, rx);
    EXPECT_EQ(b, grants);
    EXPECT_EQ(c, 0);
    getStatisticsRates(1, a, b, c);
    EXPECT_EQ(a, frag);
    EXPECT_EQ(c, retr);
}

TEST_F(ReportsTest, StatisticsRatesAndSwitch) {
    // Below 10 hundredths: nothing at all.
    setStatisticsMessages(1);
    dispatch(statistics(3, 9, 100, 1, 1, 1, 1, 1, 1, 1));
    expectRates(0, 0, 0, 0);
    EXPECT_TRUE(peer.console().empty());

    // Switch off: the rates are still stored; no fragments still gives a rate of 1.
    setStatisticsMessages(0);
    dispatch(statistics(4, 10, 0, 0, 0, 0, 0, 0, 0, 0));
    expectRates(1, 0, 1, 0);
    dispatch(statistics(3, 700, 699, 5, 1000, 70, 1399, 3, 5000, 140));
    expectRates(20, 2, 10, 1);
    EXPECT_TRUE(peer.console().empty());

    // An RF report's level is not touched by statistics, nor the other way round.
    dispatch(rfReport(1, 1, 1, 1, 6));
    peer.clear();
    dispatch(statistics(3, 700, 699, 5, 1000, 70, 1399, 3, 5000, 140));
    std::int32_t a = 0, level = 0, c = 0;
    getStatisticsRates(1, a, level, c);
    EXPECT_EQ(level, 10);
}

TEST_F(ReportsTest, StatisticsLines) {
    setStatisticsMessages(1);
    dispatch(statistics(3, 1005, 1, 2, 0xFFFFFFFFu, 4, 65535, 6, 0x80000000u, 8));
    const std::vector<std::string> expected{
        "STATISTICS REPORT: Time period = 10.05 sec",
        "TRANSMIT CHANNEL: ",
        "Upstream transmitted fragments = 1",
        "Upstream transmitted packets = 2",
        "Upstream transmitted bytes = -1",
        "Number of upstream packets re-transmitted = 4",
        "RECEIVE CHANNEL: ",
        "Number of forwarded downstream packets = 65535",
        "Number of downstream packets filtered out = 6",
        "Number of forwarded downstream bytes = -2147483648",
        "Number of upstream transmission grants = 8",
        "",
    };
    EXPECT_EQ(peer.consoleTexts(), expected);
    for (const auto& c : peer.console()) {
        EXPECT_EQ(c.kind, MessageKind::Embedded);
        EXPECT_FALSE(c.log);  // statistics lines never reach the message log
    }
    peer.clear();
    dispatch(statistics(3, 1050, 0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(peer.consoleTexts().at(0), "STATISTICS REPORT: Time period = 10.50 sec");
    // 65535 hundredths still prints whole seconds and hundredths.
    peer.clear();
    dispatch(statistics(3, 65535, 0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(peer.consoleTexts().at(0), "STATISTICS REPORT: Time period = 655.35 sec");
}

TEST_F(ReportsTest, VersionTexts) {
    dispatch(textFrame(15, "V1!!2.05!!X"));
    dispatch(textFrame(16, "!!!ROM!Boot 1.1!rest"));  // leading marks skipped
    dispatch(textFrame(15, "Boot loader!!B 3.0"));    // "Boot" in the first piece only
    dispatch(debugFrame(6, {'B', 'o', 'o', 't', ' ', '9', '!', '!', 'x', 0}));
    dispatch(debugFrame(6, {'b', 'o', 'o', 't', ' ', '7', 0}));  // "Boot" is case-sensitive
    EXPECT_EQ(peer.microcode(), (std::vector<std::string>{"2.05", "B 3.0", "boot 7"}));
    EXPECT_EQ(peer.boot(), (std::vector<std::string>{"Boot 1.1", "Boot 9!!x"}));
}

TEST_F(ReportsTest, VersionTextWithoutSecondPieceShowsWholeText) {
    dispatch(textFrame(15, "OnlyOne"));
    dispatch(textFrame(15, "!!Boot 2!!"));
    dispatch(textFrame(15, ""));
    EXPECT_EQ(peer.microcode(), (std::vector<std::string>{"OnlyOne", ""}));
    EXPECT_EQ(peer.boot(), (std::vector<std::string>{"!!Boot 2!!"}));
}

TEST_F(ReportsTest, LongAndUnterminatedTextsAreBounded) {
    // A 300-character second piece is cut to 199 characters.
    dispatch(textFrame(15, "a!!" + std::string(300, 'v') + "!!z"));
    ASSERT_EQ(peer.microcode().size(), 1u);
    EXPECT_EQ(peer.microcode()[0], std::string(199, 'v'));

    // Texts that fill the whole 1514 bytes without a zero byte end at the datagram's end.
    const std::size_t room = kReceiveCapacity - 12;
    dispatch(textFrame(15, "x!" + std::string(room - 2, 'w'), false));
    EXPECT_EQ(peer.microcode().at(1), std::string(199, 'w'));
    dispatch(textFrame(16, std::string(room, 'q'), false));
    EXPECT_EQ(peer.microcode().at(2), std::string(199, 'q'));

    Bytes text(kReceiveCapacity - 14, 'd');
    dispatch(debugFrame(3, text));
    EXPECT_EQ(peer.consoleTexts().at(0), std::string(kReceiveCapacity - 14, 'd'));
    dispatch(debugFrame(6, text));
    EXPECT_EQ(peer.microcode().at(3), std::string(kReceiveCapacity - 14, 'd'));

    // A shorter unterminated text that follows does not pick up the longer one's tail.
    dispatch(debugFrame(3, {'h', 'i'}));
    EXPECT_EQ(peer.consoleTexts().at(1), "hi");
}

TEST_F(ReportsTest, DebugMessages) {
    dispatch(debugFrame(3, {'h', 'e', 'l', 'l', 'o', 0}));
    Bytes dteq(4);
    writeU16(dteq.data(), 65535);
    writeU16(dteq.data() + 2, 7);
    dispatch(debugFrame(7, dteq));
    Bytes mapGtr(8);
    writeU32(mapGtr.data(), 0x10);
    writeU32(mapGtr.data() + 4, 0x20);
    dispatch(debugFrame(9, mapGtr));
    writeU32(mapGtr.data(), 0x7FFFFFFF);
    writeU32(mapGtr.data() + 4, 0xFFFFFFFF);  // difference wraps, printed signed
    dispatch(debugFrame(9, mapGtr));
    for (std::uint16_t sub : {4, 5, 8, 0, 65535})
        dispatch(debugFrame(sub, {}));

    auto console = peer.console();
    ASSERT_EQ(console.size(), 9u);
    EXPECT_EQ(console[0].text, "hello");
    EXPECT_EQ(console[1].text, "DTEQ: Received - 65535  Lost - 7");
    EXPECT_EQ(console[2].text, "MAP - 10  GTR - 20  DIFF - -16");
    EXPECT_EQ(console[3].text, "MAP - 7FFFFFFF  GTR - FFFFFFFF  DIFF - -2147483648");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(console[static_cast<std::size_t>(i)].kind, MessageKind::Embedded);
        EXPECT_TRUE(console[static_cast<std::size_t>(i)].log);
    }
    for (std::size_t i = 4; i < 9; ++i) {
        EXPECT_EQ(console[i].text, "Unknown Debug Message");
        EXPECT_EQ(console[i].kind, MessageKind::Error);
        EXPECT_TRUE(console[i].log);
    }
}

Bytes getReply(std::uint8_t item, const Bytes& data) {
    Bytes f = inbound(0, 2);
    f[12] = item;
    f[13] = static_cast<std::uint8_t>(data.size());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes setAck(std::uint8_t item, const Bytes& data) {
    Bytes f = inbound(1, 4);
    writeU16(f.data() + 12, kSetRequestWord);
    f[14] = item;
    f[15] = static_cast<std::uint8_t>(data.size());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

TEST_F(ReportsTest, GetReplyGoesToPageByItemAndClearsPending) {
    linkThreadBegin();  // pending Get of the channel table
    linkState().retryCount = 3;
    Bytes table(30);
    for (std::size_t i = 0; i < 30; ++i)
        table[i] = static_cast<std::uint8_t>(100 + i);
    dispatch(getReply(0x62, table));
    ASSERT_EQ(peer.replies().size(), 1u);
    EXPECT_TRUE(peer.replies()[0].channelTable);
    EXPECT_FALSE(peer.replies()[0].giveUp);
    EXPECT_EQ(peer.replies()[0].body, table);
    EXPECT_EQ(linkState().pending.getPending, 0);
    EXPECT_EQ(linkState().retryCount, 0);

    // An answer with item 0x27 while the Get is for 0x62 goes to the Scanner page all the same.
    requestGet(DataItem::ChannelTable, 30);
    dispatch(getReply(0x27, {0x03, 0x00}));
    ASSERT_EQ(peer.replies().size(), 2u);
    EXPECT_FALSE(peer.replies()[1].channelTable);
    EXPECT_EQ(peer.replies()[1].body, (Bytes{0x03, 0x00}));
    EXPECT_EQ(linkState().pending.getPending, 0);

    // A reply with no Get pending is still handed over.
    dispatch(getReply(0x11, {0x01, 0x02}));
    EXPECT_EQ(peer.replies().size(), 3u);
}

TEST_F(ReportsTest, AnswersCutShortAreDropped) {
    linkThreadBegin();  // pending Get of the channel table
    Bytes reply = getReply(0x62, Bytes(30, 0x11));
    reply.resize(reply.size() - 1);
    dispatch(reply);
    EXPECT_TRUE(peer.replies().empty());
    EXPECT_EQ(linkState().pending.getPending, 1);
    Bytes scanner = getReply(0x27, {0x03});
    dispatch(scanner);
    EXPECT_TRUE(peer.replies().empty());
    EXPECT_EQ(linkState().pending.getPending, 1);

    // An all-zero Set would match the zeros past the end of a short acknowledgement.
    Bytes zeros(30, 0);
    requestSet(DataItem::ChannelTable, 30, zeros.data());
    dispatch(setAck(0x62, Bytes(20, 0)));
    EXPECT_TRUE(peer.replies().empty());
    EXPECT_EQ(linkState().pending.setPending, 1);
    dispatch(setAck(0x62, zeros));
    EXPECT_EQ(peer.replies().size(), 1u);
    EXPECT_EQ(linkState().pending.setPending, 0);
}

TEST_F(ReportsTest, SetAckMustEchoThePendingData) {
    Bytes params{0x05, 0x00};
    requestSet(DataItem::ScannerParams, 2, params.data());
    linkState().retryCount = 2;

    dispatch(setAck(0x27, {0x05, 0x01}));  // differs: stays pending, nothing shown
    EXPECT_TRUE(peer.replies().empty());
    EXPECT_EQ(linkState().pending.setPending, 1);
    EXPECT_EQ(linkState().retryCount, 2);

    dispatch(setAck(0x27, params));
    ASSERT_EQ(peer.replies().size(), 1u);
    EXPECT_FALSE(peer.replies()[0].channelTable);
    EXPECT_EQ(peer.replies()[0].body, params);
    EXPECT_EQ(linkState().pending.setPending, 0);
    EXPECT_EQ(linkState().retryCount, 0);

    // The page is chosen by the acknowledgement's item, not the pending one's.
    Bytes table(30, 0x42);
    requestSet(DataItem::ScannerParams, 30, table.data());
    dispatch(setAck(0x62, table));
    ASSERT_EQ(peer.replies().size(), 2u);
    EXPECT_TRUE(peer.replies()[1].channelTable);
}

TEST_F(ReportsTest, ShortTableAckIsNoEchoBeforeAnySetOrAfterAScannerSet) {
    // Before any Set: a bare 16-byte table acknowledgement would compare zero bytes.
    dispatch(setAck(0x62, {}));
    EXPECT_TRUE(peer.replies().empty());

    // After a scanner Set: two matching bytes are no table, cut short or padded with zeros.
    Bytes params{0x03, 0x00};
    requestSet(DataItem::ScannerParams, 2, params.data());
    dispatch(setAck(0x62, params));
    Bytes padded = params;
    padded.resize(30);
    dispatch(setAck(0x62, padded));
    EXPECT_TRUE(peer.replies().empty());
    EXPECT_EQ(linkState().pending.setPending, 1);

    // A table Set echoed by a cut acknowledgement is not taken either.
    Bytes table(30, 0x11);
    requestSet(DataItem::ChannelTable, 30, table.data());
    dispatch(setAck(0x62, Bytes(table.begin(), table.begin() + 20)));
    EXPECT_TRUE(peer.replies().empty());
    dispatch(setAck(0x62, table));
    ASSERT_EQ(peer.replies().size(), 1u);
    EXPECT_EQ(peer.replies()[0].body, table);
}

}  // namespace
}  // namespace brix::testing
