#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <span>
#include <unistd.h>
#include <vector>

#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "platform/system.hpp"
#include "temp_dir.hpp"

using namespace platform;

namespace {

using test_support::TempFile;

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
    const TempFile file("0123456789");
    const std::string& path = file.path();
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
}

TEST(Io, UnbufferedOpenFallsBackOrAligns) {
    const TempFile file(std::string(8192, 'x'));
    const std::string& path = file.path();
    auto f = open_unbuffered(path);
    if (f.ok()) {
        std::size_t a = direct_io_alignment(f.value());
        EXPECT_GE(a, 1u);
        EXPECT_EQ(a & (a - 1), 0u);
    } else {
        EXPECT_EQ(f.error().code, EINVAL);  // tmpfs and friends refuse O_DIRECT
    }
}

TEST(Io, CachedBytesFollowThePageCache) {
    const TempFile file(std::string(64 * 4096, 'x'));
    const std::string& path = file.path();
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
}

TEST(Mmap, WholeFileAndEmptyFile) {
    const TempFile file("{\"a\":1}");
    const std::string& path = file.path();
    auto m = map_path(path, true);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m->map.data()), m->map.size()), "{\"a\":1}");
    std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
    auto e = map_path(path);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e->map.data(), nullptr);
    EXPECT_EQ(e->map.size(), 0u);
}

TEST(System, MachineFacts) {
    EXPECT_GE(processor_count(), 1u);
    EXPECT_EQ(allocation_granularity() % 4096, 0u);
    auto mem = available_memory();
    ASSERT_TRUE(mem.has_value());
    EXPECT_GT(*mem, 0u);
}

// The count follows the processors the process may run on, as `taskset -c 0`
// leaves it: one processor is no helper thread at all, two are two. Each
// mask is set in a child of its own, so the test's own stays as it was.
TEST(System, ProcessorsFollowTheAffinityMask) {
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    const int allowed = CPU_COUNT(&all);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE && static_cast<int>(cpus.size()) < 2; ++c)
        if (CPU_ISSET(c, &all)) cpus.push_back(c);
    for (std::size_t want = 1; want <= cpus.size(); ++want) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            for (std::size_t i = 0; i < want; ++i) CPU_SET(cpus[i], &set);
            if (::sched_setaffinity(0, sizeof set, &set) != 0) ::_exit(100);
            const unsigned n = count_processors();
            // 0 helpers: the job is the calling thread's alone.
            const unsigned helpers = helper_thread_count(std::nullopt, n);
            ::_exit(helpers == 0 ? static_cast<int>(n) : 50 + static_cast<int>(helpers));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(want));
    }
    // No quota here can raise the count above the mask.
    EXPECT_LE(count_processors(), static_cast<unsigned>(allowed));
    EXPECT_EQ(processor_count(), processor_count());
}

TEST(System, CpuQuotaInProcessors) {
    const struct {
        const char *quota, *period;
        std::optional<unsigned> n;
    } cases[] = {
        {"max", "100000", std::nullopt}, {"-1\n", "100000\n", std::nullopt}, {"100000", "100000", 1u},
        {"50000", "100000", 1u},         {"150000\n", "100000\n", 2u},       {"1", "100000", 1u},
        {"800000", "100000", 8u},        {"100000", "0", std::nullopt},      {"12x", "100000", std::nullopt},
        {"", "100000", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(quota_processors(c.quota, c.period), c.n) << c.quota << "/" << c.period;
}
