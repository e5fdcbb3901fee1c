// libFuzzer entry of what another local program sends over the link's local socket.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/share_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (brix::fuzz::runShareInput(data, size) != 0)
        std::abort();
    return 0;
}
