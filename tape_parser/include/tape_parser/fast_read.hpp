// The input side of the streaming tape parse: aligned chunk buffers, the file
// that chunks are read from, one positional chunk read, and the background
// reader thread that runs ahead of the parser and finally maps the whole file.
// Nothing here parses JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/fresh_memory.hpp"
#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "platform/result.hpp"
#include "tape_parser/channel.hpp"

namespace tape_parser {

// The failure of a chunk read, a reopen or a map. Its message() is what the
// driver puts after "Failed to read file: " or "Background read error: ".
struct ReadError {
    enum class Kind { Os, UnexpectedEof, InvalidData, Other };
    Kind kind = Kind::Other;
    int os_code = 0;  // the errno value for Kind::Os
    std::string text;

    static ReadError from_io(const platform::IoError& e);
    static ReadError eof(std::string text) { return {Kind::UnexpectedEof, 0, std::move(text)}; }
    const std::string& message() const { return text; }
};

// A zero-filled buffer whose first byte is a multiple of `alignment`: fresh
// memory from the system, so it is never cleared by hand. Move-only; freed
// on destruction. An alignment that is not a power of two, or a capacity
// above 2^63 minus the alignment, is a defect that ends the process with
// "valid layout"; a failed allocation ends it as any does.
class AlignedBuffer {
public:
    AlignedBuffer(std::uint64_t capacity, std::uint64_t alignment);
    AlignedBuffer(AlignedBuffer&& o) noexcept = default;
    AlignedBuffer& operator=(AlignedBuffer&& o) noexcept = default;
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    ~AlignedBuffer() = default;

    std::uint8_t* data() const { return block_.data(); }
    std::uint64_t capacity() const { return block_ ? capacity_ : 0; }
    std::uint64_t alignment() const { return alignment_; }

private:
    platform::FreshBuffer block_;
    std::uint64_t capacity_ = 0;
    std::uint64_t alignment_ = 1;
};

// The geometry shared by every chunk buffer of one parse: alignment the
// smallest power of two at least max(4096, buffer_align); capacity the larger
// of the chunk size and that alignment.
struct BufferGeometry {
    std::uint64_t capacity;
    std::uint64_t alignment;
};
BufferGeometry chunk_buffer_geometry(std::uint64_t chunk_size, std::uint64_t buffer_align);

enum class ReadSourceKind : std::uint32_t { Unbuffered = 0, Buffered = 1 };

// The open file chunks are read from. Unbuffered means opened around the page
// cache: every read then needs an aligned buffer, an aligned offset and a
// length rounded up to `alignment`. Buffered sources keep alignment 1.
struct ReadSource {
    ReadSourceKind kind = ReadSourceKind::Buffered;
    platform::File file;
    std::uint64_t alignment = 1;
};

// Reads up to `n` bytes at `offset` into `buffer` (of `capacity` bytes).
// Buffered: exactly n bytes, or the error "failed to fill whole buffer" when
// the file ends first. Unbuffered: as many as the file holds up to n (a count
// below n is the caller's short read), never touching the file position;
// `offset` must be a multiple of the source alignment. A length that does not
// fit the buffer is a defect that ends the process.
platform::Result<std::uint64_t, ReadError> read_chunk_at(const ReadSource& source, std::uint8_t* buffer,
                                                         std::uint64_t capacity, std::uint64_t offset, std::uint64_t n);

// An open file with a read-only map of its whole length, released together.
using MappedFile = platform::MappedFile;

// Per-chunk nanosecond figures written by the reader thread and read by the
// driver only after the join, so plain stores are enough.
using SharedTimes = std::shared_ptr<std::vector<std::uint64_t>>;

struct FilledChunk {
    std::uint64_t index;   // 1, 2, ... n-1, in increasing order
    AlignedBuffer buffer;  // the chunk's bytes from offset 0
    std::uint64_t length;  // valid bytes: the chunk size, or less for the last chunk
};

// Everything the reader thread owns, moved into it when it starts.
struct ChunkReaderArgs {
    ReadSource source;
    Sender<FilledChunk> chunks_out;   // capacity 1
    Receiver<AlignedBuffer> pool_in;  // free buffers coming back from the parser
    SharedTimes pool_wait_ns;
    SharedTimes read_ns;
    SharedTimes send_ns;
    std::uint64_t offset = 0;     // file offset of chunk 1 (the length of chunk 0)
    std::uint64_t remaining = 0;  // file size minus offset
    std::uint64_t chunk_size = 0;
    std::uint64_t chunk_count = 0;      // at least 2
    std::uint64_t buffer_align = 4096;  // max(4096, source alignment)
    // The file mapped at the end: the caller's handle when the source is a
    // second open of it (unbuffered); when not open, the source itself.
    platform::File map_from = {};
};

// Reads chunks 1..n-1 ahead of the parser and sends each as a FilledChunk,
// then maps the open file whole (map_from, else the source). A parser that
// has gone away ends the reading early but not the final map. A read error or
// a short chunk ("short read on chunk") ends it with that error, unmapped.
// A map refused for want of memory (ENOMEM) is no error here: the file comes
// back with an empty map, for the driver to map once it has made room.
// Both channel ends are closed before it returns, the sending end only after
// the map is made, so a drained channel means the result is ready.
platform::Result<MappedFile, ReadError> reader_thread_main(ChunkReaderArgs args);

// Runs reader_thread_main on its own thread. join() gives its result, or
// "Reader thread panicked" when it ended by an exception. Dropping a handle
// that was never joined detaches the thread, which then finishes by itself:
// it owns everything it touches, so this is safe at any point.
class ReaderThread {
public:
    using Outcome = platform::Result<MappedFile, ReadError>;

    ReaderThread() = default;
    // When no thread can start, the handle is not joinable, start_error()
    // tells why and `args` is left as it was, for the caller to read the
    // chunks itself; otherwise the thread has taken `args` over.
    static ReaderThread spawn(ChunkReaderArgs&& args);
    // Runs any body returning an Outcome; spawn() is start() with
    // reader_thread_main.
    template <typename Body>
    static ReaderThread start(Body body);

    ReaderThread(ReaderThread&&) noexcept = default;
    ReaderThread& operator=(ReaderThread&& o) noexcept;
    ReaderThread(const ReaderThread&) = delete;
    ReaderThread& operator=(const ReaderThread&) = delete;
    ~ReaderThread();

    bool joinable() const { return thread_.joinable(); }
    const platform::IoError& start_error() const { return start_error_; }
    // Waits for the thread; call once, on a joinable handle.
    Outcome join();

private:
    // Written by the thread just before it ends, read only after the join.
    struct Slot {
        std::optional<Outcome> outcome;
    };
    std::thread thread_;
    std::shared_ptr<Slot> slot_;
    platform::IoError start_error_;
};

template <typename Body>
ReaderThread ReaderThread::start(Body body) {
    ReaderThread r;
    r.slot_ = std::make_shared<Slot>();
    try {
        r.thread_ = std::thread([slot = r.slot_, body = std::move(body)]() mutable {
            try {
                slot->outcome.emplace(body());
            } catch (const std::bad_alloc&) {
                slot->outcome.emplace(platform::Err{ReadError::from_io(platform::IoError{ENOMEM})});
            } catch (...) {
                // Left empty: join() reports the abnormal end.
            }
        });
    } catch (const std::system_error& e) {
        r.start_error_ = platform::IoError{e.code().value()};
    }
    return r;
}

}  // namespace tape_parser
