// The brix-modem-sim program run as a process, with the test playing the tool. Each test runs in
// a private network namespace of its own.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "channels/channel_table.h"
#include "private_netns.h"

extern char** environ;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kSimPort = 30588;
constexpr std::uint16_t kToolPort = 30587;

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string tempPath(const std::string& stem) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/brix-sim-" + stem + "-" + std::to_string(::getpid());
}

// One run of the simulated modem with stdout and stderr in files.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args)
        : out_(tempPath("out")), err_(tempPath("err")) {
        std::vector<std::string> all{BRIX_MODEM_SIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, all[0].c_str(), &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~SimProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::unlink(out_.c_str());
        ::unlink(err_.c_str());
    }

    bool started() const { return pid_ > 0; }

    // Waits for the "listening" line, that is until the socket is bound.
    bool waitReady() {
        for (int i = 0; i < 300; ++i) {
            if (stdoutText().find("listening") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Sends `sig` (unless 0) and waits for the exit; returns the exit code, -1 on a timeout or
    // an abnormal end.
    int stop(int sig = SIGTERM, int timeoutMs = 5000) {
        if (sig != 0)
            ::kill(pid_, sig);
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    std::string stdoutText() const { return readAll(out_); }
    std::string stderrText() const { return readAll(err_); }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string out_;
    std::string err_;
};

// The tool's end: a UDP socket on the tool's port.
class ToolSocket {
public:
    explicit ToolSocket(const char* bindAddress, std::uint16_t port = kToolPort) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, bindAddress, &a.sin_addr);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~ToolSocket() { ::close(fd_); }
    bool bound() const { return bound_; }

    void send(const Bytes& f, const char* to = "127.0.0.1", std::uint16_t port = kSimPort) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, to, &a.sin_addr);
        ::sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    std::optional<Bytes> receive(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return std::nullopt;
        Bytes b(4096);
        const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
        if (n < 0)
            return std::nullopt;
        b.resize(static_cast<std::size_t>(n));
        return b;
    }

    // The next frame of the given type, skipping the modem's other messages.
    std::optional<Bytes> receiveType(int type, int timeoutMs = 2000) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < until) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            auto f = receive(static_cast<int>(left.count()) + 1);
            if (f && f->size() >= 12 && (*f)[8] == type && (*f)[9] == 0)
                return f;
        }
        return std::nullopt;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

Bytes header(int type, int lengthWord) {
    return {0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0x79,
            0x77,
            static_cast<std::uint8_t>(type),
            0x00,
            static_cast<std::uint8_t>(lengthWord),
            static_cast<std::uint8_t>(lengthWord >> 8)};
}

Bytes with(Bytes h, const Bytes& body) {
    h.insert(h.end(), body.begin(), body.end());
    return h;
}

const Bytes kRfQuery = header(6, 12);

std::uint16_t u16(const Bytes& f, std::size_t at) {
    return static_cast<std::uint16_t>(f.at(at) | (f.at(at + 1) << 8));
}

const std::vector<std::string> kLoopback = {"--dest",  "127.0.0.1", "--bind",      "127.0.0.1",
                                            "--debug", "0",         "--link-test", "0",
                                            "--seed",  "5"};

std::vector<std::string> loopbackWith(std::vector<std::string> extra) {
    std::vector<std::string> args = kLoopback;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace

TEST(SimProcess, PlaysTheModemOnLoopback) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    ToolSocket tool("127.0.0.1");
    ASSERT_TRUE(tool.bound());
    SimProcess sim(loopbackWith({"--link-test", "0.3", "--stats"}));
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(sim.waitReady()) << sim.stderrText();

    // RF report, then a tune that the next report shows.
    tool.send(kRfQuery);
    auto rf = tool.receiveType(7);
    ASSERT_TRUE(rf);
    EXPECT_EQ(rf->size(), 22u);
    EXPECT_EQ(u16(*rf, 12), 4525);
    tool.send(with(header(18, 4), {0xB0, 0x15, 0x04, 0x00}));
    tool.send(kRfQuery);
    rf = tool.receiveType(7);
    ASSERT_TRUE(rf);
    EXPECT_EQ(u16(*rf, 12), 5552);
    EXPECT_EQ(u16(*rf, 14), 4);

    // Set of the channel table, acknowledged with the same data, then read back.
    Bytes table(30);
    for (std::size_t i = 0; i < 30; ++i)
        table[i] = static_cast<std::uint8_t>(i + 1);
    tool.send(with(header(1, 34), with({0x09, 0x11, 0x62, 0x1E}, table)));
    auto ack = tool.receiveType(1);
    ASSERT_TRUE(ack);
    ASSERT_EQ(ack->size(), 46u);
    EXPECT_EQ(Bytes(ack->begin() + 16, ack->end()), table);
    tool.send(with(header(0, 2), {0x62, 0x1E}));
    auto get = tool.receiveType(0);
    ASSERT_TRUE(get);
    EXPECT_EQ(Bytes(get->begin() + 14, get->end()), table);

    // Statistics and versions.
    tool.send(header(3, 12));
    std::optional<Bytes> stats;
    while (auto f = tool.receive(2000)) {
        if ((*f)[8] == 3 || (*f)[8] == 4) {
            stats = f;
            break;
        }
    }
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->size(), 46u);
    tool.send(header(15, 12));
    EXPECT_TRUE(tool.receiveType(15));
    EXPECT_TRUE(tool.receiveType(16));

    // A link test from the modem, answered as the tool does.
    ASSERT_TRUE(tool.receiveType(10, 3000));
    tool.send(with(header(10, 12), {0x87, 0xD6, 0x12, 0x00}));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));

    EXPECT_EQ(sim.stop(SIGTERM), 0);
    const std::string out = sim.stdoutText();
    EXPECT_NE(out.find("recv RfQuery (6) 12 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("send RfReport (7) 22 bytes: rx 5552 code 4"), std::string::npos) << out;
    EXPECT_NE(out.find("link test answer matched"), std::string::npos) << out;
    EXPECT_NE(out.find("stats: received 8 "), std::string::npos) << out;
}

TEST(SimProcess, AnswersBroadcastsOnTheRealPorts) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    ToolSocket tool("0.0.0.0");
    ASSERT_TRUE(tool.bound());
    SimProcess sim({"--duration", "1.5", "--quiet", "--seed", "1"});
    ASSERT_TRUE(sim.started());
    std::optional<Bytes> rf;
    for (int i = 0; i < 50 && !rf; ++i) {
        tool.send(kRfQuery, "255.255.255.255");
        rf = tool.receiveType(7, 100);
    }
    ASSERT_TRUE(rf);
    EXPECT_EQ(rf->size(), 22u);
    // --duration ends the run on its own; --quiet leaves stdout empty.
    EXPECT_EQ(sim.stop(0), 0);
    EXPECT_EQ(sim.stdoutText(), "");
}

TEST(SimProcess, StartsFromAChannelFile) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    const std::string file = tempPath("channels") + ".lb";
    brix::ChannelTable t;
    brix::ChannelTableBody body;
    for (int k = 0; k < 10; ++k) {
        body.setRecord(k, static_cast<std::uint16_t>(6000 + 10 * k),
                       static_cast<std::uint8_t>(k % 5));
    }
    t.applyBody(body);
    t.setLabel(0, "first");
    ASSERT_TRUE(t.save(file));

    ToolSocket tool("127.0.0.1");
    SimProcess sim(loopbackWith({"--channels", file}));
    ASSERT_TRUE(sim.waitReady()) << sim.stderrText();
    tool.send(with(header(0, 2), {0x62, 0x1E}));
    auto get = tool.receiveType(0);
    ASSERT_TRUE(get);
    EXPECT_EQ(Bytes(get->begin() + 14, get->end()), Bytes(body.bytes.begin(), body.bytes.end()));
    EXPECT_EQ(sim.stop(SIGINT), 0);
    ::unlink(file.c_str());
}

TEST(SimProcess, FaultOptionsShowOnTheWire) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    ToolSocket tool("127.0.0.1");
    {
        SimProcess silent(loopbackWith({"--silent", "--debug", "0.05", "--link-test", "0.05"}));
        ASSERT_TRUE(silent.waitReady());
        tool.send(kRfQuery);
        EXPECT_FALSE(tool.receive(400));
        EXPECT_EQ(silent.stop(), 0);
        EXPECT_NE(silent.stdoutText().find("(silent)"), std::string::npos);
    }
    {
        SimProcess late(loopbackWith({"--late", "300"}));
        ASSERT_TRUE(late.waitReady());
        const auto sent = Clock::now();
        tool.send(kRfQuery);
        ASSERT_TRUE(tool.receiveType(7, 2000));
        EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(290));
        EXPECT_EQ(late.stop(), 0);
    }
    {
        SimProcess dup(loopbackWith({"--duplicate", "1", "--stats"}));
        ASSERT_TRUE(dup.waitReady());
        tool.send(kRfQuery);
        EXPECT_TRUE(tool.receiveType(7));
        EXPECT_TRUE(tool.receiveType(7));
        EXPECT_EQ(dup.stop(), 0);
        EXPECT_NE(dup.stdoutText().find("sent 2 "), std::string::npos);
        EXPECT_NE(dup.stdoutText().find("duplicated 1 "), std::string::npos);
    }
    {
        SimProcess drop(loopbackWith({"--drop", "1", "--stats"}));
        ASSERT_TRUE(drop.waitReady());
        tool.send(kRfQuery);
        EXPECT_FALSE(tool.receive(300));
        EXPECT_EQ(drop.stop(), 0);
        EXPECT_NE(drop.stdoutText().find("dropped 1 "), std::string::npos);
    }
    {
        SimProcess other(loopbackWith({"--ack-other"}));
        ASSERT_TRUE(other.waitReady());
        tool.send(with(header(1, 6), {0x09, 0x11, 0x27, 0x02, 0x05, 0x00}));
        auto ack = tool.receiveType(1);
        ASSERT_TRUE(ack);
        ASSERT_EQ(ack->size(), 18u);
        EXPECT_NE(Bytes(ack->begin() + 16, ack->end()), (Bytes{0x05, 0x00}));
        EXPECT_EQ(other.stop(), 0);
    }
}

TEST(SimProcess, MalformedAndFloodedFramesStillArrive) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    ToolSocket tool("127.0.0.1");
    SimProcess sim(loopbackWith({"--malformed", "1", "--flood", "200", "--stats", "--quiet"}));
    ASSERT_TRUE(sim.started());
    int frames = 0;
    int bad = 0;
    const auto until = Clock::now() + std::chrono::milliseconds(800);
    while (Clock::now() < until) {
        auto f = tool.receive(100);
        if (!f)
            continue;
        ++frames;
        const bool wellFormed = f->size() >= 12 && (*f)[6] == 0x79 && (*f)[7] == 0x77 &&
                                (*f)[9] == 0 && (*f)[8] <= 18 && f->size() < 2000;
        bad += !wellFormed;
    }
    EXPECT_GT(frames, 50);
    EXPECT_GT(bad, frames / 3);  // texts without their zero byte look well-formed here
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.stdoutText().find("malformed "), std::string::npos);
}

TEST(SimProcess, BadOptionsExitWithTwoAndUsage) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--drop", "2"},
                                                 {"--nonsense"},
                                                 {"--port-local"},
                                                 {"--channels", "/nonexistent/dir/none.lb"}}) {
        SimProcess sim(args);
        ASSERT_TRUE(sim.started());
        EXPECT_EQ(sim.stop(0), 2) << args[0];
        EXPECT_NE(sim.stderrText().find("usage:"), std::string::npos) << args[0];
        EXPECT_EQ(sim.stdoutText(), "");
    }
}
