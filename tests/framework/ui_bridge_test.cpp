// The bridge from a worker thread onto the user-interface thread, with cancellation.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "framework/message_box.h"
#include "framework/ui_bridge.h"

namespace {

using namespace std::chrono_literals;

// The real message box of the current test, once it is on screen.
QMessageBox* openBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

TEST(UiBridge, RunsAtOnceOnTheUiThread) {
    fw::UiBridge bridge;
    EXPECT_TRUE(fw::UiBridge::isUiThread());
    EXPECT_EQ(bridge.call([] { return 5; }), 5);
    int ran = 0;
    EXPECT_TRUE(bridge.run([&] { ++ran; }));
    EXPECT_EQ(ran, 1);
}

TEST(UiBridge, WorkerCallsRunOnTheUiThreadAndReturnTheirResult) {
    fw::UiBridge bridge;
    std::atomic<bool> onUiThread{false};
    auto worker = std::async(std::launch::async, [&] {
        EXPECT_FALSE(fw::UiBridge::isUiThread());
        int sum = 0;
        for (int i = 0; i < 50; ++i) {
            sum += bridge
                       .call([i, &onUiThread] {
                           onUiThread = fw::UiBridge::isUiThread();
                           return i;
                       })
                       .value_or(-1000);
        }
        return sum;
    });
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return worker.wait_for(0s) == std::future_status::ready; }, 5000));
    EXPECT_EQ(worker.get(), 49 * 50 / 2);
    EXPECT_TRUE(onUiThread);
}

TEST(UiBridge, CancelReleasesAWaiterAndThePostedFunctionNeverRuns) {
    fw::UiBridge bridge;
    std::atomic<bool> ran{false};
    std::atomic<bool> started{false};
    auto worker = std::async(std::launch::async, [&] {
        started = true;
        return bridge.call([&] {
            ran = true;
            return 1;
        });
    });
    // The UI thread does not serve events until it cancels: the call stays posted.
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    bridge.cancelAll();
    ASSERT_EQ(worker.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(worker.get().has_value());
    QApplication::processEvents();  // the posted event is delivered now, and dropped
    EXPECT_FALSE(ran);
}

TEST(UiBridge, CallsAfterCancelReturnAtOnceUntilReset) {
    fw::UiBridge bridge;
    bridge.cancelAll();
    EXPECT_TRUE(bridge.isCancelled());
    EXPECT_FALSE(bridge.call([] { return 1; }).has_value());  // UI thread too
    auto worker = std::async(std::launch::async, [&] { return bridge.call([] { return 1; }); });
    ASSERT_EQ(worker.wait_for(2s), std::future_status::ready);  // no event loop needed
    EXPECT_FALSE(worker.get().has_value());
    bridge.reset();
    EXPECT_EQ(bridge.call([] { return 2; }), 2);
}

TEST(UiBridge, UiThreadCancellingThenJoiningDoesNotDeadlock) {
    fw::UiBridge bridge;
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            if (!bridge.run([&] { ++calls; }))
                break;
        }
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return calls > 10; }, 5000));
    // The stop path: set the flag, cancel, join, all on the UI thread without serving events.
    stop = true;
    bridge.cancelAll();
    worker.join();
    SUCCEED();
}

TEST(UiBridge, CancelClosesTheMessageBoxOfAWaitingCall) {
    fw::setMessageBoxHandler(nullptr);
    fw::uiBridge().reset();
    std::future<int> worker;
    QString title;
    bool releasedAtOnce = false;
    // The box runs its own event loop on this thread; act from a timer inside it, as the
    // stop path of the main window would.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QMessageBox* box = openBox();
        if (box == nullptr || !title.isEmpty())
            return;
        title = box->windowTitle();
        fw::uiBridge().cancelAll();
        releasedAtOnce = worker.wait_for(2s) == std::future_status::ready;
    });
    poll.start(5);
    worker = std::async(std::launch::async, [] {
        return fw::messageBox(nullptr, "Cannot connect", "Brix Tool Error",
                              fw::MB_RETRYCANCEL | fw::MB_ICONERROR);
    });
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return worker.wait_for(0s) == std::future_status::ready && openBox() == nullptr; },
        5000));
    poll.stop();
    EXPECT_EQ(title, "Brix Tool Error");
    EXPECT_TRUE(releasedAtOnce);
    EXPECT_EQ(worker.get(), fw::IDCANCEL);

    // Sticky: the next box from the worker is not shown at all.
    auto again = std::async(std::launch::async, [] {
        return fw::messageBox(nullptr, "again", "x", fw::MB_RETRYCANCEL);
    });
    ASSERT_EQ(again.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(again.get(), fw::IDCANCEL);
    EXPECT_EQ(openBox(), nullptr);
    fw::uiBridge().reset();
}

}  // namespace
