// Renders the Tuner to PNG in the build tree (screenshots/) for people to look at: browse mode
// with live values, edit mode, and the page in the main window's tab. Run once at 1x and once
// with QT_SCALE_FACTOR=2 (files end in @2x). Checks what the pictures show: the displays drawn,
// the action buttons' faces changed by edit mode, the page inside the tab.

#include <QString>

#include "framework/tab_control.h"
#include "picture_checks.h"
#include "tuner_test_support.h"

namespace brix::testing {
namespace {

QString suffix(const QWidget* w) {
    const qreal dpr = w->devicePixelRatioF();
    return dpr > 1.0 ? QStringLiteral("@%1x").arg(dpr) : QString();
}

QImage save(QWidget* widget, const QString& name) {
    return savePicture(widget, QStringLiteral(BRIX_SCREENSHOT_DIR), name + suffix(widget));
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
    QWidget* w = page->widget();
    const QImage browse = save(w, "tuner_browse");
    // Digits on their display face: the face's colour and the lit segments' at least.
    EXPECT_GT(colours(areaOf(browse, w, page->item(BrixTuner::kReceiveFrequency))), 2u);

    page->tuneSetButton()->click();
    setSlider(1006, 3);
    page->item(1061)->setFocus();
    qobject_cast<QAbstractButton*>(page->item(1061))->click();
    qobject_cast<QAbstractButton*>(page->item(1065))->click();
    const QImage edit = save(w, "tuner_edit");
    // Tune becomes Set, and the stepped value shows.
    EXPECT_NE(areaOf(edit, w, page->tuneSetButton()), areaOf(browse, w, page->tuneSetButton()));
    EXPECT_NE(areaOf(edit, w, page->item(BrixTuner::kReceiveFrequency)),
              areaOf(browse, w, page->item(BrixTuner::kReceiveFrequency)));
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
    const QImage inTab = save(main.widget(), "tuner_in_main_window");
    const QImage alone = page->widget()->grab().toImage();
    EXPECT_EQ(areaOf(inTab, main.widget(), page->widget()), alone);
    page.reset();
}

}  // namespace
}  // namespace brix::testing
