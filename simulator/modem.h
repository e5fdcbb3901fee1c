#pragma once
// What the simulated modem holds and how it answers: receive and transmit channel, the channel
// table and scanner parameters, traffic counters and the texts it reports.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol.h"

namespace brix::sim {

// The modem's answer to one frame: frames to send and remarks for the operator.
struct Answer {
    std::vector<Bytes> frames;
    std::vector<std::string> notes;
};

struct ModemSettings {
    Bytes channelTable;           // 30 bytes; empty: the built-in ten-channel plan
    bool ackOther = false;        // acknowledgements carry other data than the modem holds
    bool ignoreTune = false;      // tune commands leave the receiver where it is
    bool ignoreTuneRate = false;  // tune commands change the frequency, never the rate code
    std::string microcodeVersion = "BRX-CM!!2.05.17!!build 1207";
    // The tool shows the second piece of a type 16 text, so "Boot" belongs in that piece.
    std::string bootVersion = "BRX-CM!!Boot 1.04.2!!2019-03-11";
};

class Modem {
public:
    Modem(ModemSettings settings, std::uint32_t seed);

    // Handles one datagram from the tool received at `nowMs` (milliseconds since start).
    Answer handle(const std::uint8_t* data, std::size_t size, std::int64_t nowMs);

    // Unsolicited frames.
    Bytes makeLinkTest(std::int64_t nowMs);    // also starts waiting for the tool's answer
    Bytes makeDebugMessage();                  // a mix of sub-types 3, 7, 9, rarely an unknown one
    Bytes makeFloodFrame(std::int64_t nowMs);  // any of the modem's reports

    // State, for tests and the operator.
    const RfValues& rf() const { return rf_; }
    const Bytes& channelTable() const { return channelTable_; }
    const Bytes& scannerParams() const { return scanner_; }
    bool awaitingLinkTestAnswer() const { return linkTestSentMs_ >= 0; }

    // The ten-channel plan a modem starts with when no channel file is given.
    static Bytes defaultChannelTable();

private:
    Bytes* dataFor(std::uint8_t item);
    Bytes statisticsFrame(std::int64_t nowMs);
    Bytes ackData(const Bytes& held) const;
    std::uint32_t below(std::uint32_t n) { return n ? static_cast<std::uint32_t>(rng_() % n) : 0; }
    bool chance(double p) { return static_cast<double>(rng_()) / 4294967296.0 < p; }

    ModemSettings settings_;
    std::mt19937 rng_;
    RfValues rf_;
    Bytes channelTable_;
    Bytes scanner_;
    std::int64_t lastStatisticsMs_ = 0;
    std::int64_t linkTestSentMs_ = -1;
    double load_ = 0.5;  // how busy the line is, 0..1, wanders between polls
    std::uint32_t mapCounter_ = 0x1000;
    std::uint32_t versionPolls_ = 0;
};

}  // namespace brix::sim
