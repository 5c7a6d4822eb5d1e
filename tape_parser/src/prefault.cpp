#include "tape_parser/prefault.hpp"

#include <system_error>
#include <thread>
#include <vector>

#include "platform/system.hpp"
#include "tape_parser/settings.hpp"

namespace tape_parser {

namespace {

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMinPrefaultBytes = 32ull * 1024 * 1024;

}  // namespace

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
    auto plan = plan_prefault(tape.size(), tape.capacity(), estimated_entries,
                              read_setting_number("QUELLMOR_PREFAULT_THREADS"), platform::processor_count());
    if (!plan) return;
    auto* base = reinterpret_cast<std::uint8_t*>(tape.data());
    std::vector<std::thread> workers;
    workers.reserve(plan->threads);
    for (unsigned i = 0; i < plan->threads; ++i) {
        const std::uint64_t s = plan->start + i * plan->span;
        if (s >= plan->end) break;
        const std::uint64_t e = s + plan->span < plan->end ? s + plan->span : plan->end;
        // Prefaulting only warms memory: when no more threads can start,
        // the builder touches the rest itself.
        try {
            workers.emplace_back(prefault_touch_pages, base, s, e);
        } catch (const std::system_error&) {
            break;
        }
    }
    for (auto& w : workers) w.join();
}

}  // namespace tape_parser
