#pragma once
// Handlers of received frames, run on the link thread. Each gets the frame and its type. The
// frame is the link's receive area (kReceiveCapacity bytes): the bytes past the end of the
// datagram read as zero, so a short datagram never shows bytes of an earlier one.

#include <cstdint>
#include <string>
#include <vector>

#include "domain/rates.h"  // kUnknownBitRateText
#include "link/link_commands.h"

namespace brix {

using ReportHandler = void (*)(const std::uint8_t* frame, std::int16_t type);

void onIgnoredFrame(const std::uint8_t* frame, std::int16_t type);
void onGetReply(const std::uint8_t* frame, std::int16_t type);          // type 0
void onSetAck(const std::uint8_t* frame, std::int16_t type);            // type 1
void onStatisticsReport(const std::uint8_t* frame, std::int16_t type);  // types 3, 4
void onRfReport(const std::uint8_t* frame, std::int16_t type);          // type 7
void onLinkTest(const std::uint8_t* frame, std::int16_t type);          // types 10, 11
void onVersionText(const std::uint8_t* frame, std::int16_t type);       // types 15, 16
void onDebugMessage(const std::uint8_t* frame, std::int16_t type);      // type 17

// A text with "Boot" in it goes to the boot version field, any other to the microcode version.
void showVersionText(const char* text);

struct RfReport;
// The Console's lines of a report, as the link writes them; brixctl console writes the same.
std::vector<std::string> rfReportLines(const RfReport& report);
std::vector<std::string> statisticsReportLines(const StatisticsCounters& counts);

// Largest version piece that fits the 200-byte text buffer with its zero byte.
inline constexpr int kMaxVersionText = 199;

}  // namespace brix
