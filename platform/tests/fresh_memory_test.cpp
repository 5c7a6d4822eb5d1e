#include "platform/fresh_memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "resident_memory.hpp"

using platform::FreshBuffer;

namespace {

bool all_zero(const std::uint8_t* p, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace

// Heap-sized and map-sized blocks alike: zero, aligned as asked, and moved
// without a copy of the bytes.
TEST(FreshBuffer, BlocksAreZeroAndAligned) {
    struct C {
        std::size_t bytes, align;
    } cases[] = {{0, 16}, {100, 16}, {100, 4096}, {64 << 10, 16}, {(3 << 20) + 5, 4096}, {1 << 20, 1 << 21}};
    for (const C& c : cases) {
        FreshBuffer b = FreshBuffer::allocate(c.bytes, c.align);
        ASSERT_TRUE(b) << c.bytes;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % c.align, 0u) << c.bytes;
        EXPECT_EQ(b.size(), c.bytes == 0 ? 1 : c.bytes);
        EXPECT_TRUE(all_zero(b.data(), 0, b.size())) << c.bytes;
        std::uint8_t* at = b.data();
        FreshBuffer moved = std::move(b);
        EXPECT_FALSE(b);
        EXPECT_EQ(moved.data(), at);
    }
}

// Growing keeps the bytes and zero-fills the rest, across the move from the
// heap to a map and from a map to a larger one.
TEST(FreshBuffer, GrowKeepsContents) {
    FreshBuffer b = FreshBuffer::allocate(1000);
    ASSERT_TRUE(b);
    std::memset(b.data(), 0x5A, b.size());
    for (std::size_t to : {std::size_t{4000}, std::size_t{1} << 20, (std::size_t{48} << 20) + 7}) {
        const std::size_t had = b.size();
        ASSERT_TRUE(b.grow(to)) << to;
        ASSERT_EQ(b.size(), to);
        for (std::size_t i = 0; i < had; i += 97) ASSERT_EQ(b.data()[i], 0x5A) << to << " " << i;
        EXPECT_TRUE(all_zero(b.data(), had, to)) << to;
        std::memset(b.data(), 0x5A, b.size());
    }
    EXPECT_TRUE(b.grow(10));  // smaller: nothing to do
    EXPECT_EQ(b.size(), (std::size_t{48} << 20) + 7);
}

// Shrinking keeps the first bytes and gives the pages past them back; what
// grows again after it is zero, also in the last page kept.
TEST(FreshBuffer, ShrinkGivesTheTailBack) {
    constexpr std::size_t kBytes = std::size_t{120} << 20;
    constexpr std::size_t kKeep = (std::size_t{10} << 20) + 5;
    FreshBuffer b = FreshBuffer::allocate(kBytes);
    ASSERT_TRUE(b);
    std::memset(b.data(), 0x5A, kBytes);
    const std::size_t touched = test_support::resident_bytes();
    b.shrink(kKeep);
    EXPECT_EQ(b.size(), kKeep);
    EXPECT_LE(test_support::resident_bytes() + kBytes - kKeep - (std::size_t{8} << 20), touched);
    for (std::size_t i = 0; i < kKeep; i += 97) ASSERT_EQ(b.data()[i], 0x5A) << i;
    EXPECT_EQ(b.data()[kKeep - 1], 0x5A);
    ASSERT_TRUE(b.grow(std::size_t{20} << 20));
    EXPECT_TRUE(all_zero(b.data(), kKeep, b.size()));
    b.shrink(std::size_t{30} << 20);  // not smaller: nothing to do
    EXPECT_EQ(b.size(), std::size_t{20} << 20);

    FreshBuffer small = FreshBuffer::allocate(1000);
    std::memset(small.data(), 0x5A, 1000);
    small.shrink(10);
    ASSERT_TRUE(small.grow(5000));
    EXPECT_EQ(small.data()[9], 0x5A);
    EXPECT_TRUE(all_zero(small.data(), 10, 5000));
}

// What the system cannot give is refused, never fatal, and a refused grow
// leaves the buffer as it was.
TEST(FreshBuffer, RefusalIsAValue) {
    EXPECT_FALSE(FreshBuffer::allocate(SIZE_MAX - 10));
    EXPECT_FALSE(FreshBuffer::allocate(100, 3));  // not a power of two
    FreshBuffer b = FreshBuffer::allocate(1 << 20);
    ASSERT_TRUE(b);
    b.data()[5] = 7;
    std::uint8_t* at = b.data();
    EXPECT_FALSE(b.grow(SIZE_MAX - 10));
    EXPECT_EQ(b.data(), at);
    EXPECT_EQ(b.size(), std::size_t{1} << 20);
    EXPECT_EQ(b.data()[5], 7);
}

// A large block's pages are given back from several threads before the
// unmap: every touched page is freed, whichever thread took its piece.
TEST(FreshBuffer, LargeBlockReleaseFreesEveryPage) {
    constexpr std::size_t kBytes = std::size_t{200} << 20;
    FreshBuffer b = FreshBuffer::allocate(kBytes);
    ASSERT_TRUE(b);
    for (std::size_t i = 0; i < kBytes; i += 4096) b.data()[i] = 1;
    const std::size_t touched = test_support::resident_bytes();
    ASSERT_GE(touched, kBytes);
    b.release();
    EXPECT_FALSE(b);
    EXPECT_LE(test_support::resident_bytes() + kBytes - (std::size_t{8} << 20), touched);
}
