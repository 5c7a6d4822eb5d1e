#include "platform/system.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace platform {

std::optional<std::uint64_t> available_memory() {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return std::nullopt;
    char line[256];
    std::optional<std::uint64_t> out;
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long kb = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
            out = static_cast<std::uint64_t>(kb) * 1024;
            break;
        }
    }
    std::fclose(f);
    return out;
}

unsigned processor_count() {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

std::size_t allocation_granularity() {
    long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<std::size_t>(n) : 4096u;
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

void ignore_sigpipe() { std::signal(SIGPIPE, SIG_IGN); }

bool is_valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0, n = s.size();
    while (i < n) {
        // Keys and values are mostly ASCII: cross such runs eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char c = p[i];
        if (c < 0x80) { ++i; continue; }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return false;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::optional<std::vector<std::string>> command_line_args(int argc, char** argv, std::size_t* bad_index) {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i] ? argv[i] : "";
        if (!is_valid_utf8(a)) {
            if (bad_index) *bad_index = static_cast<std::size_t>(i);
            return std::nullopt;
        }
        out.push_back(std::move(a));
    }
    if (out.empty()) out.push_back("qm");
    return out;
}

}  // namespace platform
