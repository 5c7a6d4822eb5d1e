// What a test process holds in memory, for tests that check that pages were
// mapped in or given back.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace test_support {

// Resident bytes of this process.
inline std::size_t resident_bytes() {
    std::size_t pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Resident bytes of the one mapping of this process that starts at `start`
// (0 when there is none).
inline std::size_t resident_bytes_of_map(const void* start) {
    std::ostringstream head;
    head << std::hex << reinterpret_cast<std::uintptr_t>(start) << '-';
    std::ifstream smaps("/proc/self/smaps");
    bool in_it = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.find('-') < line.find(' ')) in_it = line.rfind(head.str(), 0) == 0;  // a mapping's first line
        if (in_it && line.rfind("Rss:", 0) == 0) return std::stoull(line.substr(4)) * 1024;
    }
    return 0;
}

}  // namespace test_support
