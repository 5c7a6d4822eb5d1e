#include "platform/pages.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/system.hpp"

namespace platform {

namespace {

constexpr std::size_t kPiece = std::size_t{32} << 20;
constexpr unsigned kMaxThreads = 8;

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
    const unsigned wanted = static_cast<unsigned>(
        std::min<std::size_t>({static_cast<std::size_t>(processor_count()), pieces, std::size_t{kMaxThreads}}));
    std::thread helpers[kMaxThreads];
    unsigned started = 0;
    for (; started + 1 < wanted; ++started) {
        try {
            helpers[started] = std::thread(work);
        } catch (...) {
            break;
        }
    }
    work();
    for (unsigned i = 0; i < started; ++i) helpers[i].join();
}

}  // namespace platform
