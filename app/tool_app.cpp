#include "app/tool_app.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QString>
#include <QWidget>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/main_dialog.h"
#include "app/quit_signals.h"
#include "channels/shared_folder.h"
#include "framework/message_box.h"
#include "res/resources.h"

namespace brix {

ToolApp theApp;

namespace {

constexpr int kProductNameString = 103;
constexpr int kErrorCaptionString = 104;

// A log opened as fopen's "a+" opens it, close-on-exec (the viewer that Help starts must not
// hold it open). A symbolic link in its place is followed only as the rule for shared folders
// allows: in /tmp, another user's link is not written through.
std::FILE* openLog(const char* name) {
    std::string refused;
    const int fd = openFollowingRule(name, O_RDWR | O_CREAT | O_APPEND, 0666, refused);
    std::FILE* log = fd >= 0 ? ::fdopen(fd, "a+") : nullptr;
    if (log == nullptr && fd >= 0)
        ::close(fd);
    return log;
}

// Opens both logs when asked; failures are silent and leave that log closed.
void openLogs(ToolApp& app) {
    app.messageLog = openLog(kMessageLogName);
    app.logEnabled = app.messageLog != nullptr;
    app.statisticsLog = openLog(kStatisticsLogName);
    if (app.statisticsLog != nullptr)
        std::fputs(kStatisticsHeader, app.statisticsLog);
}

// What a quit signal does: the tool ends as its Exit button ends it.
void quitAsExit() {
    // The main window goes first, the Exit button's way: the link stops (which also closes a
    // question it has open), the window closes, and its pages save the channel file and close
    // the logs on their way out.
    if (MainDialog* main = theApp.mainDialog)
        main->quit();
    // Whatever else is open leaves its own loop, so that the main window's can end: a menu,
    // About, Enter Frequency, a box of the start-up.
    while (QWidget* popup = QApplication::activePopupWidget())
        popup->close();
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog != nullptr && dialog->isVisible())
            dialog->reject();
    }
}

// Qt ends the process with exit(1) when the X server goes away, from inside the window's event
// loop: the stack is never unwound, and the static objects would go while the link's threads
// still run. What the window's close would keep is kept, then the process ends at once.
void endWhileTheWindowRuns() {
    MainDialog* main = theApp.mainDialog;
    if (main == nullptr)
        return;  // an ordinary end, or one before the window
    main->keepWhatClosingKeeps();
    theApp.ExitInstance();
    std::fflush(nullptr);
    ::_exit(1);
}

}  // namespace

std::string commandLineFromArgs(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        if (argv[i] != nullptr)
            line += argv[i];
    }
    const std::size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : line.substr(first);
}

std::string instanceLockPath() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (runtimeDir != nullptr && runtimeDir[0] == '/' && ::stat(runtimeDir, &info) == 0 &&
        S_ISDIR(info.st_mode)) {
        return std::string(runtimeDir) + "/" + kInstanceLockName;
    }
    return std::string("/tmp/") + kInstanceLockName + "-" + std::to_string(::getuid());
}

bool acquireInstanceLock(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true;  // no lock to be had: run as the only instance
    // In a shared directory (the /tmp fallback) anybody may have made the file first: only our
    // own regular file is our lock, and another user's must not keep the tool from starting.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        ::close(fd);
        fd = -1;
        return true;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    // Only "somebody holds it" refuses; a file system without locks lets the tool run.
    return rc == 0 || errno != EWOULDBLOCK;
}

bool ToolApp::InitInstance() {
    onQuitSignals(quitAsExit);
    std::atexit(endWhileTheWindowRuns);
    fw::setResources(&res::resources());
    const QString caption = res::loadString(kErrorCaptionString);
    const QString message = QStringLiteral("Another instance of ") +
                            res::loadString(kProductNameString) +
                            QStringLiteral("is already running");

    if (!acquireInstanceLock(instanceLockPath(), instanceMutex)) {
        fw::messageBox(nullptr, message, caption, fw::MB_OK | fw::MB_ICONERROR);
        return false;
    }

    if (commandLine_ == kLogFileSwitch)
        openLogs(*this);

    {
        MainDialog dialog;
        mainDialog = &dialog;
        dialog.doModal(nullptr);
        // The pages are gone with the window; nobody may reach them through here any more.
        mainDialog = nullptr;
    }
    return false;
}

void ToolApp::ExitInstance() {
    if (instanceMutex >= 0)
        ::close(instanceMutex);
    instanceMutex = -1;
    if (messageLog != nullptr)
        std::fclose(messageLog);
    if (statisticsLog != nullptr)
        std::fclose(statisticsLog);
    messageLog = nullptr;
    statisticsLog = nullptr;
    logEnabled = false;
    mainDialog = nullptr;
}

}  // namespace brix
