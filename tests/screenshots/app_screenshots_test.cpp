// Renders the running tool to PNG for people to look at: the main window on each of its four
// tabs with a simulated modem answering (live Tuner values, a filled channel table, both
// versions, the scanner's boxes), the Console with rows of every kind, the About box and the
// connection-error box as the user sees them. Files: <build>/screenshots/app_<name>.png, and
// app_<name>@2x.png when run with QT_SCALE_FACTOR=2.
//
// Beyond making the pictures, it checks what a picture must hold and that every caption fits
// the control that shows it.

#include <sys/prctl.h>

#include <csignal>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "channels/channel_table.h"
#include "framework/dialog.h"
#include "framework/message_box.h"
#include "framework/tab_control.h"
#include "framework/ui_bridge.h"
#include "link/link_state.h"
#include "modem.h"
#include "pages/advanced/brix_advanced.h"
#include "pages/advanced/request_buttons.h"
#include "pages/console/brix_debug.h"
#include "pages/scanner/brix_scanner.h"
#include "pages/tuner/brix_tuner.h"
#include "private_netns.h"
#include "res/resources.h"

namespace brix::testing {
namespace {

constexpr int kWaitMs = 20000;

QString suffix(const QWidget* w) {
    const qreal dpr = w->devicePixelRatioF();
    return dpr > 1.0 ? QStringLiteral("@%1x").arg(dpr) : QString();
}

// Saves the picture and checks it has the widget's size in device pixels.
void save(QWidget* widget, const char* name) {
    ASSERT_NE(widget, nullptr) << name;
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(BRIX_SCREENSHOT_DIR)));
    QApplication::processEvents();
    const QPixmap picture = widget->grab();
    ASSERT_FALSE(picture.isNull()) << name;
    EXPECT_EQ(picture.deviceIndependentSize().toSize(), widget->size()) << name;
    const QString path = QStringLiteral(BRIX_SCREENSHOT_DIR "/app_%1%2.png")
                             .arg(QString::fromLatin1(name), suffix(widget));
    EXPECT_TRUE(picture.save(path)) << path.toStdString();
}

// Every visible caption, label and edit text of `root` fits its control's width: the user
// sees no clipped words. Reports each one that does not.
void expectCaptionsFit(QWidget* root, const char* where) {
    for (QWidget* w : root->findChildren<QWidget*>()) {
        // Only the stock controls draw their text; the Tuner's picture buttons keep a name there.
        const QByteArray kind = w->metaObject()->className();
        if (!w->isVisibleTo(root) ||
            !(kind == "QLabel" || kind == "QPushButton" || kind == "QCheckBox" ||
              kind == "QRadioButton" || kind == "QLineEdit"))
            continue;
        QString text;
        int room = 0;
        const QFontMetrics metrics(w->font());
        if (auto* label = qobject_cast<QLabel*>(w); label != nullptr && label->pixmap().isNull()) {
            if (label->wordWrap())
                continue;
            text = label->text();
            room = label->contentsRect().width() - 2 * label->margin();
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            text = button->text();
            if (qobject_cast<QCheckBox*>(w) != nullptr || qobject_cast<QRadioButton*>(w) != nullptr)
                room = w->width() - w->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, w) -
                       w->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, w);
            else
                room =
                    w->width() - 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w);
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            text = edit->text();
            // Frame and the edit's inner margins.
            room = w->width() -
                   2 * w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w) - 4;
        } else {
            continue;
        }
        text.remove(QLatin1Char('&'));
        if (text.isEmpty())
            continue;
        int need = 0;
        for (const QString& line : text.split(QLatin1Char('\n')))
            need = std::max(need, metrics.horizontalAdvance(line));
        EXPECT_LE(need, room) << where << ": \"" << text.toStdString() << "\" needs " << need
                              << " px, " << w->objectName().toStdString() << " gives " << room;
    }
}

void clickTab(MainDialog& main, int tab) {
    QTabBar* bar = main.tabs->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
}

bool pageShown(MainDialog& main, int tab) {
    const fw::Dialog* page = main.page(tab);
    return main.tabs->curSel() == tab && page != nullptr && page->widget()->isVisible();
}

// A box without an owner leaves the main window usable, so it is not the active modal widget.
QWidget* openMessageBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox*>(w) != nullptr && w->isVisible())
            return w;
    }
    return nullptr;
}

// Runs `action` (which opens a modal window) while a timer waits for a visible top-level widget
// that `find` picks and hands it to `use`, which must close it.
void whileModal(const std::function<QWidget*()>& find, const std::function<void(QWidget*)>& use,
                const std::function<void()>& action) {
    bool handled = false;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (handled)
            return;
        if (QWidget* w = find(); w != nullptr && w->isVisible()) {
            handled = true;
            // Let it lay itself out and paint once before the picture.
            QTimer::singleShot(200, w, [w, &use] { use(w); });
        } else if (waited.elapsed() > kWaitMs) {
            handled = true;
            ADD_FAILURE() << "the window did not show";
            // Whatever did open is closed, so the test goes on.
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
            if (QWidget* box = openMessageBox())
                box->close();
        }
    });
    poll.start();
    action();
    EXPECT_TRUE(handled);
}

class AppScreenshots : public ::testing::Test {
protected:
    void SetUp() override {
        BRIX_REQUIRE_PRIVATE_NETNS();
        ASSERT_TRUE(work.isValid());
        ASSERT_TRUE(runtime.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(work.path()));
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        theApp.ExitInstance();
        linkReset();
        fw::uiBridge().reset();
        // No box may wait for a user here unless a step asks for a real one.
        fw::setMessageBoxHandler([](const fw::MessageBoxRequest&) { return fw::IDCANCEL; });

        // The modem's channel plan as this computer stored it, with the labels a user gave it:
        // the modem's answer matches, so the labels show.
        const char* labels[] = {"Head end",  "Office 2nd fl", "Office 1st fl", "Warehouse",
                                "Lab bench", "Spare A",       "Spare B",       "Field test",
                                "Backup",    "Maintenance"};
        ChannelTable stored;
        const sim::Bytes plan = sim::Modem::defaultChannelTable();
        ASSERT_EQ(plan.size(), kChannelTableBodyBytes);
        stored.applyBody(ChannelTableBody::fromBytes(plan.data()));
        for (int k = 0; k < kChannelCount; ++k)
            stored.setLabel(k, labels[k]);
        ASSERT_TRUE(stored.save(BrixTuner::channelFileName()));

        // The modem: its reports (versions, statistics, RF, debug lines) several times a second.
        modem.setProgram(QStringLiteral(BRIX_MODEM_SIM_PATH));
        modem.setArguments({QStringLiteral("--quiet"), QStringLiteral("--seed"),
                            QStringLiteral("7"), QStringLiteral("--flood"), QStringLiteral("8"),
                            QStringLiteral("--link-test"), QStringLiteral("0")});
        modem.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A test killed by its time-out must not leave the modem running.
        modem.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        modem.start();
        ASSERT_TRUE(modem.waitForStarted(5000));
    }

    void TearDown() override {
        fw::setMessageBoxHandler(nullptr);
        stopModem();
        theApp.ExitInstance();
        linkReset();
        fw::uiBridge().reset();
        if (!oldCwd.isEmpty())
            QDir::setCurrent(oldCwd);
    }

    void stopModem() {
        if (modem.state() == QProcess::NotRunning)
            return;
        modem.terminate();
        if (!modem.waitForFinished(3000)) {
            modem.kill();
            modem.waitForFinished(3000);
        }
    }

    QTemporaryDir work;
    QTemporaryDir runtime;
    QString oldCwd;
    QProcess modem;
};

TEST_F(AppScreenshots, EveryTabAndBox) {
    MainDialog main;
    theApp.mainDialog = &main;
    ASSERT_TRUE(main.create(nullptr));
    main.widget()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(main.widget()));

    BrixAdvanced& advanced = *main.advancedPage;
    BrixScanner& scanner = *main.scannerPage;
    BrixDebug& console = *main.consolePage;

    // The start-up channel-table Get answered, both versions and the RF values in.
    const auto modemAnswered = [&] {
        return !advanced.itemText(BrixAdvanced::kFirstFrequencyId).isEmpty() &&
               advanced.itemText(BrixAdvanced::kMicrocodeVersionId) !=
                   QStringLiteral("Unavailable") &&
               scanner.itemText(BrixScanner::kBootVersionId) != QStringLiteral("Unavailable") &&
               linkState().rxFrequency.load() != 0 && linkState().rxPacketRate.load() != 0;
    };
    ASSERT_TRUE(QTest::qWaitFor(modemAnswered, kWaitMs));

    // Scanner: its boxes as the modem holds them, after a Get.
    clickTab(main, MainDialog::kScannerTab);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pageShown(main, MainDialog::kScannerTab); }));
    auto* get = scanner.itemAs<QAbstractButton>(BrixScanner::kGetId);
    ASSERT_NE(get, nullptr);
    get->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return get->isEnabled(); }, kWaitMs));
    int checked = 0;
    for (const auto& row : BrixScanner::kRows) {
        for (int id : {row.planId, row.rate682Id, row.rate945Id})
            checked += scanner.isItemChecked(id) ? 1 : 0;
    }
    EXPECT_GT(checked, 0);
    save(main.widget(), "scanner");
    expectCaptionsFit(main.widget(), "Scanner tab");

    clickTab(main, MainDialog::kAdvancedTab);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pageShown(main, MainDialog::kAdvancedTab); }));
    for (int k = 0; k < kChannelCount; ++k) {
        EXPECT_FALSE(advanced.itemText(BrixAdvanced::kFirstFrequencyId + k).isEmpty()) << k;
        EXPECT_FALSE(advanced.itemText(BrixAdvanced::kFirstLabelId + k).isEmpty()) << k;
    }
    save(main.widget(), "advanced");
    expectCaptionsFit(main.widget(), "Advanced tab");

    // Tuner: its timer draws the link's values twice a second while the tab is shown; one more
    // RF report and statistics poll land within the wait.
    clickTab(main, MainDialog::kTunerTab);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pageShown(main, MainDialog::kTunerTab); }));
    QTest::qWait(3500);
    save(main.widget(), "tuner");
    expectCaptionsFit(main.widget(), "Tuner tab");

    // Console: the modem's lines, and the last rows one of each kind, which stay the newest
    // once the modem is quiet.
    stopModem();
    QTest::qWait(300);
    console.addConsoleMessage(MessageKind::Embedded, "Downstream frequency = 453.0 MHz", false);
    console.addConsoleMessage(MessageKind::Driver, "DTEQ: received 1204 lost 3", false);
    console.addConsoleMessage(MessageKind::Application, "Channel table set", false);
    console.addConsoleMessage(MessageKind::Error, "Cannot connect to the modem", false);
    clickTab(main, MainDialog::kConsoleTab);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pageShown(main, MainDialog::kConsoleTab); }));
    // Rows that arrive together may be drawn together a moment later.
    QTest::qWait(200);
    QTreeWidget* list = console.list();
    ASSERT_NE(list, nullptr);
    std::set<QString> kinds;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        kinds.insert(list->topLevelItem(i)->text(0));
    EXPECT_EQ(kinds.size(), 4u);
    // The newest row is in view.
    const QTreeWidgetItem* last = list->topLevelItem(list->topLevelItemCount() - 1);
    EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(last)));
    save(main.widget(), "console");

    // About, through its button, as a modal box over the window.
    whileModal([] { return QApplication::activeModalWidget(); },
               [](QWidget* about) {
                   save(about, "about");
                   expectCaptionsFit(about, "About box");
                   auto* ok = about->findChild<QAbstractButton*>(fw::controlObjectName(fw::IDOK));
                   if (ok != nullptr)
                       ok->click();
                   else
                       about->close();
               },
               [&] { QTest::mouseClick(main.item(MainDialog::kAboutId), Qt::LeftButton); });

    // The connection-error question as the framework really shows it.
    fw::setMessageBoxHandler(nullptr);
    int answer = -1;
    whileModal(
        openMessageBox,
        [](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            EXPECT_TRUE(box->text().startsWith(QStringLiteral("Cannot connect")));
            save(box, "connection_error");
            expectCaptionsFit(box, "connection-error box");
            QAbstractButton* cancel = box->button(QMessageBox::Cancel);
            ASSERT_NE(cancel, nullptr);
            cancel->click();
        },
        [&] { answer = showConnectionError(); });
    EXPECT_EQ(answer, 0);
    fw::setMessageBoxHandler([](const fw::MessageBoxRequest&) { return fw::IDCANCEL; });

    main.destroyWindow();
    theApp.mainDialog = nullptr;
}

}  // namespace
}  // namespace brix::testing

int main(int argc, char** argv) {
    // The offscreen screen is 800 x 600 by default: at 2x only 400 x 300 logical pixels, where
    // message boxes squeeze their text into a narrow column that no real desktop would show. A
    // desktop-sized screen instead.
    QTemporaryDir screenDir;
    const QString screenFile = screenDir.filePath(QStringLiteral("screen.json"));
    QFile screen(screenFile);
    if (screenDir.isValid() && screen.open(QIODevice::WriteOnly)) {
        screen.write(R"({"screens": [{"name": "desktop", "x": 0, "y": 0, "width": 1920,
                        "height": 1080, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        screen.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screenFile.toLocal8Bit());
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    fw::setResources(&res::resources());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
