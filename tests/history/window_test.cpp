// The History window over a store of known contents, Qt offscreen: its summary, its event list,
// the range buttons, and a drag across a chart that zooms, with Back to return.
#include <QApplication>
#include <QChartView>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "history/history_store.h"
#include "pages/history/history_window.h"

namespace brix {
namespace {

using namespace history;

Millis nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

RfRow rfRow(Millis t, double slowest, double fastest) {
    RfRow r;
    r.t = t;
    r.fields[1] = {slowest, (slowest + fastest) / 2, fastest};
    return r;
}

TEST(HistorySummary, TellsDownSpansRetunesErrorsAndTheReceiveRate) {
    HistoryWindow::Data d;
    d.since = 1'000'000;
    d.until = d.since + 24 * kHour;
    // Down when the range began (its first link event is an up), down again for 3 min 10 s,
    // and down at the end for the last 10 s.
    d.counted = {{d.since + 20 * kSecond, EventKind::LinkUp, "up", ""},
                 {d.since + kHour, EventKind::LinkDown, "down", ""},
                 {d.since + kHour + 190 * kSecond, EventKind::LinkUp, "up", ""},
                 {d.since + 2 * kHour, EventKind::Tune, "Tune to 603.5 MHz", "brixctl"},
                 {d.since + 3 * kHour, EventKind::Error, "Cannot send", ""},
                 {d.until - 10 * kSecond, EventKind::LinkDown, "down", ""}};
    d.rf = {rfRow(d.since, 4, 4)};
    EXPECT_EQ(HistoryWindow::summaryText("Last 24 hours", d).toStdString(),
              "Last 24 hours: link down 3 times for 3 min 40 s in all; 1 retune; 1 error; "
              "receive rate 9.45 Mbit/s");

    d.counted = {{d.since, EventKind::Tune, "a", ""}, {d.since + 1, EventKind::Tune, "b", ""}};
    d.eventCount = 2500;  // the list holds fewer than the range has
    d.events.resize(2000);
    d.rf = {rfRow(d.since, 3, 3), rfRow(d.since + kHour, 1, 4)};
    EXPECT_EQ(HistoryWindow::summaryText("Last hour", d).toStdString(),
              "Last hour: link never down; 2 retunes; receive rate 3.20 to 9.45 Mbit/s; the "
              "newest 2000 of 2500 events listed");

    d = {};
    EXPECT_EQ(HistoryWindow::summaryText("Last hour", d).toStdString(),
              "Last hour: link never down; no retune; no report from the modem");
    d.error = "history.sqlite3: unable to open database file";
    EXPECT_EQ(HistoryWindow::summaryText("Last hour", d).toStdString(),
              "Last hour: no history to show: history.sqlite3: unable to open database file");
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/brix-window-XXXXXX";
        folder_ = ::mkdtemp(name);
        path_ = folder_ + "/history.sqlite3";
        std::string error;
        auto store = Store::open(path_, false, error);
        ASSERT_NE(store, nullptr) << error;
        const Millis now = nowMs();
        store->begin();
        for (Millis t = now - 50 * kMinute; t < now; t += 3 * kSecond)
            store->add(RfSample{t, 4525, 4, 300, 2, 6});
        store->add(Event{now - 40 * kMinute, EventKind::LinkDown, "no frame", ""});
        store->add(Event{now - 39 * kMinute, EventKind::LinkUp, "again", ""});
        store->add(Event{now - 5 * kMinute, EventKind::Tune, "Tune to 555.2 MHz", "brixctl"});
        ASSERT_TRUE(store->commit());
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    static QPushButton* button(QWidget& w, const char* text) {
        for (QPushButton* b : w.findChildren<QPushButton*>())
            if (b->text() == QString::fromLatin1(text))
                return b;
        return nullptr;
    }

    std::string folder_, path_;
};

TEST_F(WindowTest, ShowsTheStoreAndZoomsByADragWithBackToReturn) {
    HistoryWindow window([this] { return path_; });
    window.resize(1000, 800);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* summary = window.findChild<QLabel*>(QStringLiteral("historySummary"));
    ASSERT_NE(summary, nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(summary->text().startsWith(QStringLiteral("Last hour:")), 5000);
    EXPECT_EQ(summary->text().toStdString(),
              "Last hour: link down 1 time for 1 min in all; 1 retune; receive rate 9.45 Mbit/s");
    EXPECT_EQ(summary->accessibleDescription(), summary->text());
    auto* events = window.findChild<QTreeWidget*>(QStringLiteral("historyEvents"));
    ASSERT_EQ(events->topLevelItemCount(), 3);
    EXPECT_EQ(events->topLevelItem(2)->text(1).toStdString(), "Tune");
    EXPECT_EQ(events->topLevelItem(2)->text(3).toStdString(), "brixctl");

    // Ten minutes: the silence is out of the range, the retune in.
    button(window, "10 minutes")->click();
    QTRY_VERIFY_WITH_TIMEOUT(summary->text().startsWith(QStringLiteral("Last 10 minutes:")), 5000);
    EXPECT_TRUE(summary->text().contains(QStringLiteral("link never down; 1 retune")));
    QTRY_COMPARE_WITH_TIMEOUT(events->topLevelItemCount(), 1, 5000);

    // A drag across the middle of a chart zooms every chart to what it covered.
    QPushButton* back = button(window, "&Back");
    ASSERT_NE(back, nullptr);
    EXPECT_FALSE(back->isEnabled());
    const Millis shownSince = window.since(), shownUntil = window.until();
    QChartView* view = window.findChildren<QChartView*>().front();
    const QRect plot = view->chart()->plotArea().toRect();
    const QPoint from(plot.left() + plot.width() / 4, plot.center().y());
    const QPoint to(plot.left() + plot.width() * 3 / 4, plot.center().y());
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
    QTest::mouseMove(view->viewport(), to);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, to);
    QTRY_VERIFY_WITH_TIMEOUT(summary->text().startsWith(QStringLiteral("From ")), 5000);
    EXPECT_TRUE(back->isEnabled());
    const Millis span = shownUntil - shownSince;
    EXPECT_NEAR(static_cast<double>(window.since() - shownSince), span / 4.0, span / 20.0);
    EXPECT_NEAR(static_cast<double>(window.until() - window.since()), span / 2.0, span / 20.0);

    back->click();
    QTRY_VERIFY_WITH_TIMEOUT(summary->text().startsWith(QStringLiteral("Last 10 minutes:")), 5000);
    EXPECT_FALSE(back->isEnabled());
}

TEST_F(WindowTest, AStoreThatIsNotThereIsToldInTheSummary) {
    HistoryWindow window([this] { return folder_ + "/none.sqlite3"; });
    window.show();
    auto* summary = window.findChild<QLabel*>(QStringLiteral("historySummary"));
    QTRY_VERIFY_WITH_TIMEOUT(summary->text().contains(QStringLiteral("no history to show")), 5000);
    EXPECT_TRUE(summary->text().contains(QStringLiteral("none.sqlite3")));
}

}  // namespace
}  // namespace brix

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window keeps its size in the user's settings: a folder of the run's own.
    char config[] = "/tmp/brix-window-config-XXXXXX";
    if (::mkdtemp(config) != nullptr)
        qputenv("XDG_CONFIG_HOME", config);
    // The user's own store, which the window reads beside the one it is given: of the run too.
    char state[] = "/tmp/brix-window-state-XXXXXX";
    if (::mkdtemp(state) != nullptr)
        qputenv("XDG_STATE_HOME", state);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
