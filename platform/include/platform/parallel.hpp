// A job split into parts that run at once, each on a short-lived thread of
// its own; the caller takes part and waits for the rest.
#pragma once

#include <array>
#include <exception>
#include <thread>

namespace platform {

// Runs part(0), ..., part(count - 1) and returns when all have ended. The
// calling thread runs part(0), and every part whose thread cannot start
// (no threads left, no memory for a stack, beyond sixteen): a refused
// start only makes the job slower, never a failure. `part` must not throw.
template <typename Part>
void run_in_parallel(unsigned count, const Part& part) {
    constexpr unsigned kMaxThreads = 16;
    std::array<std::thread, kMaxThreads> helpers;
    unsigned started = 1;
    for (; started < count && started < kMaxThreads; ++started) {
        // std::thread reports a refused start by throwing.
        try {
            helpers[started] = std::thread([&part, started] { part(started); });
        } catch (const std::exception&) {
            break;
        }
    }
    if (count > 0) part(0u);
    for (unsigned i = started; i < count; ++i) part(i);
    for (unsigned i = 1; i < started; ++i) helpers[i].join();
}

}  // namespace platform
