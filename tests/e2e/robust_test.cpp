// The tool against the simulated modem in its fault modes: damaged, doubled and lost frames, and
// a flood of reports. The tool must stay responsive and correct and end cleanly.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "modem.h"
#include "private_netns.h"
#include "protocol.h"

namespace e2e {
namespace {

namespace sim = brix::sim;

class RobustTest : public ::testing::Test {
protected:
    void SetUp() override { work_ = freshWorkDir(); }

    void TearDown() override {
        if (HasFailure()) {
            std::string log = modem_.log();
            if (log.size() > 3000)
                log = "..." + log.substr(log.size() - 3000);
            std::printf("%s\nmodem log (%s/modem.log):\n%s\n", tool_.diagnostics().c_str(),
                        work_.c_str(), log.c_str());
        }
    }

    // Runs for `duration`, driving the user interface as a user would and measuring how long
    // the tool takes to answer; answers every connection-error question with Retry.
    void exercise(std::chrono::milliseconds duration) {
        Automation& ui = tool_.ui();
        const auto until = Clock::now() + duration;
        int round = 0;
        while (Clock::now() < until) {
            const auto asked = Clock::now();
            const auto reply = ui.send("ping", 10000ms);
            ASSERT_TRUE(reply.ok) << reply.value;
            worstReplyMs_ = std::max(worstReplyMs_, msSince(asked));
            ASSERT_TRUE(tool_.process().running());
            if (ui.box())
                ui.answer(kIdRetry);
            ui.tab(round % 4);
            ++round;
            std::this_thread::sleep_for(250ms);
        }
        std::printf("slowest automation reply: %.0f ms\n", worstReplyMs_);
    }

    void expectChannelTableShown() {
        const Bytes table = sim::Modem::defaultChannelTable();
        Automation& ui = tool_.ui();
        for (int k = 0; k < 10; ++k) {
            char text[32];
            std::snprintf(text, sizeof text, "%3.1f", sim::getU16(table.data() + 3 * k) / 10.0);
            EXPECT_EQ(ui.text(kAdvanced, 1013 + k), text) << "entry " << k;
        }
    }

    std::string work_;
    ModemSim modem_;
    Tool tool_;
    double worstReplyMs_ = 0;
};

TEST_F(RobustTest, DamagedDoubledAndLostFrames) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    ASSERT_TRUE(modem_.start(work_, {"--malformed", "0.3", "--duplicate", "0.3", "--drop", "0.1",
                                     "--link-test", "1", "--debug", "0.3", "--seed", "7"}));
    ASSERT_TRUE(tool_.start(work_));
    exercise(16000ms);
    EXPECT_LT(worstReplyMs_, 2000);

    // Retries got the channel table through whatever was lost or damaged on the way.
    expectChannelTableShown();
    EXPECT_LE(tool_.ui().rowCount(), 200);
    EXPECT_GT(modem_.countLines("[malformed"), 0);
    // The tool kept answering link tests correctly.
    EXPECT_GT(modem_.countLines("link test answer matched"), 0);
    EXPECT_EQ(modem_.countLines("link test answer did not match"), 0);
    // Nothing the tool sent puzzled the modem.
    EXPECT_EQ(modem_.countLines("ignored:"), 0);
    EXPECT_EQ(tool_.quit(), 0);
}

TEST_F(RobustTest, FloodOfReports) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    ASSERT_TRUE(modem_.start(work_, {"--flood", "2000", "--malformed", "0.05", "--link-test", "2",
                                     "--quiet", "--stats"}));
    ASSERT_TRUE(tool_.start(work_));
    exercise(12000ms);
    EXPECT_LT(worstReplyMs_, 3000);
    EXPECT_TRUE(tool_.process().running());

    // Trimmed to at most 200 rows however fast they came.
    const int rows = tool_.ui().rowCount();
    EXPECT_GT(rows, 0);
    EXPECT_LE(rows, 200);
    expectChannelTableShown();
    EXPECT_EQ(tool_.quit(), 0);
    // The modem really flooded (its count line comes at its exit).
    modem_.process().stop();
    const std::string log = modem_.log();
    const auto at = log.find("stats: received ");
    ASSERT_NE(at, std::string::npos) << log;
    const auto sentAt = log.find(" sent ", at);
    ASSERT_NE(sentAt, std::string::npos);
    EXPECT_GT(std::stol(log.substr(sentAt + 6)), 10000) << log.substr(at);
}

}  // namespace
}  // namespace e2e
