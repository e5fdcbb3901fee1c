// Decoding of the modem's reports into LinkState values, Console lines, version texts and the
// answers of the pages' Get and Set requests.

#include "link/link_reports.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "domain/rates.h"
#include "link/link_events.h"
#include "link/link_state.h"

namespace brix {

namespace {

void console(MessageKind kind, const char* text, bool log) {
    if (LinkPeer* peer = linkPeer())
        peer->addConsoleMessage(kind, text, log);
}

// Copies the text that starts at `offset` of the receive area into `out`: up to its zero byte,
// the end of the receive area, or outSize - 1 characters, whichever comes first.
void copyBoundedText(const std::uint8_t* frame, std::size_t offset, char* out,
                     std::size_t outSize) {
    std::size_t limit = kReceiveCapacity - offset;
    if (limit > outSize - 1)
        limit = outSize - 1;
    std::size_t n = 0;
    while (n < limit && frame[offset + n] != 0) {
        out[n] = static_cast<char>(frame[offset + n]);
        ++n;
    }
    out[n] = '\0';
}

// Room for the longest text a datagram can carry after its 14 bytes of header and sub-type.
char debugText[kReceiveCapacity];

std::string rfLine(const char* side, std::uint16_t frequency, std::uint16_t code) {
    const std::string rate = codeRateText(code);
    char text[160];
    std::snprintf(text, sizeof text, "%s Cannel: Frequency = %5.1f MHz, Bit Rate = %s Mbit/sec",
                  side, frequency / 10.0, rate.c_str());
    return text;
}

}  // namespace

void onIgnoredFrame(const std::uint8_t*, std::int16_t) {}

void onGetReply(const std::uint8_t* frame, std::int16_t) {
    LinkState& st = linkState();
    // A reply cut short on the way would hand the page zeros for the missing bytes (and the
    // channel table would keep them); dropped instead, the Get stays pending and is sent again.
    const std::size_t bodyBytes =
        frame[12] == static_cast<std::uint8_t>(DataItem::ChannelTable) ? 30 : 2;
    if (st.receiveHighWater < 14 + bodyBytes)
        return;
    // Cleared before the page sees the reply: the page may queue its next request from there.
    {
        std::lock_guard<std::mutex> lock(st.pendingMutex);
        st.pending.getPending = 0;
    }
    st.retryCount = 0;
    LinkPeer* peer = linkPeer();
    if (peer == nullptr)
        return;
    if (frame[12] == static_cast<std::uint8_t>(DataItem::ChannelTable)) {
        peer->onChannelTableReply(frame + 14, 0);
    } else {
        peer->onScannerReply(frame + 14);
    }
}

void onSetAck(const std::uint8_t* frame, std::int16_t) {
    LinkState& st = linkState();
    // The page that receives the acknowledgement takes a whole body: 30 bytes of channel table,
    // else the 2 scanner bytes.
    const std::size_t body = frame[14] == static_cast<std::uint8_t>(DataItem::ChannelTable)
                                 ? kChannelTableLength
                                 : kScannerParamsLength;
    {
        std::lock_guard<std::mutex> lock(st.pendingMutex);
        // An echo of the pending Set, whole: a shorter Set (or none yet) compared on fewer bytes
        // would let a frame of zeros through as a table. An acknowledgement cut short is no
        // echo either, even where the zeros after its end would match the data.
        if (st.pending.setLength != body || st.receiveHighWater < 16u + body ||
            std::memcmp(frame + 16, st.pending.setData, body) != 0)
            return;
        st.pending.setPending = 0;
    }
    st.retryCount = 0;
    LinkPeer* peer = linkPeer();
    if (peer == nullptr)
        return;
    if (frame[14] == static_cast<std::uint8_t>(DataItem::ChannelTable)) {
        peer->onChannelTableReply(frame + 16, 0);
    } else {
        peer->onScannerReply(frame + 16);
    }
}

void onStatisticsReport(const std::uint8_t* frame, std::int16_t) {
    LinkState& st = linkState();
    const StatisticsCounters c{readU16(frame + 12), readU16(frame + 26),
                               readU16(frame + 28), static_cast<std::int32_t>(readU32(frame + 30)),
                               readU16(frame + 34), readU16(frame + 36),
                               readU16(frame + 38), static_cast<std::int32_t>(readU32(frame + 40)),
                               readU16(frame + 44)};
    if (c.period < 10) {
        // Not taken, but the modem did answer.
        publishLinkEvent(StatisticsReport{c});
        return;
    }

    const std::uint32_t period = c.period;
    st.txFragmentRate.store((c.txFragments + 1) * 10 / period, std::memory_order_relaxed);
    st.retransmitRate.store(c.retransmitted * 10 / period, std::memory_order_relaxed);
    st.rxPacketRate.store((c.forwarded + 1) * 10 / period, std::memory_order_relaxed);
    st.grantRate.store(c.grants * 10 / period, std::memory_order_relaxed);
    st.rxThirdRate.store(0, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(st.statisticsMutex);
        st.statistics = c;
    }
    st.statisticsReports.fetch_add(1, std::memory_order_release);
    publishLinkEvent(StatisticsReport{c});

    if (st.statisticsMessages.load(std::memory_order_relaxed) == 0)
        return;
    for (const std::string& line : statisticsReportLines(c))
        console(MessageKind::Embedded, line.c_str(), false);
}

void onRfReport(const std::uint8_t* frame, std::int16_t) {
    LinkState& st = linkState();
    RfReport r;
    r.rxFrequency = readU16(frame + 12);
    r.rxRateCode = readU16(frame + 14);
    r.txFrequency = readU16(frame + 16);
    r.txRateCode = readU16(frame + 18);
    r.attenuation = readU16(frame + 20);
    const std::int32_t level = 16 - static_cast<std::int32_t>(r.attenuation);

    r.changed = !(r.rxFrequency == st.rxFrequency.load(std::memory_order_relaxed) &&
                  r.txFrequency == st.txFrequency.load(std::memory_order_relaxed) &&
                  r.rxRateCode == st.rxRateCode.load(std::memory_order_relaxed) &&
                  r.txRateCode == st.txRateCode.load(std::memory_order_relaxed) &&
                  level == st.txLevel.load(std::memory_order_relaxed));
    if (r.changed) {
        for (const std::string& line : rfReportLines(r))
            console(MessageKind::Embedded, line.c_str(), true);
    }

    st.txLevel.store(level, std::memory_order_relaxed);
    st.rxFrequency.store(r.rxFrequency, std::memory_order_relaxed);
    st.txFrequency.store(r.txFrequency, std::memory_order_relaxed);
    st.rxRateCode.store(r.rxRateCode, std::memory_order_relaxed);
    st.txRateCode.store(r.txRateCode, std::memory_order_relaxed);
    st.attenuation.store(r.attenuation, std::memory_order_relaxed);
    st.rfReports.fetch_add(1, std::memory_order_release);
    publishLinkEvent(r);

    // The receive channel of the report before, this run: a modem that comes back elsewhere
    // after a silence, or a tune, moves it.
    if (st.lastRfValid &&
        (st.lastRxFrequency != r.rxFrequency || st.lastRxRateCode != r.rxRateCode))
        publishLinkEvent(
            ChannelChanged{st.lastRxFrequency, st.lastRxRateCode, r.rxFrequency, r.rxRateCode});
    st.lastRfValid = true;
    st.lastRxFrequency = r.rxFrequency;
    st.lastRxRateCode = r.rxRateCode;
}

void onLinkTest(const std::uint8_t*, std::int16_t type) {
    if (type != static_cast<std::int16_t>(MessageType::LinkTest))
        return;
    LinkFrame& answer = buildRequest(MessageType::LinkTest);
    writeU32(answer.bytes + 12, kLinkTestValue);  // the length word stays 12
    sendFrame(answer.bytes, 16);
}

void onVersionText(const std::uint8_t* frame, std::int16_t) {
    LinkState& st = linkState();
    // Pieces are the runs between exclamation marks; the second one is the version.
    const std::size_t end = kReceiveCapacity;
    std::size_t pos = 12;
    auto skipMarks = [&] {
        while (pos < end && frame[pos] == '!')
            ++pos;
    };
    auto skipPiece = [&] {
        while (pos < end && frame[pos] != '!' && frame[pos] != 0)
            ++pos;
    };
    skipMarks();
    skipPiece();
    skipMarks();
    if (pos < end && frame[pos] != 0) {
        std::size_t n = 0;
        while (pos + n < end && frame[pos + n] != '!' && frame[pos + n] != 0 &&
               n < static_cast<std::size_t>(kMaxVersionText)) {
            st.textBuffer[n] = static_cast<char>(frame[pos + n]);
            ++n;
        }
        st.textBuffer[n] = '\0';
    } else {
        // No second piece: show the text as it came rather than nothing.
        copyBoundedText(frame, 12, st.textBuffer, sizeof st.textBuffer);
    }
    showVersionText(st.textBuffer);
}

void onDebugMessage(const std::uint8_t* frame, std::int16_t) {
    char text[64];
    switch (readU16(frame + 12)) {
        case 3:
            copyBoundedText(frame, 14, debugText, sizeof debugText);
            console(MessageKind::Embedded, debugText, true);
            publishLinkEvent(DebugMessage{3, debugText});
            break;
        case 6:
            copyBoundedText(frame, 14, debugText, sizeof debugText);
            showVersionText(debugText);
            break;
        case 7:
            std::snprintf(text, sizeof text, "DTEQ: Received - %d  Lost - %d",
                          static_cast<int>(readU16(frame + 14)),
                          static_cast<int>(readU16(frame + 16)));
            console(MessageKind::Embedded, text, true);
            publishLinkEvent(DebugMessage{7, text});
            break;
        case 9: {
            const std::uint32_t map = readU32(frame + 14);
            const std::uint32_t gtr = readU32(frame + 18);
            std::snprintf(text, sizeof text, "MAP - %X  GTR - %X  DIFF - %d", map, gtr,
                          static_cast<std::int32_t>(map - gtr));
            console(MessageKind::Embedded, text, true);
            publishLinkEvent(DebugMessage{9, text});
            break;
        }
        default:
            console(MessageKind::Error, "Unknown Debug Message", true);
            publishLinkEvent(ConsoleError{"Unknown Debug Message"});
            break;
    }
}

void showVersionText(const char* text) {
    const bool boot = std::strstr(text, "Boot") != nullptr;
    publishLinkEvent(VersionText{boot, text});
    LinkPeer* peer = linkPeer();
    if (peer == nullptr)
        return;
    if (boot) {
        peer->setBootVersion(text);
    } else {
        peer->setMicrocodeVersion(text);
    }
}

std::vector<std::string> rfReportLines(const RfReport& r) {
    char attenuation[80];
    std::snprintf(attenuation, sizeof attenuation,
                  "                            Attenuation Level = -%2d dBmV",
                  2 * static_cast<int>(r.attenuation));
    return {"RF REPORT:", rfLine("Receive", r.rxFrequency, r.rxRateCode),
            rfLine("Transmit", r.txFrequency, r.txRateCode), attenuation, ""};
}

std::vector<std::string> statisticsReportLines(const StatisticsCounters& c) {
    char text[96];
    std::vector<std::string> lines;
    lines.reserve(12);
    auto line = [&](const char* format, long value) {
        std::snprintf(text, sizeof text, format, value);
        lines.emplace_back(text);
    };
    std::snprintf(text, sizeof text, "STATISTICS REPORT: Time period = %u.%02u sec", c.period / 100,
                  c.period % 100);
    lines.emplace_back(text);
    lines.emplace_back("TRANSMIT CHANNEL: ");
    line("Upstream transmitted fragments = %ld", c.txFragments);
    line("Upstream transmitted packets = %ld", c.txPackets);
    line("Upstream transmitted bytes = %ld", c.txBytes);
    line("Number of upstream packets re-transmitted = %ld", c.retransmitted);
    lines.emplace_back("RECEIVE CHANNEL: ");
    line("Number of forwarded downstream packets = %ld", c.forwarded);
    line("Number of downstream packets filtered out = %ld", c.filtered);
    line("Number of forwarded downstream bytes = %ld", c.rxBytes);
    line("Number of upstream transmission grants = %ld", c.grants);
    lines.emplace_back("");
    return lines;
}

}  // namespace brix
