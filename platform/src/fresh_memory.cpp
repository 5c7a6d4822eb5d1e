#include "platform/fresh_memory.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/pages.hpp"

namespace platform {

namespace {

constexpr std::size_t kPage = 4096;
// Room left below SIZE_MAX for rounding a size up to the page or alignment.
constexpr std::size_t kSlack = std::size_t{1} << 32;
// Below this the heap is cheaper than a system call per block.
constexpr std::size_t kMapFrom = std::size_t{64} << 10;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) & ~(to - 1); }

// Maps `bytes` (a multiple of the page size) at an address aligned to
// `align`; nullptr when refused. Over-maps by the alignment and gives the
// unused ends back.
std::uint8_t* map_aligned(std::size_t bytes, std::size_t align) {
    const std::size_t span = align > kPage ? bytes + align : bytes;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto* base = static_cast<std::uint8_t*>(raw);
    if (span == bytes) return base;
    auto* p = reinterpret_cast<std::uint8_t*>(round_up(reinterpret_cast<std::uintptr_t>(base), align));
    if (p != base) ::munmap(base, static_cast<std::size_t>(p - base));
    const std::size_t tail = static_cast<std::size_t>(base + span - (p + bytes));
    if (tail != 0) ::munmap(p + bytes, tail);
    return p;
}

}  // namespace

FreshBuffer& FreshBuffer::operator=(FreshBuffer&& o) noexcept {
    if (this != &o) {
        release();
        data_ = o.data_;
        size_ = o.size_;
        mapped_ = o.mapped_;
        o.data_ = nullptr;
        o.size_ = 0;
    }
    return *this;
}

FreshBuffer FreshBuffer::allocate(std::size_t bytes, std::size_t alignment) {
    FreshBuffer b;
    if (bytes == 0) bytes = 1;
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) return b;
    if (bytes >= kMapFrom || alignment > kPage) {
        if (bytes > SIZE_MAX - kSlack || alignment > kSlack) return b;
        b.data_ = map_aligned(round_up(bytes, kPage), alignment > kPage ? alignment : kPage);
        if (b.data_ == nullptr) return b;
        b.size_ = bytes;
        b.mapped_ = true;
        return b;
    }
    const std::size_t align = alignment < sizeof(void*) ? sizeof(void*) : alignment;
    void* p = nullptr;
    if (::posix_memalign(&p, align, bytes) != 0) return b;
    std::memset(p, 0, bytes);
    b.data_ = static_cast<std::uint8_t*>(p);
    b.size_ = bytes;
    b.mapped_ = false;
    return b;
}

bool FreshBuffer::grow(std::size_t bytes) {
    if (bytes <= size_) return true;
    if (data_ == nullptr) {
        FreshBuffer b = allocate(bytes);
        if (!b) return false;
        *this = std::move(b);
        return true;
    }
    if (mapped_) {
        if (bytes > SIZE_MAX - kSlack) return false;
        const std::size_t old_len = round_up(size_, kPage);
        const std::size_t len = round_up(bytes, kPage);
        if (len != old_len) {
            // The kernel moves the page tables, not the bytes.
            void* p = ::mremap(data_, old_len, len, MREMAP_MAYMOVE);
            if (p == MAP_FAILED) return false;
            data_ = static_cast<std::uint8_t*>(p);
        }
        size_ = bytes;
        return true;
    }
    // A small heap block: copy into a block of the new size (a map from
    // 64 KiB on). The heap's own alignment was at least 16.
    FreshBuffer b = allocate(bytes);
    if (!b) return false;
    std::memcpy(b.data_, data_, size_);
    *this = std::move(b);
    return true;
}

void FreshBuffer::shrink(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
    if (data_ == nullptr || bytes >= size_) return;
    if (mapped_) {
        const std::size_t keep = round_up(bytes, kPage);
        const std::size_t old_len = round_up(size_, kPage);
        if (keep < old_len) unmap_pages(data_ + keep, old_len - keep);
        // Growing again promises zeros past the size.
        std::memset(data_ + bytes, 0, keep - bytes);
    }
    // A heap block (below 64 KiB) stays whole.
    size_ = bytes;
}

void FreshBuffer::release() {
    if (data_ == nullptr) return;
    if (mapped_) {
        unmap_pages(data_, round_up(size_, kPage));
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
}

}  // namespace platform
