// Message boxes: the test hook, and the real box's buttons, Escape and results.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "framework/message_box.h"
#include "framework/ui_bridge.h"

namespace {

using namespace std::chrono_literals;

class MessageBoxTest : public ::testing::Test {
protected:
    void TearDown() override { fw::setMessageBoxHandler(nullptr); }
};

TEST_F(MessageBoxTest, HookRecordsTheRequestAndAnswersOnTheUiThread) {
    std::vector<fw::MessageBoxRequest> seen;
    bool onUiThread = false;
    fw::setMessageBoxHandler([&](const fw::MessageBoxRequest& r) {
        seen.push_back(r);
        onUiThread = fw::UiBridge::isUiThread();
        return fw::IDRETRY;
    });
    QWidget owner;
    EXPECT_EQ(fw::messageBox(&owner, "text", "caption", fw::MB_OK | fw::MB_ICONERROR), fw::IDRETRY);
    auto worker = std::async(std::launch::async, [] {
        return fw::messageBox(nullptr, "from the link", "Brix Tool Error", 0x15);
    });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return worker.wait_for(0s) == std::future_status::ready; }, 5000));
    EXPECT_EQ(worker.get(), fw::IDRETRY);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].owner, &owner);
    EXPECT_EQ(seen[0].caption, "caption");
    EXPECT_EQ(seen[0].flags, fw::MB_OK | fw::MB_ICONERROR);
    EXPECT_FALSE(seen[0].fromOtherThread);
    EXPECT_EQ(seen[1].owner, nullptr);
    EXPECT_EQ(seen[1].text, "from the link");
    EXPECT_EQ(seen[1].flags, fw::MB_RETRYCANCEL | fw::MB_ICONERROR);
    EXPECT_TRUE(seen[1].fromOtherThread);
    EXPECT_TRUE(onUiThread);
}

// Shows a real box and lets `answer` act on it from inside its event loop.
int showAndAnswer(unsigned flags, std::function<void(QMessageBox*)> answer,
                  QMessageBox::Icon* icon = nullptr) {
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box == nullptr || !box->isVisible())
                continue;
            poll.stop();
            if (icon != nullptr)
                *icon = box->icon();
            answer(box);
            return;
        }
    });
    poll.start(5);
    return fw::messageBox(nullptr, "text", "caption", flags);
}

TEST_F(MessageBoxTest, RealBoxesMapTheirButtonsAndEscape) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    EXPECT_EQ(showAndAnswer(
                  fw::MB_RETRYCANCEL | fw::MB_ICONERROR,
                  [](QMessageBox* box) { box->button(QMessageBox::Retry)->click(); }, &icon),
              fw::IDRETRY);
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(showAndAnswer(fw::MB_RETRYCANCEL,
                            [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }),
              fw::IDCANCEL);
    EXPECT_EQ(
        showAndAnswer(fw::MB_OK, [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }),
        fw::IDOK);
    EXPECT_EQ(showAndAnswer(fw::MB_YESNO,
                            [](QMessageBox* box) { box->button(QMessageBox::No)->click(); }),
              fw::IDNO);
    // Enter takes the first button.
    EXPECT_EQ(showAndAnswer(fw::MB_RETRYCANCEL,
                            [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); }),
              fw::IDRETRY);
}

}  // namespace
