#pragma once
// Command line of the simulated modem.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"

namespace brix::sim {

struct Options {
    std::string bindAddress = "0.0.0.0";
    std::uint16_t localPort = 30588;  // where the modem listens
    std::uint16_t peerPort = 30587;   // where the tool listens
    std::string destination = "255.255.255.255";
    std::string interfaceName;  // empty: any interface
    std::string channelsFile;   // empty: the built-in plan
    bool silent = false;
    FaultSettings faults;
    int lateMs = 0;
    bool ackOther = false;
    bool ignoreTune = false;
    bool ignoreTuneRate = false;
    std::string microcodeVersion;  // empty: the built-in text
    double floodRate = 0;          // frames per second, 0: off
    std::optional<std::uint32_t> seed;
    bool quiet = false;
    double durationSeconds = 0;  // 0: until a signal
    bool stats = false;
    double linkTestSeconds = 30;  // mean interval of link tests, 0: never
    double debugSeconds = 10;     // mean interval of debug messages, 0: never
    std::string fillHistory;      // write a simulated past into this new store, and exit
    int fillDays = 30;
};

enum class ParseResult { Run, Help, Error };

// Parses argv[1..]; on Error, `error` says what was wrong.
ParseResult parseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

std::string usageText(const std::string& program);

}  // namespace brix::sim
