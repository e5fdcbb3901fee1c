#pragma once
// One fuzz input run through the link as the link thread would meet it. Shared by the libFuzzer
// target and by the test that replays the seed corpus in the ordinary test suite.
//
// Input layout:
//   byte 0, mode:
//     bit 0   queue a Set first: item byte, length byte, then that many data bytes (as many as
//             there are)
//     bit 1   queue a Get first: item byte, length byte
//     bit 2   statistics lines on
//     bit 3   after the datagrams, run link passes on a clock that makes every pass a retry, so
//             the pending requests are re-sent and given up
//     bit 4   give-up answer: Retry (else Cancel)
//     bit 5   the rest is a sequence of datagrams, each a little-endian 16-bit size and its bytes
//             (else the whole rest is one datagram)
//     bit 6   echo: the pending Set's data are written over each datagram from offset 16, so
//             acknowledgements that match are common
//     bit 7   hand each datagram to dispatchFrame from its own buffer instead of through the
//             receive area and the acceptance step
//   then the request bytes, then the datagrams.

#include <cstddef>
#include <cstdint>

namespace brix::fuzz {

// Runs one input against a fresh link (which must be stopped) and leaves it reset again. Never
// opens a socket. Returns the number of broken expectations (0 for a sound link); each one is
// also described on standard error.
int runLinkInput(const std::uint8_t* data, std::size_t size);

}  // namespace brix::fuzz
