// Start-up of the tool: the command line, the log files, the instance lock, and the failure to
// start the link. Some tests run the real executable as a child process.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "app_test_support.h"
#include "framework/ui_bridge.h"
#include "link/link_state.h"
#include "private_netns.h"

namespace brix::testing {
namespace {

constexpr char kChannelFile[] = "Brix Tool .lb";

std::string joined(std::initializer_list<const char*> args) {
    std::vector<const char*> argv(args);
    return commandLineFromArgs(static_cast<int>(argv.size()), argv.data());
}

// Forgets the previous run in this process: its lock, logs, link and bridge.
void readyForAnotherRun() {
    theApp.ExitInstance();
    linkReset();
    fw::uiBridge().reset();
}

Script closeOnceShown() {
    Script script;
    script.waitFor("main window shown", [] {
        MainDialog* main = mainWindow();
        return main != nullptr && main->widget() != nullptr && main->widget()->isVisible();
    });
    return script;
}

// True when process `pid` holds a whole-file lock (flock) according to the kernel.
bool holdsFlock(qint64 pid) {
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray needle = " " + QByteArray::number(pid) + " ";
    for (const QByteArray& line : locks.readAll().split('\n')) {
        if (line.contains("FLOCK") && line.contains(needle))
            return true;
    }
    return false;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

class ToolProcess {
public:
    ToolProcess(const QString& cwd, const QString& runtimeDir, const QString& boxLog) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        env.insert(QStringLiteral("BRIXTOOL_TEST_BOX_LOG"), boxLog);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(cwd);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~ToolProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    bool start(const QStringList& args) {
        process.start(QStringLiteral(BRIXTOOL_PATH), args);
        return process.waitForStarted(5000);
    }
    QProcess process;
};

TEST(CommandLine, IsTheArgumentsAfterTheProgramNameWithLeadingBlanksSkipped) {
    EXPECT_EQ(joined({"brixtool"}), "");
    EXPECT_EQ(joined({"brixtool", "-LogFile"}), "-LogFile");
    EXPECT_EQ(joined({"brixtool", "", "-LogFile"}), "-LogFile");
    EXPECT_EQ(joined({"brixtool", " \t-LogFile"}), "-LogFile");
    EXPECT_EQ(joined({"brixtool", "-LogFile", ""}), "-LogFile ");
    EXPECT_EQ(joined({"brixtool", "-LogFile", "x"}), "-LogFile x");
    EXPECT_EQ(joined({"brixtool", "a", " b"}), "a  b");
}

TEST_F(AppTest, OnlyTheExactSwitchOpensTheLogs) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    for (const char* line : {"-logfile", "-LOGFILE", "-LogFile ", "-LogFile x", "/LogFile",
                             "LogFile", "--LogFile", ""}) {
        closeOnceShown().runTool(line);
        EXPECT_FALSE(QFile::exists(QStringLiteral("radio.log"))) << '"' << line << '"';
        EXPECT_FALSE(QFile::exists(QStringLiteral("radiostt.log"))) << '"' << line << '"';
        readyForAnotherRun();
    }

    closeOnceShown().runTool("-LogFile");
    EXPECT_EQ(readBytes(workPath(QStringLiteral("radio.log"))), "");
    const std::string header = kStatisticsHeader;
    ASSERT_EQ(header.size(), 94u);  // 93 characters with the line end, stored as CR LF
    EXPECT_EQ(header.substr(0, 16), "  time      date");
    EXPECT_EQ(readBytes(workPath(QStringLiteral("radiostt.log"))), header);

    // Each start appends; nothing is truncated.
    readyForAnotherRun();
    closeOnceShown().runTool("-LogFile");
    EXPECT_EQ(readBytes(workPath(QStringLiteral("radiostt.log"))), header + header);
    EXPECT_EQ(readBytes(workPath(QStringLiteral("radio.log"))), "");
}

TEST_F(AppTest, MessageLogThatCannotBeOpenedMeansLoggingOffAndANormalStart) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    // A folder in the log's place cannot be opened as a file, not even by root.
    ASSERT_TRUE(QDir(work.path()).mkdir(QStringLiteral("radio.log")));
    bool started = false;
    bool logging = true;
    closeOnceShown()
        .then([&] {
            started = true;
            logging = theApp.logEnabled;
        })
        .runTool("-LogFile");
    EXPECT_TRUE(started);
    EXPECT_FALSE(logging);
    EXPECT_TRUE(boxes.empty());
    // The statistics log opened all the same; it is left open to the process exit, and not
    // to the programs the tool starts (the help viewer).
    ASSERT_NE(theApp.statisticsLog, nullptr);
    EXPECT_NE(::fcntl(::fileno(theApp.statisticsLog), F_GETFD) & FD_CLOEXEC, 0);
    std::fflush(theApp.statisticsLog);
    EXPECT_EQ(readBytes(workPath(QStringLiteral("radiostt.log"))), kStatisticsHeader);
}

TEST_F(AppTest, SecondInstanceIsRefusedWithTheExactBoxAndNothingElse) {
    // Should the refusal fail, the tool would start its link.
    BRIX_REQUIRE_PRIVATE_NETNS();
    const std::string lockPath = instanceLockPath();
    EXPECT_EQ(QString::fromStdString(lockPath),
              runtime.path() + QStringLiteral("/BrixToolsNamedMutex"));
    int holder = -1;
    ASSERT_TRUE(acquireInstanceLock(lockPath, holder));
    ASSERT_GE(holder, 0);
    const QStringList before = workFiles();

    bool windowOpened = false;
    Script()
        .waitFor("main window", [&] { return (windowOpened = mainWindow() != nullptr); })
        .runTool("-LogFile");

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("Another instance of Brix Tool is already running"));
    EXPECT_EQ(boxes[0].caption, QStringLiteral("Brix Tool Error"));
    EXPECT_EQ(boxes[0].flags, fw::MB_OK | fw::MB_ICONERROR);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_FALSE(windowOpened);
    EXPECT_EQ(theApp.mainDialog, nullptr);
    EXPECT_EQ(workFiles(), before);  // no log, no channel file
    EXPECT_EQ(theApp.messageLog, nullptr);
    EXPECT_EQ(linkSocketPort(), -1);
    ::close(holder);
}

TEST(InstanceLock, OnlyOurOwnRegularFileIsTheLock) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Our own file: taken, and refused to a second taker while held.
    const std::string own = dir.filePath(QStringLiteral("own")).toStdString();
    int holder = -1;
    ASSERT_TRUE(acquireInstanceLock(own, holder));
    ASSERT_GE(holder, 0);
    int second = -1;
    EXPECT_FALSE(acquireInstanceLock(own, second));
    ::close(holder);
    if (second >= 0)
        ::close(second);

    // A symbolic link in the lock's place is not followed, and means no lock.
    const std::string link = dir.filePath(QStringLiteral("link")).toStdString();
    ASSERT_EQ(::symlink(own.c_str(), link.c_str()), 0);
    int fd = -1;
    EXPECT_TRUE(acquireInstanceLock(link, fd));
    EXPECT_EQ(fd, -1);

    // Nor is a file that is not a regular one (a FIFO opens, and takes a lock, all the same).
    const std::string fifo = dir.filePath(QStringLiteral("fifo")).toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fd = -1;
    EXPECT_TRUE(acquireInstanceLock(fifo, fd));
    EXPECT_EQ(fd, -1);

    // Another user's file (in /tmp anybody may make it first), even locked: the tool starts.
    // Making a file another user's needs root: CI runs the suite as root, so this part runs
    // there; a developer who is not root sees it skipped.
    if (::getuid() != 0)
        GTEST_SKIP() << "handing a file to another user needs root";
    const std::string theirs = dir.filePath(QStringLiteral("theirs")).toStdString();
    const int made = ::open(theirs.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(made, 0);
    ASSERT_EQ(::fchown(made, 65534, 65534), 0);
    ASSERT_EQ(::flock(made, LOCK_EX | LOCK_NB), 0);
    fd = -1;
    EXPECT_TRUE(acquireInstanceLock(theirs, fd));
    EXPECT_EQ(fd, -1);
    ::close(made);
}

TEST_F(AppTest, InstanceLockIsFreedWhenItsHolderIsKilled) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    QDir(work.path()).mkdir(QStringLiteral("first"));
    QDir(work.path()).mkdir(QStringLiteral("second"));
    const QString boxLog = workPath(QStringLiteral("boxes"));

    ToolProcess first(workPath(QStringLiteral("first")), runtime.path(), boxLog);
    ASSERT_TRUE(first.start({}));
    const qint64 firstPid = first.process.processId();
    ASSERT_TRUE(waitUntil([&] { return holdsFlock(firstPid); }, std::chrono::seconds(20)));

    ToolProcess second(workPath(QStringLiteral("second")), runtime.path(), boxLog);
    ASSERT_TRUE(second.start({QStringLiteral("-LogFile")}));
    ASSERT_TRUE(second.process.waitForFinished(20000));
    EXPECT_EQ(second.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_EQ(readBytes(boxLog),
              "Brix Tool Error|Another instance of Brix Tool is already running|0x10\n");
    EXPECT_TRUE(QDir(workPath(QStringLiteral("second"))).isEmpty());

    // A crash leaves no stale lock: the next start runs.
    first.process.kill();
    ASSERT_TRUE(first.process.waitForFinished(5000));
    ToolProcess third(workPath(QStringLiteral("second")), runtime.path(), boxLog);
    ASSERT_TRUE(third.start({}));
    const qint64 thirdPid = third.process.processId();
    EXPECT_TRUE(waitUntil([&] { return holdsFlock(thirdPid); }, std::chrono::seconds(20)));
    EXPECT_EQ(third.process.state(), QProcess::Running);
    const std::string logged = readBytes(boxLog);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
}

TEST_F(AppTest, LinkStartFailureShowsTheErrorBoxAndEndsWithExitCode1) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    // Another program has the tool's port.
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kLocalPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    const QString boxLog = workPath(QStringLiteral("boxes"));
    ToolProcess tool(work.path(), runtime.path(), boxLog);
    ASSERT_TRUE(tool.start({QStringLiteral("-LogFile")}));
    ASSERT_TRUE(tool.process.waitForFinished(20000));
    ::close(blocker);

    EXPECT_EQ(tool.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tool.process.exitCode(), 1);
    // The holder offers no link to attach to, and the box and the Console name it.
    std::string self;
    std::getline(std::ifstream("/proc/self/comm"), self);
    const std::string holder = "port 30587 is held by " + self + " (pid " +
                               std::to_string(::getpid()) + "), which offers no link to attach to";
    EXPECT_EQ(readBytes(boxLog),
              "ERROR|Cannot initialize sockets. \\nClose other running sockets applications and "
              "try again.\\n\\n" +
                  holder + "|0x10\n");
    // linkStart's own lines went to the Console and, with -LogFile, to the log.
    const std::string log = readBytes(workPath(QStringLiteral("radio.log")));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find(" \tError Cannot initialize sockets !!!\r\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(" \tError " + holder + "\r\n")) << log;
    EXPECT_EQ(readBytes(workPath(QStringLiteral("radiostt.log"))), kStatisticsHeader);
    // The process ended at once: no page was taken down, so the channel file was not saved.
    EXPECT_FALSE(QFile::exists(workPath(QString::fromLatin1(kChannelFile))));
}

}  // namespace
}  // namespace brix::testing
