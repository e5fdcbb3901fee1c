#pragma once
// The modem's side of the frame format: what it builds for the tool and how it reads the tool's
// requests. Written apart from the tool's own link code on purpose, so that a mistake made on one
// side is not silently mirrored on the other.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brix::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kHeaderBytes = 12;
inline constexpr std::uint16_t kMagic = 0x7779;
inline constexpr std::uint16_t kSetWord = 0x1109;
inline constexpr std::uint32_t kLinkTestValue = 1234567;
inline constexpr std::uint8_t kItemChannelTable = 0x62;
inline constexpr std::uint8_t kItemScanner = 0x27;
inline constexpr std::size_t kChannelTableBytes = 30;
inline constexpr std::size_t kScannerBytes = 2;
inline constexpr std::size_t kStatisticsFrameBytes = 46;
inline constexpr std::size_t kRfReportFrameBytes = 22;

namespace type {
inline constexpr int kGetData = 0;
inline constexpr int kSetData = 1;
inline constexpr int kStatistics = 3;
inline constexpr int kStatistics2 = 4;
inline constexpr int kTuneFrequency = 5;
inline constexpr int kRfQuery = 6;
inline constexpr int kRfReport = 7;
inline constexpr int kQuery8 = 8;
inline constexpr int kQuery9 = 9;
inline constexpr int kLinkTest = 10;
inline constexpr int kLinkTestReply = 11;
inline constexpr int kVersion = 15;
inline constexpr int kVersion2 = 16;
inline constexpr int kDebugMessage = 17;
inline constexpr int kTuneChannel = 18;
}  // namespace type

namespace debug {
inline constexpr std::uint16_t kText = 3;
inline constexpr std::uint16_t kVersion = 6;
inline constexpr std::uint16_t kDteq = 7;
inline constexpr std::uint16_t kMapGtr = 9;
}  // namespace debug

// The name of a message type, or "Type<n>" for one the protocol does not know.
std::string typeName(int type);

// ---- little-endian access, bounds-checked by the callers ----
void putU16(Bytes& b, std::size_t at, std::uint16_t v);
void putU32(Bytes& b, std::size_t at, std::uint32_t v);
std::uint16_t getU16(const std::uint8_t* p);
std::uint32_t getU32(const std::uint8_t* p);

// ---- frames the modem sends ----

// A header (six 0xFF address bytes, magic, type, length word) followed by `bodyBytes` zero bytes.
Bytes frameWithBody(int type, std::size_t bodyBytes, std::uint16_t lengthWord);

struct RfValues {
    std::uint16_t rxFrequency = 0;  // tenths of a MHz
    std::uint16_t rxRateCode = 0;
    std::uint16_t txFrequency = 0;  // tenths of a MHz
    std::uint16_t txRateCode = 0;
    std::uint16_t attenuation = 0;  // 2 dBmV per step
    bool operator==(const RfValues&) const = default;
};
Bytes encodeRfReport(const RfValues& rf);

struct StatisticsValues {
    std::uint16_t period = 0;  // hundredths of a second since the last poll
    std::uint16_t txFragments = 0;
    std::uint16_t txPackets = 0;
    std::uint32_t txBytes = 0;
    std::uint16_t retransmitted = 0;
    std::uint16_t rxForwardedPackets = 0;
    std::uint16_t rxFilteredPackets = 0;
    std::uint32_t rxForwardedBytes = 0;
    std::uint16_t grants = 0;
};
// `messageType` is 3 or 4; both carry the same 46-byte layout.
Bytes encodeStatistics(int messageType, const StatisticsValues& s);

// Get reply: item, count, data.
Bytes encodeGetReply(std::uint8_t item, const Bytes& data);
// Set acknowledgement: word 0x1109, item, count, data.
Bytes encodeSetAck(std::uint8_t item, const Bytes& data);
// Link test from the modem: a bare header.
Bytes encodeLinkTest();
// Version text (type 15 or 16), zero-terminated.
Bytes encodeVersionText(int messageType, std::string_view text);
// Debug messages (type 17) by sub-type.
Bytes encodeDebugText(std::string_view text);
Bytes encodeDebugVersion(std::string_view text);
Bytes encodeDebugDteq(std::uint16_t received, std::uint16_t lost);
Bytes encodeDebugMapGtr(std::uint32_t map, std::uint32_t gtr);
Bytes encodeDebugRaw(std::uint16_t subType, const Bytes& data);

// ---- frames the tool sends ----

struct Inbound {
    int type = 0;  // signed 16-bit on the wire
    std::uint16_t lengthWord = 0;
    const std::uint8_t* body = nullptr;
    std::size_t bodyBytes = 0;
};

// Checks the header (12 bytes, magic); on failure `why` says what was wrong.
std::optional<Inbound> parseFrame(const std::uint8_t* data, std::size_t size, std::string& why);

struct GetRequest {
    std::uint8_t item = 0;
    std::uint8_t count = 0;
};
std::optional<GetRequest> decodeGetRequest(const Inbound& in);

struct SetRequest {
    std::uint16_t word = 0;
    std::uint8_t item = 0;
    std::uint8_t count = 0;
    Bytes data;              // what arrived of the `count` bytes
    bool truncated = false;  // fewer than `count` data bytes in the datagram
};
std::optional<SetRequest> decodeSetRequest(const Inbound& in);

std::optional<std::uint16_t> decodeTuneFrequency(const Inbound& in);

struct TuneChannelRequest {
    std::uint16_t frequency = 0;
    std::uint16_t rateCode = 0;
};
std::optional<TuneChannelRequest> decodeTuneChannel(const Inbound& in);

// Checks the tool's answer to a link test: 16 bytes, length word 12, value 1234567. Returns an
// empty string when it matches, otherwise what differs.
std::string checkLinkTestAnswer(const std::uint8_t* data, std::size_t size);

// ---- readable lines ----

// One line's worth of decoded fields. `fromModem` picks the meaning of types used both ways
// (Get, Set, link test).
std::string describeFrame(const std::uint8_t* data, std::size_t size, bool fromModem);

// Printable form of a byte text: stops at a zero byte or `max` bytes, escapes the rest.
std::string printableText(const std::uint8_t* p, std::size_t size, std::size_t max = 120);

}  // namespace brix::sim
