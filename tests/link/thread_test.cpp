// The real link thread: end to end on loopback, the orders between the two threads (run under
// ThreadSanitizer), and linkStop while the user interface holds the link thread.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link_test_support.h"

namespace brix::testing {
namespace {

using namespace std::chrono_literals;
using ThreadTest = LinkTest;

// Waits for the next frame of `type` from the link, answering nothing else.
Bytes awaitFrame(ModemSocket& modem, std::int16_t type, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        Bytes f = modem.receive(50);
        if (!f.empty() && typeOf(f) == type)
            return f;
    }
    return {};
}

TEST_F(ThreadTest, EndToEndOnLoopback) {
    ModemSocket modem;
    ASSERT_TRUE(linkStart(modem.endpoints()));
    ASSERT_EQ(awaitFrame(modem, 6, 2000).size(), 12u);  // the start's RfQuery

    modem.send(rfReport(4525, 4, 300, 1, 6));
    ASSERT_TRUE(
        peer.waitFor(3s, [](const RecordingPeer& p) { return p.consoleLocked().size() >= 5; }));
    EXPECT_EQ(peer.consoleTexts()[1],
              "Receive Cannel: Frequency = 452.5 MHz, Bit Rate =   9.45 Mbit/sec");
    // The values are stored after the lines are written, each on its own.
    std::uint16_t rx = 0, tx = 0;
    std::int32_t a = 0, level = 0, c = 0;
    for (int i = 0; i < 300 && (rx != 4525 || level != 10); ++i) {
        std::this_thread::sleep_for(10ms);
        getFrequencies(rx, tx);
        getStatisticsRates(1, a, level, c);
    }
    EXPECT_EQ(rx, 4525);
    EXPECT_EQ(level, 10);

    modem.send(inbound(10));
    Bytes answer = awaitFrame(modem, 10, 2000);
    EXPECT_EQ(answer.size(), 16u);

    // The start-up Get of the channel table comes after 2 s; answer it.
    Bytes get = awaitFrame(modem, 0, 4000);
    ASSERT_EQ(get.size(), 14u);
    EXPECT_EQ(get[12], 0x62);
    Bytes reply = inbound(0, 2);
    reply[12] = 0x62;
    reply[13] = 30;
    for (std::uint8_t i = 0; i < 30; ++i)
        reply.push_back(i);
    modem.send(reply);
    ASSERT_TRUE(
        peer.waitFor(3s, [](const RecordingPeer& p) { return !p.repliesLocked().empty(); }));

    EXPECT_TRUE(linkStop());
    auto replies = peer.replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(replies[0].channelTable);
    EXPECT_EQ(replies[0].body.size(), 30u);
    EXPECT_EQ(replies[0].body[29], 29);
    // After the stop nothing more is sent.
    modem.drain();
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(modem.drain().empty());
}

// Both threads send and share the pending record at full speed. Every Set that leaves must carry
// one request's item, length and data together; every frame must be whole.
TEST_F(ThreadTest, ThreadsNeverMixRequestsOrFrames) {
    ModemSocket modem;
    FakeClock fast;  // time runs 100 ms per idle pass, so retries and give-ups come quickly
    fast.yieldOnIdle(true);
    peer.setDefaultGiveUpAnswer(RecordingPeer::kRetry);
    ASSERT_TRUE(linkStart(modem.endpoints(), &fast));

    std::atomic<bool> done{false};
    std::vector<Bytes> frames;
    int answered = 0;
    std::thread receiver([&] {
        while (!done.load()) {
            Bytes f = modem.receive(20);
            if (f.empty())
                continue;
            // Answer every Get and every other Set (echoing it), so both kinds keep flowing.
            if (typeOf(f) == 0 && f.size() == 14) {
                Bytes reply = inbound(0, 2);
                reply[12] = f[12];
                reply.resize(14 + 30, 0x5A);
                modem.send(reply);
            } else if (typeOf(f) == 1 && f.size() >= 16 && (answered++ % 2) == 0) {
                modem.send(f);
            }
            frames.push_back(std::move(f));
        }
        for (auto& f : modem.drain())
            frames.push_back(std::move(f));
    });

    // Length n always comes with item (n odd: scanner, else table) and n bytes of value n.
    for (int round = 0; round < 3000; ++round) {
        auto n = static_cast<std::uint8_t>(1 + round % 200);
        Bytes data(n, n);
        requestSet(n % 2 != 0 ? DataItem::ScannerParams : DataItem::ChannelTable, n, data.data());
        if (round % 7 == 0)
            requestGet(DataItem::ScannerParams, n);
        sendTuneChannel(static_cast<std::uint16_t>(round), 4);
        std::uint16_t r = 0, t = 0;
        getFrequencies(r, t);
        getRateCodes(r, t);
        std::int32_t x = 0, y = 0, z = 0;
        getStatisticsRates(static_cast<std::int16_t>(round % 2), x, y, z);
        markLinkActivityShown();
        setStatisticsMessages(static_cast<std::int16_t>(round % 2));
        if (round % 50 == 0)
            modem.send(rfReport(static_cast<std::uint16_t>(round), 1, 2, 3, 4));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(linkStop());
    done = true;
    receiver.join();

    int sets = 0;
    for (const auto& f : frames) {
        ASSERT_GE(f.size(), 12u);
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), Bytes(6, 0xFF));
        EXPECT_EQ(readU16(f.data() + 6), kLinkMagic);
        switch (typeOf(f)) {
            case 1: {
                ++sets;
                std::uint8_t n = f[15];
                ASSERT_EQ(f.size(), 16u + n);
                EXPECT_EQ(readU16(f.data() + 10), n + 4);
                EXPECT_EQ(f[14], n % 2 != 0 ? 0x27 : 0x62);
                EXPECT_EQ(Bytes(f.begin() + 16, f.end()), Bytes(n, n));
                break;
            }
            case 18:
                EXPECT_EQ(f.size(), 16u);
                EXPECT_EQ(readU16(f.data() + 10), 4);
                EXPECT_EQ(readU16(f.data() + 14), 4);
                break;
            case 0:
                EXPECT_EQ(f.size(), 14u);
                EXPECT_EQ(readU16(f.data() + 10), 2);
                break;
            default:
                EXPECT_LE(f.size(), 16u);
                break;
        }
    }
    EXPECT_GT(sets, 0);
}

// The link thread sits in a give-up question that only the user interface can answer; linkStop
// must cut it short and return.
TEST_F(ThreadTest, StopReleasesAnOpenGiveUpQuestion) {
    ModemSocket modem;
    FakeClock fast;
    fast.yieldOnIdle(true);
    peer.blockOnGiveUp(true);
    ASSERT_TRUE(linkStart(modem.endpoints(), &fast));
    ASSERT_TRUE(peer.waitUntilBlocked(10s));

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(linkStop());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // Released calls change nothing, and nothing runs or is sent afterwards.
    int calls = peer.calls();
    modem.drain();
    modem.send(rfReport(1, 1, 1, 1, 1));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(peer.calls(), calls);
    EXPECT_TRUE(modem.drain().empty());
}

TEST_F(ThreadTest, StopReleasesABusyConsole) {
    ModemSocket modem;
    peer.blockOnConsole(true);
    ASSERT_TRUE(linkStart(modem.endpoints()));
    ASSERT_EQ(awaitFrame(modem, 6, 2000).size(), 12u);
    modem.send(rfReport(4525, 1, 300, 1, 2));
    ASSERT_TRUE(peer.waitUntilBlocked(5s));

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(linkStop());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(peer.console().empty());
}

}  // namespace
}  // namespace brix::testing
