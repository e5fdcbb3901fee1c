#pragma once
// Time as the link sees it: signed 32-bit milliseconds since program start, and the idle wait of
// the receive step. The link thread uses the steady clock; another clock may drive a pass.

#include <cstdint>

namespace brix {

class LinkClock {
public:
    virtual ~LinkClock() = default;
    // Milliseconds since program start (wraps after about 24 days; the link compares with
    // wrapping differences).
    virtual std::int32_t nowMs() = 0;
    // The receive step's wait when nothing is waiting: 100 ms.
    virtual void idleSleep() = 0;
};

inline constexpr int kIdleSleepMs = 100;

// Steady clock counted from the loading of the program.
LinkClock& steadyLinkClock();
std::int32_t msSinceProgramStart();

// now - then with wrap-around, so the strict "more than the period" tests stay defined.
inline std::int32_t elapsedMs(std::int32_t now, std::int32_t then) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(now) -
                                     static_cast<std::uint32_t>(then));
}

}  // namespace brix
