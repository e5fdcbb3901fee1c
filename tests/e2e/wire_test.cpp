// The tool as a real process against a modem played by the test: what crosses the wire, when,
// and what the user sees of it. Each test runs in a private network namespace of its own.

#include <algorithm>
#include <cstdio>
#include <filesystem>
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

// The slack allowed on top of the link's periods: the loop may sleep one idle pass (100 ms) past a
// period, and a sanitizer build on a busy machine is slower still. Lower bounds are exact: the
// tool's clock starts after the process was spawned, so it can only be behind the test's.
constexpr double kSlackMs = 900;

std::string frameList(const std::vector<FakeModem::Frame>& frames) {
    std::string out;
    for (const auto& f : frames) {
        char line[160];
        std::snprintf(line, sizeof line, "%9.1f ms  %s\n", f.atMs,
                      sim::describeFrame(f.bytes.data(), f.bytes.size(), false).c_str());
        out += line;
    }
    return out;
}

std::string advancedFrequencyText(const Bytes& table, int entry) {
    char text[32];
    std::snprintf(text, sizeof text, "%3.1f", sim::getU16(table.data() + 3 * entry) / 10.0);
    return text;
}

const char* const kRateTexts[] = {"2.56 ", "3.20 ", "5.12 ", "6.82 ", "9.45 "};

// The five request buttons: Advanced Set and Get, Scanner Set, Get and Default.
struct ButtonId {
    int dialog, control;
};
constexpr ButtonId kRequestButtons[] = {
    {kAdvanced, 1000}, {kAdvanced, 1001}, {kScanner, 1000}, {kScanner, 1050}, {kScanner, 1054}};

class WireTest : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = freshWorkDir();
        std::string error;
        ASSERT_TRUE(modem_.open(error)) << "cannot bind the modem's port: " << error;
    }

    // Starts the modem's clock and then the tool, so that frame times count from the spawn.
    void startTool(FakeModem::Responder responder, const std::vector<std::string>& args = {}) {
        modem_.start(Clock::now(), std::move(responder));
        ASSERT_TRUE(tool_.start(work_, args)) << tool_.diagnostics();
    }

    void TearDown() override {
        if (HasFailure())
            std::printf("frames from the tool:\n%s%s\n", frameList(modem_.frames()).c_str(),
                        tool_.diagnostics().c_str());
    }

    std::string work_;
    FakeModem modem_;
    Tool tool_;
};

// A modem that answers Get requests and RF queries the way the real one does.
FakeModem::Responder answeringModem(Bytes table, sim::RfValues rf) {
    return [table, rf](const FakeModem::Frame& f, FakeModem& m) {
        if (f.type == sim::type::kGetData && f.bytes.size() >= 14 &&
            f.bytes[12] == sim::kItemChannelTable)
            m.send(sim::encodeGetReply(sim::kItemChannelTable, table));
        if (f.type == sim::type::kRfQuery)
            m.send(sim::encodeRfReport(rf));
    };
}

TEST_F(WireTest, StartupSequenceAndChannelTable) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    const Bytes table = sim::Modem::defaultChannelTable();
    sim::RfValues rf;
    rf.rxFrequency = 4525;
    rf.rxRateCode = 4;
    rf.txFrequency = 300;
    rf.txRateCode = 1;
    rf.attenuation = 6;
    startTool(answeringModem(table, rf));

    // The version query is the last of the periodic ones to go out, after 20 s.
    ASSERT_TRUE(modem_.waitForFrames(sim::type::kVersion, 1, 20000ms + 5000ms));
    const auto frames = modem_.frames();

    // RfQuery first, sent by the link's start. Nothing periodic can go out before the link is
    // up, however long the window took to come up.
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().type, sim::type::kRfQuery);
    EXPECT_EQ(frames.front().bytes.size(), 12u);
    const double linkUp = frames.front().atMs;
    auto due = [&](double periodMs) { return std::max(periodMs, linkUp) + kSlackMs; };

    // The channel-table Get once, about 2 s after the start, answered at once.
    const auto gets = modem_.framesOfType(sim::type::kGetData);
    ASSERT_EQ(gets.size(), 1u);
    ASSERT_EQ(gets[0].bytes.size(), 14u);
    EXPECT_EQ(gets[0].bytes[12], sim::kItemChannelTable);
    EXPECT_EQ(gets[0].bytes[13], 30);
    EXPECT_GE(gets[0].atMs, 2000);
    EXPECT_LE(gets[0].atMs, due(2000));

    // RF queries every 3 s after the first.
    const auto rfQueries = modem_.framesOfType(sim::type::kRfQuery);
    ASSERT_GE(rfQueries.size(), 6u);
    EXPECT_GE(rfQueries[1].atMs, 3000);
    for (std::size_t i = 2; i < rfQueries.size(); ++i) {
        const double gap = rfQueries[i].atMs - rfQueries[i - 1].atMs;
        EXPECT_GE(gap, 2950) << "RfQuery " << i;
        EXPECT_LE(gap, 3000 + kSlackMs) << "RfQuery " << i;
    }

    // The first of each other periodic query after its period.
    struct Periodic {
        int type;
        double periodMs;
        std::size_t bytes;
    };
    for (const Periodic p :
         {Periodic{sim::type::kStatistics, 7000, 12}, Periodic{sim::type::kQuery8, 8000, 14},
          Periodic{sim::type::kQuery9, 9000, 14}, Periodic{sim::type::kVersion, 20000, 12}}) {
        const auto sent = modem_.framesOfType(p.type);
        ASSERT_FALSE(sent.empty()) << "type " << p.type;
        EXPECT_GE(sent[0].atMs, p.periodMs) << "type " << p.type;
        EXPECT_LE(sent[0].atMs, due(p.periodMs)) << "type " << p.type;
        EXPECT_EQ(sent[0].bytes.size(), p.bytes) << "type " << p.type;
        if (sent.size() > 1) {
            EXPECT_GE(sent[1].atMs - sent[0].atMs, p.periodMs - 50) << "type " << p.type;
        }
    }
    // Nothing but the five queries and the one Get went out.
    for (const auto& f : frames) {
        EXPECT_TRUE(f.type == sim::type::kRfQuery || f.type == sim::type::kGetData ||
                    f.type == sim::type::kStatistics || f.type == sim::type::kQuery8 ||
                    f.type == sim::type::kQuery9 || f.type == sim::type::kVersion)
            << "unexpected type " << f.type << " at " << f.atMs << " ms";
    }

    // The channel table in the Advanced page's fields, without a click.
    Automation& ui = tool_.ui();
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(ui.text(kAdvanced, 1013 + k), advancedFrequencyText(table, k)) << "entry " << k;
        EXPECT_EQ(ui.text(kAdvanced, 1039 + k), kRateTexts[table[3 * k + 2]]) << "entry " << k;
    }
    // The answer released the request buttons of both pages.
    for (const ButtonId b : kRequestButtons)
        EXPECT_TRUE(ui.enabled(b.dialog, b.control)) << b.dialog << "/" << b.control;
    // The Tuner shows the RF report.
    EXPECT_EQ(ui.value(kTuner, 1007), 4525);
    EXPECT_EQ(ui.value(kTuner, 1008), 300);

    // Version texts go to the page their text names.
    EXPECT_EQ(ui.text(kAdvanced, 1036), "Unavailable");
    EXPECT_EQ(ui.text(kScanner, 1055), "Unavailable");
    modem_.send(sim::encodeVersionText(sim::type::kVersion, "BRX-CM!!2.05.17!!build 1207"));
    modem_.send(sim::encodeVersionText(sim::type::kVersion2, "BRX-CM!!Boot 1.04.2!!2019"));
    EXPECT_TRUE(eventually([&] { return ui.text(kAdvanced, 1036) == "2.05.17"; }, 3000ms));
    EXPECT_TRUE(eventually([&] { return ui.text(kScanner, 1055) == "Boot 1.04.2"; }, 3000ms));

    EXPECT_EQ(tool_.quit(), 0);
}

TEST_F(WireTest, SilentModemGiveUpRetryThenCancel) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    startTool({});
    Automation& ui = tool_.ui();
    const std::string errorText =
        "Cannot connect to the modem.\nMake sure:\n- modem is turned on.\n- modem is connected "
        "to the PC.\n- your PC has an assigned IP address.";

    // Five Gets about 2 s apart from about 2 s after the start.
    ASSERT_TRUE(modem_.waitForFrames(sim::type::kGetData, 5, 2000ms + 8000ms + 5000ms));
    auto gets = modem_.framesOfType(sim::type::kGetData);
    EXPECT_GE(gets[0].atMs, 2000);
    for (std::size_t i = 1; i < gets.size(); ++i) {
        EXPECT_GE(gets[i].atMs - gets[i - 1].atMs, 1950) << "Get " << i;
        EXPECT_LE(gets[i].atMs - gets[i - 1].atMs, 2000 + kSlackMs) << "Get " << i;
    }

    // Then the question, about 2 s after the fifth send.
    std::optional<Automation::Box> box;
    ASSERT_TRUE(eventually([&] { return (box = ui.box()).has_value(); }, 2000ms + 3000ms));
    const double askedAt = msSince(tool_.process().startedAt());
    EXPECT_GE(askedAt - gets[4].atMs, 2000);
    EXPECT_EQ(box->caption, "Brix Tool Error");
    EXPECT_EQ(box->text, errorText);
    EXPECT_EQ(box->flags, 0x15u);
    EXPECT_EQ(modem_.framesOfType(sim::type::kGetData).size(), 5u);

    // While the question is open the link sends nothing, not even its 3 s RF query.
    const std::size_t before = modem_.frames().size();
    std::this_thread::sleep_for(3500ms);
    EXPECT_EQ(modem_.frames().size(), before);
    EXPECT_TRUE(ui.box().has_value());

    // Retry sends at once and starts a fresh cycle of five.
    const double retryAt = msSince(tool_.process().startedAt());
    ASSERT_TRUE(ui.answer(kIdRetry));
    ASSERT_TRUE(modem_.waitForFrames(sim::type::kGetData, 6, 2000ms));
    gets = modem_.framesOfType(sim::type::kGetData);
    EXPECT_LE(gets[5].atMs - retryAt, 1000);
    EXPECT_FALSE(ui.box().has_value());
    ASSERT_TRUE(modem_.waitForFrames(sim::type::kGetData, 10, 8000ms + 5000ms));
    ASSERT_TRUE(eventually([&] { return ui.box().has_value(); }, 5000ms));
    EXPECT_EQ(modem_.framesOfType(sim::type::kGetData).size(), 10u);

    // Cancel drops the request and releases the five request buttons (the Scanner's were
    // disabled from the start).
    ASSERT_TRUE(ui.answer(kIdCancel));
    const double cancelAt = msSince(tool_.process().startedAt());
    EXPECT_TRUE(eventually(
        [&] {
            for (const ButtonId b : kRequestButtons) {
                if (!ui.enabled(b.dialog, b.control))
                    return false;
            }
            return true;
        },
        2000ms));
    // The polls go on; the Get does not come back.
    EXPECT_TRUE(eventually(
        [&] {
            const auto rfs = modem_.framesOfType(sim::type::kRfQuery);
            return !rfs.empty() && rfs.back().atMs > cancelAt;
        },
        3000ms + 1500ms));
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(modem_.framesOfType(sim::type::kGetData).size(), 10u);
    EXPECT_FALSE(ui.box().has_value());

    EXPECT_EQ(tool_.quit(), 0);
}

// Console rows whose text starts with `prefix`.
int countRows(const std::vector<std::string>& rows, const std::string& prefix) {
    int n = 0;
    for (const std::string& r : rows) {
        const auto tab = r.find('\t');
        if (tab != std::string::npos && r.compare(tab + 1, prefix.size(), prefix) == 0)
            ++n;
    }
    return n;
}

TEST_F(WireTest, LinkTestRfReportLinesAndMessageLog) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    sim::RfValues rf;
    rf.rxFrequency = 4525;
    rf.rxRateCode = 4;
    rf.txFrequency = 300;
    rf.txRateCode = 1;
    rf.attenuation = 6;
    startTool(answeringModem(sim::Modem::defaultChannelTable(), rf), {"-LogFile"});
    Automation& ui = tool_.ui();

    // The link test is answered at once with 16 bytes carrying 1234567.
    ASSERT_TRUE(modem_.waitForFrames(sim::type::kRfQuery, 1, 10000ms));
    const double sentAt = msSince(tool_.process().startedAt());
    modem_.send(sim::encodeLinkTest());
    ASSERT_TRUE(modem_.waitForFrames(sim::type::kLinkTest, 1, 2000ms));
    const auto answer = modem_.framesOfType(sim::type::kLinkTest).front();
    EXPECT_EQ(sim::checkLinkTestAnswer(answer.bytes.data(), answer.bytes.size()), "");
    EXPECT_LT(answer.atMs - sentAt, 1000);

    // The first RF report (answer to the start's query) writes its five lines once; the same
    // report again at the 3 s poll writes nothing.
    ASSERT_TRUE(modem_.waitForFrames(sim::type::kRfQuery, 2, 5000ms));
    std::this_thread::sleep_for(500ms);
    auto rows = ui.lastRows(200);
    EXPECT_EQ(countRows(rows, "RF REPORT:"), 1);
    int first = -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] == "Embedded\tRF REPORT:")
            first = static_cast<int>(i);
    }
    ASSERT_GE(first, 0);
    ASSERT_GE(rows.size(), static_cast<std::size_t>(first + 5));
    const std::string rx = rows[first + 1], tx = rows[first + 2];
    EXPECT_EQ(rx.rfind("Embedded\tReceive Cannel: Frequency = ", 0), 0u) << rx;
    EXPECT_NE(rx.find(" MHz, Bit Rate =   9.45 Mbit/sec"), std::string::npos) << rx;
    EXPECT_EQ(tx.rfind("Embedded\tTransmit Cannel: Frequency = ", 0), 0u) << tx;
    EXPECT_NE(tx.find(" MHz, Bit Rate =   3.20 Mbit/sec"), std::string::npos) << tx;
    EXPECT_EQ(rows[first + 3],
              "Embedded\t" + std::string(28, ' ') + "Attenuation Level = -12 dBmV");
    EXPECT_EQ(rows[first + 4], "Embedded\t");

    // Help finds the build tree's copy of the document (the installed one: InstallTest).
    const auto help = ui.send("help");
    ASSERT_TRUE(help.ok) << help.value;
    EXPECT_EQ(help.value, std::filesystem::canonical(std::string(BRIX_BUILD_HELP_PATH)).string());

    // A debug text from the modem is a row as it came.
    modem_.send(sim::encodeDebugText("Ranging complete"));
    EXPECT_TRUE(
        eventually([&] { return countRows(ui.lastRows(5), "Ranging complete") == 1; }, 2000ms));

    // Closing the tool closes the log: the report's lines are there in the log's format.
    EXPECT_EQ(tool_.quit(), 0);
    const std::string log = readFile(work_ + "/radio.log");
    EXPECT_NE(log.find(" \tEmbedded RF REPORT:\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" \tEmbedded Receive Cannel: Frequency = "), std::string::npos) << log;
    EXPECT_NE(log.find("Attenuation Level = -12 dBmV\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" \tEmbedded Ranging complete\r\n"), std::string::npos) << log;
    EXPECT_EQ(readFile(work_ + "/radiostt.log"),
              "  time      date    tx-pckts tx-frms tx-byts tx-errs  rx-frms rx-rjct rx-sync    "
              "     memory\r\n");
}

}  // namespace
}  // namespace e2e
