#pragma once
// Running the whole tool in the test process, and as a child process.
//
// A run of ToolApp::InitInstance blocks in the main window's modal loop, and every modal box or
// menu opened from there blocks again inside it. So a test describes what the user does as a
// script of steps that a timer works through from inside those loops: `waitFor` steps poll a
// condition, `then` steps act once (and may open a modal window themselves: the script goes on
// inside it).

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "framework/message_box.h"

class QWidget;

namespace brix {

class MainDialog;

namespace testing {

class Script {
public:
    using Clock = std::chrono::steady_clock;

    Script& waitFor(const char* what, std::function<bool()> condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    Script& then(std::function<void()> action);

    // Starts the tool with `commandLine`, works through the steps, then closes the main window
    // through its Exit button (unless a step closed it). Returns when InitInstance does.
    void runTool(const std::string& commandLine = "");

private:
    struct Step {
        const char* what;
        std::function<bool()> condition;  // null for an action
        std::function<void()> action;
        std::chrono::milliseconds timeout;
    };
    void tick();
    void abandon(const char* what);

    std::vector<Step> steps_;
    std::size_t next_ = 0;
    Clock::time_point stepStarted_;
    bool failed_ = false;
};

// The running main window (null when there is none).
MainDialog* mainWindow();
// A visible top-level widget with this object name or window title, or null.
QWidget* visibleWindow(const QString& objectNameOrTitle);
// Clicks the button with this template id in `dialog` (a widget tree), as the user would.
bool clickButton(QWidget* dialog, int id);
// Closes the main window through its Exit button.
void clickExit();

// Each test in its own current folder and its own runtime folder (the instance lock), with
// boxes answered by `answer` and recorded in `boxes`.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString workPath(const QString& name) const { return work.filePath(name); }
    // Files in the working folder.
    QStringList workFiles() const;

    QTemporaryDir work;
    QTemporaryDir runtime;
    std::vector<fw::MessageBoxRequest> boxes;
    // Default: Cancel where there is one (the connection-error question), else OK.
    std::function<int(const fw::MessageBoxRequest&)> answer;

private:
    QString oldCwd_;
    QByteArray oldRuntime_;
};

std::string readBytes(const QString& path);

}  // namespace testing
}  // namespace brix
