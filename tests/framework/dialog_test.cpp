// Dialog behaviour: message maps, the modal run and its end codes, timers, controls by id.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

#include "framework/dialog.h"
#include "framework/dlg_int.h"

namespace {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

constexpr fw::ControlTemplate kControls[] = {
    {1000, ControlKind::DefPushButton, "&Set", cs::TabStop, 10, 100, 50, 14},
    {1001, ControlKind::PushButton, "&Get", cs::TabStop, 70, 100, 50, 14},
    {1002, ControlKind::AutoCheckBox, "Check", cs::TabStop, 10, 10, 60, 10},
    {1003, ControlKind::DropDownList, "", cs::TabStop, 10, 30, 50, 60},
    {1004, ControlKind::Edit, "", cs::Border | cs::TabStop, 10, 50, 80, 13},
    {1005, ControlKind::Placeholder, "", 0, 100, 10, 40, 20},
    {1006, ControlKind::PushButton, "Disabled", cs::Disabled, 130, 100, 50, 14},
    {1, ControlKind::PushButton, "OK", cs::TabStop, 130, 120, 50, 14},
    {2, ControlKind::PushButton, "Cancel", cs::TabStop, 70, 120, 50, 14},
};
constexpr fw::DialogTemplate kModal{
    900, "Test", "MS Sans Serif", 8, 200, 140, ds::Popup | ds::Caption | ds::SysMenu, kControls};
constexpr fw::DialogTemplate kPage{900, "", "MS Sans Serif", 8, 200, 140, ds::Child, kControls};

class Recorder : public fw::Dialog {
public:
    explicit Recorder(const fw::DialogTemplate& t) : fw::Dialog(t) {}

    std::vector<int> calls;
    std::vector<int> timerIds;
    std::vector<QPoint> doubleClicks;
    QString editAtDestroy;
    bool timerRunningAtDestroy = true;
    int destroyCount = 0;
    std::function<void()> onInit;

protected:
    bool onInitDialog() override {
        if (onInit)
            onInit();
        return true;
    }
    void onDestroy() override {
        ++destroyCount;
        editAtDestroy = itemText(1004);
        timerRunningAtDestroy = isTimerRunning(7);
    }
    void onTimer(int id) override { timerIds.push_back(id); }
    void onLButtonDblClk(QPoint pos) override { doubleClicks.push_back(pos); }

private:
    void onSet() { calls.push_back(1000); }
    void onGet() { calls.push_back(1001); }
    void onCheck() { calls.push_back(1002); }
    void onPick() { calls.push_back(1003); }

    FW_DECLARE_MESSAGE_MAP()
};

FW_BEGIN_MESSAGE_MAP(Recorder)
FW_ON_CLICKED(1000, onSet)
FW_ON_CLICKED(1001, onGet)
FW_ON_CLICKED(1002, onCheck)
FW_ON_SELCHANGE(1003, onPick)
FW_END_MESSAGE_MAP()

// Runs `action` inside the modal loop that doModal is about to start.
void whenModal(std::function<void()> action) {
    QTimer::singleShot(0, std::move(action));
}

TEST(MessageMap, ClicksReachTheirHandlersByIdAndDisabledButtonsDoNot) {
    QWidget host;
    Recorder page(kPage);
    ASSERT_TRUE(page.create(&host));
    page.itemAs<QPushButton>(1001)->click();
    page.itemAs<QPushButton>(1000)->click();
    page.itemAs<QAbstractButton>(1002)->click();
    page.itemAs<QPushButton>(1006)->click();  // disabled: no notification
    EXPECT_EQ(page.calls, (std::vector<int>{1001, 1000, 1002}));
    EXPECT_TRUE(page.isItemChecked(1002));  // the check box toggled itself first
}

TEST(MessageMap, ListSelectionByTheUserNotifiesAndSetCurSelDoesNot) {
    QWidget host;
    Recorder page(kPage);
    ASSERT_TRUE(page.create(&host));
    EXPECT_EQ(page.addString(1003, "2.56 "), 0);
    EXPECT_EQ(page.addString(1003, "3.20 "), 1);
    EXPECT_EQ(page.curSel(1003), -1);  // no selection until one is made
    page.setCurSel(1003, 1);
    EXPECT_EQ(page.curSel(1003), 1);
    EXPECT_TRUE(page.calls.empty());
    emit page.itemAs<QComboBox>(1003)->activated(0);
    EXPECT_EQ(page.calls, (std::vector<int>{1003}));
    page.setCurSel(1003, 5);  // out of range clears
    EXPECT_EQ(page.curSel(1003), -1);
    EXPECT_EQ(page.itemText(1003), "");
    page.setCurSel(1003, 0);
    EXPECT_EQ(page.itemText(1003), "2.56 ");
    EXPECT_EQ(page.addString(1004, "not a list"), -1);
    EXPECT_EQ(page.curSel(1004), -1);
}

TEST(ModalRun, EndCodesOfOkCancelEscapeAndEndDialog) {
    {
        Recorder dialog(kModal);
        whenModal([&] { dialog.itemAs<QPushButton>(1)->click(); });
        EXPECT_EQ(dialog.doModal(), fw::IDOK);
    }
    {
        Recorder dialog(kModal);
        whenModal([&] { dialog.itemAs<QPushButton>(2)->click(); });
        EXPECT_EQ(dialog.doModal(), fw::IDCANCEL);
    }
    {
        Recorder dialog(kModal);
        whenModal([&] { QTest::keyClick(dialog.widget(), Qt::Key_Escape); });
        EXPECT_EQ(dialog.doModal(), fw::IDCANCEL);
    }
    {
        Recorder dialog(kModal);
        whenModal([&] { dialog.widget()->close(); });
        EXPECT_EQ(dialog.doModal(), fw::IDCANCEL);
    }
    {
        Recorder dialog(kModal);
        whenModal([&] { dialog.endDialog(42); });
        EXPECT_EQ(dialog.doModal(), 42);
        EXPECT_EQ(dialog.widget(), nullptr);  // destroyed before doModal returned
        EXPECT_EQ(dialog.destroyCount, 1);
    }
    EXPECT_EQ(QApplication::topLevelWidgets().size(), 0);
}

TEST(ModalRun, EndDialogDuringInitialisationSkipsTheRun) {
    Recorder dialog(kModal);
    dialog.onInit = [&] { dialog.endDialog(7); };
    EXPECT_EQ(dialog.doModal(), 7);
    EXPECT_EQ(dialog.destroyCount, 1);
}

TEST(ModalRun, EnterPressesTheDefaultButton) {
    Recorder dialog(kModal);
    whenModal([&] {
        dialog.item(1004)->setFocus();
        QTest::keyClick(dialog.item(1004), Qt::Key_Return);
        dialog.endDialog(fw::IDOK);
    });
    dialog.doModal();
    EXPECT_EQ(dialog.calls, (std::vector<int>{1000}));
}

TEST(ModalRun, OnDestroySeesTheControlsAfterOkAndAfterCancel) {
    for (int button : {fw::IDOK, fw::IDCANCEL}) {
        Recorder dialog(kModal);
        whenModal([&] {
            dialog.setItemText(1004, "4525");
            dialog.itemAs<QPushButton>(button)->click();
        });
        EXPECT_EQ(dialog.doModal(), button);
        EXPECT_EQ(dialog.editAtDestroy, "4525");
    }
}

TEST(Timers, RunByIdStopAndStopWithTheWindow) {
    QWidget host;
    Recorder page(kPage);
    EXPECT_FALSE(page.setTimer(7, 5));  // no window yet
    ASSERT_TRUE(page.create(&host));
    EXPECT_FALSE(page.isTimerRunning(7));
    ASSERT_TRUE(page.setTimer(7, 5));
    ASSERT_TRUE(page.setTimer(8, 5));
    EXPECT_TRUE(page.isTimerRunning(7));
    EXPECT_TRUE(QTest::qWaitFor([&] { return page.timerIds.size() >= 4; }, 2000));
    EXPECT_NE(std::find(page.timerIds.begin(), page.timerIds.end(), 7), page.timerIds.end());
    EXPECT_NE(std::find(page.timerIds.begin(), page.timerIds.end(), 8), page.timerIds.end());
    page.killTimer(8);
    EXPECT_FALSE(page.isTimerRunning(8));
    page.timerIds.clear();
    QTest::qWait(30);
    EXPECT_EQ(std::count(page.timerIds.begin(), page.timerIds.end(), 8), 0);
    page.destroyWindow();
    EXPECT_FALSE(page.timerRunningAtDestroy);
    EXPECT_FALSE(page.isTimerRunning(7));
    EXPECT_EQ(page.destroyCount, 1);
    page.destroyWindow();  // again: nothing
    EXPECT_EQ(page.destroyCount, 1);
}

TEST(Pages, DestroyedWithTheirParentCallOnDestroyOnce) {
    auto* host = new QWidget;
    Recorder page(kPage);
    ASSERT_TRUE(page.create(host));
    page.setItemText(1004, "kept");
    delete host;
    EXPECT_EQ(page.widget(), nullptr);
    EXPECT_EQ(page.destroyCount, 1);
    EXPECT_EQ(page.editAtDestroy, "kept");
    EXPECT_EQ(page.item(1004), nullptr);
}

TEST(Pages, ItemStateIsTheControlsOwnEvenOnAHiddenDisabledPage) {
    QWidget host;
    Recorder page(kPage);
    ASSERT_TRUE(page.create(&host));
    EXPECT_FALSE(page.widget()->isVisibleTo(&host));  // child templates start hidden
    page.widget()->setEnabled(false);
    EXPECT_TRUE(page.isItemEnabled(1000));
    EXPECT_FALSE(page.isItemEnabled(1006));
    page.enableItem(1006, true);
    EXPECT_TRUE(page.isItemEnabled(1006));
    page.showItem(1001, false);
    EXPECT_TRUE(page.item(1001)->isHidden());
    EXPECT_FALSE(page.isItemEnabled(4242));
    EXPECT_FALSE(page.isItemChecked(4242));
    page.setItemText(4242, "nothing");  // unknown ids are ignored
    EXPECT_EQ(page.itemText(4242), "");
}

TEST(Pages, DoubleClickReportsPagePixelsAlsoThroughControls) {
    QWidget host;
    Recorder page(kPage);
    ASSERT_TRUE(page.create(&host));
    page.widget()->show();
    host.show();
    QTest::mouseDClick(page.widget(), Qt::LeftButton, {}, QPoint(46, 13));
    // A custom control that lets mouse input through passes the click to the page.
    QWidget* placeholder = page.item(1005);
    placeholder->setAttribute(Qt::WA_TransparentForMouseEvents);
    const QPoint inside = placeholder->geometry().center();
    QTest::mouseDClick(page.widget(), Qt::LeftButton, {}, inside);
    QTest::mouseDClick(page.widget(), Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_EQ(page.doubleClicks, (std::vector<QPoint>{QPoint(46, 13), inside}));
}

TEST(Pages, AttachControlKeepsIdRectangleStateAndNotifications) {
    QWidget host;
    Recorder page(kPage);
    ASSERT_TRUE(page.create(&host));
    const QRect rect = page.item(1001)->geometry();
    page.enableItem(1001, false);
    auto* custom = new QPushButton("custom");
    ASSERT_TRUE(page.attachControl(1001, custom));
    EXPECT_EQ(page.item(1001), custom);
    EXPECT_EQ(custom->parentWidget(), page.widget());
    EXPECT_EQ(custom->geometry(), rect);
    EXPECT_FALSE(page.isItemEnabled(1001));
    EXPECT_EQ(page.widget()->findChildren<QPushButton*>(fw::controlObjectName(1001)).size(), 1);
    page.enableItem(1001, true);
    custom->click();
    EXPECT_EQ(page.calls, (std::vector<int>{1001}));
    EXPECT_FALSE(page.attachControl(4242, new QWidget(page.widget())));

    // A label's mnemonic follows its control to the replacement.
    fw::Dialog entry(267);
    ASSERT_TRUE(entry.create(&host));
    auto* edit = new QLineEdit;
    ASSERT_TRUE(entry.attachControl(1014, edit));
    EXPECT_EQ(entry.widget()->findChild<QLabel*>()->buddy(), edit);
    EXPECT_FALSE(page.attachControl(1001, nullptr));
}

TEST(Pages, TextAndNumbersOfControls) {
    QWidget host;
    Recorder page(kPage);
    ASSERT_TRUE(page.create(&host));
    page.setItemText(1004, QStringLiteral("452.5678901"));
    EXPECT_EQ(page.itemTextLimited(1004, 9), "452.56789");
    EXPECT_EQ(page.itemTextLimited(1004, 0), "");
    EXPECT_EQ(page.itemTextLimited(1004, 100), "452.5678901");
    page.setItemText(1004, QString::fromUtf16(u"ab\U0001F600"));
    EXPECT_EQ(page.itemTextLimited(1004, 3), "ab");  // no half character
    page.setItemInt(1004, static_cast<std::uint32_t>(-5), true);
    EXPECT_EQ(page.itemText(1004), "-5");
    page.setItemInt(1004, 4294967295u, false);
    EXPECT_EQ(page.itemText(1004), "4294967295");
    bool translated = false;
    page.setItemText(1004, " 12x");
    EXPECT_EQ(page.itemInt(1004, &translated, true), 12u);
    EXPECT_TRUE(translated);
    EXPECT_EQ(page.itemInt(4242, &translated, true), 0u);
    EXPECT_FALSE(translated);
}

struct DlgIntCase {
    const char16_t* text;
    bool isSigned;
    std::uint32_t value;
    bool translated;
};

TEST(DlgInt, ReadsNumbersTheWayDialogControlsDo) {
    const DlgIntCase cases[] = {
        {u"4525", true, 4525, true},
        {u"99999", true, 99999, true},
        {u"-1", true, 0xFFFFFFFFu, true},
        {u"", true, 0, false},
        {u"abc", true, 0, false},
        {u" 12x", true, 12, true},
        {u"\t 7", true, 7, true},
        {u"-", true, 0, false},
        {u"- 5", true, 0, false},
        {u"+5", true, 0, false},
        {u"2147483647", true, 2147483647u, true},
        {u"2147483648", true, 0, false},  // signed overflow
        {u"-2147483648", true, 0x80000000u, true},
        {u"-2147483649", true, 0, false},
        {u"99999999999999999999", true, 0, false},
        {u"0000000000000000000042", true, 42, true},
        {u"4294967295", false, 4294967295u, true},
        {u"4294967296", false, 0, false},
        {u"-1", false, 0, false},
        {u"\u0661\u0662", true, 0, false},  // only ASCII digits count
    };
    for (const DlgIntCase& c : cases) {
        const QString text = QString::fromUtf16(c.text);
        bool translated = !c.translated;
        EXPECT_EQ(fw::parseDlgInt(text, &translated, c.isSigned), c.value) << text.toStdString();
        EXPECT_EQ(translated, c.translated) << text.toStdString();
    }
    EXPECT_EQ(fw::parseDlgInt(u"17", nullptr, true), 17u);  // translated is optional
}

}  // namespace
