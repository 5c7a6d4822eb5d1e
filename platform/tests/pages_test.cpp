#include "platform/pages.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "resident_memory.hpp"

namespace {

#ifndef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ = 22;
#endif

}  // namespace

// Every piece gets the advice, whichever thread takes it, the last and short
// one included: discarded pages read as zero again, and a populated view of
// a file is resident and holds the file's bytes.
TEST(Pages, EveryPieceIsAdvised) {
    constexpr std::size_t kBytes = (std::size_t{100} << 20) + 12345;  // four pieces, the last short
    void* raw = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(raw, MAP_FAILED);
    auto* p = static_cast<std::uint8_t*>(raw);
    for (std::size_t i = 0; i < kBytes; i += 4096) p[i] = 1;
    p[kBytes - 1] = 1;
    platform::advise_pages_in_parallel(p, kBytes, MADV_DONTNEED);
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < kBytes; i += 4096) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero + p[kBytes - 1], 0u);
    ::munmap(raw, kBytes);

    const std::string path =
        (std::filesystem::temp_directory_path() / ("qm-pages-" + std::to_string(::getpid()))).string();
    std::string content(kBytes, '\0');
    for (std::size_t i = 0; i < kBytes; ++i) content[i] = static_cast<char>('a' + i % 23);
    std::ofstream(path, std::ios::binary) << content;
    {
        auto m = platform::map_path(path);
        ASSERT_TRUE(m.ok());
        const std::size_t before = test_support::resident_bytes();
        platform::advise_pages_in_parallel(const_cast<std::uint8_t*>(m->map.data()), kBytes, MADV_POPULATE_READ);
        // Kernels before 5.14 refuse the advice; the bytes are right either way.
        if (::madvise(const_cast<std::uint8_t*>(m->map.data()), 4096, MADV_POPULATE_READ) == 0) {
            EXPECT_GE(test_support::resident_bytes(), before + kBytes - (std::size_t{8} << 20));
        }
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(m->map.data()), m->map.size()), content);
    }
    std::remove(path.c_str());
}

// Pages of a file map given back stop counting as the process's memory and
// read the file's bytes again. A range populated maps every page it touches.
TEST(Pages, ReadPagesOfAFileMapArePopulatedAndGivenBack) {
    constexpr std::size_t kBytes = std::size_t{16} << 20;
    std::string content(kBytes, '\0');
    for (std::size_t i = 0; i < kBytes; ++i) content[i] = static_cast<char>('a' + i % 23);
    const std::string path =
        (std::filesystem::temp_directory_path() / ("qm-read-pages-" + std::to_string(::getpid()))).string();
    std::ofstream(path, std::ios::binary) << content;
    {
        auto m = platform::map_path(path);
        ASSERT_TRUE(m.ok());
        const std::uint8_t* p = m->map.data();
        const bool populates = ::madvise(const_cast<std::uint8_t*>(p), 4096, MADV_POPULATE_READ) == 0;
        platform::release_read_pages(p, 4096);
        std::size_t before = test_support::resident_bytes();
        platform::populate_read_pages(p + 100, kBytes - 200);
        if (populates) {
            EXPECT_GE(test_support::resident_bytes(), before + kBytes - (std::size_t{1} << 20));
        }
        before = test_support::resident_bytes();
        platform::release_read_pages(p + 100, kBytes - 200);
        const std::size_t after = test_support::resident_bytes();
        EXPECT_LE(after + kBytes - (std::size_t{1} << 20), before);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(p), kBytes), content);
    }
    std::remove(path.c_str());
}
