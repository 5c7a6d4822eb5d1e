// What a test process holds in memory, for tests that check that pages were
// mapped in or given back.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <fstream>

namespace test_support {

// Resident bytes of this process.
inline std::size_t resident_bytes() {
    std::size_t pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace test_support
