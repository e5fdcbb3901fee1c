// Writes the seed corpus of the link's fuzz target: a valid frame of every message type, the
// Get and Set exchanges, text and debug variants, sequences and retry runs. Each file is one
// input of runLinkInput (mode byte, request bytes, datagrams).
//   make_link_corpus <folder>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/link_frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using brix::writeU16;
using brix::writeU32;

// Mode bits of the fuzz input.
constexpr std::uint8_t kQueueSet = 0x01;
constexpr std::uint8_t kQueueGet = 0x02;
constexpr std::uint8_t kStatisticsOn = 0x04;
constexpr std::uint8_t kRetries = 0x08;
constexpr std::uint8_t kAnswerRetry = 0x10;
constexpr std::uint8_t kSequence = 0x20;
constexpr std::uint8_t kEcho = 0x40;
constexpr std::uint8_t kDirect = 0x80;

constexpr std::uint8_t kTable = 0x62;
constexpr std::uint8_t kScanner = 0x27;

Bytes frame(int type, std::size_t body = 0) {
    Bytes f(brix::kFrameHeaderSize + body, 0);
    for (std::size_t i = 0; i < brix::kAddressSize; ++i)
        f[i] = 0xFF;
    writeU16(f.data() + 6, brix::kLinkMagic);
    writeU16(f.data() + 8, static_cast<std::uint16_t>(type));
    writeU16(f.data() + 10, static_cast<std::uint16_t>(brix::kFrameHeaderSize));
    return f;
}

Bytes textFrame(int type, const std::string& text, bool terminate = true) {
    Bytes f = frame(type);
    f.insert(f.end(), text.begin(), text.end());
    if (terminate)
        f.push_back(0);
    return f;
}

Bytes debugFrame(std::uint16_t subType, const Bytes& data) {
    Bytes f = frame(17, 2);
    writeU16(f.data() + 12, subType);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes tableBody() {
    Bytes b(30);
    for (std::size_t i = 0; i < 10; ++i) {
        writeU16(b.data() + 3 * i, static_cast<std::uint16_t>(4525 + 60 * i));
        b[3 * i + 2] = static_cast<std::uint8_t>(i % 5);
    }
    return b;
}

Bytes getReply(std::uint8_t item, const Bytes& body) {
    Bytes f = frame(0, 2);
    f[12] = item;
    f[13] = static_cast<std::uint8_t>(body.size());
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

Bytes setAck(std::uint8_t item, const Bytes& body) {
    Bytes f = frame(1, 4);
    writeU16(f.data() + 12, brix::kSetRequestWord);
    f[14] = item;
    f[15] = static_cast<std::uint8_t>(body.size());
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

Bytes rfReport(std::uint16_t rx, std::uint16_t rxCode, std::uint16_t tx, std::uint16_t txCode,
               std::uint16_t attenuation) {
    Bytes f = frame(7, 10);
    writeU16(f.data() + 12, rx);
    writeU16(f.data() + 14, rxCode);
    writeU16(f.data() + 16, tx);
    writeU16(f.data() + 18, txCode);
    writeU16(f.data() + 20, attenuation);
    return f;
}

Bytes statistics(int type, std::uint16_t period) {
    Bytes f = frame(type, 34);
    writeU16(f.data() + 12, period);
    writeU16(f.data() + 26, 1234);
    writeU16(f.data() + 28, 1200);
    writeU32(f.data() + 30, 0x80000000u);
    writeU16(f.data() + 34, 3);
    writeU16(f.data() + 36, 5000);
    writeU16(f.data() + 38, 17);
    writeU32(f.data() + 40, 987654);
    writeU16(f.data() + 44, 420);
    return f;
}

// Input builders: mode byte, optional requests, then one datagram or a sequence.
Bytes input(std::uint8_t mode, const Bytes& requests, const Bytes& datagram) {
    Bytes in{mode};
    in.insert(in.end(), requests.begin(), requests.end());
    in.insert(in.end(), datagram.begin(), datagram.end());
    return in;
}

Bytes sequence(std::uint8_t mode, const Bytes& requests, const std::vector<Bytes>& datagrams) {
    Bytes in{static_cast<std::uint8_t>(mode | kSequence)};
    in.insert(in.end(), requests.begin(), requests.end());
    for (const Bytes& d : datagrams) {
        in.push_back(static_cast<std::uint8_t>(d.size() & 0xFF));
        in.push_back(static_cast<std::uint8_t>(d.size() >> 8));
        in.insert(in.end(), d.begin(), d.end());
    }
    return in;
}

Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes setRequest(std::uint8_t item, const Bytes& data) {
    Bytes r{item, static_cast<std::uint8_t>(data.size())};
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

Bytes getRequest(std::uint8_t item, std::uint8_t length) {
    return Bytes{item, length};
}

bool write(const std::string& folder, const std::string& name, const Bytes& bytes) {
    const std::string path = folder + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    const Bytes table = tableBody();
    const Bytes scanner{0x0F, 0x01};
    Bytes truncatedTable = getReply(kTable, table);
    truncatedTable.resize(30);
    Bytes bigEndianMagic = rfReport(4525, 2, 300, 1, 4);
    bigEndianMagic[6] = 0x77;
    bigEndianMagic[7] = 0x79;
    Bytes oversized = textFrame(17, "");
    writeU16(oversized.data() + 12, 3);
    oversized.resize(2000, 'x');

    const std::vector<std::pair<std::string, Bytes>> seeds = {
        {"t00-get-reply-table", input(kQueueGet, getRequest(kTable, 30), getReply(kTable, table))},
        {"t00-get-reply-scanner",
         input(kQueueGet, getRequest(kScanner, 2), getReply(kScanner, scanner))},
        {"t00-get-reply-cut-short", input(kQueueGet, getRequest(kTable, 30), truncatedTable)},
        {"t00-get-reply-unasked", input(0, {}, getReply(kScanner, scanner))},
        {"t01-set-ack-unasked", input(0, {}, setAck(kTable, table))},
        {"t01-set-ack-table", input(kQueueSet, setRequest(kTable, table), setAck(kTable, table))},
        {"t01-set-ack-scanner-echo",
         input(kQueueSet | kEcho, setRequest(kScanner, scanner), setAck(kScanner, Bytes(2)))},
        {"t01-set-ack-differs",
         input(kQueueSet, setRequest(kScanner, scanner), setAck(kScanner, Bytes{0x0F, 0x02}))},
        {"t02-ignored", input(0, {}, frame(2))},
        {"t03-statistics-lines", input(kStatisticsOn, {}, statistics(3, 1005))},
        {"t03-statistics-quiet", input(0, {}, statistics(3, 700))},
        {"t04-statistics2-short-period", input(kStatisticsOn, {}, statistics(4, 9))},
        {"t05-tune-frequency", input(0, {}, frame(5, 2))},
        {"t06-rf-query", input(0, {}, frame(6))},
        {"t07-rf-report", input(0, {}, rfReport(4525, 2, 300, 1, 4))},
        {"t07-rf-report-unknown-rate", input(0, {}, rfReport(65535, 9, 0, 7, 65535))},
        {"t08-query8", input(0, {}, frame(8, 2))},
        {"t09-query9", input(0, {}, frame(9, 2))},
        {"t10-link-test", input(0, {}, frame(10))},
        {"t11-link-test-reply", input(0, {},
                                      [] {
                                          Bytes f = frame(11, 4);
                                          writeU32(f.data() + 12, brix::kLinkTestValue);
                                          return f;
                                      }())},
        {"t12-ignored", input(0, {}, frame(12))},
        {"t13-ignored", input(0, {}, frame(13))},
        {"t14-ignored", input(0, {}, frame(14))},
        {"t15-version", input(0, {}, textFrame(15, "V1!!2.05!!X"))},
        {"t15-version-one-piece", input(0, {}, textFrame(15, "!!!2.05", false))},
        {"t16-version2-boot", input(0, {}, textFrame(16, "CM!!Boot 1.07!!"))},
        {"t17-debug-text", input(0, {}, debugFrame(3, Bytes{'r', 'a', 'n', 'g', 'e', 'd', 0}))},
        {"t17-debug-version", input(0, {}, debugFrame(6, Bytes{'B', 'o', 'o', 't', ' ', '2', 0}))},
        {"t17-debug-dteq", input(0, {}, debugFrame(7, Bytes{10, 0, 2, 0}))},
        {"t17-debug-map", input(0, {}, debugFrame(9, Bytes{0x10, 0, 0, 0, 0x20, 0, 0, 0}))},
        {"t17-debug-unknown", input(0, {}, debugFrame(4, {}))},
        {"t18-tune-channel", input(0, {}, frame(18, 4))},
        {"t19-out-of-range", input(0, {}, frame(19))},
        {"tm1-negative-type", input(0, {}, frame(-1))},
        {"drop-big-endian-magic", input(0, {}, bigEndianMagic)},
        {"drop-short", input(0, {}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x79})},
        {"oversized-debug-text", input(0, {}, oversized)},
        {"seq-long-then-short",
         sequence(kQueueSet, setRequest(kTable, table),
                  {textFrame(15, std::string(300, 'A') + "!!" + std::string(250, 'B')),
                   rfReport(4525, 2, 300, 1, 4), setAck(kTable, table), Bytes{}, frame(1)})},
        {"seq-reports",
         sequence(kStatisticsOn, {},
                  {rfReport(4525, 2, 300, 1, 4), rfReport(4525, 2, 300, 1, 4), statistics(4, 10),
                   frame(10), textFrame(16, "a!!b"), debugFrame(9, Bytes(8, 0xFF))})},
        {"retry-cancel", input(kQueueSet | kQueueGet | kRetries,
                               join(setRequest(kScanner, scanner), getRequest(kTable, 30)), {})},
        {"retry-answer-retry",
         input(kQueueGet | kRetries | kAnswerRetry, getRequest(kScanner, 2), frame(11, 4))},
        {"direct-rf-report", input(kDirect, {}, rfReport(5552, 4, 310, 2, 0))},
        {"direct-sequence", sequence(kDirect, {}, {statistics(3, 500), frame(11, 4), frame(3)})},
    };
    for (const auto& [name, bytes] : seeds) {
        if (!write(out, name, bytes))
            return 1;
    }
    std::printf("%zu seeds in %s\n", seeds.size(), out.c_str());
    return 0;
}
