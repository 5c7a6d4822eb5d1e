// The stderr reports of the streaming parse. The timings switch is read once
// per process, so this program turns it on before any test runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include "tape_parser/streaming.hpp"
#include "temp_dir.hpp"

namespace fs = std::filesystem;
using namespace tape_parser;

namespace {

const bool timings_on = [] { return ::setenv("QUELLMOR_PARSER_TIMINGS", "", 1) == 0; }();

using test_support::TempDir;

// `[1,1,...]` padded with spaces to exactly n bytes.
std::string doc(std::size_t n) {
    std::string s = "[1";
    while (s.size() + 3 <= n) s += ",1";
    s.append(n - 1 - s.size(), ' ');
    return s + "]";
}

// The stderr of one streamed parse of `bytes` with QUELLMOR_DISK_READ set to
// `disk_read` (unset when null) and chunks of `chunk` bytes (0: the table).
std::string report_of(const TempDir& t, const std::string& bytes, const char* disk_read, std::uint64_t chunk,
                      bool* ok = nullptr) {
    if (disk_read) {
        ::setenv("QUELLMOR_DISK_READ", disk_read, 1);
    } else {
        ::unsetenv("QUELLMOR_DISK_READ");
    }
    const std::string path = t.write("doc.json", bytes);
    auto f = platform::open_read(path);
    EXPECT_TRUE(f);
    testing::internal::CaptureStderr();
    auto out = chunk ? streaming_parse_driver(path, std::move(f.value()), bytes.size(), chunk)
                     : parse_file_streaming(path, std::move(f.value()), bytes.size());
    std::string err = testing::internal::GetCapturedStderr();
    ::unsetenv("QUELLMOR_DISK_READ");
    if (ok) *ok = out.ok();
    return err;
}

std::string first_line(const std::string& s) { return s.substr(0, s.find('\n') + 1); }

bool direct_reads_work(const TempDir& t) { return platform::open_unbuffered(t.write("probe", "x")).ok(); }

}  // namespace

TEST(StreamingReport, StrategyFollowsDiskReadSetting) {
    ASSERT_TRUE(timings_on);
    TempDir t;
    const std::string bytes = doc(3 * 4096);
    const std::string unbuffered = "[fast_read] strategy=unbuffered-dma buffer_align=4096\n";
    const std::string buffered = "[fast_read] strategy=buffered buffer_align=4096\n";
    const bool direct = direct_reads_work(t);
    const struct {
        const char* value;
        const std::string& line;
    } cases[] = {
        {nullptr, buffered},  // below the size threshold
        {"BUFFERED", buffered},
        {"unbuffered", direct ? unbuffered : buffered},
        {"UnBuffered", direct ? unbuffered : buffered},
        {"unbuffered ", buffered},  // not the word: the size decides
        {"", buffered},
        {"direct", buffered},
    };
    for (const auto& c : cases) {
        bool ok = false;
        EXPECT_EQ(first_line(report_of(t, bytes, c.value, 4096, &ok)), c.line) << (c.value ? c.value : "(unset)");
        EXPECT_TRUE(ok);
    }
}

TEST(StreamingReport, LargeFilesAreReadAroundTheCacheUnlessItHoldsThem) {
    constexpr std::uint64_t kT = 256;  // threshold
    const struct {
        const char* disk_read;
        std::uint64_t size;
        std::optional<std::uint64_t> cached;
        bool unbuffered;
    } cases[] = {
        {nullptr, kT - 1, std::nullopt, false},  // small: through the cache
        {nullptr, kT, std::nullopt, true},       // the cache cannot tell: the size decides
        {nullptr, kT, 0, true},
        {nullptr, 800, 699, true},  // less than seven eighths cached
        {nullptr, 800, 700, false},
        {nullptr, 800, 800, false},
        {"unbuffered", 800, 800, true},  // the word decides whatever the cache holds
        {"BUFFERED", 800, 0, false},
        {"unbuffered", 1, std::nullopt, true},
        {"direct", 800, 0, true},  // not a word: size and cache decide
        {"direct", 800, 800, false},
    };
    for (const auto& c : cases) {
        const auto word = c.disk_read ? std::optional<std::string_view>(c.disk_read) : std::nullopt;
        EXPECT_EQ(reads_unbuffered(word, c.size, kT, c.cached), c.unbuffered)
            << (c.disk_read ? c.disk_read : "(unset)") << " " << c.size << " " << c.cached.value_or(999);
    }
}

TEST(StreamingReport, UnalignedChunkSizeFallsBackToTheCache) {
    TempDir t;
    bool ok = false;
    EXPECT_EQ(first_line(report_of(t, doc(5 * 6000), "unbuffered", 6000, &ok)),
              "[fast_read] strategy=buffered buffer_align=4096\n");
    EXPECT_TRUE(ok);
}

TEST(StreamingReport, LinesInOrderOnSuccess) {
    TempDir t;
    ::setenv("QUELLMOR_CHUNK_PERF", "1", 1);
    bool ok = false;
    const std::string err = report_of(t, doc(3 * 4096), "buffered", 4096, &ok);
    ::unsetenv("QUELLMOR_CHUNK_PERF");
    ASSERT_TRUE(ok);
    const std::string start =
        "[fast_read] strategy=buffered buffer_align=4096\n"
        "[streaming_simd] file_size=0.01MB, chunks=3, avx2=true, source=chunked-file\n"
        "=== Chunk Perf Summary ===\n";
    EXPECT_EQ(err.substr(0, start.size()), start) << err;
    const std::size_t timings = err.find("[timings] === Streaming SIMD Parser ===\n[timings] Source: chunked-file\n");
    ASSERT_NE(timings, std::string::npos) << err;
    EXPECT_GT(timings, err.find("avg\t-\t"));
    EXPECT_NE(err.find("[timings] Throughput: "), std::string::npos);
}

TEST(StreamingReport, OneChunkFileHasNoReadStrategyLine) {
    TempDir t;
    // Exactly 1 MiB through the entry point: one 1 MiB chunk, read whole.
    bool ok = false;
    const std::string err = report_of(t, doc(1 << 20), "unbuffered", 0, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(first_line(err), "[streaming_simd] file_size=1.00MB, chunks=1, avx2=true, source=chunked-file\n");
}

TEST(StreamingReport, BuilderFailurePrintsNoTimingsAndNoTable) {
    TempDir t;
    std::string bytes = doc(5 * 4096);
    bytes[3 * 4096 + 1] = 'x';
    ::setenv("QUELLMOR_CHUNK_PERF", "1", 1);
    bool ok = true;
    const std::string err = report_of(t, bytes, "buffered", 4096, &ok);
    ::unsetenv("QUELLMOR_CHUNK_PERF");
    EXPECT_FALSE(ok);
    EXPECT_EQ(err,
              "[fast_read] strategy=buffered buffer_align=4096\n"
              "[streaming_simd] file_size=0.02MB, chunks=5, avx2=true, source=chunked-file\n");
}
