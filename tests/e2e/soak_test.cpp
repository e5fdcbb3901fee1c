// Soak: ten minutes (BRIX_SOAK_SECONDS) of mixed traffic with lost, doubled and damaged frames,
// link tests, debug messages, a steady stream of reports and the user clicking about. The tool
// must stay up and responsive, and its memory must stay flat. Run with tools/soak.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "private_netns.h"

namespace e2e {
namespace {

// "stats: received N sent N ..." as name/value pairs.
long statValue(const std::string& statsLine, const std::string& name) {
    const auto at = statsLine.find(" " + name + " ");
    return at == std::string::npos ? -1 : std::atol(statsLine.c_str() + at + name.size() + 2);
}

TEST(SoakTest, TenMinutesOfMixedTrafficWithFlatMemory) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    const char* env = std::getenv("BRIX_SOAK_SECONDS");
    const int seconds = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 600;
    const std::string work = freshWorkDir();

    ModemSim modem;
    ASSERT_TRUE(modem.start(
        work, {"--drop", "0.05", "--duplicate", "0.05", "--malformed", "0.05", "--flood", "40",
               "--link-test", "5", "--debug", "1", "--quiet", "--stats"}));
    Tool tool;
    ASSERT_TRUE(tool.start(work, {"-LogFile"})) << tool.diagnostics();
    Automation& ui = tool.ui();

    // Memory is measured once the start-up is over and every page has been shown once.
    const auto start = Clock::now();
    const auto warmUp = std::min(std::chrono::seconds(30), std::chrono::seconds(seconds / 4));
    long rssStart = -1, rssPeak = 0;
    double worstReplyMs = 0;
    int round = 0, boxes = 0, requests = 0;
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        if (rssStart < 0 && Clock::now() - start >= warmUp)
            rssStart = tool.process().rssKb();
        rssPeak = std::max(rssPeak, tool.process().rssKb());

        const auto asked = Clock::now();
        const auto reply = ui.send("ping", 10000ms);
        ASSERT_TRUE(reply.ok) << reply.value << "\n" << tool.diagnostics();
        worstReplyMs = std::max(worstReplyMs, msSince(asked));
        if (ui.box()) {
            ui.answer(kIdRetry);
            ++boxes;
        }
        // A user at work: every page in turn, the statistics lines on and off, and now and then
        // a Get of the channel table or the scanner parameters.
        ui.tab(round % 4);
        if (round % 4 == 1 && round % 12 == 1)
            ui.click(kConsole, 1037);
        if (round % 4 == 2 && round % 20 == 2 && ui.click(kAdvanced, 1001))
            ++requests;
        if (round % 4 == 3 && round % 20 == 7 && ui.click(kScanner, 1050))
            ++requests;
        ++round;
        std::this_thread::sleep_for(500ms);
    }
    const long rssEnd = tool.process().rssKb();
    const int rows = ui.rowCount();
    EXPECT_EQ(tool.quit(30000ms), 0) << tool.diagnostics();
    modem.process().stop();

    std::string stats;
    std::istringstream log(modem.log());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("stats:", 0) == 0)
            stats = line;
    }
    std::printf(
        "soak: %d s; frames: tool sent %ld, modem sent %ld; faults: dropped %ld, duplicated %ld, "
        "malformed %ld; requests %d, connection-error questions %d; Console rows at end %d; "
        "slowest reply %.0f ms; RSS start %ld KiB, end %ld KiB, peak %ld KiB\n",
        seconds, statValue(stats, "received"), statValue(stats, "sent"),
        statValue(stats, "dropped"), statValue(stats, "duplicated"), statValue(stats, "malformed"),
        requests, boxes, rows, worstReplyMs, rssStart, rssEnd, rssPeak);
    ::testing::Test::RecordProperty("rss_start_kib", std::to_string(rssStart));
    ::testing::Test::RecordProperty("rss_end_kib", std::to_string(rssEnd));
    ::testing::Test::RecordProperty("modem_stats", stats);

    ASSERT_FALSE(stats.empty()) << modem.log();
    EXPECT_GT(statValue(stats, "received"), 0);
    EXPECT_GT(statValue(stats, "malformed"), 0);
    EXPECT_LE(rows, 200);
    EXPECT_LT(worstReplyMs, 3000);
    // Flat: allocator slack and Qt's caches may move a few MiB, a leak per frame would not stay
    // that small over tens of thousands of frames.
    ASSERT_GT(rssStart, 0);
    EXPECT_LE(rssEnd, rssStart + std::max(8L * 1024, rssStart / 10))
        << "start " << rssStart << " KiB, end " << rssEnd << " KiB";
}

}  // namespace
}  // namespace e2e
