#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "protocol.h"

extern char** environ;

namespace e2e {

namespace {

constexpr std::uint16_t kModemPort = 30588;
constexpr std::uint16_t kToolPort = 30587;

// Whether a UDP socket of this network namespace is bound to `port` (/proc/net/udp lists the
// namespace of the reading process).
bool udpPortBound(std::uint16_t port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X ", port);
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        // "  sl  local_address rem_address ...": the local port follows the first colon pair.
        const auto local = line.find(':', line.find(':') + 1);
        if (local != std::string::npos && line.compare(local, 6, wanted) == 0)
            return true;
    }
    return false;
}

std::string currentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        return "outside-a-test";
    return std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string freshWorkDir() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(BRIX_E2E_WORK_ROOT) / currentTestName();
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    return dir.string();
}

double msSince(Clock::time_point origin) {
    return std::chrono::duration<double, std::milli>(Clock::now() - origin).count();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (true) {
        if (condition())
            return true;
        if (Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(50ms);
    }
}

// ---- Process ----

Process::~Process() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool Process::start(const Options& options) {
    options_ = options;
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        const auto eq = kv.find('=');
        if (eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const std::string& kv : options.env) {
        const auto eq = kv.find('=');
        if (eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<std::string> args = options.argv;
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, options.cwd.c_str());
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, options.stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, options.stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    startedAt_ = Clock::now();
    const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    reaped_ = false;
    return true;
}

bool Process::running() {
    if (pid_ <= 0 || reaped_)
        return false;
    return !waitExit(0ms).has_value();
}

std::optional<int> Process::waitExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    if (reaped_)
        return exitCode_;
    const auto until = Clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode_;
        }
        if (r < 0 && errno != EINTR) {
            reaped_ = true;
            return exitCode_;
        }
        if (Clock::now() >= until)
            return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

int Process::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return -1;
    if (!reaped_)
        ::kill(pid_, SIGTERM);
    if (auto code = waitExit(grace))
        return *code;
    ::kill(pid_, SIGKILL);
    return waitExit(5000ms).value_or(-1);
}

long Process::rssKb() const {
    if (pid_ <= 0 || reaped_)
        return -1;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// ---- Automation ----

std::string unescape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    return out;
}

Automation::~Automation() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Automation::connect(const std::string& path, std::chrono::milliseconds timeout) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return eventually(
        [&] {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0)
                return false;
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
                ::close(fd);
                return false;
            }
            fd_ = fd;
            return true;
        },
        timeout);
}

Automation::Reply Automation::send(const std::string& command, std::chrono::milliseconds timeout) {
    Reply reply;
    if (fd_ < 0) {
        reply.value = "not connected";
        return reply;
    }
    const std::string line = command + "\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        reply.value = "send failed";
        return reply;
    }
    const auto until = Clock::now() + timeout;
    while (true) {
        std::size_t nl;
        while ((nl = pending_.find('\n')) != std::string::npos) {
            std::string got = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (got.rfind("> ", 0) == 0) {
                reply.lines.push_back(unescape(got.substr(2)));
            } else if (got == "ok" || got.rfind("ok ", 0) == 0) {
                reply.ok = true;
                reply.value = got.size() > 3 ? unescape(got.substr(3)) : "";
                return reply;
            } else {
                reply.value = got.size() > 4 ? unescape(got.substr(4)) : got;
                return reply;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) {
            reply.value = "no reply to '" + command + "' in time";
            return reply;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            ::close(fd_);
            fd_ = -1;
            reply.value = "connection closed";
            return reply;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

namespace {
std::string ids(int dialog, int control) {
    return std::to_string(dialog) + " " + std::to_string(control);
}
}  // namespace

std::string Automation::text(int dialog, int control) {
    const Reply r = send("text " + ids(dialog, control));
    return r.ok ? r.value : std::string();
}

bool Automation::enabled(int dialog, int control) {
    const Reply r = send("enabled " + ids(dialog, control));
    return r.ok && r.value == "1";
}

bool Automation::checked(int dialog, int control) {
    const Reply r = send("checked " + ids(dialog, control));
    return r.ok && r.value == "1";
}

long Automation::value(int dialog, int control) {
    const Reply r = send("value " + ids(dialog, control));
    return r.ok ? std::strtol(r.value.c_str(), nullptr, 10) : -1;
}

bool Automation::click(int dialog, int control) {
    return send("click " + ids(dialog, control)).ok;
}

bool Automation::tab(int index) {
    return send("tab " + std::to_string(index)).ok;
}

int Automation::rowCount() {
    const Reply r = send("rows");
    return r.ok ? std::atoi(r.value.c_str()) : -1;
}

std::vector<std::string> Automation::lastRows(int n) {
    return send("rows " + std::to_string(n)).lines;
}

std::optional<Automation::Box> Automation::box() {
    const Reply r = send("box");
    if (!r.ok || r.lines.size() < 3)
        return std::nullopt;
    return Box{r.lines[0], r.lines[1], static_cast<unsigned>(std::stoul(r.lines[2]))};
}

bool Automation::answer(int result) {
    const char* name = result == kIdRetry    ? "IDRETRY"
                       : result == kIdCancel ? "IDCANCEL"
                       : result == kIdOk     ? "IDOK"
                                             : nullptr;
    return send(std::string("answer ") + (name ? name : std::to_string(result).c_str())).ok;
}

// ---- Tool ----

Tool::~Tool() {
    if (process_.running())
        process_.stop(1000ms);
}

bool Tool::start(const std::string& workDir, const std::vector<std::string>& args,
                 const std::string& program) {
    workDir_ = workDir;
    // Unix socket paths are short (108 bytes), so the socket goes to /tmp, not the work folder.
    static int serial = 0;
    const std::string socketPath =
        "/tmp/brix-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".sock";
    ::unlink(socketPath.c_str());
    const std::string runtime = workDir + "/runtime";
    ::mkdir(runtime.c_str(), 0700);
    Process::Options o;
    o.argv = {program.empty() ? std::string(BRIX_TOOL_PATH) : program};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    // The history in the work folder too, never in the home of whoever runs the tests.
    o.env = {"QT_QPA_PLATFORM=offscreen", "BRIX_AUTOMATION=" + socketPath,
             "XDG_RUNTIME_DIR=" + runtime, "TMPDIR=" + runtime,
             "BRIX_HISTORY=" + workDir + "/history.sqlite3"};
    o.cwd = workDir;
    o.stdoutPath = workDir + "/tool.out";
    o.stderrPath = workDir + "/tool.err";
    if (!process_.start(o))
        return false;
    // Generous: a sanitizer build of the tool takes a while to come up.
    const bool ok = ui_.connect(socketPath, 30000ms);
    ::unlink(socketPath.c_str());
    return ok;
}

int Tool::quit(std::chrono::milliseconds timeout) {
    ui_.send("quit");
    if (auto code = process_.waitExit(timeout))
        return *code;
    process_.stop(1000ms);
    return -1;
}

std::string Tool::diagnostics() const {
    std::string err = process_.stderrText();
    if (err.size() > 4000)
        err = "..." + err.substr(err.size() - 4000);
    return "tool stderr (" + workDir_ + "/tool.err):\n" + err;
}

// ---- ModemSim ----

bool ModemSim::start(const std::string& workDir, const std::vector<std::string>& args) {
    Process::Options o;
    o.argv = {BRIX_MODEM_SIM_PATH};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.cwd = workDir;
    o.stdoutPath = workDir + "/modem.log";
    o.stderrPath = workDir + "/modem.err";
    if (!process_.start(o))
        return false;
    return eventually([&] { return udpPortBound(kModemPort) || !process_.running(); }, 5000ms) &&
           process_.running();
}

int ModemSim::countLines(const std::string& needle) const {
    std::istringstream in(log());
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos)
            ++n;
    }
    return n;
}

// ---- FakeModem ----

FakeModem::~FakeModem() {
    stop();
    if (fd_ >= 0)
        ::close(fd_);
}

bool FakeModem::open(std::string& error) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kModemPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

void FakeModem::start(Clock::time_point origin, Responder responder) {
    origin_ = origin;
    responder_ = std::move(responder);
    thread_ = std::thread([this] { loop(); });
}

void FakeModem::stop() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
}

void FakeModem::send(const Bytes& datagram) {
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(kToolPort);
    dest.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&dest),
             sizeof dest);
}

void FakeModem::loop() {
    std::vector<std::uint8_t> buf(65536);
    while (!stopping_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0)
            continue;
        Frame f;
        f.atMs = msSince(origin_);
        f.bytes.assign(buf.begin(), buf.begin() + n);
        if (n >= 12)
            f.type = static_cast<std::int16_t>(brix::sim::getU16(f.bytes.data() + 8));
        if (responder_)
            responder_(f, *this);
        {
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(f));
        }
        arrived_.notify_all();
    }
}

std::vector<FakeModem::Frame> FakeModem::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::vector<FakeModem::Frame> FakeModem::framesOfType(int type) const {
    std::vector<Frame> out;
    std::lock_guard lock(mutex_);
    for (const Frame& f : frames_) {
        if (f.type == type)
            out.push_back(f);
    }
    return out;
}

bool FakeModem::waitForFrames(int type, std::size_t count,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] {
        std::size_t n = 0;
        for (const Frame& f : frames_)
            n += f.type == type ? 1 : 0;
        return n >= count;
    });
}

}  // namespace e2e
