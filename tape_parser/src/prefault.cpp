#include "tape_parser/prefault.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <exception>
#include <thread>
#include <vector>

#include "platform/parallel.hpp"
#include "platform/system.hpp"
#include "tape_parser/settings.hpp"

namespace tape_parser {

namespace {

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMinPrefaultBytes = 32ull * 1024 * 1024;
// The populating threads take the range in stripes of this size, front to
// back, so that the populated part grows from where the builder writes. A
// populating call holds the address space's lock for reading, which keeps
// out whatever maps memory meanwhile (a thread's stack, a large
// allocation): the stripes stay small.
constexpr std::uint64_t kStripe = 256ull << 10;

}  // namespace

namespace detail {

// One background prefault: the stripes of [start, end) of the storage at
// `base` go to whichever thread asks next.
struct PrefaultRun {
    std::uint8_t* base = nullptr;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::atomic<std::uint64_t> next{0};  // the next stripe's number
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;

    // Populates the stripe at `from`; false when the kernel refuses.
    bool populate(std::uint64_t from) const {
        const std::uint64_t to = end - from < kStripe ? end : from + kStripe;
        return ::madvise(base + from, to - from, MADV_POPULATE_WRITE) == 0;
    }
    void work() {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::uint64_t from = start + next.fetch_add(1, std::memory_order_relaxed) * kStripe;
            if (from >= end || !populate(from)) return;
        }
    }
};

void end_prefault_run(PrefaultRun* run) noexcept {
    run->stop.store(true, std::memory_order_relaxed);
    for (auto& t : run->threads) t.join();
    delete run;
}

}  // namespace detail

std::optional<PrefaultPlan> plan_prefault(std::uint64_t used_entries, std::uint64_t capacity_entries,
                                          std::uint64_t estimated_entries, std::optional<std::uint64_t> threads_setting,
                                          unsigned processors) {
    const std::uint64_t used = used_entries * sizeof(TapeEntry);
    const std::uint64_t start = (used + kPage - 1) / kPage * kPage;
    const std::uint64_t limit = capacity_entries < estimated_entries ? capacity_entries : estimated_entries;
    // The limit never exceeds the capacity, whose byte size fits in memory.
    const std::uint64_t end = limit * sizeof(TapeEntry);
    if (end < start || end - start < kMinPrefaultBytes) return std::nullopt;
    // A small machine prefaults only when asked to.
    const unsigned threads = platform::helper_thread_count(threads_setting, processors);
    if (threads == 0) return std::nullopt;
    const std::uint64_t pages = (end - start + kPage - 1) / kPage;
    const std::uint64_t span = (pages + threads - 1) / threads * kPage;
    return PrefaultPlan{start, end, span, threads};
}

void prefault_touch_pages(std::uint8_t* base, std::uint64_t s, std::uint64_t e) {
    // Volatile so that the stores into memory nobody reads yet are kept.
    volatile std::uint8_t* p = base;
    for (std::uint64_t off = s; off < e; off += kPage) p[off] = 0;
}

void prefault_tape_capacity(Tape& tape, std::uint64_t estimated_entries) {
    if (!prefault_enabled()) return;
    // Cheap size test first so small parses never read the environment.
    {
        const std::uint64_t used = tape.size() * sizeof(TapeEntry);
        const std::uint64_t start = (used + kPage - 1) / kPage * kPage;
        const std::uint64_t limit = tape.capacity() < estimated_entries ? tape.capacity() : estimated_entries;
        const std::uint64_t end = limit * sizeof(TapeEntry);
        if (end < start || end - start < kMinPrefaultBytes) return;
    }
    const auto threads_setting = read_setting_number("QUELLMOR_PREFAULT_THREADS");
    auto plan =
        plan_prefault(tape.size(), tape.capacity(), estimated_entries, threads_setting, platform::processor_count());
    if (!plan) return;
    auto* base = reinterpret_cast<std::uint8_t*>(tape.data());
    tape.stop_prefault();

    // Populating maps the pages without writing to them, so it may go on
    // while the builder writes: the threads run ahead of it, and the parse
    // does not wait for them. An empty range tells whether the kernel can
    // (Linux 5.14 and later) at no cost: the advice is checked first.
    if (::madvise(base + plan->start, 0, MADV_POPULATE_WRITE) == 0) {
        auto run = std::make_unique<detail::PrefaultRun>();
        run->base = base;
        run->start = plan->start;
        run->end = plan->end;
        // A quarter of the processors unless asked: the builder, the chunk
        // reader and a search's raw scan run beside them, and every thread
        // more contends with the builder (one or two measured fastest on
        // eight processors, eight slower than waiting for the touch).
        const unsigned threads = threads_setting ? plan->threads : std::max(1u, plan->threads / 4);
        run->threads.reserve(threads);
        for (unsigned i = 0; i < threads; ++i) {
            // A refused start throws: no thread left, or no memory for its
            // state. Those already started go on.
            try {
                run->threads.emplace_back([r = run.get()] { r->work(); });
            } catch (const std::exception&) {
                break;
            }
        }
        tape.prefault_ = run.release();
        return;
    }
    // Touching writes: the builder waits until every part is done.
    platform::run_in_parallel(plan->threads, [&](unsigned i) {
        const std::uint64_t s = plan->start + i * plan->span;
        if (s < plan->end) prefault_touch_pages(base, s, std::min(s + plan->span, plan->end));
    });
}

}  // namespace tape_parser
