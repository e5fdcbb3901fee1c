// Renders the Tuner to PNG in the build tree (screenshots/) for people to look at: browse mode
// with live values, edit mode, and the page in the main window's tab. Run once at 1x and once
// with QT_SCALE_FACTOR=2 (files end in @2x). Checks only what a picture must hold, not pixels.

#include <QDir>
#include <QPixmap>

#include "framework/tab_control.h"
#include "tuner_test_support.h"

namespace brix::testing {
namespace {

QString suffix(const QWidget* w) {
    const qreal dpr = w->devicePixelRatioF();
    return dpr > 1.0 ? QStringLiteral("@%1x").arg(dpr) : QString();
}

bool save(QWidget* widget, const QString& name) {
    QDir().mkpath(QStringLiteral(BRIX_SCREENSHOT_DIR));
    const QPixmap picture = widget->grab();
    return !picture.isNull() &&
           picture.save(QStringLiteral(BRIX_SCREENSHOT_DIR "/%1%2.png").arg(name, suffix(widget)));
}

class TunerScreenshots : public TunerTest {
protected:
    void liveValues() {
        const char* labels[] = {"Head end",  "Office 2nd fl", "Office 1st fl", "Warehouse",
                                "Lab bench", "Spare A",       "Spare B",       "Field test",
                                "Backup",    "Maintenance"};
        for (int k = 0; k < kChannelCount; ++k)
            channelTable().setLabel(k, labels[k]);
        channelTable().labelRefreshPending = 1;
        setLinkValues(4525, 352, 2, 1);
        setLinkRates(30, 55, 20, 9, 2);
        page->onTimer(1);
        setLinkRates(18, 40, 14, 9, 1);
        linkState().activity = 1;
        page->onTimer(1);
    }
};

TEST_F(TunerScreenshots, BrowseAndEditMode) {
    createPage();
    liveValues();
    EXPECT_EQ(page->inLamp().state(), 1);
    EXPECT_TRUE(save(page->widget(), "tuner_browse"));

    page->tuneSetButton()->click();
    setSlider(1006, 3);
    page->item(1061)->setFocus();
    qobject_cast<QAbstractButton*>(page->item(1061))->click();
    qobject_cast<QAbstractButton*>(page->item(1065))->click();
    EXPECT_TRUE(save(page->widget(), "tuner_edit"));
}

TEST_F(TunerScreenshots, InTheMainWindowTab) {
    fw::Dialog main(102);
    ASSERT_TRUE(main.create(nullptr));
    fw::TabControl* tabs = main.tabControl(1001);
    ASSERT_NE(tabs, nullptr);
    page = std::make_unique<BrixTuner>();
    ASSERT_TRUE(page->create(tabs));
    page->widget()->move(10, 30);
    page->widget()->show();
    for (const char* caption : {"Tuner", "Console", "Advanced", "Scanner"})
        tabs->insertItem(tabs->itemCount(), caption);
    tabs->setCurSel(0);
    liveValues();
    EXPECT_TRUE(QRect(QPoint(0, 0), tabs->size()).contains(page->widget()->geometry()));
    EXPECT_TRUE(save(main.widget(), "tuner_in_main_window"));
    page.reset();
}

}  // namespace
}  // namespace brix::testing
