#include "tape_parser/streaming.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tape_parser/parse.hpp"
#include "temp_dir.hpp"

namespace fs = std::filesystem;
using namespace tape_parser;

namespace {

constexpr std::uint64_t kChunk = 4096;  // a multiple of every direct-I/O alignment we meet

// The reports are checked by their own program; keep this one's stderr to
// what a test asks for, whatever the caller's environment holds.
[[maybe_unused]] const bool quiet = [] {
    ::unsetenv("QUELLMOR_PARSER_TIMINGS");
    ::unsetenv("QUELLMOR_CHUNK_PERF");
    return true;
}();

using test_support::TempDir;

// Forces a read strategy for the calls made while it lives.
struct DiskRead {
    explicit DiskRead(const char* v) {
        if (v) {
            ::setenv("QUELLMOR_DISK_READ", v, 1);
        } else {
            ::unsetenv("QUELLMOR_DISK_READ");
        }
    }
    ~DiskRead() { ::unsetenv("QUELLMOR_DISK_READ"); }
};

const char* const kStrategies[] = {"unbuffered", "buffered"};

// One array element with every token kind, escapes included, so that chunk
// cuts land inside strings, escapes, \u sequences, numbers and literals.
std::string element(std::size_t i) {
    return "{\"k\\\"ey" + std::to_string(i) + "\":\"va\\\\lu\\u00e9e\",\"n\":-12.5e+3" + std::to_string(i % 10) +
           ",\"t\":true,\"f\":false,\"z\":null,\"a\":[1,22,[],{}],\"s\":\"abcdefghijklmnopqrstuvwxyz0123456789\"}";
}

// A valid document of exactly `n` bytes.
std::string document_of_size(std::size_t n) {
    if (n == 0) return "";
    if (n == 1) return "1";
    std::string doc = "[";
    for (std::size_t i = 0;; ++i) {
        std::string e = (i ? "," : "") + element(i);
        if (doc.size() + e.size() + 1 > n) break;
        doc += e;
    }
    doc.append(n - 1 - doc.size(), ' ');
    doc += "]";
    return doc;
}

StreamedTapeOutput stream(const std::string& path, std::uint64_t size, std::uint64_t chunk = kChunk) {
    auto f = platform::open_read(path);
    EXPECT_TRUE(f);
    return streaming_parse_driver(path, std::move(f.value()), size, chunk);
}

// The streamed result must equal the whole-buffer parse of the same bytes in
// one chunk: same tape, same statistics, or the same message.
void expect_same_as_whole_buffer(const std::string& bytes, StreamedTapeOutput& got) {
    auto ref = parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                    std::max<std::size_t>(bytes.size(), 1), 0.0);
    ASSERT_EQ(got.ok(), ref.ok()) << (got.ok() ? "streamed ok" : got.error()) << " vs "
                                  << (ref.ok() ? "whole ok" : ref.error());
    if (!ref.ok()) {
        EXPECT_EQ(got.error(), ref.error());
        return;
    }
    EXPECT_EQ(got->stats, ref->stats);
    ASSERT_EQ(got->tape.size(), ref->tape.size());
    for (std::size_t i = 0; i < ref->tape.size(); ++i) ASSERT_EQ(got->tape[i], ref->tape[i]) << "entry " << i;
    ASSERT_EQ(got->mapped.map.size(), bytes.size());
    if (!bytes.empty()) {
        EXPECT_EQ(std::memcmp(got->mapped.map.data(), bytes.data(), bytes.size()), 0);
    }
}

std::size_t thread_count() {
    std::size_t n = 0;
    for (auto& e : fs::directory_iterator("/proc/self/task")) {
        (void)e;
        ++n;
    }
    return n;
}

}  // namespace

TEST(ChunkSize, FollowsTheTableWithInclusiveBounds) {
    constexpr std::uint64_t MiB = 1 << 20;
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, MiB},
        {100 * MiB, MiB},
        {100 * MiB + 1, 2 * MiB},
        {200 * MiB, 2 * MiB},
        {200 * MiB + 1, 4 * MiB},
        {400 * MiB, 4 * MiB},
        {400 * MiB + 1, 8 * MiB},
        {800 * MiB, 8 * MiB},
        {800 * MiB + 1, 16 * MiB},
        {UINT64_MAX, 16 * MiB},
    };
    for (auto [size, chunk] : cases) EXPECT_EQ(chunk_size_for_len(size), chunk) << size;
}

TEST(StreamingParse, MatchesWholeBufferParseAtEverySize) {
    TempDir t;
    const std::size_t sizes[] = {0, 1, 2, kChunk - 1, kChunk, kChunk + 1, 2 * kChunk, 3 * kChunk + 7, 7 * kChunk};
    for (const char* strategy : kStrategies) {
        DiskRead dr(strategy);
        for (std::size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << strategy << " size " << size);
            const std::string bytes = document_of_size(size);
            ASSERT_EQ(bytes.size(), size);
            auto got = stream(t.write("doc.json", bytes), size);
            expect_same_as_whole_buffer(bytes, got);
        }
    }
}

TEST(StreamingParse, TokensCutAtChunkBoundariesGiveTheSameTape) {
    TempDir t;
    std::string body = "[";
    for (std::size_t i = 0; i < 120; ++i) body += (i ? "," : "") + element(i);
    body += "]";
    // Shifting the document one byte at a time moves every chunk boundary
    // across every byte of an element.
    const std::size_t span = element(0).size() + 1;
    for (const char* strategy : kStrategies) {
        DiskRead dr(strategy);
        for (std::size_t shift = 0; shift <= span; ++shift) {
            SCOPED_TRACE(testing::Message() << strategy << " shift " << shift);
            const std::string bytes = std::string(shift, ' ') + body;
            auto got = stream(t.write("doc.json", bytes), bytes.size());
            expect_same_as_whole_buffer(bytes, got);
            if (HasFatalFailure()) return;
        }
    }
}

TEST(StreamingParse, ByteOrderMarkAndErrorsMatchWholeBufferParse) {
    TempDir t;
    const std::string bom = "\xEF\xBB\xBF";
    const std::string big = document_of_size(3 * kChunk);
    const std::string cases[] = {
        bom,                                    // nothing but the mark
        bom + "{}",                             // first value at offset 3
        bom + big.substr(0, big.size() - 3),    // mark and several chunks
        "\xEF\xBB",                             // not a mark
        "{}" + bom,                             // the same bytes later are input
        big + " 7",                             // two top-level values: wrapped
        big.substr(0, 2 * kChunk + 10),         // unclosed container
        "\"" + std::string(2 * kChunk, 'x'),    // unclosed string over two chunks
        std::string(kChunk - 2, ' ') + "tru",   // literal cut by the end
        big.substr(0, 2 * kChunk + 5) + "]]]",  // a mismatch in a late chunk
    };
    for (const char* strategy : kStrategies) {
        DiskRead dr(strategy);
        for (const std::string& bytes : cases) {
            SCOPED_TRACE(testing::Message() << strategy << " size " << bytes.size());
            const std::string path = t.write("doc.json", bytes);
            auto got = stream(path, bytes.size());
            expect_same_as_whole_buffer(bytes, got);
            // Chunks shorter than the mark hold it in pieces.
            if (bytes.size() > 8) continue;
            for (std::uint64_t chunk : {1, 2}) {
                auto cut = stream(path, bytes.size(), chunk);
                expect_same_as_whole_buffer(bytes, cut);
            }
        }
    }
}

TEST(StreamingParse, RealChunkSizesThroughTheEntryPoint) {
    TempDir t;
    for (std::size_t size : {std::size_t{1000}, std::size_t{(1 << 20) * 5 / 2}}) {
        const std::string bytes = document_of_size(size);
        const std::string path = t.write("doc.json", bytes);
        auto f = platform::open_read(path);
        ASSERT_TRUE(f);
        auto got = parse_file_streaming(path, std::move(f.value()), size);
        expect_same_as_whole_buffer(bytes, got);
    }
}

TEST(StreamingParse, ShrunkFileGivesTheReadFailure) {
    TempDir t;
    const std::string bytes = document_of_size(6 * kChunk);
    struct Case {
        const char* strategy;
        std::uint64_t cut;  // the file keeps this many bytes of the 6 chunks it had
        const char* message;
    };
    const Case cases[] = {
        {"unbuffered", kChunk / 2, "Failed to read file: short read on first chunk"},
        {"buffered", kChunk / 2, "Failed to read file: failed to fill whole buffer"},
        {"unbuffered", 3 * kChunk + 100, "Background read error: short read on chunk"},
        {"buffered", 3 * kChunk + 100, "Background read error: failed to fill whole buffer"},
        {"unbuffered", 3 * kChunk, "Background read error: short read on chunk"},
    };
    // Where the file system refuses direct reads, "unbuffered" reads through
    // the cache and gives the buffered messages.
    const bool direct = platform::open_unbuffered(t.write("probe", "x")).ok();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.strategy << " cut " << c.cut);
        if (!direct && std::string_view(c.strategy) == "unbuffered") continue;
        DiskRead dr(c.strategy);
        const std::string path = t.write("doc.json", bytes);
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.cut)), 0);
        auto got = stream(path, bytes.size());
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error(), c.message);
    }
    // A file of one chunk is read whole through the caller's handle.
    const std::string path = t.write("small.json", "[1, 2, 3]");
    ASSERT_EQ(::truncate(path.c_str(), 4), 0);
    auto got = stream(path, 9);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), "Failed to read file: failed to fill whole buffer");
}

// The file is read and mapped through the handle the caller opened, never
// by its name: a file renamed over it or an unlink while it is parsed
// changes nothing, at any chunk, for one chunk or several.
TEST(StreamingParse, RenameOrUnlinkMeanwhileChangesNothing) {
    TempDir t;
    struct Change {
        std::string path, other;
        bool unlink;
        std::uint64_t at_chunk;
    };
    auto change = [](std::uint64_t index, void* ctx) {
        auto* c = static_cast<Change*>(ctx);
        if (index != c->at_chunk) return;
        if (c->unlink) {
            ::unlink(c->path.c_str());
        } else {
            fs::rename(c->other, c->path);
        }
    };
    for (const std::size_t size : {std::size_t{3000}, std::size_t{6 * kChunk + 10}}) {
        const std::string bytes = document_of_size(size);
        for (const char* strategy : kStrategies) {
            for (const bool unlink : {false, true}) {
                for (const std::uint64_t at : {std::uint64_t{0}, std::uint64_t{2}}) {
                    if (at >= (size + kChunk - 1) / kChunk) continue;
                    SCOPED_TRACE(testing::Message() << size << " " << strategy << " unlink " << unlink << " at " << at);
                    DiskRead dr(strategy);
                    Change c{t.write("doc.json", bytes), t.write("other.json", "[\"other\"]"), unlink, at};
                    set_chunk_parsed_hook(change, &c);
                    auto got = stream(c.path, bytes.size());
                    set_chunk_parsed_hook(nullptr, nullptr);
                    expect_same_as_whole_buffer(bytes, got);
                }
            }
        }
    }
}

// A file written in place while it is parsed (same size, other bytes) no
// longer holds what the tape describes: the parse fails instead of handing
// out a tape whose offsets point into other bytes.
TEST(StreamingParse, FileWrittenInPlaceMeanwhileFails) {
    TempDir t;
    const std::string bytes = document_of_size(6 * kChunk + 10);
    struct Write {
        int fd;
        std::uint64_t at_chunk;
    };
    auto write_in_place = [](std::uint64_t index, void* ctx) {
        auto* w = static_cast<Write*>(ctx);
        if (index != w->at_chunk) return;
        const std::string other(64, ' ');
        // Into bytes parsed already: only the map shows them.
        ASSERT_EQ(::pwrite(w->fd, other.data(), other.size(), 100), static_cast<ssize_t>(other.size()));
    };
    for (const char* strategy : kStrategies) {
        for (const std::uint64_t at : {std::uint64_t{1}, std::uint64_t{6}}) {
            SCOPED_TRACE(testing::Message() << strategy << " at " << at);
            DiskRead dr(strategy);
            const std::string path = t.write("doc.json", bytes);
            // Written long ago, so that the write below is seen however coarse
            // the clock of the file system is.
            const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
            const int fd = ::open(path.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            Write w{fd, at};
            set_chunk_parsed_hook(write_in_place, &w);
            auto got = stream(path, bytes.size());
            set_chunk_parsed_hook(nullptr, nullptr);
            ::close(fd);
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error(), "Background read error: file changed while it was being read");
        }
    }
}

TEST(StreamingParse, GrownFileIsParsedUpToTheGivenSize) {
    TempDir t;
    const std::string bytes = document_of_size(3 * kChunk + 50);
    const std::string grown = bytes + std::string(2 * kChunk, ' ') + "[]";
    for (const char* strategy : kStrategies) {
        DiskRead dr(strategy);
        auto got = stream(t.write("doc.json", grown), bytes.size());
        auto ref =
            parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), bytes.size(), 0.0);
        ASSERT_TRUE(got) << got.error();
        ASSERT_TRUE(ref);
        EXPECT_EQ(got->stats, ref->stats);
        EXPECT_EQ(got->mapped.map.size(), grown.size());
    }
}

TEST(StreamingParse, BuilderFailureInAnEarlyChunkLeavesNoThreadBehind) {
    TempDir t;
    // The error sits in chunk 2 of 200, so the reader is still far from done
    // when the parser gives up.
    std::string bytes = document_of_size(200 * kChunk);
    bytes[bytes.find(',', 2 * kChunk + 100)] = '@';  // commas stand between values only
    const std::string path = t.write("doc.json", bytes);
    // ThreadSanitizer starts a helper thread of its own when the process
    // creates its first thread: have that happen before counting.
    std::thread([] {}).join();
    const std::size_t before = thread_count();
    for (const char* strategy : kStrategies) {
        DiskRead dr(strategy);
        auto got = stream(path, bytes.size());
        ASSERT_FALSE(got);
        expect_same_as_whole_buffer(bytes, got);
    }
    // The readers finish on their own; the process goes on unharmed.
    for (int i = 0; i < 500 && thread_count() > before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(thread_count(), before);
    const std::string good = document_of_size(5 * kChunk);
    auto again = stream(t.write("good.json", good), good.size());
    expect_same_as_whole_buffer(good, again);
}

TEST(StreamingParse, ChunkPerfTable) {
    TempDir t;
    ::setenv("QUELLMOR_CHUNK_PERF", "", 1);
    const std::string bytes = document_of_size(2 * kChunk + 100);
    testing::internal::CaptureStderr();
    auto got = stream(t.write("doc.json", bytes), bytes.size());
    auto empty = stream(t.write("empty.json", ""), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    ::unsetenv("QUELLMOR_CHUNK_PERF");
    ASSERT_TRUE(got);
    ASSERT_TRUE(empty);

    const std::string header =
        "=== Chunk Perf Summary ===\nidx\tsize_mib\tread_ms\tsend_ms\trecv_wait_ms\tvalidate_ms\tprocess_total_ms\n";
    ASSERT_EQ(err.rfind(header, 0), 0u) << err;
    // The empty file's table is the header alone, at the very end.
    ASSERT_GE(err.size(), 2 * header.size());
    EXPECT_EQ(err.substr(err.size() - header.size()), header);

    std::vector<std::string> lines;
    std::size_t pos = header.size();
    const std::size_t stop = err.size() - header.size();
    while (pos < stop) {
        std::size_t nl = err.find('\n', pos);
        lines.push_back(err.substr(pos, nl - pos));
        pos = nl + 1;
    }
    ASSERT_EQ(lines.size(), 5u) << err;
    auto cols = [](const std::string& line) {
        std::vector<std::string> out;
        std::size_t p = 0, q;
        while ((q = line.find('\t', p)) != std::string::npos) {
            out.push_back(line.substr(p, q - p));
            p = q + 1;
        }
        out.push_back(line.substr(p));
        return out;
    };
    const auto r0 = cols(lines[0]), r1 = cols(lines[1]), r2 = cols(lines[2]);
    ASSERT_EQ(r0.size(), 7u);
    EXPECT_EQ(r0[0], "0");
    EXPECT_EQ(r0[1], "0.00");   // 4 KiB in MiB
    EXPECT_EQ(r0[3], "0.000");  // chunk 0 is never sent
    EXPECT_EQ(r0[4], "0.000");  // ... nor received
    EXPECT_EQ(r0[5], "0.000");
    EXPECT_EQ(r1[0], "1");
    EXPECT_EQ(r2[0], "2");
    EXPECT_EQ(r2[6], "0.000");  // the last chunk is never left
    EXPECT_EQ(lines[3], "---");
    const auto avg = cols(lines[4]);
    ASSERT_EQ(avg.size(), 7u);
    EXPECT_EQ(avg[0], "avg");
    EXPECT_EQ(avg[1], "-");
    char expect_read[32];
    std::snprintf(expect_read, sizeof expect_read, "%.3f",
                  (std::stod(r0[2]) + std::stod(r1[2]) + std::stod(r2[2])) / 3);
    // The mean is taken before rounding, so allow the last digit to differ.
    EXPECT_NEAR(std::stod(avg[2]), std::stod(expect_read), 0.0015);
}

// A tape that cannot fit in the memory available fails its input after the
// first chunk, whose density gives the estimate, with both sizes named; both
// drivers ask the same question and give the same answer.
TEST(TapeMemoryCheck, TapeThatCannotFitFailsAfterTheFirstChunk) {
    TempDir t;
    const std::string bytes = document_of_size(64 * kChunk);
    const std::string path = t.write("doc.json", bytes);
    const auto whole = [&] {
        return parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), kChunk, 0.0);
    };
    struct Reset {
        ~Reset() {
            set_available_memory_for_tests(std::nullopt);
            set_chunk_parsed_hook(nullptr, nullptr);
        }
    } reset;
    int chunks = 0;
    set_chunk_parsed_hook([](std::uint64_t, void* c) { ++*static_cast<int*>(c); }, &chunks);

    set_available_memory_for_tests(std::uint64_t{64} << 10);
    auto w = whole();
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().rfind("too large for memory: its tape needs about ", 0), 0u) << w.error();
    EXPECT_TRUE(w.error().ends_with(" bytes and 65536 are available")) << w.error();
    const std::uint64_t need = std::stoull(w.error().substr(w.error().find("about ") + 6));
    // The estimate is of the whole tape: more than the memory, of the order of the input.
    EXPECT_GT(need, std::uint64_t{64} << 10);
    EXPECT_LT(need, 16 * bytes.size());
    for (const char* strategy : kStrategies) {
        DiskRead dr(strategy);
        auto s = stream(path, bytes.size());
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error(), w.error());
    }
    EXPECT_EQ(chunks, 0);  // no chunk went past the check

    // With room for the tape nothing changes.
    set_available_memory_for_tests(std::uint64_t{1} << 30);
    ASSERT_TRUE(whole());
    auto s = stream(path, bytes.size());
    expect_same_as_whole_buffer(bytes, s);
}

// A document sparse in its first chunk (one long string) and dense after it
// outgrows the first chunk's estimate: the density of what is parsed so far
// is checked again, and a tape that cannot fit fails part-way with both sizes
// named, where it would otherwise have taken all memory. Both drivers agree.
TEST(TapeMemoryCheck, TapeDenserThanItsFirstChunkIsCheckedAgain) {
    TempDir t;
    std::string bytes = "[\"" + std::string(2 * kChunk, 'x') + "\"";
    while (bytes.size() < 64 * kChunk) bytes += ",1";
    bytes += "]";
    const std::string path = t.write("doc.json", bytes);
    const auto whole = [&] {
        return parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), kChunk, 0.0);
    };
    struct Reset {
        ~Reset() { set_available_memory_for_tests(std::nullopt); }
    } reset;
    // The first chunk holds no whole value, so its estimate fits in any memory;
    // the whole tape (about ten bytes of tape per input byte) does not fit in 1 MiB.
    set_available_memory_for_tests(std::uint64_t{1} << 20);
    auto w = whole();
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().rfind("too large for memory: its tape needs about ", 0), 0u) << w.error();
    EXPECT_TRUE(w.error().ends_with(" bytes and 1048576 are available")) << w.error();
    for (const char* strategy : kStrategies) {
        DiskRead dr(strategy);
        auto s = stream(path, bytes.size());
        ASSERT_FALSE(s) << strategy;
        EXPECT_EQ(s.error(), w.error()) << strategy;
    }

    set_available_memory_for_tests(std::uint64_t{1} << 30);
    ASSERT_TRUE(whole());
    auto s = stream(path, bytes.size());
    expect_same_as_whole_buffer(bytes, s);
}
