// The frequency entry: opened by a double-click over the receive frequency display in edit
// mode only, read when its window goes away, applied only after OK.

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <optional>

#include "frequency_dialog.h"
#include "tuner_test_support.h"

namespace brix::testing {
namespace {

// What to do with the entry box if it opens: type `text`, then press OK or Cancel.
struct EntryAnswer {
    QString text;
    bool ok = true;
};

class FrequencyEntry : public TunerTest {
protected:
    void SetUp() override {
        TunerTest::SetUp();
        createPage();
    }

    // Double-clicks the page at `pagePos` through the window system (so the display, which lets
    // the mouse through, does not catch it) and answers a box that opens. True when one opened.
    bool doubleClick(QPoint pagePos, const EntryAnswer& answer = {}) {
        bool opened = false;
        QTimer::singleShot(0, [&] {
            QWidget* box = QApplication::activeModalWidget();
            if (box == nullptr)
                return;
            opened = true;
            title = box->windowTitle();
            auto* edit = box->findChild<QLineEdit*>(fw::controlObjectName(1014));
            ASSERT_NE(edit, nullptr);
            startText = edit->text();
            edit->setText(answer.text);
            auto* button = box->findChild<QPushButton*>(fw::controlObjectName(answer.ok ? 1 : 2));
            ASSERT_NE(button, nullptr);
            button->click();
        });
        QWindow* window = host->windowHandle();
        EXPECT_NE(window, nullptr);
        const QPoint at = page->widget()->mapTo(host.get(), pagePos);
        QTest::mouseDClick(window, Qt::LeftButton, Qt::NoModifier, at);
        QApplication::processEvents();
        return opened;
    }

    std::uint32_t enter(const QString& text, bool ok = true) {
        EXPECT_TRUE(doubleClick(QPoint(96, 40), EntryAnswer{text, ok}));
        return page->receiveFrequencyDisplay().value();
    }

    QString title;
    QString startText;
};

TEST_F(FrequencyEntry, TextsAreReadAsSignedNumbersAndClampedByTheDisplay) {
    click(1003);
    EXPECT_EQ(enter("4525"), 4525u);
    EXPECT_EQ(title, "Enter Frequency");
    EXPECT_EQ(startText, "");
    EXPECT_EQ(enter("99999"), 15000u);
    EXPECT_EQ(enter("1234"), 1234u);
    EXPECT_EQ(enter("-1"), 15000u);  // 0xFFFFFFFF unsigned
    EXPECT_EQ(enter("777"), 777u);
    EXPECT_EQ(enter(""), 0u);
    EXPECT_EQ(enter("777"), 777u);
    EXPECT_EQ(enter("letters"), 0u);
    EXPECT_EQ(enter("  4525xyz"), 4525u);
    EXPECT_EQ(enter("999", false), 4525u);  // Cancel changes nothing
    EXPECT_TRUE(modem.drain().empty());     // nothing is sent before Set
    click(1003);
    const std::vector<Bytes> sent = modem.drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], tuneFrequencyFrame(4525));
}

TEST_F(FrequencyEntry, OnlyInsideTheFixedAreaAndOnlyInEditMode) {
    EXPECT_FALSE(doubleClick(QPoint(96, 40)));  // browse mode
    click(1003);
    for (QPoint edge : {QPoint(45, 40), QPoint(145, 40), QPoint(96, 12), QPoint(96, 60),
                        QPoint(30, 30), QPoint(200, 40)})
        EXPECT_FALSE(doubleClick(edge)) << edge.x() << "," << edge.y();
    for (QPoint inside : {QPoint(46, 40), QPoint(144, 40), QPoint(96, 13), QPoint(96, 59)})
        EXPECT_TRUE(doubleClick(inside, EntryAnswer{"100", true}))
            << inside.x() << "," << inside.y();
    EXPECT_EQ(page->receiveFrequencyDisplay().value(), 100u);
}

TEST(FrequencyDialogAlone, KeepsTheNumberAfterItsWindowIsGoneWhicheverButtonClosedIt) {
    for (bool ok : {true, false}) {
        FrequencyDialog dialog;
        QTimer::singleShot(0, [&] {
            dialog.setItemText(FrequencyDialog::kFrequencyEdit, "-20");
            dialog.endDialog(ok ? fw::IDOK : fw::IDCANCEL);
        });
        EXPECT_EQ(dialog.doModal(), ok ? fw::IDOK : fw::IDCANCEL);
        EXPECT_EQ(dialog.widget(), nullptr);
        EXPECT_EQ(dialog.frequency(), std::uint32_t(-20));
    }
}

}  // namespace
}  // namespace brix::testing
