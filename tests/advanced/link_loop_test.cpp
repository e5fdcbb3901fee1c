// The pages behind the real link and the application's peer, on loopback ports: requests leave
// as frames, answers come back through the bridge onto this (the user-interface) thread, and an
// unanswered request ends in the connection-error question.
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/ui_link_peer.h"
#include "pages_fixture.h"

namespace brix::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Link time runs 100 ms per idle pass while real time runs 1 ms, so retries come quickly.
class FastClock : public LinkClock {
public:
    std::int32_t nowMs() override { return now_.load(); }
    void idleSleep() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        now_.fetch_add(kIdleSleepMs);
    }

private:
    std::atomic<std::int32_t> now_{0};
};

// A loopback socket in the modem's place.
class Modem {
public:
    Modem() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Modem() { ::close(fd_); }
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    LinkEndpoints endpoints() const {
        return LinkEndpoints{INADDR_LOOPBACK, 0, INADDR_LOOPBACK, port_};
    }

    // The next frame of `type` that has arrived (others are dropped), or empty.
    Bytes take(int type) {
        for (Bytes f = poll(); !f.empty(); f = poll()) {
            if (f.size() >= 10 && readU16(f.data() + 8) == type)
                return f;
        }
        return {};
    }

    // The next frame of `type`, keeping the user interface running; empty after `ms`.
    Bytes await(int type, int ms = 5000) {
        Bytes found;
        (void)QTest::qWaitFor(
            [&] {
                found = take(type);
                return !found.empty();
            },
            ms);
        return found;
    }

    void send(const Bytes& frame) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<std::uint16_t>(linkSocketPort()));
        ::sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

private:
    Bytes poll() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0)
            return {};
        Bytes buf(2048);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
};

Bytes header(std::uint16_t type) {
    Bytes f(12, 0xFF);
    writeU16(f.data() + 6, kLinkMagic);
    writeU16(f.data() + 8, type);
    writeU16(f.data() + 10, 12);
    return f;
}

Bytes getReply(std::uint8_t item, const Bytes& data) {
    Bytes f = header(0);
    f.push_back(item);
    f.push_back(static_cast<std::uint8_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

// The modem's acknowledgement echoes the Set request's body.
Bytes setAck(const Bytes& setRequest) {
    Bytes f = header(1);
    f.insert(f.end(), setRequest.begin() + 12, setRequest.end());
    return f;
}

class PagesOnTheLink : public PagesTest {
protected:
    void SetUp() override {
        PagesTest::SetUp();
        peer = std::make_unique<UiLinkPeer>(fw::uiBridge());
        setLinkPeer(peer.get());
    }
    void TearDown() override {
        PagesTest::TearDown();  // stops the link first
        peer.reset();
    }

    Modem modem;
    FastClock clock;
    std::unique_ptr<UiLinkPeer> peer;
};

TEST_F(PagesOnTheLink, StartUpAnswerFillsThePageThenASetIsAcknowledged) {
    channelTable().setLabel(0, "Home");
    ASSERT_TRUE(linkStart(modem.endpoints(), &clock));

    const Bytes get = modem.await(0);
    ASSERT_EQ(get, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79, 0x77, 0, 0, 2, 0, 0x62, 30}));
    ChannelTableBody table;
    table.setRecord(0, 4525, 4);
    table.setRecord(1, 5552, 9);
    modem.send(getReply(0x62, Bytes(table.bytes.begin(), table.bytes.end())));
    ASSERT_TRUE(QTest::qWaitFor([&] { return advanced->itemText(1013) == "452.5"; }, 5000));
    EXPECT_EQ(advanced->itemText(1014), "555.2");
    EXPECT_EQ(advanced->curSel(1039), 4);
    EXPECT_EQ(advanced->curSel(1040), -1);
    EXPECT_EQ(advanced->itemText(1023), "");  // differed from the (empty) table
    EXPECT_TRUE(requestButtons().all(true));

    advanced->setItemText(1024, "Office");
    advanced->setItemText(1014, "600");
    advanced->setCurSel(1040, 1);
    click(*advanced, BrixAdvanced::kSetId);
    EXPECT_TRUE(requestButtons().all(false));

    const Bytes set = modem.await(1);
    ASSERT_EQ(set.size(), 46u);
    EXPECT_EQ(readU16(set.data() + 10), 34);
    EXPECT_EQ(Bytes(set.begin() + 12, set.begin() + 16), (Bytes{0x09, 0x11, 0x62, 0x1E}));
    ChannelTableBody sent = ChannelTableBody::fromBytes(set.data() + 16);
    EXPECT_EQ(sent.frequency(0), 4525);
    EXPECT_EQ(sent.bitRateIndex(0), 4);
    EXPECT_EQ(sent.frequency(1), 6000);
    EXPECT_EQ(sent.bitRateIndex(1), 1);
    EXPECT_EQ(channelTable().entry(1).label, "Office");

    modem.send(setAck(set));
    ASSERT_TRUE(QTest::qWaitFor([&] { return requestButtons().all(true); }, 5000));
    // The modem's table changed, so the acknowledgement compares unequal.
    EXPECT_EQ(channelTable().labelRefreshPending.load(), 0);
    EXPECT_EQ(channelTable().entry(1).frequency, 6000);
    EXPECT_EQ(advanced->itemText(1014), "600.0");
    EXPECT_EQ(pending().setPending, 0);
}

TEST_F(PagesOnTheLink, UnansweredRequestAsksUntilCancelled) {
    std::atomic<int> asked{0};
    fw::setMessageBoxHandler([&](const fw::MessageBoxRequest& request) {
        EXPECT_EQ(request.caption, "Brix Tool Error");
        // Retry the first time, Cancel the second.
        return asked.fetch_add(1) == 0 ? fw::IDRETRY : fw::IDCANCEL;
    });
    click(*advanced, BrixAdvanced::kGetId);  // then the link's start-up Get goes unanswered
    ASSERT_TRUE(linkStart(modem.endpoints(), &clock));

    int gets = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            if (!modem.take(0).empty())
                ++gets;
            EXPECT_TRUE(asked.load() == 2 || requestButtons().all(false));
            return asked.load() == 2;
        },
        20000));
    // Five sends, the question, Retry, five more sends, the question again.
    while (!modem.await(0, 50).empty())
        ++gets;
    EXPECT_EQ(gets, 10);
    EXPECT_TRUE(requestButtons().all(true));
    EXPECT_EQ(pending().getPending, 0);
}

}  // namespace
}  // namespace brix::testing
