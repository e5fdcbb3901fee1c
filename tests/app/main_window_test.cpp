// The main window run as the tool runs it: its pages and tabs, the Tuner's timer, Help, About
// and the window menu, the link's calls onto the pages, and closing while the link waits.

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTabBar>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "app_test_support.h"
#include "framework/help.h"
#include "framework/tab_control.h"
#include "link/link_state.h"
#include "pages/advanced/brix_advanced.h"
#include "pages/console/brix_debug.h"
#include "pages/scanner/brix_scanner.h"
#include "pages/tuner/brix_tuner.h"
#include "private_netns.h"

namespace brix::testing {
namespace {

using namespace std::chrono_literals;

bool mainShown() {
    MainDialog* main = mainWindow();
    return main != nullptr && main->widget() != nullptr && main->widget()->isVisible();
}

// Clicks a tab as the user does.
void clickTab(int index) {
    QTabBar* bar = mainWindow()->tabs->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

bool pageShown(int tab) {
    const fw::Dialog* page = mainWindow()->page(tab);
    return page != nullptr && page->widget()->isVisible() && page->widget()->isEnabled();
}

// Exactly `tab` is shown and enabled; the Tuner's timer runs only while tab 0 is selected.
void expectSelected(int tab) {
    MainDialog& main = *mainWindow();
    EXPECT_EQ(main.tabs->curSel(), tab);
    for (int i = 0; i < MainDialog::kPageCount; ++i) {
        const QWidget* w = main.page(i)->widget();
        EXPECT_EQ(!w->isHidden(), i == tab) << "page " << i << " with tab " << tab;
        EXPECT_EQ(w->isEnabled(), i == tab) << "page " << i << " with tab " << tab;
    }
    EXPECT_EQ(main.page(MainDialog::kTunerTab)->isTimerRunning(MainDialog::kTunerTimerId),
              tab == MainDialog::kTunerTab);
    for (int i = 1; i < MainDialog::kPageCount; ++i)
        EXPECT_FALSE(main.page(i)->isTimerRunning(MainDialog::kTunerTimerId));
}

QString labelText(QWidget* dialog, int id) {
    const auto* label = dialog->findChild<QLabel*>(fw::controlObjectName(id));
    return label != nullptr ? label->text() : QStringLiteral("<missing>");
}

// A right click on the main window's free area, right of the tabs and below the buttons.
void rightClickFreeArea() {
    QWidget* window = mainWindow()->widget();
    const QPoint pos(window->width() - 20, window->height() - 20);
    ASSERT_EQ(window->childAt(pos), nullptr);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, window->mapToGlobal(pos));
    QApplication::sendEvent(window, &event);
}

QMenu* openWindowMenu() {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    return menu != nullptr && menu->objectName() == QStringLiteral("systemMenu") ? menu : nullptr;
}

void clickMenuEntry(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) {
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
            return;
        }
    }
    ADD_FAILURE() << "no menu entry " << text.toStdString();
}

TEST_F(AppTest, StartsWithTheTunerShownAndSwitchesPagesAndTimerWithTheTabs) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    Script script;
    script.waitFor("main window shown", mainShown)
        .then([] {
            MainDialog& main = *mainWindow();
            EXPECT_EQ(main.widget()->windowTitle(), QStringLiteral("Brix Tool "));
            EXPECT_FALSE(main.widget()->windowIcon().isNull());
            EXPECT_FALSE(main.icon.isNull());
            ASSERT_NE(main.tabs, nullptr);
            ASSERT_EQ(main.tabs->itemCount(), 4);
            const char* captions[] = {"Tuner", "Console", "Advanced", "Scanner"};
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(main.tabs->itemText(i), QString::fromLatin1(captions[i]));
            EXPECT_EQ(main.page(0), static_cast<fw::Dialog*>(main.tunerPage));
            EXPECT_EQ(main.page(1), static_cast<fw::Dialog*>(main.consolePage));
            EXPECT_EQ(main.page(2), static_cast<fw::Dialog*>(main.advancedPage));
            EXPECT_EQ(main.page(3), static_cast<fw::Dialog*>(main.scannerPage));
            for (int i = 0; i < 4; ++i) {
                const QWidget* w = main.page(i)->widget();
                ASSERT_NE(w, nullptr);
                EXPECT_EQ(w->parentWidget(), main.tabs);
                EXPECT_EQ(w->pos(), QPoint(10, 30));
            }
            expectSelected(0);
            EXPECT_TRUE(linkState().threadRunning);
        })
        .then([] { clickTab(1); })
        .then([] { expectSelected(1); })
        // Between the other pages no timer is touched.
        .then([] { clickTab(2); })
        .then([] { expectSelected(2); })
        .then([] { clickTab(3); })
        .then([] { expectSelected(3); })
        .then([] { clickTab(0); })
        .then([] { expectSelected(0); });
    script.runTool();

    // Shutdown: the link is stopped and the Tuner saved the channel file.
    EXPECT_FALSE(linkState().threadRunning);
    EXPECT_EQ(linkSocketPort(), -1);
    EXPECT_TRUE(QFile::exists(workPath(QStringLiteral("Brix Tool .lb"))));
    EXPECT_EQ(theApp.mainDialog, nullptr);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AppTest, HelpOpensTheTopicOfTheSelectedTab) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    std::vector<QUrl> opened;
    fw::setHelpOpener([&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    Script script;
    script.waitFor("main window shown", mainShown)
        .then([] { clickButton(mainWindow()->widget(), MainDialog::kHelpId); })
        .then([] { clickTab(3); })
        .then([] { clickButton(mainWindow()->widget(), MainDialog::kHelpId); })
        .then([] { clickTab(1); })
        .then([] { clickButton(mainWindow()->widget(), MainDialog::kHelpId); });
    script.runTool();
    fw::setHelpOpener(nullptr);

    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0].fileName(), QStringLiteral("context-1.html"));
    EXPECT_EQ(opened[1].fileName(), QStringLiteral("context-4.html"));
    EXPECT_EQ(opened[2].fileName(), QStringLiteral("context-2.html"));
}

TEST_F(AppTest, AboutOpensFromTheButtonAndFromTheWindowMenuWhichAlsoCloses) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    int aboutShown = 0;
    const auto checkAbout = [&aboutShown] {
        QWidget* about = visibleWindow(QStringLiteral("dlg100"));
        ASSERT_NE(about, nullptr);
        ++aboutShown;
        EXPECT_EQ(about->windowTitle(), QStringLiteral("About Brix Tool..."));
        EXPECT_EQ(labelText(about, 1038), QStringLiteral("Brix Tool team"));
        EXPECT_EQ(labelText(about, 1033), QStringLiteral("   Version"));
        EXPECT_EQ(labelText(about, 1035), QStringLiteral("4 .2"));
        EXPECT_EQ(labelText(about, 1034),
                  QStringLiteral("For use by cable modem service technicians."));
        EXPECT_TRUE(clickButton(about, fw::IDOK));
    };
    const auto aboutOpen = [] { return visibleWindow(QStringLiteral("dlg100")) != nullptr; };
    const auto aboutClosed = [] { return visibleWindow(QStringLiteral("dlg100")) == nullptr; };

    Script script;
    script.waitFor("main window shown", mainShown)
        .then([] { clickButton(mainWindow()->widget(), MainDialog::kAboutId); })
        .waitFor("About from the button", aboutOpen)
        .then(checkAbout)
        .waitFor("About closed", aboutClosed)
        .then([] {
            std::unique_ptr<QMenu> menu(mainWindow()->createSystemMenu());
            QStringList entries;
            for (const QAction* action : menu->actions())
                entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
            EXPECT_EQ(entries, (QStringList{QStringLiteral("&Move"), QStringLiteral("Mi&nimize"),
                                            QStringLiteral("&Close"), QStringLiteral("-"),
                                            QStringLiteral("About Brix Tool...")}));
            EXPECT_EQ(menu->actions().last()->data().toInt(), 16);
        })
        .then(rightClickFreeArea)
        .waitFor("window menu", [] { return openWindowMenu() != nullptr; })
        .then([] { clickMenuEntry(openWindowMenu(), QStringLiteral("About Brix Tool...")); })
        .waitFor("About from the menu", aboutOpen)
        .then(checkAbout)
        .waitFor("About closed again", aboutClosed)
        // The classic command value with its low bits set still means About.
        .then([] { mainWindow()->onSysCommand(0x0013); })
        .waitFor("About from the command", aboutOpen)
        .then(checkAbout)
        .waitFor("About closed a third time", aboutClosed)
        .then(rightClickFreeArea)
        .waitFor("window menu again", [] { return openWindowMenu() != nullptr; })
        .then([] { clickMenuEntry(openWindowMenu(), QStringLiteral("&Close")); });

    const auto started = std::chrono::steady_clock::now();
    script.runTool();
    EXPECT_EQ(aboutShown, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    EXPECT_EQ(theApp.mainDialog, nullptr);
}

TEST_F(AppTest, LinkPeerCarriesTheLinkThreadsCallsOntoThePages) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    std::atomic<bool> done{false};
    std::thread worker;
    int rowsBefore = 0;
    Script script;
    script.waitFor("main window shown", mainShown)
        .then([&] {
            rowsBefore = mainWindow()->consolePage->rowCount();
            // As the link thread does: every call waits until its page has handled it.
            worker = std::thread([&done] {
                LinkPeer* peer = linkPeer();
                peer->addConsoleMessage(MessageKind::Embedded, "RF REPORT:", true);
                peer->setMicrocodeVersion("MC 2.17");
                peer->setBootVersion("Boot 1.03");
                done = true;
            });
        })
        .waitFor("calls handled", [&] { return done.load(); })
        .then([&] {
            worker.join();
            MainDialog& main = *mainWindow();
            BrixDebug& console = *main.consolePage;
            ASSERT_EQ(console.rowCount(), rowsBefore + 1);
            const QTreeWidgetItem* row = console.list()->topLevelItem(rowsBefore);
            EXPECT_EQ(row->text(0), QStringLiteral("Embedded"));
            EXPECT_EQ(row->text(1), QStringLiteral("RF REPORT:"));
            EXPECT_EQ(main.advancedPage->itemText(BrixAdvanced::kMicrocodeVersionId),
                      QStringLiteral("MC 2.17"));
            EXPECT_EQ(main.scannerPage->itemText(BrixScanner::kBootVersionId),
                      QStringLiteral("Boot 1.03"));

            // Once cancelled (as linkStop does), calls return at once and change nothing.
            linkPeer()->cancelPendingCalls();
            done = false;
            worker = std::thread([&done] {
                linkPeer()->addConsoleMessage(MessageKind::Error, "too late", true);
                EXPECT_EQ(linkPeer()->onScannerReply(nullptr), 0);
                done = true;
            });
        })
        .waitFor("cancelled calls returned", [&] { return done.load(); })
        .then([&] {
            worker.join();
            EXPECT_EQ(mainWindow()->consolePage->rowCount(), rowsBefore + 1);
        });
    script.runTool();
    if (worker.joinable())
        worker.join();
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AppTest, ConsoleShowsItsNewestRowsWhenItsTabIsOpenedAfterMessagesArrivedHidden) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    const auto lastRowInView = [] {
        const ConsoleList* list = mainWindow()->consolePage->list();
        const QTreeWidgetItem* last = list->topLevelItem(list->topLevelItemCount() - 1);
        return last != nullptr && list->viewport()->rect().contains(list->visualItemRect(last));
    };
    Script script;
    script.waitFor("main window shown", mainShown)
        .then([] {
            BrixDebug& console = *mainWindow()->consolePage;
            for (int i = 1; i <= 120; ++i) {
                const std::string text = "hidden " + std::to_string(i);
                console.addConsoleMessage(MessageKind::Embedded, text.c_str(), false);
            }
        })
        .then([] { clickTab(MainDialog::kConsoleTab); })
        .waitFor("Console shown", [] { return pageShown(MainDialog::kConsoleTab); })
        .waitFor("newest row in view", lastRowInView, 2s)
        .then([] {
            // Still following once shown.
            mainWindow()->consolePage->addConsoleMessage(MessageKind::Embedded, "shown", false);
        })
        .waitFor("newest row still in view", lastRowInView, 2s);
    script.runTool();
}

TEST_F(AppTest, ClosingWhileTheConnectionErrorBoxIsOpenEndsWithinASecond) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    // A real box this time. With no modem the link gives up on the start-up channel-table Get
    // after five sends, about 12 s after the start, and asks on the user-interface thread while
    // the link thread waits.
    fw::setMessageBoxHandler(nullptr);
    const auto errorBox = [] {
        auto* box = qobject_cast<QMessageBox*>(visibleWindow(QStringLiteral("Brix Tool Error")));
        return box;
    };
    std::chrono::steady_clock::time_point closedAt;
    Script script;
    script.waitFor("main window shown", mainShown)
        .waitFor(
            "connection-error box", [&] { return errorBox() != nullptr; }, 40s)
        .then([&] {
            EXPECT_TRUE(errorBox()->text().startsWith(QStringLiteral("Cannot connect")));
            closedAt = std::chrono::steady_clock::now();
            clickExit();
        });
    script.runTool();
    const auto took = std::chrono::steady_clock::now() - closedAt;
    EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                        << " ms";
    EXPECT_EQ(errorBox(), nullptr);
    EXPECT_FALSE(linkState().threadRunning);
    EXPECT_EQ(theApp.mainDialog, nullptr);
}

TEST_F(AppTest, RendersTheMainWindowWithEachTabForReview) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    const QDir out(QStringLiteral(BRIX_SCREENSHOT_DIR));
    ASSERT_TRUE(QDir().mkpath(out.path()));
    const char* names[] = {"main-tuner.png", "main-console.png", "main-advanced.png",
                           "main-scanner.png"};
    Script script;
    script.waitFor("main window shown", mainShown).then([] {
        // Some rows, so the Console's picture shows them.
        BrixDebug& console = *mainWindow()->consolePage;
        console.addConsoleMessage(MessageKind::Embedded, "RF REPORT:", false);
        console.addConsoleMessage(MessageKind::Embedded, "Downstream frequency = 453.0 MHz", false);
        console.addConsoleMessage(MessageKind::Driver, "a driver line", false);
        console.addConsoleMessage(MessageKind::Application, "an application line", false);
        console.addConsoleMessage(MessageKind::Error, "Cannot initialize sockets !!!", false);
    });
    for (int tab = 0; tab < 4; ++tab) {
        script.then([tab] { clickTab(tab); })
            .waitFor("page shown", [tab] { return pageShown(tab); })
            .then([&out, &names, tab] {
                QApplication::processEvents();
                const QPixmap picture = mainWindow()->widget()->grab();
                EXPECT_FALSE(picture.isNull());
                EXPECT_TRUE(picture.save(out.filePath(QString::fromLatin1(names[tab]))));
            });
    }
    script.then([] { clickButton(mainWindow()->widget(), MainDialog::kAboutId); })
        .waitFor("About", [] { return visibleWindow(QStringLiteral("dlg100")) != nullptr; })
        .then([&out] {
            QWidget* about = visibleWindow(QStringLiteral("dlg100"));
            EXPECT_TRUE(about->grab().save(out.filePath(QStringLiteral("about.png"))));
            clickButton(about, fw::IDOK);
        });
    script.runTool();
    for (const char* name : names)
        EXPECT_TRUE(QFile::exists(out.filePath(QString::fromLatin1(name)))) << name;
}

}  // namespace
}  // namespace brix::testing
