#include "protocol.h"

#include <cstdio>

namespace brix::sim {

std::string typeName(int t) {
    switch (t) {
        case type::kGetData:
            return "GetData";
        case type::kSetData:
            return "SetData";
        case type::kStatistics:
            return "Statistics";
        case type::kStatistics2:
            return "Statistics2";
        case type::kTuneFrequency:
            return "TuneFrequency";
        case type::kRfQuery:
            return "RfQuery";
        case type::kRfReport:
            return "RfReport";
        case type::kQuery8:
            return "Query8";
        case type::kQuery9:
            return "Query9";
        case type::kLinkTest:
            return "LinkTest";
        case type::kLinkTestReply:
            return "LinkTestReply";
        case type::kVersion:
            return "Version";
        case type::kVersion2:
            return "Version2";
        case type::kDebugMessage:
            return "DebugMessage";
        case type::kTuneChannel:
            return "TuneChannel";
        default:
            return "Type" + std::to_string(t);
    }
}

void putU16(Bytes& b, std::size_t at, std::uint16_t v) {
    b.at(at) = static_cast<std::uint8_t>(v & 0xFF);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}

void putU32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t getU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (static_cast<unsigned>(p[1]) << 8));
}

std::uint32_t getU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

Bytes frameWithBody(int t, std::size_t bodyBytes, std::uint16_t lengthWord) {
    Bytes b(kHeaderBytes + bodyBytes, 0);
    for (std::size_t i = 0; i < 6; ++i)
        b[i] = 0xFF;
    putU16(b, 6, kMagic);
    putU16(b, 8, static_cast<std::uint16_t>(t));
    putU16(b, 10, lengthWord);
    return b;
}

namespace {

// The modem's frames carry the body size in the length word (the tool does not read it).
Bytes frame(int t, std::size_t bodyBytes) {
    return frameWithBody(t, bodyBytes, static_cast<std::uint16_t>(bodyBytes));
}

Bytes textFrame(int t, std::size_t prefix, std::string_view text) {
    Bytes b = frame(t, prefix + text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        b[kHeaderBytes + prefix + i] = static_cast<std::uint8_t>(text[i]);
    }
    return b;  // the last byte stays zero: the terminator
}

}  // namespace

Bytes encodeRfReport(const RfValues& rf) {
    Bytes b = frame(type::kRfReport, 10);
    putU16(b, 12, rf.rxFrequency);
    putU16(b, 14, rf.rxRateCode);
    putU16(b, 16, rf.txFrequency);
    putU16(b, 18, rf.txRateCode);
    putU16(b, 20, rf.attenuation);
    return b;
}

Bytes encodeStatistics(int messageType, const StatisticsValues& s) {
    Bytes b = frame(messageType, kStatisticsFrameBytes - kHeaderBytes);
    putU16(b, 12, s.period);
    putU16(b, 26, s.txFragments);
    putU16(b, 28, s.txPackets);
    putU32(b, 30, s.txBytes);
    putU16(b, 34, s.retransmitted);
    putU16(b, 36, s.rxForwardedPackets);
    putU16(b, 38, s.rxFilteredPackets);
    putU32(b, 40, s.rxForwardedBytes);
    putU16(b, 44, s.grants);
    return b;
}

Bytes encodeGetReply(std::uint8_t item, const Bytes& data) {
    const std::size_t n = data.size() > 255 ? 255 : data.size();
    Bytes b = frame(type::kGetData, 2 + n);
    b[12] = item;
    b[13] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i)
        b[14 + i] = data[i];
    return b;
}

Bytes encodeSetAck(std::uint8_t item, const Bytes& data) {
    const std::size_t n = data.size() > 255 ? 255 : data.size();
    Bytes b = frame(type::kSetData, 4 + n);
    putU16(b, 12, kSetWord);
    b[14] = item;
    b[15] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i)
        b[16 + i] = data[i];
    return b;
}

Bytes encodeLinkTest() {
    return frameWithBody(type::kLinkTest, 0, kHeaderBytes);
}

Bytes encodeVersionText(int messageType, std::string_view text) {
    return textFrame(messageType, 0, text);
}

Bytes encodeDebugText(std::string_view text) {
    Bytes b = textFrame(type::kDebugMessage, 2, text);
    putU16(b, 12, debug::kText);
    return b;
}

Bytes encodeDebugVersion(std::string_view text) {
    Bytes b = textFrame(type::kDebugMessage, 2, text);
    putU16(b, 12, debug::kVersion);
    return b;
}

Bytes encodeDebugDteq(std::uint16_t received, std::uint16_t lost) {
    Bytes b = frame(type::kDebugMessage, 6);
    putU16(b, 12, debug::kDteq);
    putU16(b, 14, received);
    putU16(b, 16, lost);
    return b;
}

Bytes encodeDebugMapGtr(std::uint32_t map, std::uint32_t gtr) {
    Bytes b = frame(type::kDebugMessage, 10);
    putU16(b, 12, debug::kMapGtr);
    putU32(b, 14, map);
    putU32(b, 18, gtr);
    return b;
}

Bytes encodeDebugRaw(std::uint16_t subType, const Bytes& data) {
    Bytes b = frame(type::kDebugMessage, 2 + data.size());
    putU16(b, 12, subType);
    for (std::size_t i = 0; i < data.size(); ++i)
        b[14 + i] = data[i];
    return b;
}

std::optional<Inbound> parseFrame(const std::uint8_t* data, std::size_t size, std::string& why) {
    if (size < kHeaderBytes) {
        why = "short frame (" + std::to_string(size) + " bytes)";
        return std::nullopt;
    }
    const std::uint16_t magic = getU16(data + 6);
    if (magic != kMagic) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "wrong magic 0x%04X", magic);
        why = buf;
        return std::nullopt;
    }
    Inbound in;
    in.type = static_cast<std::int16_t>(getU16(data + 8));
    in.lengthWord = getU16(data + 10);
    in.body = data + kHeaderBytes;
    in.bodyBytes = size - kHeaderBytes;
    return in;
}

std::optional<GetRequest> decodeGetRequest(const Inbound& in) {
    if (in.type != type::kGetData || in.bodyBytes < 2)
        return std::nullopt;
    return GetRequest{in.body[0], in.body[1]};
}

std::optional<SetRequest> decodeSetRequest(const Inbound& in) {
    if (in.type != type::kSetData || in.bodyBytes < 4)
        return std::nullopt;
    SetRequest r;
    r.word = getU16(in.body);
    r.item = in.body[2];
    r.count = in.body[3];
    const std::size_t have = in.bodyBytes - 4;
    const std::size_t n = have < r.count ? have : r.count;
    r.truncated = have < r.count;
    r.data.assign(in.body + 4, in.body + 4 + n);
    return r;
}

std::optional<std::uint16_t> decodeTuneFrequency(const Inbound& in) {
    if (in.type != type::kTuneFrequency || in.bodyBytes < 2)
        return std::nullopt;
    return getU16(in.body);
}

std::optional<TuneChannelRequest> decodeTuneChannel(const Inbound& in) {
    if (in.type != type::kTuneChannel || in.bodyBytes < 4)
        return std::nullopt;
    return TuneChannelRequest{getU16(in.body), getU16(in.body + 2)};
}

std::string checkLinkTestAnswer(const std::uint8_t* data, std::size_t size) {
    std::string why;
    const auto in = parseFrame(data, size, why);
    if (!in)
        return why;
    if (in->type != type::kLinkTest)
        return "type " + std::to_string(in->type) + ", not 10";
    if (size != 16)
        return std::to_string(size) + " bytes, not 16";
    if (in->lengthWord != 12)
        return "length word " + std::to_string(in->lengthWord) + ", not 12";
    const std::uint32_t value = getU32(in->body);
    if (value != kLinkTestValue)
        return "value " + std::to_string(value) + ", not 1234567";
    return {};
}

std::string printableText(const std::uint8_t* p, std::size_t size, std::size_t max) {
    std::string out = "\"";
    std::size_t i = 0;
    for (; i < size && i < max && p[i] != 0; ++i) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    out += '"';
    if (i == size)
        out += " (no zero byte)";
    if (i == max && i < size && p[i] != 0)
        out += "...";
    return out;
}

namespace {

std::string hex(unsigned v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
    return buf;
}

std::string hexBytes(const std::uint8_t* p, std::size_t n, std::size_t max = 32) {
    std::string out;
    for (std::size_t i = 0; i < n && i < max; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        if (i)
            out += ' ';
        out += buf;
    }
    if (n > max)
        out += " ...";
    return out;
}

std::string describeBody(const Inbound& in, bool fromModem) {
    const std::uint8_t* b = in.body;
    const std::size_t n = in.bodyBytes;
    auto u16 = [&](std::size_t at) { return at + 2 <= n ? std::to_string(getU16(b + at)) : "?"; };
    auto u32 = [&](std::size_t at) { return at + 4 <= n ? std::to_string(getU32(b + at)) : "?"; };
    switch (in.type) {
        case type::kGetData:
            if (n < 2)
                return "short";
            if (!fromModem)
                return "item " + hex(b[0], 2) + " count " + std::to_string(b[1]);
            return "item " + hex(b[0], 2) + " count " + std::to_string(b[1]) + " data " +
                   hexBytes(b + 2, n - 2);
        case type::kSetData:
            if (n < 4)
                return "short";
            return "word " + hex(getU16(b), 4) + " item " + hex(b[2], 2) + " count " +
                   std::to_string(b[3]) + " data " + hexBytes(b + 4, n - 4);
        case type::kStatistics:
        case type::kStatistics2:
            if (!fromModem)
                return "poll";
            return "period " + u16(0) + " fragments " + u16(14) + " packets " + u16(16) +
                   " bytes " + u32(18) + " retransmitted " + u16(22) + " forwarded " + u16(24) +
                   " filtered " + u16(26) + " fwd-bytes " + u32(28) + " grants " + u16(32);
        case type::kTuneFrequency:
            return "frequency " + u16(0);
        case type::kTuneChannel:
            return "frequency " + u16(0) + " rate code " + u16(2);
        case type::kRfReport:
            return "rx " + u16(0) + " code " + u16(2) + ", tx " + u16(4) + " code " + u16(6) +
                   ", attenuation " + u16(8);
        case type::kQuery8:
        case type::kQuery9:
            return "value " + u16(0);
        case type::kLinkTest:
        case type::kLinkTestReply:
            return n >= 4 ? "value " + u32(0) : "no value";
        case type::kVersion:
        case type::kVersion2:
            if (!fromModem && n == 0)
                return "poll";
            return "text " + printableText(b, n);
        case type::kDebugMessage: {
            if (n < 2)
                return "short";
            const std::uint16_t sub = getU16(b);
            const std::string head = "sub-type " + std::to_string(sub);
            switch (sub) {
                case debug::kText:
                case debug::kVersion:
                    return head + " text " + printableText(b + 2, n - 2);
                case debug::kDteq:
                    return head + " received " + u16(2) + " lost " + u16(4);
                case debug::kMapGtr: {
                    if (n < 10)
                        return head + " short";
                    return head + " MAP " + hex(getU32(b + 2), 1) + " GTR " + hex(getU32(b + 6), 1);
                }
                default:
                    return head + " data " + hexBytes(b + 2, n - 2);
            }
        }
        default:
            return n ? "data " + hexBytes(b, n) : "";
    }
}

}  // namespace

std::string describeFrame(const std::uint8_t* data, std::size_t size, bool fromModem) {
    std::string why;
    const auto in = parseFrame(data, size, why);
    if (!in)
        return "malformed: " + why;
    std::string out = typeName(in->type) + " (" + std::to_string(in->type) + ") " +
                      std::to_string(size) + " bytes";
    const std::string body = describeBody(*in, fromModem);
    if (!body.empty())
        out += ": " + body;
    return out;
}

}  // namespace brix::sim
