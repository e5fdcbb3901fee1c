// The Tuner inside the running main window: its timer runs only while its tab is shown. Starts
// the link (fixed port, broadcasts), so it runs only in a private network namespace.

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "app/main_dialog.h"
#include "brix_tuner.h"
#include "channels/channel_table.h"
#include "display_controls.h"
#include "framework/tab_control.h"
#include "link/link_state.h"
#include "private_netns.h"

namespace brix {
namespace {

TEST(TunerInMainWindow, FreezesWhileAnotherTabIsShownAndCatchesUpAtTheFirstTickBack) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(scratch.path());

    {
        MainDialog main;
        ASSERT_TRUE(main.create(nullptr));
        BrixTuner* tuner = main.tunerPage;
        ASSERT_NE(tuner, nullptr);
        ASSERT_NE(main.tabs, nullptr);
        EXPECT_TRUE(tuner->isTimerRunning(1));

        channelTable().setLabel(0, "First");
        channelTable().labelRefreshPending = 1;
        ASSERT_TRUE(QTest::qWaitFor([&] { return tuner->itemText(1029) == "First"; }, 3000));

        main.tabs->tabBar()->setCurrentIndex(1);  // as a click on "Console" does
        EXPECT_FALSE(tuner->isTimerRunning(1));
        channelTable().setLabel(0, "Second");
        channelTable().labelRefreshPending = 1;
        linkState().rxFrequency = 4525;
        QTest::qWait(1300);
        EXPECT_EQ(tuner->itemText(1029), "First");
        EXPECT_EQ(tuner->receiveFrequencyDisplay().value(), 0u);
        EXPECT_EQ(channelTable().labelRefreshPending.load(), 1);

        const std::int32_t in = tuner->inLamp().state();
        const std::int32_t out = tuner->outLamp().state();
        main.tabs->tabBar()->setCurrentIndex(0);
        EXPECT_TRUE(tuner->isTimerRunning(1));
        ASSERT_TRUE(QTest::qWaitFor([&] { return tuner->itemText(1029) == "Second"; }, 3000));
        EXPECT_EQ(tuner->receiveFrequencyDisplay().value(), 4525u);
        EXPECT_LE(int(tuner->inLamp().state() != in) + int(tuner->outLamp().state() != out), 1);

        main.destroyWindow();
    }
    // Closing the window saved the channel file.
    EXPECT_EQ(QFileInfo(QDir(scratch.path()).filePath("Brix Tool .lb")).size(), 580);
    QDir::setCurrent(previousDir);
}

}  // namespace
}  // namespace brix
