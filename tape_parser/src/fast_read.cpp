#include "tape_parser/fast_read.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

namespace tape_parser {

namespace {

[[noreturn]] void defect(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

std::uint64_t elapsed_ns(std::chrono::steady_clock::time_point since) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - since).count());
}

bool is_power_of_two(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

void check_layout(std::uint64_t capacity, std::uint64_t alignment) {
    if (!is_power_of_two(alignment) || capacity > (std::uint64_t{1} << 63) - alignment) defect("valid layout");
}

}  // namespace

ReadError ReadError::from_io(const platform::IoError& e) {
    // The platform layer marks an early end of file with code 0.
    if (e.code == 0) return {Kind::UnexpectedEof, 0, e.message()};
    return {Kind::Os, e.code, e.message()};
}

AlignedBuffer::AlignedBuffer(std::uint64_t capacity, std::uint64_t alignment)
    : capacity_(capacity), alignment_(alignment) {
    check_layout(capacity, alignment);
    block_ = platform::FreshBuffer::allocate(static_cast<std::size_t>(capacity), static_cast<std::size_t>(alignment));
    // Nothing catches this: the process ends as on any failed allocation.
    if (!block_) throw std::bad_alloc();
}

BufferGeometry chunk_buffer_geometry(std::uint64_t chunk_size, std::uint64_t buffer_align) {
    std::uint64_t align = 4096;
    while (align < buffer_align) align <<= 1;
    return {std::max(chunk_size, align), align};
}

platform::Result<std::uint64_t, ReadError> read_chunk_at(const ReadSource& source, std::uint8_t* buffer,
                                                         std::uint64_t capacity, std::uint64_t offset,
                                                         std::uint64_t n) {
    if (source.kind == ReadSourceKind::Buffered) {
        if (n > capacity) defect("read length exceeds the chunk buffer");
        auto r = source.file.read_exact_at(offset, {reinterpret_cast<std::byte*>(buffer), n});
        if (!r) return platform::Err{ReadError::from_io(r.error())};
        return n;
    }

    if (n == 0) return std::uint64_t{0};
    const std::uint64_t align = source.alignment;
    std::uint64_t done = 0;
    while (done < n) {
        // Direct reads must cover whole sectors; the bytes past n that a
        // rounded-up request brings in (only when the file has grown) are
        // not counted.
        const std::uint64_t request = (n + align - 1 - done) & ~(align - 1);
        if (done + request > capacity) defect("read length exceeds the chunk buffer");
        auto r = source.file.read_at(offset + done, {reinterpret_cast<std::byte*>(buffer + done), request});
        if (!r) return platform::Err{ReadError::from_io(r.error())};
        const std::uint64_t got = r.value();
        if (got == 0) break;
        done += got;
        // A direct read stops short of a sector boundary only at the end of
        // the file; the next request would start unaligned and be refused.
        if (got % align != 0) break;
    }
    return std::min(n, done);
}

platform::Result<MappedFile, ReadError> reader_thread_main(ChunkReaderArgs args) {
    using clock = std::chrono::steady_clock;
    const BufferGeometry geom = chunk_buffer_geometry(args.chunk_size, args.buffer_align);

    // Dropping both ends tells the parser that nothing more comes, so it
    // happens only once the outcome (map or error) is settled.
    auto finish = [&](platform::Result<MappedFile, ReadError> outcome) {
        args.source.file.close();
        args.chunks_out.close();
        args.pool_in.close();
        return outcome;
    };

    for (std::uint64_t m = 1; m < args.chunk_count; ++m) {
        const std::uint64_t want = std::min(args.remaining, args.chunk_size);

        auto t = clock::now();
        std::optional<AlignedBuffer> got = args.pool_in.recv();
        AlignedBuffer buf = got ? std::move(*got) : AlignedBuffer(geom.capacity, geom.alignment);
        const std::uint64_t pool_wait = elapsed_ns(t);

        t = clock::now();
        auto r = read_chunk_at(args.source, buf.data(), geom.capacity, args.offset, want);
        if (!r) return finish(platform::Err{std::move(r.error())});
        if (r.value() != want) return finish(platform::Err{ReadError::eof("short read on chunk")});
        const std::uint64_t read_time = elapsed_ns(t);

        t = clock::now();
        std::optional<FilledChunk> back = args.chunks_out.send(FilledChunk{m, std::move(buf), want});
        const std::uint64_t send_time = elapsed_ns(t);

        (*args.pool_wait_ns)[m] = pool_wait;
        (*args.read_ns)[m] = read_time;
        (*args.send_ns)[m] = send_time;

        // The parser is gone: stop reading, but still make the map.
        if (back) break;
        args.offset += want;
        args.remaining -= want;
    }

    platform::File to_map = std::move(args.map_from.is_open() ? args.map_from : args.source.file);
    args.source.file.close();
    // Made from the file already open, never from its name, so that a rename
    // or an unlink meanwhile changes nothing. It is read at scattered tape
    // offsets afterwards, so it gets no sequential advice.
    auto map = platform::MemoryMap::map_file(to_map);
    args.chunks_out.close();
    args.pool_in.close();
    // Short of address space, the file goes back unmapped: the parser's tape
    // still holds its whole up-front reservation now, and gives back what it
    // does not use before mapping it again.
    if (!map && map.error().code == ENOMEM) return MappedFile{std::move(to_map), {}};
    if (!map) return platform::Err{ReadError::from_io(map.error())};
    return MappedFile{std::move(to_map), std::move(map.value())};
}

ReaderThread ReaderThread::spawn(ChunkReaderArgs&& args) {
    // Shared with the thread's body, so that a start refused after the body
    // was made still leaves the arguments to the caller.
    auto held = std::make_shared<ChunkReaderArgs>(std::move(args));
    ReaderThread r = start([held]() { return reader_thread_main(std::move(*held)); });
    if (!r.joinable()) args = std::move(*held);
    return r;
}

ReaderThread& ReaderThread::operator=(ReaderThread&& o) noexcept {
    if (this != &o) {
        if (thread_.joinable()) thread_.detach();
        thread_ = std::move(o.thread_);
        slot_ = std::move(o.slot_);
    }
    return *this;
}

ReaderThread::~ReaderThread() {
    if (thread_.joinable()) thread_.detach();
}

ReaderThread::Outcome ReaderThread::join() {
    thread_.join();
    if (!slot_->outcome) return platform::Err{ReadError{ReadError::Kind::Other, 0, "Reader thread panicked"}};
    return std::move(*slot_->outcome);
}

}  // namespace tape_parser
