#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <fcntl.h>
#include <span>
#include <unistd.h>

#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "platform/system.hpp"

using namespace platform;

namespace {

std::string temp_file(const std::string& content) {
    std::string path =
        (std::filesystem::temp_directory_path() / ("qm-platform-" + std::to_string(::getpid()))).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

}  // namespace

TEST(Utf8, AcceptsAndRejects) {
    struct Case {
        std::string s;
        bool ok;
    };
    const Case cases[] = {
        {"", true},
        {"plain", true},
        {"caf\xC3\xA9", true},
        {"\xE2\x80\x94", true},
        {"\xF0\x9F\x98\x80", true},
        {"\xC3", false},              // cut short
        {"\x80", false},              // lone continuation byte
        {"\xC0\xAF", false},          // overlong
        {"\xED\xA0\x80", false},      // surrogate
        {"\xF4\x90\x80\x80", false},  // past U+10FFFF
        {"\xFF", false},
        {"abcdefgh\xC3\xA9 and then some more ascii", true},  // past the eight-byte fast path
        {"abcdefghijklmnop\xC3", false},
        {"abcdefghijklmnopqrstuvwxyz0123456789\xED\xA0\x80", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.s), c.ok) << c.s;
}

TEST(CommandLine, ReportsTheBadArgument) {
    char a0[] = "qm", a1[] = "get", a2[] = "\xFF";
    char* argv[] = {a0, a1, a2};
    std::size_t bad = 99;
    EXPECT_FALSE(command_line_args(3, argv, &bad).has_value());
    EXPECT_EQ(bad, 2u);
    auto ok = command_line_args(2, argv, &bad);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->size(), 2u);
}

TEST(Io, ErrorTextNamesTheSystemMessageAndNumber) {
    auto r = open_read("/nonexistent/qm/file");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "No such file or directory (os error 2)");
}

TEST(Io, PositionalAndExactReads) {
    std::string path = temp_file("0123456789");
    auto f = open_read(path, true);
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(f->size().value(), 10u);
    std::byte buf[4];
    auto n = f->read_at(8, buf);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(n.value(), 2u);
    EXPECT_EQ(f->read_at(10, buf).value(), 0u);  // end of file
    EXPECT_TRUE(f->read_exact_at(2, buf).ok());
    EXPECT_EQ(static_cast<char>(buf[0]), '2');
    auto short_read = f->read_exact_at(8, buf);
    ASSERT_FALSE(short_read.ok());
    EXPECT_EQ(short_read.error().message(), "failed to fill whole buffer");
    auto meta = stat_path(path);
    ASSERT_TRUE(meta.ok());
    EXPECT_EQ(meta->kind, FileKind::Regular);
    EXPECT_EQ(stat_path("/").value().kind, FileKind::Directory);
    std::remove(path.c_str());
}

TEST(Io, UnbufferedOpenFallsBackOrAligns) {
    std::string path = temp_file(std::string(8192, 'x'));
    auto f = open_unbuffered(path);
    if (f.ok()) {
        std::size_t a = direct_io_alignment(f.value());
        EXPECT_GE(a, 1u);
        EXPECT_EQ(a & (a - 1), 0u);
    } else {
        EXPECT_EQ(f.error().code, EINVAL);  // tmpfs and friends refuse O_DIRECT
    }
    std::remove(path.c_str());
}

TEST(Io, CachedBytesFollowThePageCache) {
    const std::string path = temp_file(std::string(64 * 4096, 'x'));
    auto f = open_read(path);
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(::fsync(f->fd()), 0);
    ASSERT_EQ(::posix_fadvise(f->fd(), 0, 0, POSIX_FADV_DONTNEED), 0);
    const auto evicted = cached_bytes(f.value());
    if (!evicted) GTEST_SKIP() << "this kernel cannot tell what the page cache holds";
    EXPECT_LT(*evicted, 64u * 4096);
    std::string back(64 * 4096, '\0');
    ASSERT_TRUE(f->read_exact_at(0, std::as_writable_bytes(std::span(back))).ok());
    EXPECT_EQ(cached_bytes(f.value()), std::optional<std::uint64_t>(64 * 4096));
    ASSERT_EQ(::posix_fadvise(f->fd(), 0, 16 * 4096, POSIX_FADV_DONTNEED), 0);
    EXPECT_EQ(cached_bytes(f.value(), 8 * 4096, 16 * 4096), std::optional<std::uint64_t>(8 * 4096));
    EXPECT_EQ(cached_bytes(f.value(), 16 * 4096), std::optional<std::uint64_t>(48 * 4096));
    std::remove(path.c_str());
}

TEST(Mmap, WholeFileAndEmptyFile) {
    std::string path = temp_file("{\"a\":1}");
    auto m = map_path(path, true);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m->map.data()), m->map.size()), "{\"a\":1}");
    std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
    auto e = map_path(path);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e->map.data(), nullptr);
    EXPECT_EQ(e->map.size(), 0u);
    std::remove(path.c_str());
}

TEST(System, MachineFacts) {
    EXPECT_GE(processor_count(), 1u);
    EXPECT_EQ(allocation_granularity() % 4096, 0u);
    auto mem = available_memory();
    ASSERT_TRUE(mem.has_value());
    EXPECT_GT(*mem, 0u);
}
