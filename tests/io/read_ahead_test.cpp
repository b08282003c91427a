// The read-ahead hands out every block once, in order, with its overlap, and ends cleanly when left early.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <vector>

#include "io/read_ahead.h"

namespace salvora {
namespace {

TEST(ReadAhead, EveryBlockInOrderWithItsOverlapAndAnEarlyExitJoins) {
    std::vector<std::uint8_t> source(10'000);
    std::iota(source.begin(), source.end(), 0);
    std::atomic<int> reads{0};
    const auto read = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        ++reads;
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
    };
    ReadAhead blocks(read, 100, source.size(), 1024, 16);
    std::uint64_t expect = 100;
    for (ReadAhead::Block b = blocks.Next(); b; b = blocks.Next()) {
        ASSERT_EQ(b.at, expect);
        ASSERT_EQ(b.length, std::min<std::uint64_t>(1024, source.size() - expect));
        ASSERT_EQ(b.bytes.size(), std::min<std::uint64_t>(b.length + 16, source.size() - expect));
        ASSERT_TRUE(std::equal(b.bytes.begin(), b.bytes.end(), source.begin() + static_cast<std::ptrdiff_t>(b.at)));
        expect += b.length;
    }
    EXPECT_EQ(expect, source.size());
    EXPECT_FALSE(blocks.Next());  // the end stays the end

    // Left after one block, with the worker waiting for a free slot: the destructor must not hang.
    { ReadAhead early(read, 0, source.size(), 512); ASSERT_TRUE(early.Next()); }
    ReadAhead empty(read, 5, 5, 512);
    EXPECT_FALSE(empty.Next());
}

}  // namespace
}  // namespace salvora
