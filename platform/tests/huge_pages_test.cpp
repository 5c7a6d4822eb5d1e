#include "platform/huge_pages.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

// The hint must never change what the memory holds or where it may be
// written: every byte of a hinted block, aligned or not, is usable and keeps
// what was stored.
TEST(HugePages, HintedBlocksKeepTheirBytes) {
    for (std::size_t bytes : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{33} << 20,
                              (std::size_t{40} << 20) + 123}) {
        auto p = platform::allocate_uninit_bytes(bytes);
        ASSERT_NE(p, nullptr) << bytes;
        std::memset(p.get(), 0xA5, bytes);
        for (std::size_t i = 0; i < bytes; i += 4099) ASSERT_EQ(p[i], 0xA5) << bytes << " " << i;
        if (bytes > 0) {
            EXPECT_EQ(p[bytes - 1], 0xA5);
        }
    }
    // An existing block at an odd address, hinted after it was written.
    std::vector<std::uint8_t> v((std::size_t{36} << 20) + 7, 0x3C);
    platform::advise_huge_pages(v.data() + 3, v.size() - 3);
    platform::advise_huge_pages(nullptr, 1 << 30);
    for (std::size_t i = 0; i < v.size(); i += 4093) ASSERT_EQ(v[i], 0x3C);
}
