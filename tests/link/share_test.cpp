// One link for several programs: the owner's relay against real local clients, attaching to an
// owner in another process, and taking over when it is killed. Only inside tools/netns-run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/link_senders.h"
#include "link/link_share.h"
#include "link_test_support.h"
#include "private_netns.h"

namespace brix::testing {
namespace {

using namespace std::chrono_literals;

// The modem's port: hears what the link sends and broadcasts to the link's port.
class Modem {
public:
    Modem() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        int size = 4 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kModemPort);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Modem() { ::close(fd_); }
    bool bound() const { return bound_; }
    Bytes receive(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return {};
        Bytes buf(2048);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }
    void broadcast(const Bytes& f) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        to.sin_port = htons(kLocalPort);
        ::sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// An attached program at the level of its socket, so that it can misbehave.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        greeting_ = receive(1000);
    }
    ~RawClient() { ::close(fd_); }
    std::string greeting() const { return std::string(greeting_.begin(), greeting_.end()); }
    bool greeted() const {
        return connected_ &&
               std::string(greeting_.begin(), greeting_.end()).rfind("BRIXLINK1 ", 0) == 0;
    }
    Bytes receive(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return {};
        Bytes buf(70000);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0)
            return {};
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }
    // True when the owner has closed this client (end of stream within `ms`).
    bool closedWithin(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                std::uint8_t buf[2048];
                if (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) == 0)
                    return true;
            }
        }
        return false;
    }
    bool send(const Bytes& f) {
        return ::send(fd_, f.data(), f.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(f.size());
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    Bytes greeting_;
};

// How many datagrams of `size` bytes a local socket with the owner's send buffer holds.
std::uint32_t socketHolds(std::size_t size) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        return 0;
    int buffer = 256 << 10;  // the owner's send buffer for each attached program
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    const Bytes f(size, 0);
    std::uint32_t n = 0;
    while (::send(pair[0], f.data(), f.size(), MSG_DONTWAIT) > 0)
        ++n;
    ::close(pair[0]);
    ::close(pair[1]);
    return n;
}

// An owner in a process of its own: holds the link and reads it until it is killed. Its pid,
// once it owns the link; -1 when it could not.
pid_t forkOwner() {
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t owner = ::fork();
    if (owner == 0) {
        setLinkPeer(nullptr);
        const char ok = openLinkSocket() ? 'y' : 'n';
        (void)::write(ready[1], &ok, 1);
        std::uint8_t buffer[kReceiveCapacity];
        std::int16_t count = 0;
        for (;;)
            receiveFrame(buffer, kReceiveCapacity, count);
    }
    char ok = 0;
    const bool started = owner > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
    ::close(ready[0]);
    ::close(ready[1]);
    return started ? owner : -1;
}

class ShareTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        char folder[] = "/tmp/brix-share-test-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        runtime_ = folder;
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::unsetenv("RUNTIME_DIRECTORY");
    }
    void TearDown() override {
        LinkTest::TearDown();
        std::system(("rm -rf " + runtime_).c_str());
    }

    // Reads what the own link receives for `ms`; counts the datagrams of `type`.
    int linkReceives(int ms, std::int16_t type) {
        int seen = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::uint8_t buffer[kReceiveCapacity];
        std::int16_t count = 0;
        while (std::chrono::steady_clock::now() < end)
            if (receiveFrame(buffer, kReceiveCapacity, count, fastClock_) && count >= 10 &&
                readU16(buffer + 8) == static_cast<std::uint16_t>(type))
                ++seen;
        return seen;
    }

    class FastClock : public LinkClock {
    public:
        std::int32_t nowMs() override { return msSinceProgramStart(); }
        void idleSleep() override { std::this_thread::sleep_for(1ms); }
    } fastClock_;
    std::string runtime_;
};

TEST_F(ShareTest, OwnerHandsEveryDatagramToEachClientAndSendsTheirFrames) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    Modem modem;
    ASSERT_TRUE(modem.bound());
    ASSERT_TRUE(openLinkSocket());
    EXPECT_EQ(linkRole(), LinkRole::Owner);
    EXPECT_EQ(linkSocketPort(), kLocalPort);

    const std::string path = linkSharePath();
    ASSERT_EQ(path.rfind(runtime_ + "/brix/", 0), 0u) << path;
    struct stat info {};
    ASSERT_EQ(::stat((runtime_ + "/brix").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    RawClient a(path), b(path);
    ASSERT_TRUE(a.greeted());
    ASSERT_TRUE(b.greeted());
    EXPECT_TRUE(peer.waitFor(1s, [](const RecordingPeer&) { return linkAttachedCount() == 2; }));

    modem.broadcast(rfReport(5552, 4, 400, 2, 3));
    EXPECT_EQ(linkReceives(300, 7), 1);
    EXPECT_EQ(a.receive(1000), rfReport(5552, 4, 400, 2, 3));
    EXPECT_EQ(b.receive(1000), rfReport(5552, 4, 400, 2, 3));

    // The owner's own frames and a client's go out alike.
    sendFrame(buildRequest(MessageType::Version).bytes, 12);
    EXPECT_EQ(typeOf(modem.receive(1000)), 15);
    Bytes tune = inbound(5, 4);
    ASSERT_TRUE(a.send(tune));
    EXPECT_EQ(modem.receive(1000), tune);

    closeLinkSocket();
    EXPECT_EQ(linkRole(), LinkRole::Closed);
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file outlived its owner";
    EXPECT_TRUE(a.closedWithin(1000));
}

TEST_F(ShareTest, MisbehavingClientsCostTheOwnerAndTheOthersNothing) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    Modem modem;
    ASSERT_TRUE(modem.bound());
    ASSERT_TRUE(openLinkSocket());
    const std::string path = linkSharePath();
    RawClient good(path), garbage(path), huge(path), deaf(path), headerOnly(path);
    ASSERT_TRUE(good.greeted() && garbage.greeted() && huge.greeted() && deaf.greeted() &&
                headerOnly.greeted());

    // Not a frame of the link, a frame larger than the link ever sends, a frame of another
    // magic: each closes its sender only.
    ASSERT_TRUE(garbage.send(Bytes{'h', 'e', 'l', 'l', 'o'}));
    ASSERT_TRUE(huge.send(Bytes(64 * 1024, 0x79)));
    Bytes otherMagic = inbound(6);
    otherMagic[6] = 0x12;
    ASSERT_TRUE(headerOnly.send(otherMagic));
    EXPECT_TRUE(garbage.closedWithin(1000));
    EXPECT_TRUE(huge.closedWithin(1000));
    EXPECT_TRUE(headerOnly.closedWithin(1000));
    EXPECT_TRUE(modem.receive(200).empty()) << "a malformed frame reached the modem";

    // A flood that the deaf client never reads: the owner's link and the good client see all of
    // it, and the deaf one is dropped once its queue is full, with one Console line.
    constexpr int kFlood = 8000;
    int goodSeen = 0;
    int linkSeen = 0;
    std::uint8_t buffer[kReceiveCapacity];
    std::int16_t count = 0;
    for (int sent = 50; sent <= kFlood; sent += 50) {
        for (int i = 0; i < 50; ++i)
            modem.broadcast(inbound(3, 40));
        const auto end = std::chrono::steady_clock::now() + 500ms;
        while ((goodSeen < sent || linkSeen < sent) && std::chrono::steady_clock::now() < end) {
            if (goodSeen < sent && !good.receive(1).empty())
                ++goodSeen;
            if (linkSeen < sent && receiveFrame(buffer, kReceiveCapacity, count, fastClock_))
                ++linkSeen;
        }
    }
    EXPECT_EQ(goodSeen, kFlood);
    EXPECT_EQ(linkSeen, kFlood);
    EXPECT_TRUE(deaf.closedWithin(2000));
    linkReceives(50, 3);  // delivers the relay's Console lines
    const auto lines = peer.consoleTexts();
    ASSERT_EQ(std::count_if(
                  lines.begin(), lines.end(),
                  [](const std::string& t) { return t.find("did not read") != std::string::npos; }),
              1)
        << ::testing::PrintToString(lines);

    // The good client still talks to the modem through the owner.
    ASSERT_TRUE(good.send(inbound(6)));
    EXPECT_EQ(typeOf(modem.receive(1000)), 6);
}

// A connection that holds a place and sends nothing is dropped after 30 s; one that talks as a
// link does (a query every few seconds) stays. The dropped one, coming back, is told why.
TEST_F(ShareTest, AConnectionSilentFor30SecondsIsDroppedAndToldWhyWhenItComesBack) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    Modem modem;
    ASSERT_TRUE(modem.bound());
    ASSERT_TRUE(openLinkSocket());
    const std::string path = linkSharePath();
    RawClient talking(path), silent(path);
    ASSERT_TRUE(talking.greeted() && silent.greeted());
    const auto start = std::chrono::steady_clock::now();
    bool dropped = false;
    while (!dropped && std::chrono::steady_clock::now() - start < 40s) {
        ASSERT_TRUE(talking.send(inbound(6)));
        linkReceives(100, -1);
        dropped = silent.closedWithin(4900);
    }
    const auto after = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(dropped);
    EXPECT_GE(after, 29s);
    EXPECT_LE(after, 36s);
    linkReceives(50, -1);
    EXPECT_EQ(peer.consoleTexts().size(), 1u) << ::testing::PrintToString(peer.consoleTexts());
    EXPECT_NE(peer.consoleTexts().at(0).find(": it sent nothing for 30 s"), std::string::npos);
    ASSERT_TRUE(talking.send(inbound(6)));
    EXPECT_EQ(typeOf(modem.receive(1000)), 6);
    RawClient back(path);
    EXPECT_NE(back.greeting().find("\ndropped it sent nothing for 30 s"), std::string::npos)
        << back.greeting();
}

TEST_F(ShareTest, AClientThatFallsBehindGetsEveryDatagramInOrderAndEmptyOnesReachNobody) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    Modem modem;
    ASSERT_TRUE(modem.bound());
    ASSERT_TRUE(openLinkSocket());
    RawClient slow(linkSharePath());
    ASSERT_TRUE(slow.greeted());
    EXPECT_TRUE(peer.waitFor(1s, [](const RecordingPeer&) { return linkAttachedCount() == 1; }));

    // An empty datagram first: handed on, it would read as the owner's end of stream.
    modem.broadcast(Bytes{});
    // More than the client's socket holds while it does not read (as much as a pair with the
    // owner's buffer size takes here), so that the rest waits in the owner's queue and must
    // follow in order once it reads again.
    const std::uint32_t kBurst = socketHolds(kFrameHeaderSize + 40) + 1000;
    for (std::uint32_t seq = 0; seq < kBurst; ++seq) {
        Bytes f = inbound(3, 40);
        writeU32(f.data() + 12, seq);
        modem.broadcast(f);
        if (seq % 50 == 49)
            std::this_thread::sleep_for(2ms);  // the owner's UDP buffer is small
    }
    std::uint32_t expected = 0;
    for (Bytes f = slow.receive(1000); !f.empty(); f = slow.receive(500)) {
        ASSERT_EQ(f.size(), kFrameHeaderSize + 40);
        ASSERT_EQ(readU32(f.data() + 12), expected) << "out of order or lost";
        ++expected;
    }
    EXPECT_EQ(expected, kBurst);
    EXPECT_EQ(linkAttachedCount(), 1u);
    linkReceives(50, 3);
    EXPECT_TRUE(peer.consoleTexts().empty()) << ::testing::PrintToString(peer.consoleTexts());
}

TEST_F(ShareTest, AttachesToAnOwnerInAnotherProcessAndTakesOverWhenItIsKilled) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    Modem modem;
    ASSERT_TRUE(modem.bound());
    const pid_t owner = forkOwner();
    ASSERT_GT(owner, 0);

    ASSERT_TRUE(openLinkSocket());
    EXPECT_EQ(linkRole(), LinkRole::Attached);
    EXPECT_EQ(linkOwnerName().find("(pid " + std::to_string(owner) + ")") == std::string::npos,
              false)
        << linkOwnerName();
    EXPECT_EQ(linkSocketPort(), kLocalPort);
    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
    EXPECT_EQ(typeOf(modem.receive(1000)), 6);
    modem.broadcast(inbound(11, 4));
    EXPECT_EQ(linkReceives(300, 11), 1);

    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
    const auto killed = std::chrono::steady_clock::now();
    while (linkRole() != LinkRole::Owner && std::chrono::steady_clock::now() - killed < 3s)
        linkReceives(10, -1);
    EXPECT_EQ(linkRole(), LinkRole::Owner);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 2s);
    const auto lines = peer.consoleTexts();
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "The modem link's owner went away: this program owns the link now");

    // The link goes on as the owner.
    modem.broadcast(inbound(11, 4));
    EXPECT_EQ(linkReceives(300, 11), 1);
    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
    EXPECT_EQ(typeOf(modem.receive(1000)), 6);
}

// An attached program that stopped reading through a flood is dropped by the owner, which goes
// on; when it reads again it is told so, not that the owner went away, and is attached again.
TEST_F(ShareTest, AProgramDroppedForNotReadingIsToldWhyAndAttachesAgain) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    Modem modem;
    ASSERT_TRUE(modem.bound());
    const pid_t owner = forkOwner();
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(openLinkSocket());
    ASSERT_EQ(linkRole(), LinkRole::Attached);

    for (int i = 0; i < 6000; ++i) {
        modem.broadcast(inbound(3, 40));
        if (i % 200 == 0)
            std::this_thread::sleep_for(2ms);  // the owner keeps up; this program does not read
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> lines;
    while (std::chrono::steady_clock::now() - start < 5s) {
        linkReceives(20, -1);
        lines = peer.consoleTexts();
        if (!lines.empty())
            break;
    }
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("The modem link's owner dropped this program (it did not read its "
                             "datagrams): attached again, to ",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(linkRole(), LinkRole::Attached);
    modem.broadcast(inbound(11, 4));
    EXPECT_EQ(linkReceives(300, 11), 1);
    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
}

TEST_F(ShareTest, ALinkOfferedForAnotherInterfaceIsNamedNotCalledNone) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t owner = ::fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        setLinkPeer(nullptr);
        setLinkInterface("lo");
        const char ok = openLinkSocket() ? 'y' : 'n';
        (void)::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');

    // Any interface: the port is taken, and the one link there is for lo only.
    EXPECT_FALSE(openLinkSocket());
    EXPECT_EQ(linkSocketFailure(), LinkSocketFailure::PortInUse);
    const std::string text = linkSocketFailureText();
    EXPECT_NE(text.find("(pid " + std::to_string(owner) +
                        "), which offers its link only to "
                        "programs on interface lo"),
              std::string::npos)
        << text;
    // The same choice attaches.
    setLinkInterface("lo");
    EXPECT_TRUE(openLinkSocket());
    EXPECT_EQ(linkRole(), LinkRole::Attached);
    closeLinkSocket();
    setLinkInterface(nullptr);
    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
}

TEST_F(ShareTest, PortHeldWithoutALinkFailsAndNamesItsHolder) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kLocalPort);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    EXPECT_FALSE(linkStart());
    EXPECT_EQ(linkSocketFailure(), LinkSocketFailure::PortInUse);
    const std::string text = linkSocketFailureText();
    EXPECT_NE(text.find("port 30587 is held by "), std::string::npos) << text;
    EXPECT_NE(text.find("(pid " + std::to_string(::getpid()) + "), which offers no link"),
              std::string::npos)
        << text;
    EXPECT_EQ(peer.consoleTexts(),
              (std::vector<std::string>{"Cannot initialize sockets !!!", text}));
    EXPECT_EQ(linkRole(), LinkRole::Closed);
    ::close(holder);
}

}  // namespace
}  // namespace brix::testing

namespace brix::testing {
namespace {

// A local squatter holds the port and listens where this user's link would be offered: in a
// folder that another user made (a shared /tmp), or in this user's folder but as another user.
// Neither is attached to, nor is a word of its greeting read; the failure says why.
TEST_F(ShareTest, ALinkOfferedByAnotherUserOrInAnotherUsersFolderIsNeverBelieved) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user (CI runs as root)";
    const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kLocalPort);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string folder = runtime_ + "/brix";
    const std::string path = folder + "/" + share::socketName(share::Key{kLocalPort, {}});
    constexpr uid_t kStranger = 4242;

    // A listener that greets as an owner would; the greeting is never to be read.
    const auto squat = [&](bool dropToStranger) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        // The listening side's credentials are those of listen(): a child that has become
        // the stranger listens, so this process keeps its own.
        const pid_t child = ::fork();
        if (child == 0) {
            if (dropToStranger && ::setresuid(kStranger, kStranger, kStranger) != 0)
                ::_exit(1);
            ::listen(fd, 4);
            for (;;) {
                const int c = ::accept(fd, nullptr, nullptr);
                if (c >= 0) {
                    const char greeting[] = "BRIXLINK1 1 fake\nhistory /tmp/fake.sqlite3";
                    (void)::send(c, greeting, sizeof greeting - 1, MSG_NOSIGNAL);
                }
            }
        }
        ::close(fd);
        std::this_thread::sleep_for(100ms);
        return child;
    };
    const auto tryToStart = [&] {
        EXPECT_FALSE(openLinkSocket());
        EXPECT_EQ(linkRole(), LinkRole::Closed);
        EXPECT_EQ(linkOwnerHistory(), "");
        return std::string(linkSocketFailureText());
    };

    // The folder is another user's, made where anyone may make one (XDG_RUNTIME_DIR unset: /tmp).
    ASSERT_EQ(::chmod(runtime_.c_str(), 01777), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), kStranger, kStranger), 0);
    pid_t child = squat(false);
    std::string text = tryToStart();
    EXPECT_NE(text.find("was refused: " + folder + " is not this user's"), std::string::npos)
        << text;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::unlink(path.c_str());

    // The folder is this user's, the program in it another user's.
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    child = squat(true);
    text = tryToStart();
    EXPECT_NE(text.find("uid 4242) runs as another user than its folder's"), std::string::npos)
        << text;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(holder);
}

// The service claims the link from a user's program that owns it: the owner hands it over, and
// it and its attached programs attach to the service within 2 s; when the service dies a user's
// program takes over, and hands the link back when the service is there again.
TEST_F(ShareTest, TheServiceTakesItsLinkBackFromAUsersProgramAndTheirProgramsFollow) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a service's folder under /run/brix (CI runs as root)";
    Modem modem;
    ASSERT_TRUE(modem.bound());
    const bool madeRun = ::mkdir("/run/brix", 0755) == 0;
    const std::string folder = "/run/brix/share-test-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(folder.c_str(), 0750), 0);
    // The service: brixctl serve, with the folder the service manager gives it.
    int services = 0;
    const auto startService = [&] {
        const std::string metrics = "127.0.0.1:" + std::to_string(19460 + services++);
        const std::vector<std::string> args = {BRIX_BRIXCTL_PATH, "serve", "--no-history",
                                               "--metrics", metrics};
        std::vector<std::string> env = {"RUNTIME_DIRECTORY=" + folder,
                                        "XDG_RUNTIME_DIR=" + runtime_, "PATH=/usr/bin:/bin"};
        std::vector<char*> argv, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&quiet);
        return pid;
    };
    const auto serviceOwns = [&](pid_t service) {
        return linkOwnerName().find("(pid " + std::to_string(service) + ")") != std::string::npos;
    };
    // Reads this program's link until its Console has `lines` lines or 3 s went by.
    const auto readUntil = [&](std::size_t lines) {
        const auto start = std::chrono::steady_clock::now();
        while (peer.consoleTexts().size() < lines && std::chrono::steady_clock::now() - start < 3s)
            linkReceives(20, -1);
        return std::chrono::steady_clock::now() - start;
    };

    const pid_t user = forkOwner();
    ASSERT_GT(user, 0);
    ASSERT_TRUE(openLinkSocket());
    ASSERT_EQ(linkRole(), LinkRole::Attached);
    pid_t service = startService();
    auto took = readUntil(1);
    EXPECT_LT(took, 2s);
    EXPECT_TRUE(serviceOwns(service)) << linkOwnerName();
    ASSERT_EQ(peer.consoleTexts().size(), 1u) << ::testing::PrintToString(peer.consoleTexts());
    EXPECT_EQ(peer.consoleTexts()[0],
              "The modem link is the service's now: attached to " + linkOwnerName());
    EXPECT_EQ(linkRole(), LinkRole::Attached);
    modem.broadcast(inbound(11, 4));
    EXPECT_EQ(linkReceives(300, 11), 1);
    ::kill(user, SIGKILL);
    ::waitpid(user, nullptr, 0);

    // The service dies: this program takes over; the service is back: it gets the link again.
    ::kill(service, SIGKILL);
    ::waitpid(service, nullptr, 0);
    peer.clear();
    readUntil(1);
    EXPECT_EQ(linkRole(), LinkRole::Owner);
    peer.clear();
    // Under the unit's umask, the claim is still for the folder's group to see and answer.
    const mode_t mask = ::umask(027);
    service = startService();
    ::umask(mask);
    const std::string claim =
        folder + "/claim-" + share::socketName(share::Key{kLocalPort, {}}).substr(5);
    struct stat info {};
    for (int i = 0; i < 100 && ::stat(claim.c_str(), &info) != 0; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(info.st_mode & 0777, 0660u) << claim;
    took = readUntil(1);
    EXPECT_LT(took, 2s);
    EXPECT_TRUE(serviceOwns(service)) << linkOwnerName();
    readUntil(2);  // no second line
    const auto lines = peer.consoleTexts();
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "The modem link is the service's now: attached to " + linkOwnerName());
    EXPECT_EQ(linkRole(), LinkRole::Attached);
    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
    EXPECT_EQ(typeOf(modem.receive(1000)), 6);

    ::kill(service, SIGKILL);
    ::waitpid(service, nullptr, 0);
    closeLinkSocket();
    std::system(("rm -rf " + folder).c_str());
    if (madeRun)
        ::rmdir("/run/brix");
}

// A service's folder under /run/brix that this user may not enter names the link's group only
// when its service is the port's holder here: a service of another network namespace (same
// folder tree, another port) is not the holder, and is not named as if it were.
TEST_F(ShareTest, AServicesClosedFolderIsNamedOnlyWhenItsServiceHoldsThePort) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a service and another user (CI runs as root)";
    constexpr uid_t kService = 4243;
    constexpr gid_t kGroup = 4244;
    constexpr uid_t kUser = 4245;
    const bool madeRun = ::mkdir("/run/brix", 0755) == 0;
    const std::string folder = "/run/brix/share-test-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(folder.c_str(), 0750), 0);
    ASSERT_EQ(::chown(folder.c_str(), kService, kGroup), 0);

    // The port held by `holder`'s socket; the failure a user's program is given, from a child
    // that runs as that user.
    const auto failureAsUser = [&](uid_t holder) {
        int ready[2], result[2];
        EXPECT_EQ(::pipe(ready), 0);
        const pid_t holding = ::fork();
        if (holding == 0) {
            if (::setresuid(holder, holder, holder) != 0)
                ::_exit(1);
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(kLocalPort);
            const char ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 'y' : 'n';
            (void)::write(ready[1], &ok, 1);
            ::pause();
        }
        char ok = 0;
        EXPECT_EQ(::read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 'y');
        EXPECT_EQ(::pipe(result), 0);  // after the holder's fork, which would keep it open
        const pid_t user = ::fork();
        if (user == 0) {
            if (::setresuid(kUser, kUser, kUser) != 0)
                ::_exit(1);
            setLinkPeer(nullptr);
            const std::string text = openLinkSocket() ? "attached" : linkSocketFailureText();
            (void)::write(result[1], text.data(), text.size());
            ::_exit(0);
        }
        ::close(result[1]);
        std::string text;
        char buffer[512];
        for (ssize_t n; (n = ::read(result[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        ::waitpid(user, nullptr, 0);
        ::kill(holding, SIGKILL);
        ::waitpid(holding, nullptr, 0);
        for (int fd : {ready[0], ready[1], result[0]})
            ::close(fd);
        return text;
    };

    std::string text = failureAsUser(kService);
    EXPECT_NE(text.find("port 30587 is held by a program of uid 4243; the link it offers in " +
                        folder + "/ is for the members of group 4244"),
              std::string::npos)
        << text;
    text = failureAsUser(4246);
    EXPECT_NE(
        text.find(
            "port 30587 is held by a program of uid 4246, whose link (if it offers one) is not"),
        std::string::npos)
        << text;

    ::rmdir(folder.c_str());
    if (madeRun)
        ::rmdir("/run/brix");
}

}  // namespace
}  // namespace brix::testing

namespace brix::testing {
namespace {

// With an interface chosen, a program of this PC that sends to the interface's broadcast from
// the modem's port is still not the modem behind that interface: only another host is.
TEST_F(ShareTest, WithAnInterfaceChosenAProgramOfThisHostIsNoModem) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make an interface (CI runs as root)";
    ASSERT_EQ(
        std::system("ip link add brixd0 type veth peer name brixd1 && ip addr add "
                    "10.77.0.1/24 dev brixd0 && ip link set brixd0 up && ip link set brixd1 up"),
        0);
    setLinkInterface("brixd0");
    ASSERT_TRUE(openLinkSocket(LinkEndpoints{0, kLocalPort, 0x0A4D00FFu, kModemPort}));
    ASSERT_EQ(linkRole(), LinkRole::Owner);

    const int local = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(local, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(local, SOL_SOCKET, SO_BINDTODEVICE, "brixd0", 6);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x0A4D0001u);
    from.sin_port = htons(kModemPort);
    ASSERT_EQ(::bind(local, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(0x0A4D00FFu);
    to.sin_port = htons(kLocalPort);
    const std::uint64_t refusedBefore = linkSendersRefused();
    const Bytes report = rfReport(1, 1, 1, 1, 1);
    for (int i = 0; i < 5; ++i)
        ::sendto(local, report.data(), report.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    EXPECT_EQ(linkReceives(300, 7), 0);
    EXPECT_EQ(linkSendersRefused() - refusedBefore, 5u);  // they came, and were refused
    ::close(local);
    closeLinkSocket();
    setLinkInterface(nullptr);
    EXPECT_EQ(std::system("ip link del brixd0"), 0);
}

}  // namespace
}  // namespace brix::testing

namespace brix::testing {
namespace {

// One member's programs cannot take every place: past its share the next of that user is told
// the link is full, in words, rather than finding no link at all.
TEST_F(ShareTest, OneUsersProgramsTakeAShareOfThePlacesAndTheNextIsToldTheLinkIsFull) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    ASSERT_TRUE(openLinkSocket());
    ASSERT_EQ(linkRole(), LinkRole::Owner);
    const std::string path = linkSharePath();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (std::size_t i = 0; i < kShareMaxClientsPerUser; ++i) {
        clients.push_back(std::make_unique<RawClient>(path));
        ASSERT_TRUE(clients.back()->greeted());
    }
    RawClient oneMore(path);
    EXPECT_FALSE(oneMore.greeted());
    EXPECT_EQ(oneMore.greeting(), "BRIXFULL 8 programs of this user are attached");
    EXPECT_TRUE(oneMore.closedWithin(1000));
    // A place freed is a place again.
    clients.pop_back();
    std::this_thread::sleep_for(100ms);
    RawClient again(path);
    EXPECT_TRUE(again.greeted());
}

}  // namespace
}  // namespace brix::testing

namespace brix::testing {
namespace {

// The owner dies and a program that offers no link takes the port first: the attached program
// says once who holds it, then tries on slowly, and takes over when the port is free.
TEST_F(ShareTest, AStrangerOnThePortAfterTheOwnerIsNamedOnceAndTheLinkIsTakenWhenItGoes) {
    BRIX_REQUIRE_PRIVATE_NETNS();
    const pid_t owner = forkOwner();
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(openLinkSocket());
    ASSERT_EQ(linkRole(), LinkRole::Attached);

    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
    const int stranger = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kLocalPort);
    ASSERT_EQ(::bind(stranger, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    linkReceives(3000, -1);
    const auto lines = peer.consoleTexts();
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("The modem link's port 30587 is held by link_share_test (pid " +
                            std::to_string(::getpid()) + "), which offers no link"),
              std::string::npos)
        << lines[0];

    ::close(stranger);
    linkReceives(1500, -1);
    EXPECT_EQ(linkRole(), LinkRole::Owner);
}

}  // namespace
}  // namespace brix::testing
