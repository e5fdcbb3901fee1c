#include "link/link_clock.h"

#include <chrono>
#include <thread>

namespace brix {

namespace {

// Taken while the program loads, which stands for its start.
const std::chrono::steady_clock::time_point programStart = std::chrono::steady_clock::now();

class SteadyLinkClock final : public LinkClock {
public:
    std::int32_t nowMs() override { return msSinceProgramStart(); }
    void idleSleep() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSleepMs));
    }
};

}  // namespace

std::int32_t msSinceProgramStart() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - programStart)
                  .count();
    // Modulo 2^32, like the 32-bit millisecond counter the periods are compared against.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms)));
}

LinkClock& steadyLinkClock() {
    static SteadyLinkClock clock;
    return clock;
}

}  // namespace brix
