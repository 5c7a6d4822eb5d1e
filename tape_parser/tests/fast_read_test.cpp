#include "tape_parser/fast_read.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace tape_parser;

namespace {

using test_support::TempDir;

std::string pattern_bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

ReadSource open_source(const std::string& path, ReadSourceKind kind) {
    ReadSource s;
    if (kind == ReadSourceKind::Unbuffered) {
        auto f = platform::open_unbuffered(path);
        if (f) {
            s.kind = ReadSourceKind::Unbuffered;
            s.alignment = platform::direct_io_alignment(f.value());
            s.file = std::move(f.value());
            return s;
        }
    }
    s.kind = ReadSourceKind::Buffered;
    s.file = std::move(platform::open_read(path, true).value());
    return s;
}

struct ReaderRun {
    Receiver<FilledChunk> chunks;
    Sender<AlignedBuffer> pool;
    ReaderThread thread;
};

// Starts a reader for chunks 1..n-1 of `path` as the driver would, with a
// pool of `pool_buffers` buffers (0: the pool is closed from the start).
ReaderRun start_reader(const std::string& path, ReadSourceKind kind, std::uint64_t size, std::uint64_t chunk,
                       std::size_t pool_buffers) {
    ReadSource src = open_source(path, kind);
    const std::uint64_t align = std::max<std::uint64_t>(4096, src.alignment);
    const BufferGeometry g = chunk_buffer_geometry(chunk, align);
    const std::uint64_t n = (size + chunk - 1) / chunk;
    auto [ctx, crx] = make_channel<FilledChunk>(1);
    auto [ptx, prx] = make_channel<AlignedBuffer>(std::max<std::size_t>(pool_buffers, 1));
    for (std::size_t i = 0; i < pool_buffers; ++i) EXPECT_FALSE(ptx.try_send(AlignedBuffer(g.capacity, g.alignment)));
    if (pool_buffers == 0) ptx.close();
    ChunkReaderArgs a{std::move(src),
                      std::move(ctx),
                      std::move(prx),
                      std::make_shared<std::vector<std::uint64_t>>(n),
                      std::make_shared<std::vector<std::uint64_t>>(n),
                      std::make_shared<std::vector<std::uint64_t>>(n),
                      std::min(size, chunk),
                      size - std::min(size, chunk),
                      chunk,
                      n,
                      align};
    ReaderRun run{std::move(crx), std::move(ptx), ReaderThread::spawn(std::move(a))};
    return run;
}

bool waits_until(const std::function<bool()>& cond) {
    for (int i = 0; i < 500; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

const ReadSourceKind kBothKinds[] = {ReadSourceKind::Unbuffered, ReadSourceKind::Buffered};

}  // namespace

TEST(AlignedBuffer, IsZeroFilledAndAligned) {
    for (std::uint64_t align : {4096u, 8192u, 65536u}) {
        AlignedBuffer b(3 * align, align);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % align, 0u);
        EXPECT_EQ(b.capacity(), 3 * align);
        for (std::uint64_t i = 0; i < b.capacity(); ++i) ASSERT_EQ(b.data()[i], 0) << i;
        AlignedBuffer moved = std::move(b);
        EXPECT_EQ(b.data(), nullptr);
        EXPECT_EQ(moved.capacity(), 3 * align);
    }
}

TEST(AlignedBufferDeathTest, InvalidLayoutEndsTheProcess) {
    EXPECT_DEATH(AlignedBuffer(4096, 3000), "valid layout");
    EXPECT_DEATH(AlignedBuffer((std::uint64_t{1} << 63) - 4095, 4096), "valid layout");
}

TEST(AlignedBuffer, GeometryRoundsAlignmentUpAndCoversTheChunk) {
    struct Case {
        std::uint64_t chunk, buffer_align, capacity, alignment;
    };
    const Case cases[] = {
        {1 << 20, 4096, 1 << 20, 4096},     {1 << 20, 512, 1 << 20, 4096}, {1 << 20, 5000, 1 << 20, 8192},
        {16 << 20, 65536, 16 << 20, 65536}, {100, 4096, 4096, 4096},
    };
    for (const Case& c : cases) {
        BufferGeometry g = chunk_buffer_geometry(c.chunk, c.buffer_align);
        EXPECT_EQ(g.capacity, c.capacity) << c.chunk << " " << c.buffer_align;
        EXPECT_EQ(g.alignment, c.alignment) << c.chunk << " " << c.buffer_align;
    }
}

TEST(ReadChunkAt, UnbufferedLastChunkReturnsExactlyItsLength) {
    TempDir t;
    const std::string bytes = pattern_bytes(3 * 4096 + 1234);
    const std::string path = t.write("f", bytes);
    ReadSource src = open_source(path, ReadSourceKind::Unbuffered);
    if (src.kind != ReadSourceKind::Unbuffered) GTEST_SKIP() << "direct reads refused here";
    AlignedBuffer buf(8192, 4096);
    auto r = read_chunk_at(src, buf.data(), buf.capacity(), 8192, 4096 + 1234);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r.value(), 4096u + 1234);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), r.value()), bytes.substr(8192));

    // Asking past the end reports what the file holds; the caller judges it.
    auto past = read_chunk_at(src, buf.data(), buf.capacity(), 12288, 8192);
    ASSERT_TRUE(past);
    EXPECT_EQ(past.value(), 1234u);
}

TEST(ReadChunkAt, UnbufferedZeroLengthMakesNoSystemCall) {
    ReadSource closed{ReadSourceKind::Unbuffered, platform::File(), 4096};
    AlignedBuffer buf(4096, 4096);
    auto r = read_chunk_at(closed, buf.data(), buf.capacity(), 0, 0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value(), 0u);
    // The same source fails as soon as the system is asked.
    EXPECT_FALSE(read_chunk_at(closed, buf.data(), buf.capacity(), 0, 1));
}

TEST(ReadChunkAt, BufferedReadsExactlyOrReportsTheEarlyEnd) {
    TempDir t;
    const std::string bytes = pattern_bytes(10000);
    const std::string path = t.write("f", bytes);
    ReadSource src = open_source(path, ReadSourceKind::Buffered);
    AlignedBuffer buf(8192, 4096);
    auto r = read_chunk_at(src, buf.data(), buf.capacity(), 5000, 5000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value(), 5000u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 5000), bytes.substr(5000));

    auto early = read_chunk_at(src, buf.data(), buf.capacity(), 6000, 5000);
    ASSERT_FALSE(early);
    EXPECT_EQ(early.error().message(), "failed to fill whole buffer");
    EXPECT_EQ(early.error().kind, ReadError::Kind::UnexpectedEof);
}

TEST(ReaderThread, DeliversEveryChunkInOrderThenMapsTheFile) {
    TempDir t;
    constexpr std::uint64_t kChunk = 8192;
    // Two chunks, a full last chunk, a short last chunk.
    for (std::uint64_t size : {kChunk + 17, 4 * kChunk, 5 * kChunk + 100}) {
        for (ReadSourceKind kind : kBothKinds) {
            for (std::size_t pool : {std::size_t{0}, std::size_t{2}}) {
                SCOPED_TRACE(testing::Message() << "size " << size << " kind " << int(kind) << " pool " << pool);
                const std::string bytes = pattern_bytes(size);
                const std::string path = t.write("f", bytes);
                ReaderRun run = start_reader(path, kind, size, kChunk, pool);
                std::uint64_t expect_index = 1;
                while (auto c = run.chunks.recv()) {
                    ASSERT_EQ(c->index, expect_index);
                    const std::uint64_t off = c->index * kChunk;
                    ASSERT_EQ(c->length, std::min(kChunk, size - off));
                    ASSERT_EQ(std::memcmp(c->buffer.data(), bytes.data() + off, c->length), 0);
                    ++expect_index;
                    if (run.pool.is_open()) (void)run.pool.try_send(std::move(c->buffer));
                }
                EXPECT_EQ(expect_index, (size + kChunk - 1) / kChunk);
                auto mapped = run.thread.join();
                ASSERT_TRUE(mapped) << mapped.error().message();
                ASSERT_EQ(mapped->map.size(), size);
                EXPECT_EQ(std::memcmp(mapped->map.data(), bytes.data(), size), 0);
            }
        }
    }
}

TEST(ReaderThread, ShrunkFileEndsWithShortReadAndNoMap) {
    TempDir t;
    constexpr std::uint64_t kChunk = 8192;
    const std::uint64_t size = 4 * kChunk;
    const struct {
        ReadSourceKind kind;
        const char* message;
    } cases[] = {{ReadSourceKind::Unbuffered, "short read on chunk"},
                 {ReadSourceKind::Buffered, "failed to fill whole buffer"}};
    for (const auto& c : cases) {
        const std::string path = t.write("f", pattern_bytes(size));
        // The size was taken before the file lost the middle of chunk 2.
        ::truncate(path.c_str(), 2 * kChunk + 100);
        ReadSource probe = open_source(path, c.kind);
        if (probe.kind != c.kind) continue;  // direct reads refused: the buffered case covers it
        ReaderRun run = start_reader(path, c.kind, size, kChunk, 2);
        std::vector<std::uint64_t> got;
        while (auto ch = run.chunks.recv()) got.push_back(ch->index);
        EXPECT_EQ(got, std::vector<std::uint64_t>{1});
        auto r = run.thread.join();
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), c.message);
    }
}

TEST(ReaderThread, GoneParserStopsReadingButStillMaps) {
    TempDir t;
    constexpr std::uint64_t kChunk = 4096;
    const std::uint64_t size = 40 * kChunk;
    const std::string path = t.write("f", pattern_bytes(size));
    for (ReadSourceKind kind : kBothKinds) {
        ReaderRun run = start_reader(path, kind, size, kChunk, 2);
        auto first = run.chunks.recv();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->index, 1u);
        // A parser that goes away drops both ends, as the driver's store does;
        // with the pool still open the reader could wait for a buffer for ever.
        run.chunks.close();
        run.pool.close();
        auto r = run.thread.join();
        ASSERT_TRUE(r) << r.error().message();
        EXPECT_EQ(r->map.size(), size);
    }
}

TEST(ReaderThread, AbnormalEndIsReportedAsPanicked) {
    auto thread = ReaderThread::start([]() -> ReaderThread::Outcome { throw std::runtime_error("boom"); });
    auto r = thread.join();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Reader thread panicked");
}

TEST(ReaderThread, DroppingAnUnjoinedHandleLetsTheThreadFinishAlone) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    {
        auto thread = ReaderThread::start([release, finished]() -> ReaderThread::Outcome {
            while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            finished->store(true);
            return platform::Err{ReadError::eof("done")};
        });
        EXPECT_TRUE(thread.joinable());
    }
    release->store(true);
    EXPECT_TRUE(waits_until([&] { return finished->load(); }));
}
