#pragma once
// The frame that every datagram between the tool and the modem carries: a 12-byte header (six
// address bytes, magic, message type, length word) and a body. All words are little-endian.

#include <cstddef>
#include <cstdint>

namespace brix {

inline constexpr std::size_t kFrameHeaderSize = 12;
inline constexpr std::size_t kReceiveCapacity = 1514;   // bytes of a datagram that count
inline constexpr std::size_t kOutboundFrameSize = 271;  // largest Set request, 16 + 255
inline constexpr std::size_t kMaxSetData = 256;
inline constexpr std::uint16_t kLinkMagic = 0x7779;
inline constexpr std::uint16_t kSetRequestWord = 0x1109;
inline constexpr std::uint32_t kLinkTestValue = 1234567;
inline constexpr std::size_t kAddressSize = 6;

// The 16-bit type at offset 8; received frames are dispatched for 0..18 only.
enum class MessageType : std::int16_t {
    GetData = 0,
    SetData = 1,
    Statistics = 3,
    Statistics2 = 4,
    TuneFrequency = 5,
    RfQuery = 6,
    RfReport = 7,
    Query8 = 8,
    Query9 = 9,
    LinkTest = 10,
    LinkTestReply = 11,
    Version = 15,
    Version2 = 16,
    DebugMessage = 17,
    TuneChannel = 18,
};
inline constexpr int kMessageTypeCount = 19;

// Code of the data of a Get or Set exchange. The link only tells ChannelTable from the rest.
enum class DataItem : std::uint8_t {
    ScannerParams = 0x27,
    ChannelTable = 0x62,  // the letter b
};
inline constexpr std::uint8_t kChannelTableLength = 30;
inline constexpr std::uint8_t kScannerParamsLength = 2;

// Outbound frame area. Each sending thread owns one (see outboundFrame), so a frame is never
// rebuilt by the other thread before it has been sent. The address bytes hold 0xFF from the
// start and nothing ever stores anything else there.
struct LinkFrame {
    LinkFrame();
    std::uint8_t bytes[kOutboundFrameSize];
};

// This thread's outbound frame area.
LinkFrame& outboundFrame();

// Header with six 0xFF, the magic, `type` and the length word 12; 12 bytes to send.
LinkFrame& buildRequest(MessageType type);
// Like buildRequest with length word 2 and `value` at offset 12; 14 bytes to send.
LinkFrame& buildValueRequest(MessageType type, std::uint16_t value);

inline std::uint16_t readU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t readU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void writeU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void writeU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

}  // namespace brix
