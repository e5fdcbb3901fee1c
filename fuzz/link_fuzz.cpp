// libFuzzer entry of the link: every input goes through runLinkInput, and any broken expectation
// counts as a crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/link_fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (brix::fuzz::runLinkInput(data, size) != 0)
        std::abort();
    return 0;
}
