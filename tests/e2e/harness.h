#pragma once
// End-to-end harness: the tool and the simulated modem as real processes, a client of the tool's
// automation socket (what the user sees), and a fake modem for tests that check the wire itself.
// Everything here runs inside the private network namespace of tools/netns-run.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Dialog template ids of the main window and its pages.
inline constexpr int kMain = 102;
inline constexpr int kTuner = 129;
inline constexpr int kConsole = 130;
inline constexpr int kAdvanced = 131;
inline constexpr int kScanner = 282;

// Answers of message boxes.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdRetry = 4;

std::string readFile(const std::string& path);
// A fresh, empty folder for the running test under the build tree's e2e work folder; it stays
// after the test so that logs of a failure can be read.
std::string freshWorkDir();
double msSince(Clock::time_point origin);

// A child process with its output in files. The destructor kills what is still running.
class Process {
public:
    struct Options {
        std::vector<std::string> argv;  // argv[0] is the program path
        std::vector<std::string> env;   // KEY=VALUE added to (or replacing in) this environment
        std::string cwd;
        std::string stdoutPath;
        std::string stderrPath;
    };

    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool start(const Options& options);
    pid_t pid() const { return pid_; }
    Clock::time_point startedAt() const { return startedAt_; }
    bool running();
    // The exit code (128 + signal for a killed process), or nothing when still running after
    // `timeout`.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after `grace`; returns the exit code.
    int stop(std::chrono::milliseconds grace = 3000ms);
    // Resident memory from /proc, in KiB; -1 when unknown.
    long rssKb() const;
    std::string stdoutText() const { return readFile(options_.stdoutPath); }
    std::string stderrText() const { return readFile(options_.stderrPath); }

private:
    Options options_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    Clock::time_point startedAt_{};
};

// Line client of the tool's automation socket (app/automation.h has the commands).
class Automation {
public:
    struct Reply {
        bool ok = false;
        std::string value;               // after "ok " or "err ", unescaped
        std::vector<std::string> lines;  // data lines, unescaped
    };

    ~Automation();
    // Connects, retrying until the tool listens or `timeout` has passed.
    bool connect(const std::string& path, std::chrono::milliseconds timeout);
    // Sends one command and reads its reply; a reply not complete within `timeout` is a failure.
    Reply send(const std::string& command, std::chrono::milliseconds timeout = 5000ms);
    bool connected() const { return fd_ >= 0; }

    // Shorthands; a failed command gives an empty text or false.
    std::string text(int dialog, int control);
    bool enabled(int dialog, int control);
    bool checked(int dialog, int control);
    long value(int dialog, int control);
    bool click(int dialog, int control);
    bool tab(int index);
    int rowCount();
    // The last `n` Console rows as "kind<TAB>text".
    std::vector<std::string> lastRows(int n);
    // The open message box as caption, text and flags; nothing when none is open.
    struct Box {
        std::string caption;
        std::string text;
        unsigned flags = 0;
    };
    std::optional<Box> box();
    bool answer(int result);

private:
    int fd_ = -1;
    std::string pending_;
};

std::string unescape(const std::string& s);

// Polls `condition` every 50 ms until it holds or `timeout` has passed.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// The tool run headless with its automation socket, in `workDir` (its log files and channel
// file land there).
class Tool {
public:
    Tool() = default;
    ~Tool();
    // `program` defaults to the tool of this build tree.
    bool start(const std::string& workDir, const std::vector<std::string>& args = {},
               const std::string& program = {});
    Process& process() { return process_; }
    Automation& ui() { return ui_; }
    // Closes the main window through its Exit button and waits for the process to end;
    // returns its exit code (-1 when it did not end by itself and had to be killed).
    int quit(std::chrono::milliseconds timeout = 10000ms);
    // The tool's stderr, for failure messages.
    std::string diagnostics() const;

private:
    Process process_;
    Automation ui_;
    std::string workDir_;
};

// The simulated modem program with its frame log in `workDir`/modem.log.
class ModemSim {
public:
    bool start(const std::string& workDir, const std::vector<std::string>& args);
    Process& process() { return process_; }
    std::string log() const { return process_.stdoutText(); }
    // Counts log lines holding `needle`.
    int countLines(const std::string& needle) const;

private:
    Process process_;
};

// A modem played by the test: records every frame the tool sends, with its arrival time, and
// answers through a handler of the test's choosing. Binds the modem's port, so it cannot run
// beside ModemSim.
class FakeModem {
public:
    struct Frame {
        double atMs = 0;  // since the origin
        int type = -1;    // -1 for a datagram too short for a header
        Bytes bytes;
    };
    using Responder = std::function<void(const Frame&, FakeModem&)>;

    ~FakeModem();
    bool open(std::string& error);
    // Times are measured from `origin` (usually the tool's start).
    void start(Clock::time_point origin, Responder responder = {});
    void stop();

    // Broadcasts a datagram to the tool's port.
    void send(const Bytes& datagram);

    std::vector<Frame> frames() const;
    std::vector<Frame> framesOfType(int type) const;
    // Waits until `count` frames of `type` have arrived.
    bool waitForFrames(int type, std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void loop();

    int fd_ = -1;
    Clock::time_point origin_{};
    Responder responder_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Frame> frames_;
};

}  // namespace e2e
