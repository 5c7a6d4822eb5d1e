#include "platform/fault.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

namespace {

// Why the handler is safe, since it runs at any instruction of any thread:
//
// - It calls only what may be called from a signal handler: write, _exit,
//   sigaction and raise (on the POSIX list) and mmap, which is not on the
//   list but on Linux is the bare system call (glibc's wrapper takes no lock
//   and allocates nothing); errno, which mmap may set, is restored.
// - It reads the slots without a lock, because a lock could be held by the
//   very thread it interrupted. Every field is a lock-free atomic (asserted
//   below), so no read is torn. A slot is published by storing `end` before
//   `begin` and withdrawn by clearing `begin` first, so a handler that sees
//   a begin sees the end stored with it. A map is withdrawn only by its
//   owner, after every reader of it is done and before it is unmapped: a
//   thread faulting in a map is one of its readers, so the slot it finds
//   stays that map's until the handler returns.
// - Two threads faulting at once in one map (the parse and the prefilter
//   worker, say) each map zero pages from their own faulting page to the
//   map's end. The kernel makes each mmap whole under its own lock; the
//   later one replaces zero pages of the earlier with zero pages, so both
//   reads run again over zeros, and `shrank` is set to true by both.
// - Faults outside every registered map end the process once: the first
//   thread to take one writes the message and calls _exit, and any other
//   waits in pause (on the list) until that ends it.
// - Only a read past the end of a mapped file (BUS_ADRERR) is an input that
//   shrank. Any other bus error (a misaligned access, a memory failure, a
//   signal sent by another process) is no input's doing: the handler steps
//   aside and the signal takes its default course, ending the process with
//   a core.
struct InputMapSlot {
    std::atomic<bool> used{false};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> shrank{false};
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<std::uintptr_t>::is_always_lock_free,
              "the SIGBUS handler reads these without a lock");

constexpr int kSlots = 64;
InputMapSlot g_slots[kSlots];
std::atomic<std::uintptr_t> g_page_size{4096};
std::atomic<bool> g_recover{false};
std::atomic<bool> g_ending{false};  // a fault outside every registered map is ending the process

// Maps zero pages over [page of addr, end of its map); true when addr lies in
// a registered map and the zero pages are in place.
bool recover(std::uintptr_t addr) {
    if (!g_recover.load(std::memory_order_acquire)) return false;
    for (InputMapSlot& s : g_slots) {
        const std::uintptr_t b = s.begin.load(std::memory_order_acquire);
        if (b == 0 || addr < b) continue;
        const std::uintptr_t e = s.end.load(std::memory_order_acquire);
        if (addr >= e) continue;
        // Every page from the faulting one on lies past the file's new end.
        const std::uintptr_t page = addr & ~(g_page_size.load(std::memory_order_relaxed) - 1);
        void* p =
            ::mmap(reinterpret_cast<void*>(page), e - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (p == MAP_FAILED) return false;
        s.shrank.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

void on_sigbus(int, siginfo_t* info, void*) {
    const int saved = errno;
    if (info == nullptr || info->si_code != BUS_ADRERR) {
        // Not a read past a file's end: the default action, at once for a
        // sent signal (raised again, delivered when this returns) and for a
        // fault when the instruction runs again.
        struct sigaction dfl;
        std::memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(SIGBUS, &dfl, nullptr);
        if (info == nullptr || info->si_code <= 0) ::raise(SIGBUS);
        errno = saved;
        return;
    }
    if (recover(reinterpret_cast<std::uintptr_t>(info->si_addr))) {
        errno = saved;
        return;  // the faulting read runs again, over zeros
    }
    // Threads that fault at once (the walkers of one document's slices) all
    // come here: the first says so and ends the process, the others wait
    // for that end rather than say it again.
    if (g_ending.exchange(true)) {
        for (;;) ::pause();
    }
    // Buffered output is dropped, since the run cannot finish correctly
    // anyway.
    const ssize_t n = ::write(2, kInputShrankMessage, sizeof kInputShrankMessage - 1);
    (void)n;
    ::_exit(kInputShrankExitCode);
}

}  // namespace

void exit_cleanly_on_sigbus() {
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0) g_page_size.store(static_cast<std::uintptr_t>(page), std::memory_order_relaxed);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGBUS, &sa, nullptr);
}

void recover_shrunk_input_maps(bool on) { g_recover.store(on, std::memory_order_release); }

int register_input_map(const void* begin, std::size_t len) {
    if (begin == nullptr || len == 0) return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].used.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
        g_slots[i].shrank.store(false, std::memory_order_relaxed);
        const auto b = reinterpret_cast<std::uintptr_t>(begin);
        g_slots[i].end.store(b + len, std::memory_order_release);
        g_slots[i].begin.store(b, std::memory_order_release);
        return i;
    }
    return -1;
}

void unregister_input_map(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    g_slots[slot].begin.store(0, std::memory_order_release);
    g_slots[slot].used.store(false, std::memory_order_release);
}

bool input_map_shrank(int slot) {
    return slot >= 0 && slot < kSlots && g_slots[slot].shrank.load(std::memory_order_acquire);
}

}  // namespace platform
