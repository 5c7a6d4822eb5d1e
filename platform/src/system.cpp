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

std::uint64_t memory_budget_given(std::optional<std::uint64_t> available) {
    return available ? *available / 2 : std::uint64_t{4} << 30;
}

std::uint64_t memory_budget() { return memory_budget_given(available_memory()); }

unsigned processor_count() {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

unsigned helper_thread_count(std::optional<std::uint64_t> asked, unsigned processors) {
    constexpr unsigned kMaxThreads = 16;
    if (processors == 0) processors = 4;
    if (!asked && processors < 4) return 0;
    const std::uint64_t n = asked ? *asked : processors;
    return n == 0 ? 1u : static_cast<unsigned>(n < kMaxThreads ? n : kMaxThreads);
}

std::size_t allocation_granularity() {
    long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<std::size_t>(n) : 4096u;
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

void ignore_sigpipe() { std::signal(SIGPIPE, SIG_IGN); }

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
