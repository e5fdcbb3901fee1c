// The History window over a week of full-resolution data: the time from choosing a range to
// the charts drawn, for 10 minutes and for 7 days (the query reduces both to about a row per
// pixel column, so the two should be alike; target < 300 ms for 7 days).
//   history_window_bench [runs]     (offscreen unless QT_QPA_PLATFORM says otherwise)
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "domain/clock.h"
#include "history/history_store.h"
#include "pages/history/history_window.h"

using namespace brix::history;

namespace {

// A week as the recorder writes it: an RF report every 3 s, statistics every 7 s, a silence
// and a retune a day.
bool writeWeek(const std::string& path) {
    std::string error;
    auto store = Store::open(path, false, error);
    if (store == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    const Millis end = brix::unixMsNow();
    const Millis start = end - 7 * kDay;
    store->begin();
    RfSample rf{0, 4525, 4, 300, 2, 6};
    for (Millis t = start; t < end; t += 3 * kSecond) {
        rf.t = t;
        rf.attenuation = static_cast<std::uint16_t>(6 + (t / kMinute) % 5);
        rf.rxRateCode = (t / kHour) % 24 == 3 ? 3 : 4;
        store->add(rf);
    }
    StatisticsSample st;
    st.period = 700;
    st.counts = {70, 140, 7000, 1, 1400, 3, 700000, 35};
    for (Millis t = start; t < end; t += 7 * kSecond) {
        st.t = t;
        st.counts[4] = static_cast<std::uint32_t>(1400 + (t / kSecond) % 100);
        store->add(st);
    }
    for (Millis day = start + kHour; day < end; day += kDay) {
        store->add(Event{day, EventKind::LinkDown, "no frame from the modem for 10 s", ""});
        store->add(Event{day + 90 * kSecond, EventKind::LinkUp, "the modem answers again", ""});
        store->add(Event{day + 2 * kHour, EventKind::Tune, "Tune to 603.5 MHz", "brixctl"});
    }
    return store->commit();
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    char folder[] = "/tmp/brix-window-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr)
        return 1;
    const std::string path = std::string(folder) + "/history.sqlite3";
    if (!writeWeek(path))
        return 1;

    brix::HistoryWindow window([path] { return path; });
    window.resize(1200, 900);
    window.show();
    auto* summary = window.findChild<QLabel*>(QStringLiteral("historySummary"));
    const auto button = [&](const char* caption) {
        for (QPushButton* b : window.findChildren<QPushButton*>())
            if (b->text() == QString::fromLatin1(caption))
                return b;
        return static_cast<QPushButton*>(nullptr);
    };
    // From the click to the charts painted, the summary telling the new range.
    const auto choose = [&](const char* caption, const char* lead) {
        QElapsedTimer timer;
        timer.start();
        button(caption)->click();
        while (!summary->text().startsWith(QString::fromLatin1(lead)) && timer.elapsed() < 10000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        window.repaint();
        return timer.nsecsElapsed() / 1e6;
    };
    choose("1 hour", "Last hour");  // the first load opens the store
    std::vector<double> week, minutes;
    for (int i = 0; i < runs; ++i) {
        week.push_back(choose("7 days", "Last 7 days"));
        minutes.push_back(choose("10 minutes", "Last 10 minutes"));
    }
    std::sort(week.begin(), week.end());
    std::sort(minutes.begin(), minutes.end());
    std::printf(
        "choosing a range to the charts drawn, a week of full resolution in the store, "
        "%d runs:\n  7 days: median %.0f ms, worst %.0f ms\n  10 minutes: median %.0f ms, "
        "worst %.0f ms\n",
        runs, week[week.size() / 2], week.back(), minutes[minutes.size() / 2], minutes.back());
    std::printf("  summary: %s\n", summary->text().toUtf8().constData());
    std::string cleanup = std::string("rm -rf '") + folder + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
