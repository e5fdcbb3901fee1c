#pragma once
// The wall clock as the history, the request log and brixctl keep it: Unix milliseconds.

#include <chrono>
#include <cstdint>

namespace brix {

std::int64_t unixMs(std::chrono::system_clock::time_point t);
std::int64_t unixMsNow();

}  // namespace brix
