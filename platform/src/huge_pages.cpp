#include "platform/huge_pages.hpp"

#include <sys/mman.h>

#include <new>

namespace platform {

void advise_huge_pages(void* p, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (p == nullptr || bytes < 16 * kHuge) return;
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t lo = (a + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t hi = (a + bytes) & ~(kHuge - 1);
    if (hi > lo) ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}

std::unique_ptr<std::uint8_t[]> allocate_uninit_bytes(std::size_t bytes) {
    std::unique_ptr<std::uint8_t[]> p(new (std::nothrow) std::uint8_t[bytes == 0 ? 1 : bytes]);
    if (p) advise_huge_pages(p.get(), bytes);
    return p;
}

}  // namespace platform
