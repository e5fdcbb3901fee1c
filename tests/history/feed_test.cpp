// The feed from the link into the history on a loopback link: what it records of the Console
// lines, the versions and the requests the link sends, and that it opens the store only once
// this program owns the link.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "history/link_feed.h"
#include "link/link_commands.h"
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

TEST_F(FeedTest, RecordsReportsLinesVersionsAndRequestsOnceAndOnlyAsTheOwner) {
    std::vector<std::string> errors;
    {
        history::LinkFeed feed(store(), [&](const std::string& e) { errors.push_back(e); }, {});
        // No link yet: the store is not even made.
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(fs::exists(store()));
        EXPECT_FALSE(feed.owning());

        ModemSocket modem;
        ASSERT_TRUE(openLinkSocket(modem.endpoints()));
        for (int i = 0; i < 40 && !feed.owning(); ++i)
            std::this_thread::sleep_for(25ms);
        ASSERT_TRUE(feed.owning());

        // A report's block of lines is the report, not five events; Driver lines are no news.
        for (const char* line : {"RF REPORT:", "  rx 452.5", "  tx 30.0", "  level", "  code"})
            feed.consoleLine(MessageKind::Embedded, line);
        feed.consoleLine(MessageKind::Error, "Cannot send");
        feed.consoleLine(MessageKind::Driver, "driver chatter");
        feed.consoleLine(MessageKind::Embedded, "MAP - caf\xe9");  // Latin-1 from the modem
        feed.versionText(0, "Microcode 1.2");
        feed.versionText(0, "Microcode 1.2");
        // The boot version's two texts by turns: each is told once.
        for (const char* boot : {"Boot 0.9", "Boot 0.9 (2019-03-11)", "Boot 0.9"}) {
            feed.versionText(1, boot);
            std::this_thread::sleep_for(80ms);
        }

        // A channel's tune is one request, however many frames it takes; a Set resent by the
        // retry rule is one request too.
        sendTuneChannel(6035, 1);
        sendTuneFrequency(6035);
        std::this_thread::sleep_for(100ms);  // taken by the feed before the next
        sendTuneFrequency(4525);             // the Tuner's order: the frequency first
        sendTuneChannel(4525, 2);
        const std::uint8_t scanner[2] = {3, 0};
        sendSetRequest(DataItem::ScannerParams, 2, scanner);
        sendSetRequest(DataItem::ScannerParams, 2, scanner);
        sendGetRequest(DataItem::ChannelTable, 30);  // a Get asks nothing of the modem
        std::this_thread::sleep_for(300ms);
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
        {EventKind::Error, "Cannot send"},
        {EventKind::Embedded, "MAP - caf\xc3\xa9"},
        {EventKind::Version, "Microcode 1.2"},
        {EventKind::Version, "Boot 0.9"},
        {EventKind::Version, "Boot 0.9 (2019-03-11)"},
        {EventKind::Tune, "Tune to 603.5 MHz, rate code 1"},
        {EventKind::Tune, "Tune to 452.5 MHz, rate code 2"},
        {EventKind::ScannerSet, "Set the scanner parameters: 03 00"},
    };
    EXPECT_EQ(got, want);
    EXPECT_EQ(asker, share::selfName());
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
        for (int i = 0; i < 40 && !feed.failed(); ++i)
            std::this_thread::sleep_for(25ms);
        EXPECT_TRUE(feed.failed());
        for (int i = 0; i < 20; ++i)
            feed.consoleLine(MessageKind::Error, "more");
        std::this_thread::sleep_for(200ms);
        sendTuneFrequency(4525);
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("history not recorded"), std::string::npos) << errors[0];
}

}  // namespace
}  // namespace brix::testing
