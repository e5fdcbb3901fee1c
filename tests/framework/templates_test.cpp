// The templates build into widgets with the template's ids and rectangles, and the strings are
// the tool's own.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <memory>

#include "framework/dialog.h"
#include "framework/tab_control.h"
#include "res/resources.h"

namespace {

using fw::ControlKind;

std::unique_ptr<fw::Dialog> build(int id, QWidget* parent) {
    auto dialog = std::make_unique<fw::Dialog>(id);
    EXPECT_TRUE(dialog->create(parent)) << id;
    return dialog;
}

class TemplatesTest : public ::testing::TestWithParam<int> {};

TEST_P(TemplatesTest, EveryControlHasItsIdAndRectangle) {
    QWidget host;
    const auto dialog = build(GetParam(), &host);
    const fw::DialogTemplate& t = dialog->dialogTemplate();
    EXPECT_EQ(dialog->widget()->size(), fw::dialogUnitsToPixels(0, 0, t.cx, t.cy).size());
    for (const fw::ControlTemplate& c : t.controls) {
        if (c.id == -1)
            continue;
        const QWidget* w = dialog->item(c.id);
        ASSERT_NE(w, nullptr) << "control " << c.id;
        QRect expected = fw::dialogUnitsToPixels(c);
        if (c.kind == ControlKind::DropDownList)
            expected.setHeight(21);  // closed list
        if (c.kind == ControlKind::AutoCheckBox) {
            // Check boxes may run on to the right so that their text is not cut off.
            EXPECT_EQ(w->geometry().topLeft(), expected.topLeft()) << "control " << c.id;
            EXPECT_EQ(w->height(), expected.height()) << "control " << c.id;
            EXPECT_GE(w->width(), expected.width()) << "control " << c.id;
            EXPECT_GE(w->width(), w->sizeHint().width()) << "control " << c.id;
        } else {
            EXPECT_EQ(w->geometry(), expected) << "control " << c.id;
        }
        EXPECT_EQ(w->objectName(), fw::controlObjectName(c.id));
        // Everything stays inside the dialog.
        EXPECT_TRUE(QRect(QPoint(0, 0), dialog->widget()->size()).contains(w->geometry()))
            << "control " << c.id;
    }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, TemplatesTest,
                         ::testing::Values(100, 102, 129, 130, 131, 267, 282));

TEST(DialogUnits, ConvertCornerByCorner) {
    EXPECT_EQ(fw::dialogUnitsToPixels(7, 2, 347, 196), QRect(10, 3, 521, 318));
    EXPECT_EQ(fw::dialogUnitsToPixels(0, 0, 418, 201), QRect(0, 0, 627, 326));
    EXPECT_EQ(fw::dialogUnitsToPixels(4, 8, 4, 8), QRect(6, 13, 6, 13));
}

TEST(Templates, UnknownIdGivesEmptyTemplateThatBuildsNothing) {
    EXPECT_EQ(res::findDialogTemplate(999), nullptr);
    EXPECT_EQ(res::dialogTemplate(999).id, 0);
    fw::Dialog dialog(999);
    EXPECT_FALSE(dialog.create(nullptr));
    EXPECT_EQ(dialog.doModal(), -1);
    EXPECT_EQ(dialog.item(1), nullptr);
}

TEST(Templates, MainWindowHasTabAndButtons) {
    const fw::DialogTemplate& t = res::dialogTemplate(102);
    EXPECT_STREQ(t.caption, "Brix - Tools");
    EXPECT_EQ(t.cx, 418);
    EXPECT_EQ(t.cy, 201);
    QWidget host;
    const auto dialog = build(102, &host);
    ASSERT_NE(dialog->tabControl(1001), nullptr);
    EXPECT_EQ(dialog->item(1001)->geometry(), QRect(10, 3, 521, 318));
    EXPECT_EQ(dialog->itemText(1040), "&Help");
    EXPECT_EQ(dialog->itemText(16), "&About");
    EXPECT_EQ(dialog->itemText(2), "&Exit");
    const fw::ControlTemplate* about = t.find(16);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->kind, ControlKind::DefPushButton);

    // A page placed at (10, 30) in the tab control fits inside it.
    const fw::DialogTemplate& page = res::dialogTemplate(130);
    const QRect pageRect(QPoint(10, 30), fw::dialogUnitsToPixels(0, 0, page.cx, page.cy).size());
    EXPECT_TRUE(QRect(QPoint(0, 0), dialog->item(1001)->size()).contains(pageRect));
}

TEST(Templates, ConsoleListLeavesRoomForItsColumns) {
    QWidget host;
    const auto dialog = build(130, &host);
    EXPECT_NE(qobject_cast<QCheckBox*>(dialog->item(1037)), nullptr);
    EXPECT_FALSE(dialog->isItemChecked(1037));
    EXPECT_GE(dialog->item(1029)->width(), 80 + 390);
}

TEST(Templates, AdvancedRowsTwoAndThreeSwapTheirLabelEdits) {
    QWidget host;
    const auto dialog = build(131, &host);
    const int row2 = fw::dialogUnitsToPixelsY(76);
    const int row3 = fw::dialogUnitsToPixelsY(91);
    EXPECT_EQ(dialog->item(1025)->y(), row2);  // label of entry 2 ...
    EXPECT_EQ(dialog->item(1014)->y(), row2);  // ... beside the frequency of entry 1
    EXPECT_EQ(dialog->item(1024)->y(), row3);
    EXPECT_EQ(dialog->item(1015)->y(), row3);
    for (int k = 0; k < 10; ++k) {
        // Entry k: label, frequency and bit rate on one row.
        EXPECT_EQ(dialog->item(1013 + k)->y(), dialog->item(1039 + k)->y()) << k;
        EXPECT_NE(qobject_cast<QLineEdit*>(dialog->item(1023 + k)), nullptr);
        EXPECT_NE(qobject_cast<QComboBox*>(dialog->item(1039 + k)), nullptr);
        EXPECT_EQ(dialog->curSel(1039 + k), -1);
    }
    EXPECT_EQ(dialog->itemText(1036), "Unavailable");
    EXPECT_EQ(dialog->itemText(1000), "&Set");
    EXPECT_EQ(dialog->itemText(1001), "&Get");
    EXPECT_EQ(dialog->item(1000)->geometry(), fw::dialogUnitsToPixels(106, 144, 49, 12));
}

TEST(Templates, ScannerRateBoxesStartDisabled) {
    QWidget host;
    const auto dialog = build(282, &host);
    for (int id : {1041, 1042, 1043, 1051, 1044, 1045, 1046, 1052}) {
        EXPECT_FALSE(dialog->isItemEnabled(id)) << id;
        EXPECT_TRUE(dialog->itemText(id).isEmpty()) << id;
    }
    for (int id : {1047, 1048, 1049, 1053, 1000, 1050, 1054})
        EXPECT_TRUE(dialog->isItemEnabled(id));
    EXPECT_EQ(dialog->itemText(1053), "Other ( 100 KHz step )");
    EXPECT_EQ(dialog->itemText(1055), "Unavailable");
    EXPECT_EQ(dialog->itemText(1054), "&Default");
    // Each row: plan box to the right of its two rate boxes, all on one line.
    EXPECT_EQ(dialog->item(1051)->y(), dialog->item(1053)->y());
    EXPECT_LT(dialog->item(1051)->x(), dialog->item(1052)->x());
}

TEST(Templates, AboutAndFrequencyEntry) {
    QWidget host;
    const auto about = build(100, &host);
    EXPECT_EQ(about->itemText(1033), "   Version");
    EXPECT_EQ(about->itemText(1035), "4 .2");
    const auto entry = build(267, &host);
    EXPECT_STREQ(entry->dialogTemplate().caption, "Enter Frequency");
    EXPECT_NE(qobject_cast<QLineEdit*>(entry->item(1014)), nullptr);
    EXPECT_TRUE(entry->itemText(1014).isEmpty());
    EXPECT_EQ(entry->itemText(1), "OK");
    EXPECT_EQ(entry->itemText(2), "Cancel");
    // "&Frequency" is a mnemonic for the edit under it.
    const auto labels = entry->widget()->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels.front()->buddy(), entry->item(1014));
}

TEST(Strings, TheTableHoldsTheToolsTexts) {
    EXPECT_EQ(res::loadString(101), "About Brix Tool...");
    EXPECT_EQ(res::loadString(102), "4 .2");
    EXPECT_EQ(res::loadString(103), "Brix Tool ");
    EXPECT_EQ(res::loadString(104), "Brix Tool Error");
    EXPECT_FALSE(res::loadString(105).isEmpty());
    EXPECT_FALSE(res::loadString(106).isEmpty());
    EXPECT_TRUE(res::loadString(107).isEmpty());
    EXPECT_TRUE(res::loadString(-1).isEmpty());
}

}  // namespace
