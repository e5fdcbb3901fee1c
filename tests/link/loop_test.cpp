// The link thread's pass on a clock the test moves: periods, the start-up Get, retries,
// give-up with Retry and Cancel, and how the pending Get and Set share the retry machinery.

#include <gtest/gtest.h>

#include <string>

#include "link_test_support.h"

namespace brix::testing {
namespace {

struct Sent {
    std::int32_t at;
    Bytes frame;
};

class LoopTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_TRUE(linkOpen(modem.endpoints()));
        ASSERT_EQ(modem.drain().size(), 1u);  // the RfQuery of the start
    }

    // Runs passes until the clock has passed `until`, recording what was sent and when.
    void runUntil(std::int32_t until) {
        while (clock.nowMs() < until) {
            linkPass(clock);
            for (auto& f : modem.drain())
                sent.push_back({clock.nowMs(), std::move(f)});
        }
    }
    std::vector<std::int32_t> timesOf(std::int16_t type) const {
        std::vector<std::int32_t> t;
        for (const auto& s : sent) {
            if (typeOf(s.frame) == type)
                t.push_back(s.at);
        }
        return t;
    }
    std::vector<ReplyCall> giveUps() const {
        std::vector<ReplyCall> out;
        for (const auto& r : peer.replies()) {
            if (r.giveUp)
                out.push_back(r);
        }
        return out;
    }

    ModemSocket modem;
    FakeClock clock;  // every idle pass takes 100 ms
    std::vector<Sent> sent;
};

// With no modem: every query a little after its period (one idle pass), the channel-table Get
// five times 2.1 s apart from 2.1 s on, and the give-up question at 12.6 s.
TEST_F(LoopTest, QuietLineSchedule) {
    linkThreadBegin();
    runUntil(27500);
    EXPECT_EQ(timesOf(6),
              (std::vector<std::int32_t>{3100, 6200, 9300, 12400, 15500, 18600, 21700, 24800}));
    EXPECT_EQ(timesOf(3), (std::vector<std::int32_t>{7100, 14200, 21300}));
    EXPECT_EQ(timesOf(8), (std::vector<std::int32_t>{8100, 16200, 24300}));
    EXPECT_EQ(timesOf(9), (std::vector<std::int32_t>{9100, 18200, 27300}));
    EXPECT_EQ(timesOf(15), (std::vector<std::int32_t>{20100}));
    EXPECT_EQ(timesOf(0), (std::vector<std::int32_t>{2100, 4200, 6300, 8400, 10500}));
    for (const auto& s : sent) {
        if (typeOf(s.frame) == 0) {
            EXPECT_EQ(s.frame, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0x00, 0x00,
                                      0x02, 0x00, 0x62, 0x1E}));
        }
        if (typeOf(s.frame) == 8 || typeOf(s.frame) == 9) {
            EXPECT_EQ(s.frame.size(), 14u);
        }
    }
    auto g = giveUps();
    ASSERT_EQ(g.size(), 1u);  // Cancel: no more Gets after it
    EXPECT_TRUE(g[0].channelTable);
    EXPECT_EQ(linkState().pending.getPending, 0);
    EXPECT_EQ(linkState().retryCount, 0);
    EXPECT_EQ(clock.idles(), 275);  // every quiet pass waited once
}

// Periods are strict: a query is not due at exactly its period, only after it.
TEST_F(LoopTest, PeriodsAreStrict) {
    FakeClock manual(0);
    linkThreadBegin();
    auto passAt = [&](std::int32_t t) {
        manual.set(t);
        linkPass(manual);
        std::vector<std::int16_t> types;
        for (auto& f : modem.drain())
            types.push_back(typeOf(f));
        return types;
    };
    using Types = std::vector<std::int16_t>;
    EXPECT_EQ(passAt(2000), Types{});
    EXPECT_EQ(passAt(2001), Types{0});
    EXPECT_EQ(passAt(3000), Types{});
    EXPECT_EQ(passAt(3001), Types{6});
    EXPECT_EQ(passAt(4001), Types{});  // Get retry: exactly 2000 after the last send
    EXPECT_EQ(passAt(4002), Types{0});
    EXPECT_EQ(passAt(7000), Types({6, 0}));  // the statistics poll is not due at exactly 7000
    EXPECT_EQ(passAt(7001), Types{3});
    EXPECT_EQ(passAt(8001), Types{8});
    EXPECT_EQ(passAt(9001), Types({9, 0}));
    EXPECT_EQ(passAt(20000), Types({3, 8, 9, 6, 0}));
    EXPECT_EQ(passAt(20001), Types{15});
}

TEST_F(LoopTest, RetryThenCancel) {
    peer.answerGiveUps({RecordingPeer::kRetry, RecordingPeer::kCancel});
    linkThreadBegin();
    runUntil(40000);
    // Retry at 12.6 s sends again at once (next pass) and starts a fresh cycle of five.
    EXPECT_EQ(timesOf(0), (std::vector<std::int32_t>{2100, 4200, 6300, 8400, 10500, 12700, 14800,
                                                     16900, 19000, 21100}));
    ASSERT_EQ(giveUps().size(), 2u);
    EXPECT_EQ(linkState().pending.getPending, 0);

    // A reply after the Cancel is still handed to the page and clears the count.
    linkState().retryCount = 4;
    Bytes reply = inbound(0, 2 + 30);
    reply[12] = 0x62;
    modem.send(reply);
    linkPass(clock);
    EXPECT_EQ(peer.replies().size(), 3u);
    EXPECT_FALSE(peer.replies().back().giveUp);
    EXPECT_EQ(linkState().retryCount, 0);
}

TEST_F(LoopTest, AnsweredGetStopsResending) {
    linkThreadBegin();
    runUntil(4500);
    Bytes reply = inbound(0, 2);
    reply[12] = 0x62;
    reply.resize(14 + 30, 0x11);
    modem.send(reply);
    runUntil(30000);
    EXPECT_EQ(timesOf(0), (std::vector<std::int32_t>{2100, 4200}));
    ASSERT_EQ(peer.replies().size(), 1u);
    EXPECT_EQ(peer.replies()[0].body, Bytes(30, 0x11));
    EXPECT_TRUE(giveUps().empty());
}

// A Scanner Get queued while the start-up Get is pending replaces it.
TEST_F(LoopTest, LaterGetReplacesPendingGet) {
    linkThreadBegin();
    runUntil(2500);
    requestGet(DataItem::ScannerParams, kScannerParamsLength);
    runUntil(5000);
    ASSERT_EQ(timesOf(0).size(), 2u);
    std::vector<Bytes> gets;
    for (const auto& s : sent) {
        if (typeOf(s.frame) == 0)
            gets.push_back(s.frame);
    }
    EXPECT_EQ(gets[0][12], 0x62);
    EXPECT_EQ(gets[1][12], 0x27);
    EXPECT_EQ(gets[1][13], 2);
    runUntil(13000);
    auto g = giveUps();
    ASSERT_EQ(g.size(), 1u);
    EXPECT_FALSE(g[0].channelTable);  // the Scanner page is asked
}

// While a Get is pending the Set waits; a give-up pass skips the Set step; then the Set goes.
TEST_F(LoopTest, PendingGetHoldsBackSet) {
    linkThreadBegin();
    Bytes table(30, 0x33);
    requestSet(DataItem::ChannelTable, 30, table.data());
    runUntil(12600);  // through the give-up pass
    EXPECT_TRUE(timesOf(1).empty());
    EXPECT_EQ(timesOf(0).size(), 5u);
    ASSERT_EQ(giveUps().size(), 1u);
    runUntil(23200);
    EXPECT_EQ(timesOf(1), (std::vector<std::int32_t>{12700, 14800, 16900, 19000, 21100}));
    for (const auto& s : sent) {
        if (typeOf(s.frame) == 1) {
            EXPECT_EQ(s.frame.size(), 46u);
        }
    }
    EXPECT_EQ(giveUps().size(), 2u);
    EXPECT_TRUE(giveUps()[1].channelTable);
}

// One retry count for both: a Get queued after two Set sends gives up after three of its own.
TEST_F(LoopTest, GetAndSetShareTheRetryCount) {
    Bytes params{0x01, 0x00};
    requestSet(DataItem::ScannerParams, 2, params.data());
    runUntil(5000);
    EXPECT_EQ(timesOf(1), (std::vector<std::int32_t>{2100, 4200}));
    requestGet(DataItem::ChannelTable, kChannelTableLength);
    runUntil(12700);
    EXPECT_EQ(timesOf(0), (std::vector<std::int32_t>{6300, 8400, 10500}));
    auto g = giveUps();
    ASSERT_EQ(g.size(), 1u);
    EXPECT_TRUE(g[0].channelTable);  // the Get's give-up at 12.6 s
    EXPECT_EQ(timesOf(1), (std::vector<std::int32_t>{2100, 4200, 12700}));  // the Set resumes
    EXPECT_EQ(linkState().retryCount, 1);
}

// The page re-enables its buttons while it handles an answer or a give-up; a request the user
// queues at that moment must survive what the link does after the page returns.
TEST_F(LoopTest, RequestQueuedDuringAnswerIsKept) {
    peer.duringReply([] { requestGet(DataItem::ScannerParams, kScannerParamsLength); });
    linkThreadBegin();
    runUntil(12600);  // five Gets, then a give-up answered with Cancel
    ASSERT_EQ(giveUps().size(), 1u);
    EXPECT_EQ(linkState().pending.getPending, 1);
    EXPECT_EQ(linkState().pending.getItem, 0x27);

    // The same when a reply arrives: the new Get stays pending and goes out.
    peer.duringReply([] { requestGet(DataItem::ChannelTable, kChannelTableLength); });
    Bytes reply = inbound(0, 2 + 2);
    reply[12] = 0x27;
    modem.send(reply);
    linkPass(clock);
    EXPECT_EQ(linkState().pending.getPending, 1);
    EXPECT_EQ(linkState().pending.getItem, 0x62);
    peer.duringReply(nullptr);
    sent.clear();
    runUntil(15000);
    ASSERT_FALSE(timesOf(0).empty());
    for (const auto& s : sent) {
        if (typeOf(s.frame) == 0) {
            EXPECT_EQ(s.frame[12], 0x62);
        }
    }
}

TEST_F(LoopTest, StopEndsThePassBeforeQueries) {
    linkThreadBegin();
    clock.set(50000);
    linkState().stopRequested = 1;
    EXPECT_FALSE(linkPass(clock));
    EXPECT_TRUE(modem.drain().empty());
}

TEST_F(LoopTest, ClockWrapKeepsPeriods) {
    // Past 2^31 ms the difference still counts forward.
    FakeClock manual(0);
    manual.set(INT32_MAX - 1000);
    linkState().lastRfPoll = INT32_MAX - 1000;
    linkPass(manual);
    for (auto& f : modem.drain())
        EXPECT_NE(typeOf(f), 6);
    manual.set(static_cast<std::int32_t>(static_cast<std::uint32_t>(INT32_MAX) + 2001u));
    linkPass(manual);
    bool rf = false;
    for (auto& f : modem.drain())
        rf = rf || typeOf(f) == 6;
    EXPECT_TRUE(rf);
}

}  // namespace
}  // namespace brix::testing
