#pragma once
// The link's face towards the pages: pending Get/Set requests that the link thread sends and
// retries, immediate tune commands, the statistics switch, and the values the Tuner reads.

#include <cstdint>

#include "link/link_frame.h"

namespace brix {

// Queue the one pending Get (or replace it). Publishes item and length before the flag; does
// not send and does not reset the retry count.
void requestGet(DataItem item, std::uint8_t length);
// Queue the one pending Set (or replace it): copies `length` bytes of `data`.
void requestSet(DataItem item, std::uint8_t length, const std::uint8_t* data);

// Build and send a Get or Set request (the link thread's retry step).
void sendGetRequest(DataItem item, std::uint8_t length);
void sendSetRequest(DataItem item, std::uint8_t length, const std::uint8_t* data);

// Immediate commands (UI thread): the tune frame, then an RfQuery. Frequencies in tenths of
// a MHz; bit-rate codes 0 to 6.
void sendTuneFrequency(std::uint16_t rxFrequency);
void sendTuneChannel(std::uint16_t rxFrequency, std::uint16_t rateCode);

// The Console's "Enable Statistics Messages" switch (0 or 1).
void setStatisticsMessages(std::int16_t on);

// Values of the last reports; a read may mix an older and a newer report.
void getFrequencies(std::uint16_t& rxFrequency, std::uint16_t& txFrequency);
void getRateCodes(std::uint16_t& rxRateCode, std::uint16_t& txRateCode);
// side 0: rxPacketRate, grantRate, 0; any other side: txFragmentRate, txLevel, retransmitRate.
void getStatisticsRates(std::int16_t side, std::int32_t& first, std::int32_t& second,
                        std::int32_t& third);

// The counters of the last statistics report with a period of at least 10 (all zero before).
struct StatisticsCounters {
    std::uint32_t period = 0;  // hundredths of a second
    std::uint32_t txFragments = 0;
    std::uint32_t txPackets = 0;
    std::int32_t txBytes = 0;
    std::uint32_t retransmitted = 0;
    std::uint32_t forwarded = 0;
    std::uint32_t filtered = 0;
    std::int32_t rxBytes = 0;
    std::uint32_t grants = 0;
};
StatisticsCounters getLastStatistics();

// The attenuation code of the last RF report (the level shown is twice it in -dBmV).
std::uint16_t getAttenuation();

// Running counts of the link since it started, for programs that watch it: datagrams sent,
// accepted, dropped (shorter than 8 bytes or without the magic), and the RF and statistics
// reports taken, so that a reader can tell a new report from the one it saw last.
struct LinkCounters {
    std::uint64_t framesSent = 0;
    std::uint64_t framesReceived = 0;
    std::uint64_t framesDropped = 0;
    std::uint32_t rfReports = 0;
    std::uint32_t statisticsReports = 0;
};
LinkCounters getLinkCounters();

// Link activity for the Tuner's lamps: 0 just sent, 1 just received, -1 already shown.
std::int16_t getLinkActivity();
void markLinkActivityShown();  // activity := -1

}  // namespace brix
