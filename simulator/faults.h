#pragma once
// Faults the simulated modem can put on its outbound frames, for tests and training: lost,
// doubled and damaged frames.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol.h"

namespace brix::sim {

struct FaultSettings {
    double drop = 0;       // probability that a frame is not sent
    double duplicate = 0;  // probability that a frame is sent twice
    double malformed = 0;  // probability that a frame is damaged
};

enum class Malformation { Short, WrongMagic, TypeOutOfRange, UnterminatedText, Oversized };

inline constexpr std::size_t kOversizedBytes = 2000;

struct FaultCounts {
    std::uint64_t dropped = 0;
    std::uint64_t duplicated = 0;
    std::uint64_t malformed = 0;
};

// True for frames whose body holds a zero-terminated text (version texts, debug text/version).
bool carriesText(const Bytes& frame);

// Damages a frame the given way. UnterminatedText needs a frame that carriesText().
Bytes malform(const Bytes& frame, Malformation kind, std::mt19937& rng);

const char* malformationName(Malformation kind);

class FaultInjector {
public:
    FaultInjector(FaultSettings settings, std::uint32_t seed);

    struct Outcome {
        std::vector<Bytes> datagrams;     // zero, one or two
        std::vector<std::string> faults;  // what was done, for the log
    };

    Outcome apply(const Bytes& frame);
    const FaultCounts& counts() const { return counts_; }

private:
    bool chance(double p);

    FaultSettings settings_;
    std::mt19937 rng_;
    FaultCounts counts_;
};

}  // namespace brix::sim
