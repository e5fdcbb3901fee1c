// Renders both pages, as the user sees them before and after answers arrived, to PNG in the
// build tree (screenshots/) for people to look at, and checks what the pictures show: empty
// fields before, the table's values after; the Scanner's boxes as the answer set them.
#include <QString>

#include "pages_fixture.h"
#include "picture_checks.h"

namespace brix::testing {
namespace {

QImage save(QWidget* widget, const char* name) {
    return savePicture(widget, QStringLiteral(BRIX_SCREENSHOT_DIR), QString::fromLatin1(name));
}

using Screenshots = PagesTest;

TEST_F(Screenshots, AdvancedAndScannerPages) {
    QWidget* page = advanced->widget();
    QWidget* frequency = advanced->item(BrixAdvanced::kFirstFrequencyId);
    QWidget* label = advanced->item(BrixAdvanced::kFirstLabelId + 9);
    const QImage before = save(page, "page_131_advanced_start");
    QWidget* scannerPage = scanner->widget();
    const QImage scannerBefore = save(scannerPage, "page_282_scanner_start");

    const char* labels[] = {"Home",   "Office", "Lab",  "Sports", "News",
                            "Movies", "Music",  "Kids", "Spare",  "Test channel long name"};
    ChannelTableBody body;
    for (int k = 0; k < kChannelCount; ++k) {
        channelTable().setLabel(k, labels[k]);
        body.setRecord(k, static_cast<std::uint16_t>(4525 + 80 * k),
                       static_cast<std::uint8_t>(k % 6));
    }
    advanced->onChannelTableReply(body.data(), 0);
    advanced->onChannelTableReply(body.data(), 0);  // equal now: labels shown
    advanced->setVersionText(QStringLiteral("2.05"));
    const QImage after = save(page, "page_131_advanced_answered");
    // The digits add the text's colours (and its anti-aliasing) to the field's frame and fill.
    EXPECT_GT(colours(areaOf(after, page, frequency)), colours(areaOf(before, page, frequency)) + 2)
        << "452.5 drawn in the field";
    EXPECT_NE(areaOf(after, page, label), areaOf(before, page, label)) << "a label drawn";

    // 0x1B: NTSC at both rates, PALB 6.82 and PALD 9.45; the "Other" row stays as it was.
    const std::uint8_t params[2] = {0x1B, 0x00};
    scanner->onScannerReply(params);
    scanner->setVersionText(QStringLiteral("Boot 1.10"));
    const QImage scannerAfter = save(scannerPage, "page_282_scanner_answered");
    const auto& ntsc = BrixScanner::kRows[0];
    const auto& other = BrixScanner::kRows[3];
    EXPECT_NE(areaOf(scannerAfter, scannerPage, scanner->item(ntsc.rate682Id)),
              areaOf(scannerBefore, scannerPage, scanner->item(ntsc.rate682Id)));
    EXPECT_EQ(areaOf(scannerAfter, scannerPage, scanner->item(other.rate682Id)),
              areaOf(scannerBefore, scannerPage, scanner->item(other.rate682Id)));
}

}  // namespace
}  // namespace brix::testing
