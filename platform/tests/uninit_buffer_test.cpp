#include "platform/uninit_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>

// Every byte of a block is usable and keeps what was stored, down to an
// empty request, which still gives a block.
TEST(UninitBuffer, BlocksHoldWhatIsWritten) {
    for (std::size_t bytes : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, (std::size_t{40} << 20) + 123}) {
        auto p = platform::allocate_uninit_bytes(bytes);
        ASSERT_NE(p, nullptr) << bytes;
        std::memset(p.get(), 0xA5, bytes);
        for (std::size_t i = 0; i < bytes; i += 4099) ASSERT_EQ(p[i], 0xA5) << bytes << " " << i;
        if (bytes > 0) {
            EXPECT_EQ(p[bytes - 1], 0xA5);
        }
    }
}
