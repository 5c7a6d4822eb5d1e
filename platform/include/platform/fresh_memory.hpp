// Large buffers straight from the kernel. A big document's tape, chunk
// buffers and whole-file copies are written once, front to back, into memory
// nobody has touched: the cost is the first touch of each page, not the
// writing. Blocks of 64 KiB and more are anonymous maps (already zero, so
// never cleared again, and grown in place or moved by the kernel without a
// copy); smaller ones come from the heap. The one place where the program
// takes fresh memory in bulk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// A zero-filled block of at least one byte whose first byte is a multiple of
// the requested alignment (a power of two; a large block is at least
// page-aligned). Move-only; released on destruction. Allocation never ends
// the process: a failed allocate() gives an empty buffer and a failed grow()
// changes nothing.
//
// No huge pages: on a virtual machine whose host takes freed memory back,
// a 2 MiB page is cheap to touch only when the previous run freed it moments
// before, and several times dearer than 4 KiB pages a few seconds later.
class FreshBuffer {
public:
    FreshBuffer() = default;
    FreshBuffer(FreshBuffer&& o) noexcept : data_(o.data_), size_(o.size_), mapped_(o.mapped_) {
        o.data_ = nullptr;
        o.size_ = 0;
    }
    FreshBuffer& operator=(FreshBuffer&& o) noexcept;
    FreshBuffer(const FreshBuffer&) = delete;
    FreshBuffer& operator=(const FreshBuffer&) = delete;
    ~FreshBuffer() { release(); }

    // `bytes` zero bytes (at least one is allocated) aligned to `alignment`;
    // empty when the system refuses.
    [[nodiscard]] static FreshBuffer allocate(std::size_t bytes, std::size_t alignment = 16);

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }

    // Makes the buffer `bytes` long (more than now), keeping its contents;
    // the new bytes are zero. The data may move, and a moved block has only
    // the default alignment (16; a page from 64 KiB on), not one asked of
    // allocate(): the buffer does not remember it. False, with nothing
    // changed, when the system refuses.
    [[nodiscard]] bool grow(std::size_t bytes);

    // Makes the buffer `bytes` long (at least one, less than now), keeping
    // the first `bytes`; the whole pages past them go back to the system.
    void shrink(std::size_t bytes);

    void release();

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace platform
