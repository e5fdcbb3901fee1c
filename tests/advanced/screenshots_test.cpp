// Renders both pages, as the user sees them after answers arrived, to PNG in the build tree
// (screenshots/) for people to look at. Checks only that each picture was made.
#include <QDir>
#include <QPixmap>

#include "pages_fixture.h"

namespace brix::testing {
namespace {

bool save(QWidget* widget, const QString& name) {
    QDir().mkpath(QStringLiteral(BRIX_SCREENSHOT_DIR));
    const QPixmap picture = widget->grab();
    return !picture.isNull() &&
           picture.save(QStringLiteral(BRIX_SCREENSHOT_DIR "/%1.png").arg(name));
}

using Screenshots = PagesTest;

TEST_F(Screenshots, AdvancedAndScannerPages) {
    EXPECT_TRUE(save(advanced->widget(), "page_131_advanced_start"));
    EXPECT_TRUE(save(scanner->widget(), "page_282_scanner_start"));

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
    EXPECT_TRUE(save(advanced->widget(), "page_131_advanced_answered"));

    const std::uint8_t params[2] = {0x1B, 0x00};
    scanner->onScannerReply(params);
    scanner->setVersionText(QStringLiteral("Boot 1.10"));
    EXPECT_TRUE(save(scanner->widget(), "page_282_scanner_answered"));
}

}  // namespace
}  // namespace brix::testing
