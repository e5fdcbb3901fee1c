// Random and truncated datagrams through dispatch: nothing may crash or read out of bounds
// (run under AddressSanitizer and UndefinedBehaviorSanitizer).

#include <gtest/gtest.h>

#include <random>

#include "link_test_support.h"

namespace brix::testing {
namespace {

using FuzzTest = LinkTest;

TEST_F(FuzzTest, RandomDatagramsAreHandledSafely) {
    std::mt19937 rng(20261207);
    peer.setDefaultGiveUpAnswer(RecordingPeer::kRetry);
    setStatisticsMessages(1);
    auto byte = [&] { return static_cast<std::uint8_t>(rng() & 0xFF); };
    for (int i = 0; i < 20000; ++i) {
        // Mostly well-formed headers with types around the valid range, any length.
        std::size_t size = rng() % 3 == 0 ? rng() % 24 : rng() % (kReceiveCapacity + 200);
        Bytes f(size);
        for (auto& b : f)
            b = byte();
        if (size >= 8 && rng() % 4 != 0)
            writeU16(f.data() + 6, kLinkMagic);
        if (size >= 10 && rng() % 4 != 0) {
            writeU16(f.data() + 8, static_cast<std::uint16_t>(static_cast<int>(rng() % 23) - 2));
        }
        if (size >= 14 && rng() % 3 == 0)
            writeU16(f.data() + 12, static_cast<std::uint16_t>(rng() % 11));
        if (rng() % 50 == 0) {
            Bytes data(rng() % 256);
            for (auto& b : data)
                b = byte();
            requestSet(static_cast<DataItem>(byte()), static_cast<std::uint8_t>(data.size()),
                       data.data());
        }
        // dispatchFrame takes a 16-bit count; longer buffers are cut to the receive area.
        auto count = static_cast<std::int16_t>(std::min<std::size_t>(size, 32767));
        dispatchFrame(f.data(), count);
        if (peer.calls() > 5000)
            peer.clear();
    }
    dispatchFrame(nullptr, 0);
    dispatchFrame(nullptr, -5);
    SUCCEED();
}

}  // namespace
}  // namespace brix::testing
