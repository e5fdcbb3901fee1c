// The feed from the link into the history on a loopback link: what it records of the modem's
// reports, messages and versions and of the requests the link sends, a gap and a channel change,
// and that it opens the store only once this program owns the link.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "history/link_feed.h"
#include "link/link_commands.h"
#include "link/link_presence.h"
#include "link/link_share.h"
#include "link_test_support.h"

namespace brix::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using history::EventKind;

class FeedTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        char name[] = "/tmp/brix-feed-XXXXXX";
        folder_ = ::mkdtemp(name);
    }
    void TearDown() override {
        LinkTest::TearDown();
        fs::remove_all(folder_);
    }
    std::string store() const { return folder_ + "/history.sqlite3"; }
    std::vector<history::Event> events() {
        std::string error;
        auto s = history::Store::open(store(), true, error);
        EXPECT_NE(s, nullptr) << error;
        return s != nullptr ? s->events(0, INT64_MAX) : std::vector<history::Event>{};
    }
    std::string folder_;
};

// Waits up to 2 s for `done`.
template <typename Pred>
bool eventually(Pred done) {
    for (int i = 0; i < 80 && !done(); ++i)
        std::this_thread::sleep_for(25ms);
    return done();
}

Bytes statisticsFrame(std::uint16_t period, std::uint16_t fragments) {
    Bytes f = inbound(3, 34);
    writeU16(f.data() + 12, period);
    writeU16(f.data() + 26, fragments);
    return f;
}

TEST_F(FeedTest, RecordsWhatTheModemSaysAndWhoAskedWhatOnceAndOnlyAsTheOwner) {
    std::vector<std::string> errors;
    {
        history::LinkFeed feed(store(), [&](const std::string& e) { errors.push_back(e); }, {});
        // No link yet: the store is not even made.
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(fs::exists(store()));
        EXPECT_FALSE(feed.owning());

        ModemSocket modem;
        ASSERT_TRUE(linkStart(modem.endpoints()));
        ASSERT_TRUE(eventually([&] { return feed.owning(); }));

        // What the modem says, as it says it: reports, a debug text in Latin-1, a sub-type the
        // link does not know (an Error line), versions, a statistics report too short to take.
        // A burst of reports is one sample; the next period's is another.
        // (The link thread reads after each idle wait of 100 ms: well past that.)
        for (int i = 0; i < 5; ++i)
            modem.send(rfReport(4525, 4, 300, 1, 3));
        std::this_thread::sleep_for(300ms);
        modem.send(rfReport(4525, 4, 300, 1, 3));
        modem.send(statisticsFrame(5, 7));
        modem.send(statisticsFrame(1000, 7));
        modem.send(debugFrame(3, {'M', 'A', 'P', ' ', '-', ' ', 'c', 'a', 'f', 0xe9, 0}));
        modem.send(debugFrame(99, {}));
        modem.send(textFrame(15, "x!!Microcode 1.2!!"));
        modem.send(textFrame(15, "x!!Microcode 1.2!!"));
        // The boot version's two texts by turns: each is told once.
        for (const char* boot : {"x!!Boot 0.9!!", "x!!Boot 0.9 (2019-03-11)!!", "x!!Boot 0.9!!"})
            modem.send(textFrame(16, boot));
        std::this_thread::sleep_for(300ms);

        // A channel's tune is one request, however many frames it takes; a Set resent by the
        // retry rule is one request too.
        sendTuneChannel(6035, 1);
        sendTuneFrequency(6035);
        std::this_thread::sleep_for(200ms);  // taken by the link before the next
        sendTuneFrequency(4525);             // the Tuner's order: the frequency first
        sendTuneChannel(4525, 2);
        const std::uint8_t scanner[2] = {3, 0};
        sendSetRequest(DataItem::ScannerParams, 2, scanner);
        sendSetRequest(DataItem::ScannerParams, 2, scanner);
        sendGetRequest(DataItem::ChannelTable, 30);  // a Get asks nothing of the modem
        std::this_thread::sleep_for(300ms);
        linkStop();
    }
    EXPECT_TRUE(errors.empty());

    std::vector<std::pair<EventKind, std::string>> got;
    std::string asker;
    for (const history::Event& e : events()) {
        got.emplace_back(e.kind, e.text);
        if (e.kind == EventKind::Tune)
            asker = e.program;
    }
    const std::vector<std::pair<EventKind, std::string>> want = {
        {EventKind::Embedded, "MAP - caf\xc3\xa9"},
        {EventKind::Error, "Unknown Debug Message"},
        {EventKind::Version, "Microcode 1.2"},
        {EventKind::Version, "Boot 0.9"},
        {EventKind::Version, "Boot 0.9 (2019-03-11)"},
        {EventKind::Tune, "Tune to 603.5 MHz, rate code 1"},
        {EventKind::Tune, "Tune to 452.5 MHz, rate code 2"},
        {EventKind::ScannerSet, "Set the scanner parameters: 03 00"},
    };
    EXPECT_EQ(got, want);
    EXPECT_EQ(asker, share::selfName());

    std::string error;
    auto s = history::Store::open(store(), true, error);
    ASSERT_NE(s, nullptr) << error;
    // Every sample, each its own row: so few are read as they were kept.
    const auto rf = s->rf(0, INT64_MAX);
    ASSERT_EQ(rf.size(), 2u);
    EXPECT_EQ(rf[0].samples + rf[1].samples, 2);
    const auto statistics = s->statistics(0, INT64_MAX);
    ASSERT_EQ(statistics.size(), 1u);
    EXPECT_EQ(statistics[0].reports, 1);  // the short one is no sample
    EXPECT_EQ(statistics[0].totals[0], 7);
}

TEST_F(FeedTest, AShortSilenceIsAGapAndAModemBackOnAnotherChannelAChannelChange) {
    {
        history::LinkFeed feed(store(), {}, {});
        ModemSocket modem;
        ASSERT_TRUE(linkStart(modem.endpoints()));
        ASSERT_TRUE(eventually([&] { return feed.owning(); }));
        modem.send(rfReport(4525, 4, 300, 1, 3));
        // Longer than two RF periods, shorter than the link taken for down.
        std::this_thread::sleep_for(std::chrono::milliseconds(kLinkGapAfterMs + 700));
        modem.send(rfReport(6035, 3, 300, 1, 3));
        std::this_thread::sleep_for(300ms);
        linkStop();
    }
    const auto got = events();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, EventKind::Gap);
    EXPECT_EQ(got[0].text.rfind("nothing heard from the modem for 6.", 0), 0u) << got[0].text;
    EXPECT_EQ(got[1].kind, EventKind::ChannelChange);
    EXPECT_EQ(got[1].text, "receive channel 452.5 MHz at 9.45 Mbit/s -> 603.5 MHz at 6.82 Mbit/s");
    EXPECT_LT(got[0].t, got[1].t);
}

// A sender on the segment floods the modem's messages: a burst is recorded, the rest counted
// into one line, so that the store takes a handful of rows for any flood.
TEST_F(FeedTest, AFloodOfMessagesIsRecordedAsABurstAndACountOfTheRest) {
    constexpr int kFlood = 150;
    {
        history::LinkFeed feed(store(), {}, {});
        ModemSocket modem;
        ASSERT_TRUE(linkStart(modem.endpoints()));
        ASSERT_TRUE(eventually([&] { return feed.owning(); }));
        for (int i = 0; i < kFlood; ++i)
            modem.send(debugFrame(3, {'x', 0}));
        std::this_thread::sleep_for(500ms);
        linkStop();
    }
    long kept = 0, told = 0, summaries = 0;
    for (const history::Event& e : events()) {
        ASSERT_EQ(e.kind, EventKind::Embedded);
        if (e.text == "x") {
            ++kept;
        } else {
            ++summaries;
            told += std::stol(e.text);
            EXPECT_NE(e.text.find(" more like this suppressed"), std::string::npos) << e.text;
        }
    }
    EXPECT_LE(kept, 60);
    EXPECT_EQ(summaries, 1);
    EXPECT_EQ(kept + told, kFlood);
}

TEST_F(FeedTest, AStoreThatCannotBeMadeIsToldOnceAndTheLinkGoesOn) {
    std::vector<std::string> errors;
    ModemSocket modem;
    ASSERT_TRUE(openLinkSocket(modem.endpoints()));
    {
        // A folder in place of the file's folder's parent: nothing can be made there.
        const std::string blocked = folder_ + "/file";
        { std::ofstream(blocked) << "x"; }
        history::LinkFeed feed(blocked + "/sub/history.sqlite3",
                               [&](const std::string& e) { errors.push_back(e); }, {});
        ASSERT_TRUE(eventually([&] { return feed.failed(); }));
        for (int i = 0; i < 20; ++i)
            dispatch(debugFrame(99, {}));
        std::this_thread::sleep_for(200ms);
        sendTuneFrequency(4525);
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("history not recorded"), std::string::npos) << errors[0];
}

}  // namespace
}  // namespace brix::testing
