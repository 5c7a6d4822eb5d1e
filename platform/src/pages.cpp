#include "platform/pages.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>

#include "platform/parallel.hpp"
#include "platform/system.hpp"

namespace platform {

namespace {

constexpr std::size_t kPiece = std::size_t{32} << 20;
constexpr std::size_t kMaxThreads = 8;
constexpr std::size_t kDiscardFrom = std::size_t{64} << 20;

}  // namespace

void advise_pages_in_parallel(void* p, std::size_t len, int advice) {
    auto* base = static_cast<std::uint8_t*>(p);
    const std::size_t pieces = (len + kPiece - 1) / kPiece;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
            const std::size_t at = i * kPiece;
            ::madvise(base + at, std::min(kPiece, len - at), advice);
        }
    };
    const unsigned helpers = std::max(1u, helper_thread_count(std::nullopt, processor_count()));
    const unsigned threads = static_cast<unsigned>(std::min<std::size_t>({helpers, pieces, kMaxThreads}));
    // Every part drains the same count of pieces: one whose thread cannot
    // start leaves its pieces to the others.
    run_in_parallel(threads, [&](unsigned) { work(); });
}

void populate_read_pages(const void* p, std::size_t len) {
#ifndef MADV_POPULATE_READ
    constexpr int MADV_POPULATE_READ = 22;  // Linux 5.14; older kernels refuse it
#endif
    if (len == 0) return;
    const std::size_t page = allocation_granularity();
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = at / page * page;
    advise_pages_in_parallel(reinterpret_cast<void*>(first), at + len - first, MADV_POPULATE_READ);
}

void release_read_pages(const void* p, std::size_t len) {
    const std::size_t page = allocation_granularity();
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (at + page - 1) / page * page;
    const std::uintptr_t end = (at + len) / page * page;
    if (first < end) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

void unmap_pages(void* p, std::size_t len) {
    if (len >= kDiscardFrom) advise_pages_in_parallel(p, len, MADV_DONTNEED);
    ::munmap(p, len);
}

}  // namespace platform
