// The Advanced page driven by its controls, with the link stopped: what a Get or Set queues for
// the link thread, how an answer is merged and shown, and the connection-error question.
#include <QComboBox>
#include <QLineEdit>

#include <clocale>
#include <cmath>
#include <string>

#include "pages_fixture.h"

namespace brix::testing {
namespace {

constexpr int kLabel = BrixAdvanced::kFirstLabelId;
constexpr int kFrequency = BrixAdvanced::kFirstFrequencyId;
constexpr int kRate = BrixAdvanced::kFirstBitRateId;

ChannelTableBody bodyOf(std::uint16_t firstFrequency, std::uint8_t firstRate) {
    ChannelTableBody body;
    for (int k = 0; k < kChannelCount; ++k) {
        body.setRecord(k, static_cast<std::uint16_t>(firstFrequency + 10 * k),
                       static_cast<std::uint8_t>((firstRate + k) % 5));
    }
    return body;
}

ChannelTableBody pendingSetBody(const PendingRequests& p) {
    return ChannelTableBody::fromBytes(p.setData);
}

using AdvancedPage = PagesTest;

TEST_F(AdvancedPage, StartsEmptyWithFiveRatesAndNoSelection) {
    EXPECT_EQ(advanced->itemText(BrixAdvanced::kMicrocodeVersionId), "Unavailable");
    for (int k = 0; k < kChannelCount; ++k) {
        auto* list = advanced->itemAs<QComboBox>(kRate + k);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->count(), 5);
        EXPECT_EQ(list->itemText(0), "2.56 ");
        EXPECT_EQ(list->itemText(1), "3.20 ");
        EXPECT_EQ(list->itemText(2), "5.12 ");
        EXPECT_EQ(list->itemText(3), "6.82 ");
        EXPECT_EQ(list->itemText(4), "9.45 ");
        EXPECT_EQ(advanced->curSel(kRate + k), -1);
        EXPECT_TRUE(advanced->itemText(kLabel + k).isEmpty());
        EXPECT_TRUE(advanced->itemText(kFrequency + k).isEmpty());
    }
    EXPECT_TRUE(advanced->isItemEnabled(BrixAdvanced::kGetId));
    EXPECT_TRUE(advanced->isItemEnabled(BrixAdvanced::kSetId));
}

TEST_F(AdvancedPage, SetAtStartSendsRate255AndLocksEverything) {
    click(*advanced, BrixAdvanced::kSetId);

    const PendingRequests p = pending();
    ASSERT_EQ(p.setPending, 1);
    EXPECT_EQ(p.setItem, 0x62);
    EXPECT_EQ(p.setLength, 30);
    const ChannelTableBody body = pendingSetBody(p);
    for (int k = 0; k < kChannelCount; ++k) {
        EXPECT_EQ(body.frequency(k), 0) << k;
        EXPECT_EQ(body.bitRateIndex(k), 255) << k;
    }
    EXPECT_EQ(p.getPending, 0);
    EXPECT_TRUE(requestButtons().all(false));
    EXPECT_EQ(channelTable().labelRefreshPending.load(), 1);
    EXPECT_TRUE(waitCursorShown());
    // The table's own values change only when the modem answers.
    EXPECT_EQ(channelTable().entry(0).bitRateIndex, 0);
}

TEST_F(AdvancedPage, GetQueuesTheChannelTableUnderTheWaitCursor) {
    // An answer that no request of the page preceded (the link's start-up Get) leaves the
    // normal cursor.
    const ChannelTableBody body = bodyOf(4525, 0);
    advanced->onChannelTableReply(body.data(), 0);
    EXPECT_TRUE(normalCursor());

    pagesWindow()->setCursor(Qt::CrossCursor);
    click(*advanced, BrixAdvanced::kGetId);
    const PendingRequests p = pending();
    EXPECT_EQ(p.getPending, 1);
    EXPECT_EQ(p.getItem, 0x62);
    EXPECT_EQ(p.getLength, 30);
    EXPECT_EQ(p.setPending, 0);
    EXPECT_TRUE(requestButtons().all(false));
    EXPECT_TRUE(waitCursorShown());

    // The answer unlocks the buttons and brings back the cursor that Get replaced.
    EXPECT_EQ(advanced->onChannelTableReply(body.data(), 0), 0);
    EXPECT_TRUE(requestButtons().all(true));
    EXPECT_EQ(pagesWindow()->cursor().shape(), Qt::CrossCursor);
    pagesWindow()->unsetCursor();
}

TEST_F(AdvancedPage, FrequencyTextsBecomeTenthsOfMhz) {
    struct Case {
        const char* text;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"452.5", 4525},
        {"452.56", 4525},
        {"-1", 65526},
        {"", 0},
        {"abc", 0},
        {"  87.9xyz", 879},
        {"452,5", 4520},
        {"1e3", 10000},
        {"6553.5", 65535},
        {"6553.6", 0},
        {"-0.09", 0},
        {"1e300", 0},
        // Only the decimal form: no hexadecimal, no "inf" or "nan"; an exponent without
        // digits is not part of the number.
        {"0x10", 0},
        {"0x1p3", 0},
        {"nan", 0},
        {"inf", 0},
        {"-inf", 0},
        {"infinity", 0},
        {"1e", 10},
        {"1e+", 10},
        {".5", 5},
        {"+7", 70},
        {"1.e1", 100},
        {"-.", 0},
        {"\t\n 12", 120},
    };
    for (const Case& c : cases)
        EXPECT_EQ(frequencyFromText(c.text), c.expected) << '"' << c.text << '"';

    // Beyond the integer range the low 16 bits are those of the exact product, as they are
    // in range: 999999999 x 10 = 9999999990.
    EXPECT_EQ(frequencyFromText("999999999"), static_cast<std::uint16_t>(9999999990LL & 0xFFFF));
    EXPECT_EQ(frequencyFromText("-99999999"), static_cast<std::uint16_t>(-999999990LL & 0xFFFF));
    // 1e20 x 10 is a multiple of 2^16 (2^21 x 5^21).
    EXPECT_EQ(frequencyFromText("1e20"), 0);
}

TEST_F(AdvancedPage, FrequencyTextsIgnoreTheUsersLocale) {
    // A desktop in a comma locale must still read the point the edits use.
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    bool commaLocale = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr &&
            std::string(std::localeconv()->decimal_point) == ",") {
            commaLocale = true;
            break;
        }
    }
    if (!commaLocale) {
        std::setlocale(LC_NUMERIC, previous.c_str());
        GTEST_SKIP() << "no locale with a decimal comma installed";
    }
    EXPECT_EQ(frequencyFromText("452.5"), 4525);
    std::setlocale(LC_NUMERIC, previous.c_str());
}

TEST_F(AdvancedPage, SetReadsNineCharactersAndTheSelectedRates) {
    advanced->setItemText(kFrequency + 0, "452.5");
    advanced->setItemText(kFrequency + 1, "00000001234");  // read as 000000012
    advanced->setItemText(kFrequency + 2, "-1");
    advanced->setItemText(kFrequency + 3, "123456789.9");  // read as 123456789
    advanced->setCurSel(kRate + 0, 4);
    advanced->setCurSel(kRate + 1, 0);
    advanced->setCurSel(kRate + 2, 2);
    click(*advanced, BrixAdvanced::kSetId);

    const ChannelTableBody body = pendingSetBody(pending());
    EXPECT_EQ(body.frequency(0), 4525);
    EXPECT_EQ(body.frequency(1), 120);
    EXPECT_EQ(body.frequency(2), 65526);
    EXPECT_EQ(body.frequency(3), static_cast<std::uint16_t>(1234567890LL & 0xFFFF));
    EXPECT_EQ(body.bitRateIndex(0), 4);
    EXPECT_EQ(body.bitRateIndex(1), 0);
    EXPECT_EQ(body.bitRateIndex(2), 2);
    EXPECT_EQ(body.bitRateIndex(3), 255);
}

TEST_F(AdvancedPage, LabelsAreStoredPerEntryAndCutTo49) {
    const QString sixty = QString(60, QLatin1Char('L'));
    advanced->setItemText(kLabel + 0, sixty);
    advanced->setItemText(kLabel + 1, "row three");  // 1024 sits on row 3, beside entry 2
    advanced->setItemText(kLabel + 2, "row two");
    advanced->setItemText(kLabel + 9, QString::fromUtf8("Café"));
    click(*advanced, BrixAdvanced::kSetId);

    EXPECT_EQ(channelTable().entry(0).label, std::string(49, 'L'));
    EXPECT_EQ(channelTable().entry(1).label, "row three");
    EXPECT_EQ(channelTable().entry(2).label, "row two");
    EXPECT_EQ(channelTable().entry(9).label, "Caf\xE9");  // 8-bit, as in the channel file

    // An answer equal to the table shows the stored (cut) labels.
    advanced->setItemText(kLabel + 0, "typed later");
    const ChannelTableBody same = channelTable().toBody();
    advanced->onChannelTableReply(same.data(), 0);
    EXPECT_EQ(advanced->itemText(kLabel + 0), QString(49, QLatin1Char('L')));
    EXPECT_EQ(advanced->itemText(kLabel + 9), QString::fromUtf8("Café"));
}

TEST_F(AdvancedPage, ReplyMergesLabelsOnlyWhenTheTableMatches) {
    channelTable().setLabel(0, "stored");
    advanced->setItemText(kLabel + 0, "typed");

    // Differs from the all-zero table: values shown and taken, labels left as typed.
    ChannelTableBody body = bodyOf(4525, 0);
    body.setRecord(9, 0, 7);  // an index that names no rate
    EXPECT_EQ(advanced->onChannelTableReply(body.data(), 0), 0);
    EXPECT_EQ(channelTable().labelRefreshPending.load(), 0);
    EXPECT_EQ(advanced->itemText(kLabel + 0), "typed");
    EXPECT_EQ(advanced->itemText(kFrequency + 0), "452.5");
    EXPECT_EQ(advanced->itemText(kFrequency + 1), "453.5");
    EXPECT_EQ(advanced->itemText(kFrequency + 9), "0.0");
    EXPECT_EQ(advanced->curSel(kRate + 0), 0);
    EXPECT_EQ(advanced->curSel(kRate + 4), 4);
    EXPECT_EQ(advanced->curSel(kRate + 9), -1);
    EXPECT_EQ(channelTable().entry(9).bitRateIndex, 7);  // kept as received
    EXPECT_EQ(channelTable().entry(1).frequency, 4535);
    EXPECT_TRUE(requestButtons().all(true));

    // The same answer again matches: the stored labels replace what the edits show.
    advanced->onChannelTableReply(body.data(), 0);
    EXPECT_EQ(channelTable().labelRefreshPending.load(), 1);
    EXPECT_EQ(advanced->itemText(kLabel + 0), "stored");
    EXPECT_EQ(advanced->itemText(kLabel + 1), "");

    // A selection left from before is cleared by an index above 4, and 65535 shows whole.
    body.setRecord(0, 65535, 200);
    advanced->onChannelTableReply(body.data(), 0);
    EXPECT_EQ(advanced->curSel(kRate + 0), -1);
    EXPECT_EQ(advanced->itemText(kFrequency + 0), "6553.5");
}

TEST_F(AdvancedPage, ConnectionErrorRetryKeepsAllFiveLockedCancelUnlocks) {
    click(*advanced, BrixAdvanced::kSetId);
    ASSERT_TRUE(requestButtons().all(false));

    answerBoxesWith(fw::IDRETRY);
    EXPECT_EQ(advanced->onChannelTableReply(nullptr, 1), 1);
    EXPECT_EQ(scanner->onScannerReply(nullptr), 1);
    EXPECT_TRUE(requestButtons().all(false));
    EXPECT_TRUE(waitCursorShown());

    // Closing the box without a button answers Cancel too.
    answerBoxesWith(fw::IDCANCEL);
    EXPECT_EQ(advanced->onChannelTableReply(nullptr, 1), 0);
    EXPECT_TRUE(requestButtons().all(true));  // Scanner Default included
    // The request is over, so the wait cursor goes too.
    EXPECT_TRUE(normalCursor());

    const auto shown = shownBoxes();
    ASSERT_EQ(shown.size(), 3u);
    for (const fw::MessageBoxRequest& box : shown) {
        EXPECT_EQ(box.owner, nullptr);
        EXPECT_EQ(box.caption, "Brix Tool Error");
        EXPECT_EQ(box.flags, 0x15u);
        EXPECT_EQ(box.text,
                  "Cannot connect to the modem.\nMake sure:\n- modem is turned on.\n"
                  "- modem is connected to the PC.\n- your PC has an assigned IP address.");
    }
}

}  // namespace
}  // namespace brix::testing
