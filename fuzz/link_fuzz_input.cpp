#include "fuzz/link_fuzz_input.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/link_state.h"

namespace brix::fuzz {

namespace {

int problems = 0;

void fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("link fuzz: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    ++problems;
}

// Reads the input front to back; past its end every byte reads as zero.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Up to `wanted` bytes (fewer at the end of the input).
    const std::uint8_t* take(std::size_t wanted, std::size_t& got) {
        got = std::min(wanted, size_ - pos_);
        const std::uint8_t* p = data_ + pos_;
        pos_ += got;
        return p;
    }
    std::size_t left() const { return size_ - pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A user interface that checks what the link hands it and answers give-ups from the input.
class FuzzPeer : public LinkPeer {
public:
    explicit FuzzPeer(int giveUpAnswer) : giveUpAnswer_(giveUpAnswer) {}

    void addConsoleMessage(MessageKind kind, const char* text, bool) override {
        ++calls;
        checkText("console line", text);
        if (static_cast<int>(kind) < 0 || static_cast<int>(kind) > 3)
            fail("console line of kind %d", static_cast<int>(kind));
    }
    void setMicrocodeVersion(const char* text) override {
        ++calls;
        checkText("microcode version", text);
        if (text != nullptr && std::strstr(text, "Boot") != nullptr)
            fail("a boot version went to the microcode field");
    }
    void setBootVersion(const char* text) override {
        ++calls;
        checkText("boot version", text);
        if (text != nullptr && std::strstr(text, "Boot") == nullptr)
            fail("a text without Boot went to the boot version field");
    }
    int onChannelTableReply(const std::uint8_t* body, int giveUp) override {
        return reply(body, giveUp != 0, kChannelTableLength);
    }
    int onScannerReply(const std::uint8_t* body) override {
        return reply(body, body == nullptr, kScannerParamsLength);
    }
    void cancelPendingCalls() override {}

    int calls = 0;
    int replies = 0;  // answers, not give-ups
    int giveUps = 0;
    std::uint8_t lastBody[kChannelTableLength] = {};
    std::size_t lastBodySize = 0;

private:
    void checkText(const char* what, const char* text) {
        if (text == nullptr) {
            fail("%s without text", what);
            return;
        }
        // Reads the whole text, so a missing zero byte shows up as an overflow.
        if (std::strlen(text) >= kReceiveCapacity)
            fail("%s longer than a datagram", what);
    }
    int reply(const std::uint8_t* body, bool giveUp, std::size_t size) {
        ++calls;
        if (giveUp) {
            if (body != nullptr)
                fail("a give-up came with a body");
            ++giveUps;
            return giveUpAnswer_;
        }
        if (body == nullptr) {
            fail("an answer came without its body");
            return 0;
        }
        ++replies;
        std::memcpy(lastBody, body, size);
        lastBodySize = size;
        return 0;
    }

    int giveUpAnswer_;
};

// Time that moves only in the receive step's idle wait, by more than the retry period, so every
// quiet pass is due for a retry.
class RetryClock : public LinkClock {
public:
    std::int32_t nowMs() override { return now_; }
    void idleSleep() override { now_ += kRetryPeriodMs + 1; }

private:
    std::int32_t now_ = 0;
};

struct PendingSnapshot {
    int getPending;
    int setPending;
    std::uint8_t setLength;
    std::uint8_t setData[kMaxSetData];
};

PendingSnapshot pendingNow() {
    LinkState& st = linkState();
    std::lock_guard<std::mutex> lock(st.pendingMutex);
    PendingSnapshot s{};
    s.getPending = st.pending.getPending;
    s.setPending = st.pending.setPending;
    s.setLength = st.pending.setLength;
    std::memcpy(s.setData, st.pending.setData, sizeof s.setData);
    return s;
}

// One datagram through the link, then what it must have done: the receive area holds exactly the
// datagram followed by zeros, activity and the pending requests moved as the frame says, and the
// pages saw only what the frame carried.
void feedDatagram(const std::uint8_t* bytes, std::size_t size, bool direct, bool echo,
                  FuzzPeer& peer) {
    LinkState& st = linkState();
    std::vector<std::uint8_t> datagram(bytes, bytes + size);
    const PendingSnapshot before = pendingNow();
    if (echo && size > 16) {
        std::size_t n = std::min<std::size_t>(before.setLength, size - 16);
        std::memcpy(datagram.data() + 16, before.setData, n);
    }

    const std::size_t n = std::min(size, kReceiveCapacity);
    // What the handlers must see: the datagram's first n bytes, then zeros.
    std::vector<std::uint8_t> expected(kReceiveCapacity, 0);
    std::copy_n(datagram.begin(), n, expected.begin());

    const int callsBefore = peer.calls;
    const int repliesBefore = peer.replies;
    setLinkActivity(-1);

    bool accepted = false;
    if (direct) {
        const auto count = static_cast<std::int16_t>(std::min<std::size_t>(size, 32767));
        dispatchFrame(datagram.empty() ? nullptr : datagram.data(), count);
        accepted = n >= 10;
    } else if (n > 0) {
        // What the receive step does: the read overwrites the start of the receive area only.
        std::memcpy(st.receiveArea, datagram.data(), n);
        acceptReceivedFrame(static_cast<std::int16_t>(n));
        accepted = n >= 8 && readU16(datagram.data() + 6) == kLinkMagic;
        const std::int16_t activity = getLinkActivity();
        if (activity != (accepted ? 1 : -1))
            fail("activity %d after a %s datagram", activity, accepted ? "taken" : "dropped");
    }

    if (n > 0) {
        if (st.receiveHighWater != n)
            fail("receive area marked at %zu after %zu bytes", st.receiveHighWater, n);
        if (std::memcmp(st.receiveArea, expected.data(), kReceiveCapacity) != 0)
            fail("receive area differs from the %zu-byte datagram and its zero tail", n);
    }

    const std::int16_t type =
        accepted && n >= 10 ? static_cast<std::int16_t>(readU16(expected.data() + 8)) : -1;
    const PendingSnapshot after = pendingNow();
    const std::uint8_t getItem = expected[12];
    const std::uint8_t setItem = expected[14];

    if (type == static_cast<std::int16_t>(MessageType::GetData)) {
        const std::size_t body =
            getItem == static_cast<std::uint8_t>(DataItem::ChannelTable) ? 30 : 2;
        if (n >= 14 + body) {
            if (after.getPending != 0)
                fail("a whole Get reply left the Get pending");
            if (peer.replies != repliesBefore + 1 || peer.lastBodySize != body ||
                std::memcmp(peer.lastBody, expected.data() + 14, body) != 0)
                fail("a whole Get reply did not reach the page as it came");
        } else {
            if (after.getPending != before.getPending || peer.replies != repliesBefore)
                fail("a Get reply of %zu bytes was taken", n);
        }
    } else if (type == static_cast<std::int16_t>(MessageType::SetData)) {
        // Taken only as a whole body of its page that echoes the pending Set of that length.
        const std::size_t body =
            setItem == static_cast<std::uint8_t>(DataItem::ChannelTable) ? 30 : 2;
        const bool echoes = before.setLength == body && n >= 16u + body &&
                            std::memcmp(expected.data() + 16, before.setData, body) == 0;
        if (echoes) {
            if (after.setPending != 0)
                fail("an acknowledgement that echoes the Set left it pending");
            if (peer.replies != repliesBefore + 1 || peer.lastBodySize != body ||
                std::memcmp(peer.lastBody, expected.data() + 16, body) != 0)
                fail("an acknowledgement did not reach the page as it came");
        } else {
            if (after.setPending != before.setPending || peer.replies != repliesBefore)
                fail("an acknowledgement that does not echo the Set was taken");
        }
    } else {
        if (peer.replies != repliesBefore)
            fail("a frame of type %d answered a request", type);
        if (after.getPending != before.getPending || after.setPending != before.setPending)
            fail("a frame of type %d changed a pending request", type);
    }
    if (type < 0 && peer.calls != callsBefore)
        fail("a frame that reaches no handler reached the pages");
}

// Quiet passes with every pass due for a retry: a request nobody answers is sent five times and
// then given up, and the page's answer decides whether it stays pending.
void runRetries(FuzzPeer& peer, int answer) {
    RetryClock clock;
    constexpr int kPasses = 2 * (kSendsBeforeGiveUp + 1) + 2;
    for (int pass = 0; pass < kPasses; ++pass) {
        const PendingSnapshot before = pendingNow();
        const int giveUpsBefore = peer.giveUps;
        if (!linkPass(clock))
            fail("a pass ended the link thread");
        const PendingSnapshot after = pendingNow();
        if (peer.giveUps == giveUpsBefore)
            continue;
        // The Get goes first; the Set is retried only when no Get is pending.
        const int flag = before.getPending == 1 ? after.getPending : after.setPending;
        if (flag != answer)
            fail("pending flag %d after a give-up answered with %d", flag, answer);
    }
    const PendingSnapshot end = pendingNow();
    if (answer == 0 && (end.getPending != 0 || end.setPending != 0))
        fail("a request answered with Cancel at every give-up is still pending");
}

}  // namespace

int runLinkInput(const std::uint8_t* data, std::size_t size) {
    problems = 0;
    LinkState& st = linkState();
    // Nothing here may ever reach the network.
    if (st.socket.load() >= 0 || st.threadRunning) {
        fail("the link is open; not run");
        return problems;
    }
    linkReset();

    Reader in(data, size);
    const std::uint8_t mode = in.byte();
    const int answer = (mode & 0x10) != 0 ? 1 : 0;
    FuzzPeer peer(answer);
    setLinkPeer(&peer);
    setStatisticsMessages((mode & 0x04) != 0 ? 1 : 0);

    if ((mode & 0x01) != 0) {
        const auto item = static_cast<DataItem>(in.byte());
        const std::uint8_t length = in.byte();
        std::uint8_t setData[kMaxSetData] = {};
        std::size_t got = 0;
        const std::uint8_t* p = in.take(length, got);
        std::memcpy(setData, p, got);
        requestSet(item, length, setData);
    }
    if ((mode & 0x02) != 0) {
        const auto item = static_cast<DataItem>(in.byte());
        requestGet(item, in.byte());
    }

    const bool direct = (mode & 0x80) != 0;
    const bool echo = (mode & 0x40) != 0;
    if ((mode & 0x20) != 0) {
        // Enough datagrams to leave long ones behind short ones, not so many that one input runs
        // for long.
        for (int i = 0; i < 64 && in.left() > 0; ++i) {
            std::size_t wanted = in.byte();
            wanted |= static_cast<std::size_t>(in.byte()) << 8;
            std::size_t got = 0;
            const std::uint8_t* p = in.take(wanted, got);
            feedDatagram(p, got, direct, echo, peer);
        }
    } else {
        std::size_t got = 0;
        const std::uint8_t* p = in.take(in.left(), got);
        feedDatagram(p, got, direct, echo, peer);
    }

    if ((mode & 0x08) != 0)
        runRetries(peer, answer);

    if (st.socket.load() >= 0)
        fail("a socket was opened");
    linkReset();
    return problems;
}

}  // namespace brix::fuzz
