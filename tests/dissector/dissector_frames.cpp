// Writes the frames of the dissector test, one per line: "request" or "reply", the frame in hex,
// then the values the dissector must show as field=value, all tab-separated. Requests are what
// the link's own code sends (caught on a loopback socket); replies are built by the simulated
// modem, and their expected values are what the link's handlers make of them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/link_state.h"
#include "modem.h"
#include "protocol.h"

namespace {

using brix::sim::Bytes;

struct Peer : brix::LinkPeer {
    std::vector<std::string> console;
    bool lastWasError = false;
    std::string version, versionField;
    Bytes body;
    void addConsoleMessage(brix::MessageKind kind, const char* text, bool) override {
        console.emplace_back(text);
        lastWasError = kind == brix::MessageKind::Error;
    }
    void setMicrocodeVersion(const char* text) override {
        version = text;
        versionField = "Microcode version (Advanced page)";
    }
    void setBootVersion(const char* text) override {
        version = text;
        versionField = "Boot version (Scanner page)";
    }
    int onChannelTableReply(const std::uint8_t* b, int) override {
        body.assign(b, b + 30);
        return 0;
    }
    int onScannerReply(const std::uint8_t* b) override {
        body.assign(b, b + 2);
        return 0;
    }
    void cancelPendingCalls() override {}
};

Peer peer;
int modemSocket = -1;
brix::sim::Modem modem({}, 7);
std::int64_t nowMs = 0;

std::string hexByte(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02x", v);
    return b;
}

std::string hex32(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08" PRIx32, v);
    return b;
}

void emit(const char* dir, const Bytes& frame, const std::vector<std::string>& fields) {
    std::printf("%s\t", dir);
    for (std::uint8_t b : frame)
        std::printf("%02x", b);
    for (const std::string& f : fields)
        std::printf("\t%s", f.c_str());
    std::printf("\n");
}

std::string kv(const char* name, long long v) {
    return std::string(name) + "=" + std::to_string(v);
}

// The table as the tool's page receives it: frequencies, then bit-rate indexes.
std::vector<std::string> tableFields(const Bytes& body) {
    std::string freqs = "brix.table.frequency=", rates = "brix.table.rate_index=";
    for (int k = 0; k < 10; ++k) {
        freqs += (k ? "," : "") + std::to_string(brix::readU16(body.data() + 3 * k));
        rates += (k ? "," : "") + std::to_string(body[3 * k + 2]);
    }
    return {freqs, rates};
}

std::vector<std::string> bodyFields(std::uint8_t item, const Bytes& body) {
    if (item == 0x62)
        return tableFields(body);
    return {"brix.scanner.mask=" + hexByte(body[0]), "brix.scanner.second=" + hexByte(body[1])};
}

// Every datagram the link has sent since the last call.
std::vector<Bytes> sent() {
    std::vector<Bytes> out;
    pollfd p{modemSocket, POLLIN, 0};
    while (::poll(&p, 1, out.empty() ? 1000 : 0) > 0) {
        Bytes b(2048);
        const ssize_t n = ::recv(modemSocket, b.data(), b.size(), 0);
        if (n < 0)
            break;
        b.resize(static_cast<std::size_t>(n));
        out.push_back(b);
    }
    return out;
}

// Hands a modem frame to the link's handlers and returns the values they produced.
std::vector<std::string> toolReads(const Bytes& frame) {
    peer.console.clear();
    peer.body.clear();
    peer.version.clear();
    brix::dispatchFrame(frame.data(), static_cast<std::int16_t>(frame.size()));
    std::vector<std::string> f;
    const int type = static_cast<std::int16_t>(brix::readU16(frame.data() + 8));
    if ((type == 0 || type == 1) && !peer.body.empty()) {
        for (auto& s : bodyFields(frame[type == 0 ? 12 : 14], peer.body))
            f.push_back(s);
    } else if (type == 7) {
        std::uint16_t rx, tx, rxCode, txCode;
        brix::getFrequencies(rx, tx);
        brix::getRateCodes(rxCode, txCode);
        std::int32_t rate, level, retransmit;
        brix::getStatisticsRates(1, rate, level, retransmit);
        f = {kv("brix.rf.rx_frequency", rx), kv("brix.rf.tx_frequency", tx),
             kv("brix.rf.rx_rate_code", rxCode), kv("brix.rf.tx_rate_code", txCode),
             kv("brix.rf.tx_level", level)};
    } else if (type == 3 || type == 4) {
        // The Console lines name each counter; the rates are those the Tuner reads.
        static const char* const names[] = {"brix.stats.tx_fragments", "brix.stats.tx_packets",
                                            "brix.stats.tx_bytes",     "brix.stats.retransmitted",
                                            "brix.stats.rx_forwarded", "brix.stats.rx_filtered",
                                            "brix.stats.rx_bytes",     "brix.stats.grants"};
        std::size_t next = 0;
        unsigned seconds = 0, hundredths = 0;
        for (const std::string& line : peer.console) {
            if (std::sscanf(line.c_str(), "STATISTICS REPORT: Time period = %u.%u sec", &seconds,
                            &hundredths) == 2)
                f.push_back(kv("brix.stats.period", seconds * 100 + hundredths));
            const auto eq = line.rfind("= ");
            if (eq != std::string::npos && line.find("period") == std::string::npos && next < 8)
                f.push_back(std::string(names[next++]) + "=" + line.substr(eq + 2));
        }
        std::int32_t rx, grant, third, tx, level, retransmit;
        brix::getStatisticsRates(0, rx, grant, third);
        brix::getStatisticsRates(1, tx, level, retransmit);
        f.push_back(kv("brix.stats.tx_fragment_rate", tx));
        f.push_back(kv("brix.stats.retransmit_rate", retransmit));
        f.push_back(kv("brix.stats.rx_packet_rate", rx));
        f.push_back(kv("brix.stats.grant_rate", grant));
    } else if (type == 15 || type == 16) {
        f = {"brix.version.shown=" + peer.version, "brix.version.field=" + peer.versionField};
    } else if (type == 17 && !peer.console.empty()) {
        const std::string& line = peer.console.back();
        unsigned a = 0, b = 0;
        int diff = 0;
        if (peer.lastWasError) {
            f = {"brix.expert.unknown_debug=1"};
        } else if (std::sscanf(line.c_str(), "DTEQ: Received - %u  Lost - %u", &a, &b) == 2) {
            f = {kv("brix.debug.received", a), kv("brix.debug.lost", b)};
        } else if (std::sscanf(line.c_str(), "MAP - %X  GTR - %X  DIFF - %d", &a, &b, &diff) == 3) {
            f = {"brix.debug.map=" + hex32(a), "brix.debug.gtr=" + hex32(b),
                 kv("brix.debug.diff", diff)};
        } else {
            f = {"brix.debug.text=" + line};
        }
    } else if (type == 17) {
        f = {"brix.version.shown=" + peer.version, "brix.version.field=" + peer.versionField};
    }
    return f;
}

// A frame of the simulated modem, with what the tool reads from it and `more` besides.
void reply(const Bytes& frame, std::vector<std::string> more = {}) {
    std::vector<std::string> f = toolReads(frame);
    f.insert(f.end(), more.begin(), more.end());
    emit("reply", frame, f);
}

// The link's frames since the last call, each answered by the modem; `first` holds the values of
// the first frame.
void exchange(std::vector<std::string> first) {
    bool isFirst = true;
    for (const Bytes& r : sent()) {
        std::vector<std::string> f = isFirst ? first : std::vector<std::string>{};
        isFirst = false;
        f.push_back(kv("brix.type", static_cast<std::int16_t>(brix::readU16(r.data() + 8))));
        emit("request", r, f);
        nowMs += 1000;
        for (const Bytes& a : modem.handle(r.data(), r.size(), nowMs).frames)
            reply(a);
    }
}

}  // namespace

int main() {
    modemSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(modemSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(modemSocket, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        !brix::openLinkSocket({INADDR_LOOPBACK, 0, INADDR_LOOPBACK, ntohs(a.sin_port)})) {
        std::perror("loopback socket");
        return 1;
    }
    brix::initReportHandlers();
    brix::setLinkPeer(&peer);
    brix::setStatisticsMessages(1);
    using brix::DataItem;
    using brix::MessageType;

    brix::sendGetRequest(DataItem::ChannelTable, 30);
    exchange({"brix.item=0x62", "brix.count=30", "brix.length=2"});
    brix::sendGetRequest(DataItem::ScannerParams, 2);
    exchange({"brix.item=0x27", "brix.count=2"});

    Bytes table = brix::sim::Modem::defaultChannelTable();
    brix::writeU16(table.data() + 27, 65535);
    table[29] = 7;
    brix::requestSet(DataItem::ChannelTable, 30, table.data());
    brix::sendSetRequest(DataItem::ChannelTable, 30, table.data());
    std::vector<std::string> setFields = tableFields(table);
    setFields.push_back("brix.length=34");
    setFields.push_back("brix.set_word=0x1109");
    exchange(setFields);
    const std::uint8_t scanner[2] = {0xA5, 0x00};
    brix::requestSet(DataItem::ScannerParams, 2, scanner);
    brix::sendSetRequest(DataItem::ScannerParams, 2, scanner);
    exchange({"brix.scanner.mask=0xa5", "brix.scanner.second=0x00", "brix.length=6"});

    brix::sendFrame(brix::buildRequest(MessageType::Statistics).bytes, 12);
    exchange({"brix.length=12"});
    brix::sendFrame(brix::buildRequest(MessageType::RfQuery).bytes, 12);
    exchange({"brix.length=12"});
    brix::sendTuneFrequency(5612);
    exchange({"brix.tune.frequency=5612", "brix.length=2"});
    brix::sendTuneChannel(5552, 4);
    exchange({"brix.tune.frequency=5552", "brix.tune.rate_code=4", "brix.length=4"});
    brix::sendFrame(brix::buildValueRequest(MessageType::Query8, 0).bytes, 14);
    exchange({"brix.query.value=0", "brix.length=2"});
    brix::sendFrame(brix::buildValueRequest(MessageType::Query9, 0).bytes, 14);
    exchange({"brix.query.value=0", "brix.length=2"});
    brix::sendFrame(brix::buildRequest(MessageType::Version).bytes, 12);
    exchange({});

    // The modem's link test; the tool's answer goes back to the modem.
    reply(modem.makeLinkTest(nowMs));
    exchange({"brix.linktest.value=1234567", "brix.length=12"});

    using namespace brix::sim;
    reply(encodeDebugText("Ranging complete"));
    reply(encodeDebugVersion("Boot 1.04.2 (2019-03-11)"));
    reply(encodeDebugDteq(931, 4));
    reply(encodeDebugMapGtr(0x10, 0x20));
    reply(encodeDebugRaw(4, {0xDE, 0xAD}));

    // What the tool treats specially.
    Bytes reply11 = frameWithBody(type::kLinkTestReply, 4, 4);
    putU32(reply11, 12, 42);
    reply(reply11, {"brix.linktest.value=42"});
    StatisticsValues s;
    s.period = 1050;
    s.txFragments = 0xFFFF;
    s.txBytes = 0x80000000u;
    s.grants = 999;
    reply(encodeStatistics(type::kStatistics2, s));
    // Counts whose "+ 1" moves the rate to the next whole number: (19 + 1) * 10 / 20 = 10, not 9;
    // (39 + 1) * 10 / 20 = 20, not 19; the other two rates have no "+ 1".
    StatisticsValues steps;
    steps.period = 20;
    steps.txFragments = 19;
    steps.retransmitted = 7;
    steps.rxForwardedPackets = 39;
    steps.grants = 13;
    reply(encodeStatistics(type::kStatistics, steps),
          {"brix.stats.tx_fragment_rate=10", "brix.stats.rx_packet_rate=20",
           "brix.stats.retransmit_rate=3", "brix.stats.grant_rate=6"});
    s.period = 9;
    emit("reply", encodeStatistics(type::kStatistics, s),
         {"brix.expert.short_period=1", "brix.stats.tx_fragment_rate=", "brix.stats.period=9"});
    reply(encodeRfReport({4525, 9, 300, 6, 20}),
          {"brix.expert.rate_code=1", "brix.rf.attenuation=20"});
    Bytes rf = encodeRfReport({6035, 1, 310, 2, 6});
    rf.resize(16);
    emit("reply", rf,
         {"brix.expert.short=1", "brix.rf.rx_frequency=6035", "brix.rf.tx_frequency="});
    Bytes magic = encodeRfReport({4525, 4, 300, 1, 6});
    magic[6] = 0x77;
    magic[7] = 0x79;
    emit("reply", magic, {"brix.expert.bad_magic=1", "brix.magic=0x7977"});
    emit("reply", frameWithBody(19, 0, 0), {"brix.expert.unknown_type=1", "brix.type=19"});
    emit("reply", frameWithBody(-1, 0, 0), {"brix.expert.unknown_type=1", "brix.type=-1"});
    emit("reply", frameWithBody(2, 0, 0), {"brix.expert.ignored=1"});
    Bytes noZero = encodeVersionText(type::kVersion, "BRX!!3.01");
    noZero.pop_back();
    reply(noZero, {"brix.expert.no_zero=1"});
    reply(encodeVersionText(type::kVersion2, "Boot 1.05"));
    reply(encodeVersionText(type::kVersion, "X!!" + std::string(1600, 'v')),
          {"brix.expert.oversize=1", "brix.expert.no_zero=1"});
    reply(encodeGetReply(0x33, {0x0C, 0xFF}), {"brix.scanner.second=0xff"});
    Bytes cutAck = encodeSetAck(0x62, table);
    cutAck.resize(40);
    reply(cutAck, {"brix.expert.short=1"});
    emit("request", frameWithBody(type::kRfQuery, 0, 0),
         {"brix.expert.length=1", "brix.length.expected=12"});
    // Ports that are not the tool's: Decode As.
    brix::sendFrame(brix::buildRequest(MessageType::RfQuery).bytes, 12);
    for (const Bytes& r : sent())
        emit("other", r, {"brix.type=6", "brix.length=12"});
    brix::closeLinkSocket();
    ::close(modemSocket);
    return 0;
}
