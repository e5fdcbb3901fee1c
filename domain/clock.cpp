#include "domain/clock.h"

namespace brix {

std::int64_t unixMs(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::int64_t unixMsNow() {
    return unixMs(std::chrono::system_clock::now());
}

}  // namespace brix
