#pragma once
// The application object: refuses a second copy of the tool, opens the log files when the
// command line asks for them, and runs the main window modally. The one global `theApp` is how
// the pages and the link's peer reach the running main window (theApp.mainDialog).

#include <cstdio>
#include <string>

namespace brix {

class MainDialog;

// The whole command line that switches the logs on (case-sensitive, nothing more or less).
inline constexpr char kLogFileSwitch[] = "-LogFile";
// File names, relative to the current directory.
inline constexpr char kMessageLogName[] = "radio.log";
inline constexpr char kStatisticsLogName[] = "radiostt.log";
// Name of the per-user instance lock.
inline constexpr char kInstanceLockName[] = "BrixToolsNamedMutex";
// The one line the statistics log gets at each start; the logs use CR LF line ends.
inline constexpr char kStatisticsHeader[] =
    "  time      date    tx-pckts tx-frms tx-byts tx-errs  rx-frms rx-rjct rx-sync         "
    "memory\r\n";

class ToolApp {
public:
    // Runs the tool to its end on the calling (user-interface) thread. A QApplication must
    // exist. Always false: there is no message loop of the application's own after it.
    bool InitInstance();

    // The text after the program name, as `commandLineFromArgs` makes it.
    void setCommandLine(std::string text) { commandLine_ = std::move(text); }
    const std::string& commandLine() const { return commandLine_; }

    // Descriptor of the instance lock: held (never unlocked) until the process ends, so the
    // system frees it even after a crash. -1 when it could not be opened.
    int instanceMutex = -1;
    // The main window while it exists.
    MainDialog* mainDialog = nullptr;
    // True when the message log is open and lines are to be written to it.
    bool logEnabled = false;
    std::FILE* messageLog = nullptr;     // "radio.log"
    std::FILE* statisticsLog = nullptr;  // "radiostt.log"

    // The end of the run: closes the lock and any open log, and forgets the main window.
    void ExitInstance();

private:
    std::string commandLine_;
};

extern ToolApp theApp;

// The arguments after the program name joined by single blanks, leading blanks (and tabs)
// skipped.
std::string commandLineFromArgs(int argc, const char* const* argv);

// Where the instance lock lives: $XDG_RUNTIME_DIR/BrixToolsNamedMutex, or
// /tmp/BrixToolsNamedMutex-<uid> without a usable runtime directory.
std::string instanceLockPath();

// Takes the instance lock. False only when another process (or another open of the same file)
// holds it; any other failure counts as being the only instance. `fd` receives the descriptor
// to keep open (-1 on failure).
bool acquireInstanceLock(const std::string& path, int& fd);

}  // namespace brix
