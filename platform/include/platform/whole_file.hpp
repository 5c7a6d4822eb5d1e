// Reading a file or descriptor whole into memory, up to a byte budget: the
// one loader behind every command that holds a whole document (standard
// input, pipes, devices, /proc-like files that report size 0, and regular
// files small enough to be read rather than mapped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "platform/fresh_memory.hpp"
#include "platform/io.hpp"
#include "platform/result.hpp"

namespace platform {

// A growable byte buffer of fresh memory (FreshBuffer): a document is read
// straight into it, with no pass of zeroing that would touch every page once
// more before the read writes it.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&& o) noexcept : block_(std::move(o.block_)), size_(std::exchange(o.size_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& o) noexcept {
        if (this != &o) {
            block_ = std::move(o.block_);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }

    std::uint8_t* data() { return block_.data(); }
    const std::uint8_t* data() const { return block_.data(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return block_.size(); }
    std::span<const std::uint8_t> bytes() const { return {block_.data(), size_}; }
    std::string_view text() const { return {reinterpret_cast<const char*>(block_.data()), size_}; }

    // Room for at least `n` bytes, keeping the first size(); false when the
    // memory cannot be had (the buffer is then unchanged). The one place
    // where whole-document memory is allocated.
    bool reserve(std::size_t n) { return n <= capacity() || block_.grow(n); }
    // Marks the first `n` bytes (n <= capacity()) as the content.
    void set_size(std::size_t n) { size_ = n; }

private:
    FreshBuffer block_;
    std::size_t size_ = 0;
};

// The error of an input that delivers more than `budget` bytes.
IoError too_large_for_memory(std::uint64_t budget);

// Reads what `fd` delivers from its current position to its end. The size
// of a regular file sizes the buffer once; a file that grows meanwhile is
// still read to its end, and a pipe, a socket, a device or a file that
// reports size 0 is read in growing steps. A regular file of a few MiB and
// more is read by several threads at once (as many as
// helper_thread_count(nullopt, processors) allows), each its own slice of
// the one buffer; a thread that cannot start leaves its slice to the
// caller, and the bytes are those one sequential read would give. More than
// `budget` bytes is the error too_large_for_memory(budget); a failed
// allocation is "Cannot allocate memory (os error 12)".
Result<ByteBuffer, IoError> read_whole(int fd, std::uint64_t budget);

// read_whole for a file whose size was taken as `size` (0 for one that is
// not regular or reports no size), on a machine of `processors` processors:
// read_whole is this with fstat's size and processor_count().
Result<ByteBuffer, IoError> read_whole_given(int fd, std::uint64_t budget, std::uint64_t size, unsigned processors);

// read_whole_given into `reuse`, whose memory (already touched, when it held
// an earlier file) takes the bytes when it is large enough: a run over many
// files then reads them all into one buffer. Its contents are dropped.
Result<ByteBuffer, IoError> read_whole_into(ByteBuffer reuse, int fd, std::uint64_t budget, std::uint64_t size,
                                            unsigned processors);

}  // namespace platform
