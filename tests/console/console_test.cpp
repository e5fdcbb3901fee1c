// The Console page driven through its real widgets: rows, trimming, scrolling, the message log
// and the statistics switch.

#include <QAbstractButton>
#include <QApplication>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidgetItem>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "app/tool_app.h"
#include "brix_debug.h"
#include "link/link_state.h"

namespace brix {
namespace {

std::string fileBytes(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::tm fixedTime() {
    std::tm t{};
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    t.tm_mday = 7;
    t.tm_mon = 11;   // December
    t.tm_year = 99;  // 1999
    return t;
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        theApp.ExitInstance();
        resetConsoleLogLineCount();
        setConsoleClock(fixedTime);
        page = std::make_unique<BrixDebug>();
        ASSERT_TRUE(page->create(nullptr));
        page->widget()->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(page->widget()));
        list = page->list();
        ASSERT_NE(list, nullptr);
    }

    void TearDown() override {
        if (page != nullptr)
            page->destroyWindow();
        page.reset();
        setConsoleClock(nullptr);
        theApp.ExitInstance();
        setStatisticsMessages(0);
    }

    // Opens the message log as the application does with "-LogFile", fully buffered so that
    // only an explicit flush (or a full buffer) reaches the file.
    void openMessageLog() {
        logPath = dir.filePath(QStringLiteral("radio.log"));
        theApp.messageLog = std::fopen(logPath.toLocal8Bit().constData(), "a+");
        ASSERT_NE(theApp.messageLog, nullptr);
        std::setvbuf(theApp.messageLog, nullptr, _IOFBF, 1 << 16);
        theApp.logEnabled = true;
    }

    void add(int n, const char* prefix = "message ", bool log = false) {
        for (int i = 1; i <= n; ++i) {
            const std::string text = prefix + std::to_string(++sent);
            page->addConsoleMessage(MessageKind::Embedded, text.c_str(), log);
        }
    }

    QString rowText(int row, int column) const {
        const QTreeWidgetItem* item = list->topLevelItem(row);
        return item != nullptr ? item->text(column) : QStringLiteral("<none>");
    }

    bool lastRowFullyVisible() const {
        const QTreeWidgetItem* last = list->topLevelItem(list->topLevelItemCount() - 1);
        return last != nullptr && list->viewport()->rect().contains(list->visualItemRect(last));
    }

    QTemporaryDir dir;
    QString logPath;
    std::unique_ptr<BrixDebug> page;
    ConsoleList* list = nullptr;
    int sent = 0;
};

TEST_F(ConsoleTest, PageHasTwoColumnsAndFourKindPictures) {
    ASSERT_EQ(list->columnCount(), 2);
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("From"));
    EXPECT_EQ(list->headerItem()->text(1), QStringLiteral("Message"));
    EXPECT_EQ(list->columnWidth(0), 80);
    EXPECT_EQ(list->columnWidth(1), 390);
    EXPECT_EQ(list->objectName(), QStringLiteral("ctl1029"));  // found by its template id
    for (int k = 0; k < kMessageKindCount; ++k) {
        const QIcon& icon = page->kindIcon(static_cast<MessageKind>(k));
        ASSERT_FALSE(icon.isNull()) << k;
        EXPECT_EQ(icon.pixmap(16, 16).deviceIndependentSize().toSize(), QSize(16, 16));
    }
    EXPECT_FALSE(page->isItemChecked(BrixDebug::kStatisticsCheckId));
}

TEST_F(ConsoleTest, RowsShowKindNameAndTextAndOutOfRangeKindsReadAsError) {
    page->addConsoleMessage(MessageKind::Embedded, "from the modem", false);
    page->addConsoleMessage(MessageKind::Driver, "driver", false);
    page->addConsoleMessage(MessageKind::Application, "application", false);
    page->addConsoleMessage(MessageKind::Error, "", false);
    page->addConsoleMessage(static_cast<MessageKind>(7), "bad kind", false);
    page->addConsoleMessage(static_cast<MessageKind>(-1), nullptr, false);

    ASSERT_EQ(list->topLevelItemCount(), 6);
    EXPECT_EQ(page->rowCount(), 6);
    EXPECT_EQ(rowText(0, 0), QStringLiteral("Embedded"));
    EXPECT_EQ(rowText(0, 1), QStringLiteral("from the modem"));
    EXPECT_EQ(rowText(1, 0), QStringLiteral("Driver"));
    EXPECT_EQ(rowText(2, 0), QStringLiteral("Application"));
    EXPECT_EQ(rowText(3, 0), QStringLiteral("Error"));
    EXPECT_EQ(rowText(3, 1), QString());
    EXPECT_EQ(rowText(4, 0), QStringLiteral("Error"));
    EXPECT_EQ(rowText(4, 1), QStringLiteral("bad kind"));
    EXPECT_EQ(rowText(5, 0), QStringLiteral("Error"));
    EXPECT_EQ(rowText(5, 1), QString());
    // Every byte of a modem line shows as one character.
    page->addConsoleMessage(MessageKind::Embedded, "caf\xe9", false);
    EXPECT_EQ(rowText(6, 1), QStringLiteral("caf\u00e9"));
}

TEST_F(ConsoleTest, The201stMessageDropsTheOldestFifty) {
    add(200);
    EXPECT_EQ(list->topLevelItemCount(), 200);
    EXPECT_EQ(page->rowCount(), 200);
    EXPECT_EQ(rowText(0, 1), QStringLiteral("message 1"));

    add(1);
    EXPECT_EQ(list->topLevelItemCount(), 151);
    EXPECT_EQ(page->rowCount(), 151);
    EXPECT_EQ(rowText(0, 1), QStringLiteral("message 51"));
    EXPECT_EQ(rowText(150, 1), QStringLiteral("message 201"));
    EXPECT_EQ(list->trimming, 0);
    EXPECT_EQ(list->paintSuspended, 0);

    // The next block goes 50 messages later, and the list keeps painting in between.
    add(49);
    EXPECT_EQ(list->topLevelItemCount(), 200);
    add(1);
    EXPECT_EQ(list->topLevelItemCount(), 151);
    EXPECT_EQ(rowText(0, 1), QStringLiteral("message 101"));
    list->viewport()->repaint();
    EXPECT_EQ(list->suppressedPaints(), 0);
}

TEST_F(ConsoleTest, FollowsTheNewestRowOnlyWhileTheLastRowIsInView) {
    add(60);  // more than the list shows at once
    QTest::qWait(2 * ConsoleList::kDrawEveryMs);
    QScrollBar* bar = list->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_TRUE(lastRowFullyVisible());
    EXPECT_EQ(bar->value(), bar->maximum());

    // The user scrolls up to read: new rows leave the view where it is.
    bar->setValue(0);
    add(5);
    QTest::qWait(2 * ConsoleList::kDrawEveryMs);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(lastRowFullyVisible());

    // Back at the end, the view follows again.
    bar->setValue(bar->maximum());
    add(1);
    QTest::qWait(2 * ConsoleList::kDrawEveryMs);
    EXPECT_TRUE(lastRowFullyVisible());
    EXPECT_EQ(rowText(list->topLevelItemCount() - 1, 1), QStringLiteral("message 66"));
}

TEST_F(ConsoleTest, KeysAndTheWheelDuringABurstKeepTheViewWhereTheUserPutIt) {
    add(60);
    QTest::qWait(2 * ConsoleList::kDrawEveryMs);
    QScrollBar* bar = list->verticalScrollBar();
    ASSERT_EQ(bar->value(), bar->maximum());
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(list->topLevelItemCount() - 1));

    const auto scrollDuringBurst = [&](const std::function<void()>& scroll) {
        add(3);  // a burst: the later rows wait for the next drawing, which would follow them
        ASSERT_TRUE(list->followPending());
        scroll();
        const int where = bar->value();
        QTest::qWait(2 * ConsoleList::kDrawEveryMs);
        EXPECT_EQ(bar->value(), where);
        EXPECT_LT(bar->value(), bar->maximum());
    };
    scrollDuringBurst([&] { QTest::keyClick(list, Qt::Key_PageUp); });
    bar->setValue(bar->maximum());
    scrollDuringBurst([&] { QTest::keyClick(list, Qt::Key_Home); });
    bar->setValue(bar->maximum());
    scrollDuringBurst([&] {
        const QPoint at = list->viewport()->rect().center();
        QWheelEvent wheel(at, list->viewport()->mapToGlobal(at), QPoint(), QPoint(0, 240),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(list->viewport(), &wheel);
    });
}

TEST_F(ConsoleTest, PartlyVisibleLastRowStillCountsAsInView) {
    add(60);
    QTest::qWait(2 * ConsoleList::kDrawEveryMs);
    QScrollBar* bar = list->verticalScrollBar();
    // One step up leaves the last row partly or wholly out of view, depending on the row
    // height; scroll so that only its top pixels show.
    const QTreeWidgetItem* last = list->topLevelItem(59);
    bar->setValue(bar->maximum() - 1);
    QTest::qWait(2 * ConsoleList::kDrawEveryMs);
    const QRect lastRect = list->visualItemRect(last);
    if (!lastRect.intersects(list->viewport()->rect()) ||
        list->viewport()->rect().contains(lastRect)) {
        GTEST_SKIP() << "scrolling is by whole rows in this style";
    }
    add(1);
    QTest::qWait(2 * ConsoleList::kDrawEveryMs);
    EXPECT_TRUE(lastRowFullyVisible());
}

TEST_F(ConsoleTest, LogLineFormatByteForByte) {
    EXPECT_EQ(consoleLogLine(fixedTime(), MessageKind::Embedded, "RF REPORT:"),
              " 9: 5: 3  7/12/1999 \tEmbedded RF REPORT:\r\n");
    std::tm late{};
    late.tm_hour = 23;
    late.tm_min = 59;
    late.tm_sec = 58;
    late.tm_mday = 31;
    late.tm_mon = 0;
    late.tm_year = 126;
    EXPECT_EQ(consoleLogLine(late, MessageKind::Error, "x"), "23:59:58 31/ 1/2026 \tError x\r\n");
    EXPECT_EQ(consoleLogLine(late, MessageKind::Error, ""), "23:59:58 31/ 1/2026 \tError \r\n");
    // A text with line feeds of its own (a modem's debug text): every line end is CR LF.
    EXPECT_EQ(consoleLogLine(late, MessageKind::Embedded, "a\nb\n"),
              "23:59:58 31/ 1/2026 \tEmbedded a\r\nb\r\n\r\n");
}

TEST_F(ConsoleTest, LoggedMessagesReachTheLogAndUnloggedOnesDoNot) {
    openMessageLog();
    page->addConsoleMessage(MessageKind::Embedded, "RF REPORT:", true);
    page->addConsoleMessage(MessageKind::Embedded, "STATISTICS REPORT: Time period = 7.00 sec",
                            false);
    page->addConsoleMessage(MessageKind::Error, "", true);
    page->addConsoleMessage(static_cast<MessageKind>(9), "odd", true);
    std::fflush(theApp.messageLog);

    EXPECT_EQ(fileBytes(logPath),
              " 9: 5: 3  7/12/1999 \tEmbedded RF REPORT:\r\n"
              " 9: 5: 3  7/12/1999 \tError \r\n"
              " 9: 5: 3  7/12/1999 \tError odd\r\n");
    EXPECT_EQ(consoleLogLineCount(), 3);
    EXPECT_EQ(list->topLevelItemCount(), 4);  // the list shows every one
}

TEST_F(ConsoleTest, LogIsFlushedEveryTenthLoggedLine) {
    openMessageLog();
    add(9, "logged ", true);
    add(5, "not logged ", false);  // neither counted nor written
    EXPECT_EQ(fileBytes(logPath), "");
    add(1, "logged ", true);
    std::string text = fileBytes(logPath);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);
    EXPECT_EQ(text.find("not logged"), std::string::npos);
    add(9, "logged ", true);
    EXPECT_EQ(fileBytes(logPath), text);
    add(1, "logged ", true);
    text = fileBytes(logPath);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
}

TEST_F(ConsoleTest, TrimmedRowsStayInTheLog) {
    openMessageLog();
    add(201, "line ", true);
    EXPECT_EQ(list->topLevelItemCount(), 151);
    std::fflush(theApp.messageLog);
    const std::string text = fileBytes(logPath);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 201);
    EXPECT_NE(text.find("\tEmbedded line 1\r\n"), std::string::npos);
}

TEST_F(ConsoleTest, WithoutLoggingNothingIsWritten) {
    // "-LogFile" not given: a stream may exist (statistics log) but the message log is off.
    openMessageLog();
    theApp.logEnabled = false;
    add(12, "x", true);
    std::fflush(theApp.messageLog);
    EXPECT_EQ(fileBytes(logPath), "");
    EXPECT_EQ(consoleLogLineCount(), 0);
    EXPECT_EQ(list->topLevelItemCount(), 12);
}

TEST_F(ConsoleTest, CheckBoxSwitchesTheStatisticsLines) {
    auto* box = page->itemAs<QAbstractButton>(BrixDebug::kStatisticsCheckId);
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(linkState().statisticsMessages.load(), 0);
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(linkState().statisticsMessages.load(), 1);
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(linkState().statisticsMessages.load(), 0);
}

TEST_F(ConsoleTest, DestroyingThePageClosesTheLogsOnlyWhenLoggingIsOn) {
    openMessageLog();
    page->addConsoleMessage(MessageKind::Embedded, "last words", true);
    const QString statsPath = dir.filePath(QStringLiteral("radiostt.log"));
    theApp.statisticsLog = std::fopen(statsPath.toLocal8Bit().constData(), "a+");
    ASSERT_NE(theApp.statisticsLog, nullptr);

    page->destroyWindow();
    EXPECT_EQ(theApp.messageLog, nullptr);
    EXPECT_EQ(theApp.statisticsLog, nullptr);
    EXPECT_EQ(fileBytes(logPath), " 9: 5: 3  7/12/1999 \tEmbedded last words\r\n");
    // Without a window the page takes no messages (the link is stopped by then anyway).
    page->addConsoleMessage(MessageKind::Embedded, "after", true);
    EXPECT_EQ(page->list(), nullptr);

    // With logging off (the message log failed to open) an open statistics log is left to the
    // process exit.
    BrixDebug second;
    ASSERT_TRUE(second.create(nullptr));
    theApp.logEnabled = false;
    theApp.statisticsLog = std::fopen(statsPath.toLocal8Bit().constData(), "a+");
    second.destroyWindow();
    EXPECT_NE(theApp.statisticsLog, nullptr);
}

}  // namespace
}  // namespace brix
