// Random and truncated datagrams through dispatch: nothing may crash or read out of bounds
// (run under AddressSanitizer and UndefinedBehaviorSanitizer).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "fuzz/link_fuzz_input.h"
#include "fuzz/share_fuzz_input.h"
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

// The fuzz target's seed corpus through the fuzz target's own entry, so the sanitizer builds of
// the suite cover it too. The seeds hold a frame of every type; each must run clean.
TEST_F(FuzzTest, SeedCorpusRunsClean) {
    namespace fs = std::filesystem;
    const fs::path folder = BRIX_LINK_CORPUS_DIR;
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    std::set<int> types;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        ++files;
        // Plain single-datagram seeds: note the type they carry.
        if (input.size() >= 11 && (input[0] & 0xA3) == 0 && readU16(input.data() + 7) == kLinkMagic)
            types.insert(static_cast<std::int16_t>(readU16(input.data() + 9)));
        EXPECT_EQ(fuzz::runLinkInput(input.data(), input.size()), 0) << entry.path();
    }
    for (int type = 0; type < kMessageTypeCount; ++type)
        EXPECT_TRUE(types.count(type) == 1) << "no seed of type " << type;
    EXPECT_GT(files, kMessageTypeCount);
    // The runner leaves the link as it found it: stopped, reset and without a socket.
    EXPECT_EQ(linkState().socket.load(), -1);
    EXPECT_EQ(linkPeer(), nullptr);
}

// Inputs the fuzzer would take a while to reach: every mode with empty, tiny and cut-off rests.
TEST_F(FuzzTest, EveryModeWithShortInputsRunsClean) {
    EXPECT_EQ(fuzz::runLinkInput(nullptr, 0), 0);
    for (int mode = 0; mode < 256; ++mode) {
        for (std::size_t size = 1; size <= 20; ++size) {
            Bytes input(size, 0xFF);
            input[0] = static_cast<std::uint8_t>(mode);
            if (size > 8)
                writeU16(input.data() + size - 2, kLinkMagic);
            ASSERT_EQ(fuzz::runLinkInput(input.data(), input.size()), 0)
                << "mode " << mode << " size " << size;
        }
    }
}

// What another local program sends over the link's socket, from the share fuzz target's seeds
// and random bytes after each: a greeting and an attached program's frame are taken bounded and
// printable, whatever they hold.
TEST(ShareFuzzTest, SeedsAndTheirMutationsRunClean) {
    namespace fs = std::filesystem;
    std::mt19937 rng(20261209);
    int files = 0;
    for (const auto& entry : fs::directory_iterator(BRIX_SHARE_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        ++files;
        EXPECT_EQ(fuzz::runShareInput(input.data(), input.size()), 0) << entry.path();
        for (int i = 0; i < 2000 && input.size() > 1; ++i) {
            Bytes mutated = input;
            for (int k = 0; k < 4; ++k)
                mutated[1 + rng() % (mutated.size() - 1)] = static_cast<std::uint8_t>(rng());
            ASSERT_EQ(fuzz::runShareInput(mutated.data(), mutated.size()), 0) << entry.path();
        }
    }
    EXPECT_GE(files, 8);
}

}  // namespace
}  // namespace brix::testing
