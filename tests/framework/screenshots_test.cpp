// Renders the dialogs to PNG in the build tree (screenshots/) for people to look at, and checks
// what each shows: the About box's icon and texts, the typed frequency, each page in its tab.
#include <QString>

#include <gtest/gtest.h>

#include <memory>

#include "framework/dialog.h"
#include "framework/tab_control.h"
#include "picture_checks.h"
#include "res/resources.h"

namespace {

using brix::testing::areaOf;
using brix::testing::colours;

QImage save(QWidget* widget, const QString& name) {
    return brix::testing::savePicture(widget, QStringLiteral(BRIX_SCREENSHOT_DIR), name);
}

TEST(Screenshots, TopLevelDialogs) {
    fw::Dialog about(100);
    ASSERT_TRUE(about.create(nullptr));
    about.setItemText(1038, res::loadString(105));
    about.setItemText(1035, res::loadString(102));
    about.setItemText(1034, res::loadString(106));
    const QImage aboutPicture = save(about.widget(), "dialog_100_about");
    for (int id : {1038, 1035, 1034})
        EXPECT_GT(colours(areaOf(aboutPicture, about.widget(), about.item(id))), 1u) << id;

    fw::Dialog entry(267);
    ASSERT_TRUE(entry.create(nullptr));
    const QImage empty = save(entry.widget(), "dialog_267_empty");
    entry.setItemText(1014, "4525");
    const QImage typed = save(entry.widget(), "dialog_267_frequency");
    // The digits add the text's colours (and its anti-aliasing) to the field's frame and fill.
    EXPECT_GT(colours(areaOf(typed, entry.widget(), entry.item(1014))),
              colours(areaOf(empty, entry.widget(), entry.item(1014))) + 2);
}

TEST(Screenshots, MainWindowWithEachPage) {
    fw::Dialog main(102);
    ASSERT_TRUE(main.create(nullptr));
    fw::TabControl* tabs = main.tabControl(1001);
    ASSERT_NE(tabs, nullptr);
    const int pageIds[] = {129, 130, 131, 282};
    const char* captions[] = {"Tuner", "Console", "Advanced", "Scanner"};
    std::vector<std::unique_ptr<fw::Dialog>> pages;
    for (int i = 0; i < 4; ++i) {
        pages.push_back(std::make_unique<fw::Dialog>(pageIds[i]));
        ASSERT_TRUE(pages.back()->create(tabs));
        pages.back()->widget()->move(10, 30);
        tabs->insertItem(i, captions[i], pages.back().get());
    }
    fw::Dialog& advanced = *pages[2];
    for (int k = 0; k < 10; ++k) {
        for (const char* rate : {"2.56 ", "3.20 ", "5.12 ", "6.82 ", "9.45 "}) {
            advanced.addString(1039 + k, rate);
        }
    }
    advanced.setItemText(1023, "Home");
    advanced.setItemText(1013, "452.5");
    advanced.setCurSel(1039, 2);
    pages[3]->checkItem(1047, true);
    pages[3]->enableItem(1041, true);
    pages[3]->enableItem(1044, true);
    pages[3]->checkItem(1044, true);

    // No two tabs look the same: each shows its own page.
    std::vector<QImage> inTab{save(main.widget(), "dialog_102_main")};
    for (int i = 1; i < 4; ++i) {
        tabs->setCurSel(i);
        for (int j = 0; j < 4; ++j)
            pages[j]->widget()->setVisible(j == i);
        inTab.push_back(save(main.widget(), QStringLiteral("dialog_102_with_%1").arg(pageIds[i])));
        save(pages[i]->widget(), QStringLiteral("dialog_%1").arg(pageIds[i]));
    }
    for (std::size_t a = 0; a < inTab.size(); ++a)
        for (std::size_t b = a + 1; b < inTab.size(); ++b)
            EXPECT_NE(inTab[a], inTab[b]) << a << " and " << b;
    for (auto& page : pages)
        page->destroyWindow();
}

}  // namespace
