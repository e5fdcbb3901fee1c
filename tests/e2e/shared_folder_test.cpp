// The shipped tool started by one user in a folder that others write too (as /tmp is), where
// another user has planted symbolic links in place of its files, and ended by SIGTERM as a
// service manager or `timeout` ends it.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "private_netns.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr uid_t kUser = 65534;     // runs the tool
constexpr uid_t kPlanter = 65533;  // planted the links

void writeText(const fs::path& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

// Two users: root gives the links their owner and starts the tool as the other user through
// setpriv, so this runs only as root (as CI runs it).
TEST(SharedFolderTest, PlantedLinksWriteNothingAndSigtermEndsTheToolAsExitDoes) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    if (::geteuid() != 0 || ::access(kSetpriv, X_OK) != 0)
        GTEST_SKIP()
            << "needs root and setpriv to start the tool as a second user; CI runs as root";

    const fs::path work = freshWorkDir();
    const fs::path shared = work / "shared";  // like /tmp: sticky, everybody writes, root's
    const fs::path home = work / "home";      // the user's own, that nobody else may enter
    fs::create_directories(shared);
    fs::create_directories(home / "runtime");
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const fs::path important = home / "important.txt";
    writeText(important, "important\n", 0600);
    for (const fs::path& p : {home, home / "runtime", important})
        ASSERT_EQ(::chown(p.c_str(), kUser, kUser), 0);
    for (const fs::path& p : {home, home / "runtime"})
        ASSERT_EQ(::chmod(p.c_str(), 0700), 0);
    for (const auto& [name, target] : {std::pair{"Brix Tool .lb", important},
                                       std::pair{"radiostt.log", home / "made-by-the-link"}}) {
        fs::create_symlink(target, shared / name);
        ASSERT_EQ(::lchown((shared / name).c_str(), kPlanter, kPlanter), 0);
    }

    FakeModem modem;
    std::string error;
    ASSERT_TRUE(modem.open(error)) << "cannot bind the modem's port: " << error;
    Process tool;
    Process::Options o;
    o.argv = {kSetpriv,
              "--reuid=" + std::to_string(kUser),
              "--regid=" + std::to_string(kUser),
              "--clear-groups",
              BRIX_SHIPPED_TOOL_PATH,
              "-LogFile"};
    o.env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + home.string(),
             "XDG_RUNTIME_DIR=" + (home / "runtime").string(), "TMPDIR=" + home.string()};
    o.cwd = shared;
    o.stdoutPath = work / "tool.out";
    o.stderrPath = work / "tool.err";
    ASSERT_TRUE(tool.start(o));
    modem.start(tool.startedAt());
    // The channel-table Get that the link sends at its start: the window is up.
    ASSERT_TRUE(modem.waitForFrames(0, 1, 30000ms)) << tool.stderrText();

    const auto signalled = Clock::now();
    ASSERT_EQ(::kill(tool.pid(), SIGTERM), 0);
    EXPECT_EQ(tool.waitExit(1000ms), std::optional<int>(0)) << tool.stderrText();
    std::printf("ended %.0f ms after SIGTERM\n", msSince(signalled));
    modem.stop();

    // Nothing was written through the links, and they are still there.
    EXPECT_EQ(readFile(important), "important\n");
    struct stat info {};
    ASSERT_EQ(::stat(important.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_FALSE(fs::exists(home / "made-by-the-link"));
    EXPECT_TRUE(fs::is_symlink(shared / "Brix Tool .lb"));
    EXPECT_TRUE(fs::is_symlink(shared / "radiostt.log"));
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(shared))
        names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"Brix Tool .lb", "radio.log", "radiostt.log"}));

    // The user's own message log got the reason, written as the window closed.
    const std::string log = readFile(shared / "radio.log");
    EXPECT_NE(log.find("\tError Channel labels not saved: \"Brix Tool .lb\" is a symbolic link of "
                       "another user (uid 65533) in a folder that others may write (sticky): "
                       "not followed\r\n"),
              std::string::npos)
        << log;
}

}  // namespace
}  // namespace e2e
