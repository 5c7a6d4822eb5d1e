// The prefault plan (size test, thread count, spans) and the touch itself.
#include "tape_parser/prefault.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace tp = tape_parser;

// Allocations counted down: the one that finds the count at 0 fails, as when
// memory runs out there. -1 (the default) never fails.
static std::atomic<long> g_allocations_left{-1};

void* operator new(std::size_t n) {
    long left = g_allocations_left.load();
    while (left > 0 && !g_allocations_left.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
// The compiler cannot see that these pair with the operator new above.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t k32MiB = 32ull << 20;

// Entries that fill exactly `bytes` of storage (bytes a multiple of 20).
std::uint64_t entries_for(std::uint64_t bytes) { return bytes / 20; }

TEST(Prefault, SizeTestAndThreadCount) {
    const std::uint64_t cap = entries_for(100ull << 20);
    // Below 32 MiB of fresh capacity: nothing.
    EXPECT_FALSE(tp::plan_prefault(0, cap, entries_for(k32MiB - 20), std::nullopt, 8));
    // The estimate and the capacity both bound the range.
    EXPECT_FALSE(tp::plan_prefault(0, entries_for(k32MiB - 20), cap, std::nullopt, 8));
    // The used part is rounded up to a page before the test.
    EXPECT_FALSE(tp::plan_prefault(1, cap, entries_for(k32MiB + 20), std::nullopt, 8));
    EXPECT_FALSE(tp::plan_prefault(cap, cap, cap, std::nullopt, 8));

    struct C {
        std::optional<std::uint64_t> setting;
        unsigned processors;
        std::optional<unsigned> threads;
    } cases[] = {
        {std::nullopt, 8, 8},
        {std::nullopt, 64, 16},
        {std::nullopt, 2, std::nullopt},
        {std::nullopt, 0, 4},  // an unknown count counts as 4
        {0, 8, 1},
        {64, 8, 16},
        {3, 2, 3},
    };
    for (const auto& c : cases) {
        auto p = tp::plan_prefault(0, cap, cap, c.setting, c.processors);
        ASSERT_EQ(p.has_value(), c.threads.has_value()) << c.processors;
        if (p) {
            EXPECT_EQ(p->threads, *c.threads);
        }
    }
}

TEST(Prefault, SpansSplitThePages) {
    // 8,193 pages among 16 threads: spans of 513 pages, the last thread 498.
    // (The range ends 8 bytes short of the last page: whole entries only.)
    const std::uint64_t bytes = 8193 * kPage;
    auto p = tp::plan_prefault(0, entries_for(bytes), entries_for(bytes), 16, 8);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->start, 0u);
    EXPECT_EQ(p->end, bytes - 8);
    EXPECT_EQ(p->span, 513 * kPage);
    const std::uint64_t last_start = p->start + 15 * p->span;
    EXPECT_LT(last_start, p->end);
    EXPECT_EQ((p->end - last_start + kPage - 1) / kPage, 498u);

    // The start is the used size rounded up to a page.
    auto q = tp::plan_prefault(205, entries_for(100ull << 20), entries_for(100ull << 20), 4, 8);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->start, 2 * kPage);
}

// The populating threads may still run when the builder outgrows the
// storage: the tape stops them before it moves, and keeps every entry.
TEST(Prefault, TapeThatGrowsWhilePopulatedKeepsItsEntries) {
    tp::Tape tape;
    tape.reserve(entries_for(40ull << 20));
    const std::uint32_t cap = static_cast<std::uint32_t>(tape.capacity());
    tape.push_back(tp::TapeEntry::scalar(0, 1, tp::TapeKind::Number, tp::kNoParent));
    tp::prefault_tape_capacity(tape, cap);
    for (std::uint32_t i = 1; i < cap + 1000; ++i)
        ASSERT_TRUE(tape.push_back(tp::TapeEntry::scalar(i, i + 1, tp::TapeKind::Number, tp::kNoParent)));
    EXPECT_GT(tape.capacity(), cap);
    tp::prefault_tape_capacity(tape, tape.capacity());  // a second run, ended by the destructor
    for (std::uint32_t i = 0; i < cap + 1000; ++i) ASSERT_EQ(tape[i].start(), i);
    tp::Tape moved = std::move(tape);
    moved.stop_prefault();
    EXPECT_EQ(moved.size(), cap + 1000u);
}

TEST(Prefault, TouchesOnlySpareCapacityAndKeepsTheTape) {
    tp::Tape tape;
    tape.reserve(entries_for(40ull << 20));
    for (std::uint32_t i = 0; i < 1000; ++i)
        tape.push_back(tp::TapeEntry::scalar(i, i + 1, tp::TapeKind::Number, tp::kNoParent));
    const auto cap = tape.capacity();
    tp::prefault_tape_capacity(tape, cap * 2);
    EXPECT_EQ(tape.size(), 1000u);
    EXPECT_EQ(tape.capacity(), cap);
    for (std::uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(tape[i].start(), i);

    std::vector<std::uint8_t> mem(5 * kPage + 1, 0xAA);
    tp::prefault_touch_pages(mem.data(), 100, 4 * kPage + 100);
    for (std::size_t i = 0; i < mem.size(); ++i) {
        const bool touched = i >= 100 && i < 4 * kPage + 100 && (i - 100) % kPage == 0;
        ASSERT_EQ(mem[i], touched ? 0 : 0xAA) << i;
    }
}

// Memory that runs out while the populating threads start (a thread's own
// state cannot be allocated) only means fewer threads: those already started
// go on and the tape stops them, whichever allocation fails.
TEST(Prefault, AllocationFailureWhileThreadsStartLeavesFewerThreads) {
    ::setenv("QUELLMOR_PREFAULT_THREADS", "4", 1);
    for (long n = 0; n < 12; ++n) {
        tp::Tape tape;
        ASSERT_TRUE(tape.reserve(entries_for(40ull << 20)));
        tape.push_back(tp::TapeEntry::scalar(0, 1, tp::TapeKind::Number, tp::kNoParent));
        g_allocations_left = n;
        try {
            tp::prefault_tape_capacity(tape, tape.capacity());
        } catch (const std::bad_alloc&) {
            // Before any thread started: the parse fails its input as on any
            // refused allocation.
        }
        g_allocations_left = -1;
        for (std::uint32_t i = 1; i < 1000; ++i)
            ASSERT_TRUE(tape.push_back(tp::TapeEntry::scalar(i, i + 1, tp::TapeKind::Number, tp::kNoParent)));
        tape.stop_prefault();
        EXPECT_EQ(tape[999].start(), 999u);
    }
    ::unsetenv("QUELLMOR_PREFAULT_THREADS");
}

}  // namespace
