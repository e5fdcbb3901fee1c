#include "link/link_commands.h"

#include <cstring>

#include "link/link_state.h"

namespace brix {

void requestGet(DataItem item, std::uint8_t length) {
    LinkState& st = linkState();
    std::lock_guard<std::mutex> lock(st.pendingMutex);
    st.pending.getItem = static_cast<std::uint8_t>(item);
    st.pending.getLength = length;
    st.pending.getPending = 1;
    ++st.pending.getSerial;
}

void requestSet(DataItem item, std::uint8_t length, const std::uint8_t* data) {
    LinkState& st = linkState();
    std::lock_guard<std::mutex> lock(st.pendingMutex);
    if (length > 0 && data != nullptr)
        std::memcpy(st.pending.setData, data, length);
    st.pending.setItem = static_cast<std::uint8_t>(item);
    st.pending.setLength = length;
    st.pending.setPending = 1;
    ++st.pending.setSerial;
}

// Both senders leave the address bytes alone: this thread's frame area holds 0xFF there.
void sendGetRequest(DataItem item, std::uint8_t length) {
    std::uint8_t* f = outboundFrame().bytes;
    writeU16(f + 6, kLinkMagic);
    writeU16(f + 8, static_cast<std::uint16_t>(MessageType::GetData));
    writeU16(f + 10, 2);
    f[12] = static_cast<std::uint8_t>(item);
    f[13] = length;
    sendFrame(f, 14);
}

void sendSetRequest(DataItem item, std::uint8_t length, const std::uint8_t* data) {
    std::uint8_t* f = outboundFrame().bytes;
    writeU16(f + 6, kLinkMagic);
    writeU16(f + 8, static_cast<std::uint16_t>(MessageType::SetData));
    writeU16(f + 10, static_cast<std::uint16_t>(length + 4));
    writeU16(f + 12, kSetRequestWord);
    f[14] = static_cast<std::uint8_t>(item);
    f[15] = length;
    if (length > 0 && data != nullptr)
        std::memcpy(f + 16, data, length);
    sendFrame(f, static_cast<std::uint16_t>(16 + length));
}

void sendTuneFrequency(std::uint16_t rxFrequency) {
    LinkFrame& f = buildRequest(MessageType::TuneFrequency);
    writeU16(f.bytes + 10, 2);
    writeU16(f.bytes + 12, rxFrequency);
    sendFrame(f.bytes, 14);
    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
}

void sendTuneChannel(std::uint16_t rxFrequency, std::uint16_t rateCode) {
    LinkFrame& f = buildRequest(MessageType::TuneChannel);
    writeU16(f.bytes + 10, 4);
    writeU16(f.bytes + 12, rxFrequency);
    writeU16(f.bytes + 14, rateCode);
    sendFrame(f.bytes, 16);
    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
}

void setStatisticsMessages(std::int16_t on) {
    linkState().statisticsMessages.store(on, std::memory_order_relaxed);
}

void getFrequencies(std::uint16_t& rxFrequency, std::uint16_t& txFrequency) {
    const LinkState& st = linkState();
    rxFrequency = st.rxFrequency.load(std::memory_order_relaxed);
    txFrequency = st.txFrequency.load(std::memory_order_relaxed);
}

void getRateCodes(std::uint16_t& rxRateCode, std::uint16_t& txRateCode) {
    const LinkState& st = linkState();
    rxRateCode = st.rxRateCode.load(std::memory_order_relaxed);
    txRateCode = st.txRateCode.load(std::memory_order_relaxed);
}

void getStatisticsRates(std::int16_t side, std::int32_t& first, std::int32_t& second,
                        std::int32_t& third) {
    const LinkState& st = linkState();
    // The rates are at most 65536 ((65535 + 1) * 10 / 10), so they fit a signed 32-bit value.
    if (side == 0) {
        first = static_cast<std::int32_t>(st.rxPacketRate.load(std::memory_order_relaxed));
        second = static_cast<std::int32_t>(st.grantRate.load(std::memory_order_relaxed));
        third = static_cast<std::int32_t>(st.rxThirdRate.load(std::memory_order_relaxed));
    } else {
        first = static_cast<std::int32_t>(st.txFragmentRate.load(std::memory_order_relaxed));
        second = st.txLevel.load(std::memory_order_relaxed);
        third = static_cast<std::int32_t>(st.retransmitRate.load(std::memory_order_relaxed));
    }
}

std::int16_t getLinkActivity() {
    return linkState().activity.load();
}

void markLinkActivityShown() {
    setLinkActivity(-1);
}

StatisticsCounters getLastStatistics() {
    LinkState& st = linkState();
    std::lock_guard<std::mutex> lock(st.statisticsMutex);
    return st.statistics;
}

std::uint16_t getAttenuation() {
    return linkState().attenuation.load(std::memory_order_relaxed);
}

LinkCounters getLinkCounters() {
    const LinkState& st = linkState();
    LinkCounters c;
    c.framesSent = st.framesSent.load(std::memory_order_relaxed);
    c.framesReceived = st.framesReceived.load(std::memory_order_relaxed);
    c.framesDropped = st.framesDropped.load(std::memory_order_relaxed);
    // Acquire: the values of a report are stored before its count.
    c.rfReports = st.rfReports.load(std::memory_order_acquire);
    c.statisticsReports = st.statisticsReports.load(std::memory_order_acquire);
    return c;
}

}  // namespace brix
