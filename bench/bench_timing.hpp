// Timing shared by the in-process benchmarks.
#pragma once

#include <chrono>
#include <functional>

namespace bench {

// The fastest of `rounds` runs of `f`, in seconds; -1 when a run fails.
inline double best_of(int rounds, const std::function<bool()>& f) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const auto t = std::chrono::steady_clock::now();
        if (!f()) return -1;
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
        if (s < best) best = s;
    }
    return best;
}

}  // namespace bench
