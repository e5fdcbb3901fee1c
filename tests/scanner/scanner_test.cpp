// The Scanner page driven by its check boxes and buttons, with the link stopped: the scan mask
// a Set queues, Default, and how an answer is shown.
#include "pages_fixture.h"

namespace brix::testing {
namespace {

constexpr int kNtsc = 1047, kPalb = 1048, kPald = 1049, kOther = 1053;
constexpr int kNtsc682 = 1041, kNtsc945 = 1044;
constexpr int kPalb682 = 1042, kPalb945 = 1045;
constexpr int kPald682 = 1043, kPald945 = 1046;
constexpr int kOther682 = 1051, kOther945 = 1052;

class ScannerPage : public PagesTest {
protected:
    // As after the start-up answer: the request buttons are usable.
    void unlock() { enableRequestButtons(true); }

    void reply(std::uint8_t mask, std::uint8_t second) {
        const std::uint8_t body[2] = {mask, second};
        EXPECT_EQ(scanner->onScannerReply(body), 0);
    }

    // Every box as "plan:checked/enabled" in row order, rate boxes 6.82 then 9.45.
    std::string boxes() const {
        std::string out;
        for (const BrixScanner::PlanRow& r : BrixScanner::kRows) {
            for (int id : {r.planId, r.rate682Id, r.rate945Id}) {
                out += scanner->isItemChecked(id) ? 'x' : '.';
                out += scanner->isItemEnabled(id) ? 'e' : 'd';
            }
            out += ' ';
        }
        return out;
    }

    std::array<std::uint8_t, 2> sentParams() const {
        const PendingRequests p = pending();
        EXPECT_EQ(p.setPending, 1);
        EXPECT_EQ(p.setItem, 0x27);
        EXPECT_EQ(p.setLength, 2);
        return {p.setData[0], p.setData[1]};
    }
};

TEST_F(ScannerPage, StartsFromTheTemplateWithItsButtonsLocked) {
    EXPECT_EQ(scanner->itemText(BrixScanner::kBootVersionId), "Unavailable");
    EXPECT_FALSE(scanner->isItemEnabled(BrixScanner::kGetId));
    EXPECT_FALSE(scanner->isItemEnabled(BrixScanner::kSetId));
    EXPECT_FALSE(scanner->isItemEnabled(BrixScanner::kDefaultId));
    EXPECT_EQ(boxes(), ".e.d.d .e.d.d .e.d.d .e.d.d ");
    // Locked buttons ignore clicks.
    click(*scanner, BrixScanner::kGetId);
    EXPECT_EQ(pending().getPending, 0);
}

TEST_F(ScannerPage, PlanBoxesEnableTheirRowAndKeepCheckMarks) {
    click(*scanner, kPalb);
    EXPECT_EQ(boxes(), ".e.d.d xe.e.e .e.d.d .e.d.d ");
    click(*scanner, kPalb945);
    click(*scanner, kPalb);  // off again: the rates are disabled but stay checked
    EXPECT_EQ(boxes(), ".e.d.d .e.dxd .e.d.d .e.d.d ");
    click(*scanner, kPalb);
    EXPECT_EQ(boxes(), ".e.d.d xe.exe .e.d.d .e.d.d ");
    EXPECT_EQ(scanner->scanMask(), 0x04);
}

TEST_F(ScannerPage, SetSendsTheRatesOfCheckedPlansOnly) {
    unlock();
    click(*scanner, kNtsc);  // a plan without rates contributes nothing
    click(*scanner, kPald);
    click(*scanner, kPald682);
    click(*scanner, kPald945);
    click(*scanner, kOther);
    click(*scanner, kOther682);
    click(*scanner, kOther);  // unchecked again: its 6.82 stays checked but is not sent
    click(*scanner, BrixScanner::kSetId);
    EXPECT_EQ(sentParams(), (std::array<std::uint8_t, 2>{0x30, 0x00}));
    EXPECT_TRUE(requestButtons().all(false));
    EXPECT_TRUE(normalCursor());  // no wait cursor here

    // The acknowledgement rewrites every row: NTSC shows unchecked, Other loses its mark.
    reply(0x30, 0x00);
    EXPECT_EQ(boxes(), ".e.d.d .e.d.d xexexe .e.d.d ");
    EXPECT_TRUE(requestButtons().all(true));

    // No plan checked: 00 00, and its acknowledgement clears and disables every row.
    click(*scanner, kPald);
    click(*scanner, BrixScanner::kSetId);
    EXPECT_EQ(sentParams(), (std::array<std::uint8_t, 2>{0x00, 0x00}));
    reply(0x00, 0x00);
    EXPECT_EQ(boxes(), ".e.d.d .e.d.d .e.d.d .e.d.d ");
}

TEST_F(ScannerPage, DefaultSendsTheDefaultsAndWaitsForTheAnswer) {
    unlock();
    click(*scanner, kOther);
    click(*scanner, BrixScanner::kDefaultId);
    EXPECT_EQ(sentParams(), (std::array<std::uint8_t, 2>{0x01, 0x00}));
    EXPECT_TRUE(requestButtons().all(false));
    EXPECT_EQ(boxes(), ".e.d.d .e.d.d .e.d.d xe.e.e ");  // nothing changes yet
    reply(0x01, 0x00);
    EXPECT_EQ(boxes(), "xe.exe .e.d.d .e.d.d .e.d.d ");
}

TEST_F(ScannerPage, AnswersShowEveryMaskAndTheDefaultsMarker) {
    reply(0xFF, 0x00);
    EXPECT_EQ(boxes(), "xexexe xexexe xexexe xexexe ");
    EXPECT_EQ(scanner->scanMask(), 0xFF);
    EXPECT_TRUE(requestButtons().all(true));

    reply(0xFE, 0xFF);  // 0xFF second byte: the defaults whatever the mask
    EXPECT_EQ(boxes(), "xe.exe .e.d.d .e.d.d .e.d.d ");

    reply(0x82, 0x01);  // NTSC 6.82 and Other 6.82; any other second byte shows the mask
    EXPECT_EQ(boxes(), "xexe.e .e.d.d .e.d.d xexe.e ");
    EXPECT_EQ(scanner->scanMask(), 0x82);
}

TEST_F(ScannerPage, GetThenGiveUpAsksAndCancelUnlocksBothPages) {
    unlock();
    click(*scanner, BrixScanner::kGetId);
    const PendingRequests p = pending();
    EXPECT_EQ(p.getPending, 1);
    EXPECT_EQ(p.getItem, 0x27);
    EXPECT_EQ(p.getLength, 2);
    EXPECT_TRUE(requestButtons().all(false));

    answerBoxesWith(fw::IDRETRY);
    EXPECT_EQ(scanner->onScannerReply(nullptr), 1);
    EXPECT_TRUE(requestButtons().all(false));
    answerBoxesWith(fw::IDCANCEL);
    EXPECT_EQ(scanner->onScannerReply(nullptr), 0);
    EXPECT_TRUE(requestButtons().all(true));
    ASSERT_EQ(shownBoxes().size(), 2u);
    EXPECT_EQ(shownBoxes()[1].caption, "Brix Tool Error");
    // A request from the Advanced page locks the Scanner's buttons too.
    click(*advanced, BrixAdvanced::kGetId);
    EXPECT_TRUE(requestButtons().all(false));
}

}  // namespace
}  // namespace brix::testing
