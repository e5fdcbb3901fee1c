#pragma once
// One fuzz input as another local program may send it to this one over the link's local
// socket: an owner's greeting to an attaching program, or an attached program's frame to the
// owner, which notes its Tunes and Sets for the history. Shared by the libFuzzer target and by
// the test that replays the seeds in the ordinary suite.
//
// Input layout: byte 0 even: the rest is a greeting; odd: the rest is a frame of an attached
// program (as the owner's relay lets it through: the link's header, no longer than a Set).

#include <cstddef>
#include <cstdint>

namespace brix::fuzz {

// Returns the number of broken expectations (0 when what was taken is bounded and printable);
// each one is also described on standard error.
int runShareInput(const std::uint8_t* data, std::size_t size);

}  // namespace brix::fuzz
