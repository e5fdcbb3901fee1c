#include "app_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QWidget>

#include <fstream>
#include <sstream>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "framework/ui_bridge.h"
#include "link/link_state.h"
#include "pages/console/brix_debug.h"

namespace brix::testing {

Script& Script::waitFor(const char* what, std::function<bool()> condition,
                        std::chrono::milliseconds timeout) {
    steps_.push_back({what, std::move(condition), nullptr, timeout});
    return *this;
}

Script& Script::then(std::function<void()> action) {
    steps_.push_back({"action", nullptr, std::move(action), std::chrono::milliseconds(0)});
    return *this;
}

void Script::abandon(const char* what) {
    ADD_FAILURE() << "timed out waiting for: " << what;
    failed_ = true;
    next_ = steps_.size();
    // Whatever is open is answered by closing it; then the main window goes.
    if (QWidget* modal = QApplication::activeModalWidget();
        modal != nullptr && modal != (mainWindow() ? mainWindow()->widget() : nullptr)) {
        modal->close();
    }
    if (QWidget* popup = QApplication::activePopupWidget())
        popup->close();
    fw::uiBridge().cancelAll();
    clickExit();
}

void Script::tick() {
    if (next_ >= steps_.size()) {
        if (!failed_ && next_ == steps_.size()) {
            ++next_;  // once
            clickExit();
        }
        return;
    }
    Step& step = steps_[next_];
    if (!step.condition) {
        // Qt never fires a timer again while its own handler runs, so an action that opens a
        // modal loop must not run from here: it runs as a posted call, and the script goes on
        // inside its loop.
        ++next_;
        stepStarted_ = Clock::now();
        QMetaObject::invokeMethod(qApp, step.action, Qt::QueuedConnection);
        return;
    }
    if (step.condition()) {
        ++next_;
        stepStarted_ = Clock::now();
        return;
    }
    if (Clock::now() - stepStarted_ > step.timeout)
        abandon(step.what);
}

void Script::runTool(const std::string& commandLine) {
    next_ = 0;
    failed_ = false;
    stepStarted_ = Clock::now();
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
    timer.start();
    theApp.setCommandLine(commandLine);
    theApp.InitInstance();
}

MainDialog* mainWindow() {
    return theApp.mainDialog;
}

QWidget* visibleWindow(const QString& objectNameOrTitle) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() &&
            (w->objectName() == objectNameOrTitle || w->windowTitle() == objectNameOrTitle)) {
            return w;
        }
    }
    return nullptr;
}

bool clickButton(QWidget* dialog, int id) {
    if (dialog == nullptr)
        return false;
    auto* button = dialog->findChild<QAbstractButton*>(fw::controlObjectName(id));
    if (button == nullptr || !button->isEnabled())
        return false;
    button->click();
    return true;
}

void clickExit() {
    if (MainDialog* main = mainWindow(); main != nullptr && main->widget() != nullptr)
        clickButton(main->widget(), MainDialog::kExitId);
}

void AppTest::SetUp() {
    ASSERT_TRUE(work.isValid());
    ASSERT_TRUE(runtime.isValid());
    oldCwd_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(work.path()));
    oldRuntime_ = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    // The window records its history: into the test's folder, not the home of whoever runs it.
    qputenv("BRIX_HISTORY", (work.path() + QStringLiteral("/history.sqlite3")).toLocal8Bit());

    theApp.ExitInstance();
    linkReset();
    resetConsoleLogLineCount();
    fw::uiBridge().reset();
    answer = [](const fw::MessageBoxRequest& box) {
        const unsigned buttons = box.flags & 0xFu;
        return buttons == fw::MB_RETRYCANCEL || buttons == fw::MB_OKCANCEL ? fw::IDCANCEL
                                                                           : fw::IDOK;
    };
    fw::setMessageBoxHandler([this](const fw::MessageBoxRequest& box) {
        boxes.push_back(box);
        return answer(box);
    });
}

void AppTest::TearDown() {
    fw::setMessageBoxHandler(nullptr);
    theApp.ExitInstance();
    linkReset();
    fw::uiBridge().reset();
    QDir::setCurrent(oldCwd_);
    qputenv("XDG_RUNTIME_DIR", oldRuntime_);
    qunsetenv("BRIX_HISTORY");
}

QStringList AppTest::workFiles() const {
    return QDir(work.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

std::string readBytes(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace brix::testing
