#include "platform/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Every part runs exactly once, the first on the calling thread, also past
// the sixteen threads that can run at once.
TEST(RunInParallel, EveryPartOnce) {
    for (const unsigned count : {0u, 1u, 5u, 16u, 21u}) {
        std::vector<std::atomic<int>> runs(count);
        std::thread::id first;
        platform::run_in_parallel(count, [&](unsigned i) {
            runs[i].fetch_add(1);
            if (i == 0) first = std::this_thread::get_id();
        });
        for (unsigned i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << count << " parts, part " << i;
        if (count > 0) {
            EXPECT_EQ(first, std::this_thread::get_id());
        }
    }
}

}  // namespace
