#include "link/link_frame.h"

#include <cstring>

namespace brix {

LinkFrame::LinkFrame() {
    std::memset(bytes, 0, sizeof bytes);
    std::memset(bytes, 0xFF, kAddressSize);
}

LinkFrame& outboundFrame() {
    thread_local LinkFrame frame;
    return frame;
}

LinkFrame& buildRequest(MessageType type) {
    LinkFrame& frame = outboundFrame();
    std::memset(frame.bytes, 0xFF, kAddressSize);
    writeU16(frame.bytes + 6, kLinkMagic);
    writeU16(frame.bytes + 8, static_cast<std::uint16_t>(type));
    writeU16(frame.bytes + 10, static_cast<std::uint16_t>(kFrameHeaderSize));
    return frame;
}

LinkFrame& buildValueRequest(MessageType type, std::uint16_t value) {
    LinkFrame& frame = buildRequest(type);
    writeU16(frame.bytes + 10, 2);
    writeU16(frame.bytes + 12, value);
    return frame;
}

}  // namespace brix
