// The tab control: items with parameters, quiet selection, and the two notifications in order.
#include <QTabBar>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

#include "framework/dialog.h"
#include "framework/tab_control.h"

namespace {

class MainLike : public fw::Dialog {
public:
    MainLike() : fw::Dialog(102) {}
    std::vector<std::pair<char, int>> seen;  // ('-' changing | '+' changed, curSel then)

private:
    void onChanging() { seen.emplace_back('-', tabControl(1001)->curSel()); }
    void onChanged() { seen.emplace_back('+', tabControl(1001)->curSel()); }

    FW_DECLARE_MESSAGE_MAP()
};

FW_BEGIN_MESSAGE_MAP(MainLike)
FW_ON_TAB_SELCHANGING(1001, onChanging)
FW_ON_TAB_SELCHANGE(1001, onChanged)
FW_END_MESSAGE_MAP()

TEST(TabControl, ItemsKeepTheirParameters) {
    fw::TabControl tabs;
    int a = 0;
    int b = 0;
    int c = 0;
    EXPECT_EQ(tabs.curSel(), -1);
    EXPECT_EQ(tabs.insertItem(0, "Tuner", &a), 0);
    EXPECT_EQ(tabs.insertItem(1, "Console", &b), 1);
    EXPECT_EQ(tabs.insertItem(99, "Scanner", &c), 2);  // out of range appends
    EXPECT_EQ(tabs.itemCount(), 3);
    EXPECT_EQ(tabs.curSel(), -1);  // inserting selects nothing
    EXPECT_EQ(tabs.itemParam(1), &b);
    EXPECT_EQ(tabs.itemParam(2), &c);
    EXPECT_EQ(tabs.itemParam(3), nullptr);
    EXPECT_EQ(tabs.itemParam(-1), nullptr);
    EXPECT_EQ(tabs.itemText(2), "Scanner");
    EXPECT_EQ(tabs.setCurSel(1), -1);
    EXPECT_EQ(tabs.insertItem(0, "First", nullptr), 0);  // the selection follows its tab
    EXPECT_EQ(tabs.curSel(), 2);
    EXPECT_EQ(tabs.tabBar()->currentIndex(), 2);
}

TEST(TabControl, UserSelectionNotifiesChangingThenChangedAndSetCurSelIsQuiet) {
    MainLike main;
    ASSERT_TRUE(main.create(nullptr));
    fw::TabControl* tabs = main.tabControl(1001);
    ASSERT_NE(tabs, nullptr);
    for (const char* name : {"Tuner", "Console", "Advanced", "Scanner"}) {
        tabs->insertItem(tabs->itemCount(), name, nullptr);
    }
    tabs->setCurSel(0);
    EXPECT_TRUE(main.seen.empty());
    EXPECT_EQ(main.curSel(1001), 0);

    main.widget()->show();
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(2).center());
    EXPECT_EQ(main.seen, (std::vector<std::pair<char, int>>{{'-', 0}, {'+', 2}}));
    EXPECT_EQ(tabs->curSel(), 2);

    main.seen.clear();
    main.setCurSel(1001, 3);  // quiet, through the dialog as well
    EXPECT_TRUE(main.seen.empty());
    EXPECT_EQ(tabs->curSel(), 3);
    main.destroyWindow();
}

}  // namespace
