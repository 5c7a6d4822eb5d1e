#include "platform/system.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
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

namespace {

std::optional<std::uint64_t> decimal(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

// The first line of a small file (a cgroup or /proc entry), without its line feed.
std::optional<std::string> first_line(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (!f) return std::nullopt;
    char line[256];
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got) return std::nullopt;
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

unsigned affinity_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    // More processors than the fixed set holds, or no mask to read.
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

// The smallest quota along `dir` and the groups above it, up to `root`;
// `quota_of` reads one group's quota.
template <typename QuotaOf>
std::optional<unsigned> smallest_quota(const std::string& root, std::string dir, const QuotaOf& quota_of) {
    std::optional<unsigned> least;
    for (;;) {
        const auto q = quota_of(root + dir);
        if (q && (!least || *q < *least)) least = q;
        if (dir.empty() || dir == "/") break;
        const std::size_t slash = dir.rfind('/');
        dir.resize(slash == std::string::npos ? 0 : slash);
    }
    return least;
}

// The CPU quota of this process's cgroups, from the groups that
// /proc/self/cgroup names under the usual mount points.
std::optional<unsigned> cgroup_processors() {
    std::FILE* f = std::fopen("/proc/self/cgroup", "re");
    if (!f) return std::nullopt;
    std::optional<unsigned> least;
    auto take = [&](std::optional<unsigned> q) {
        if (q && (!least || *q < *least)) least = q;
    };
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f)) {
        std::string_view line(buf);
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        // hierarchy:controllers:path
        const std::size_t a = line.find(':');
        const std::size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
        if (b == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(a + 1, b - a - 1);
        const std::string path(line.substr(b + 1));
        if (controllers.empty()) {
            for (const char* root : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
                take(smallest_quota(root, path, [](const std::string& dir) -> std::optional<unsigned> {
                    const auto max = first_line(dir + "/cpu.max");
                    if (!max) return std::nullopt;
                    const std::size_t sp = max->find(' ');
                    if (sp == std::string::npos) return std::nullopt;
                    return quota_processors(std::string_view(*max).substr(0, sp),
                                            std::string_view(*max).substr(sp + 1));
                }));
            }
            continue;
        }
        bool cpu = false;
        for (std::size_t at = 0; at <= controllers.size();) {
            const std::size_t comma = std::min(controllers.find(',', at), controllers.size());
            if (controllers.substr(at, comma - at) == "cpu") cpu = true;
            at = comma + 1;
        }
        if (!cpu) continue;
        const std::string mount = "/sys/fs/cgroup/" + std::string(controllers);
        take(smallest_quota(mount, path, [](const std::string& dir) -> std::optional<unsigned> {
            const auto quota = first_line(dir + "/cpu.cfs_quota_us");
            const auto period = first_line(dir + "/cpu.cfs_period_us");
            if (!quota || !period) return std::nullopt;
            return quota_processors(*quota, *period);
        }));
    }
    std::fclose(f);
    return least;
}

}  // namespace

std::optional<unsigned> quota_processors(std::string_view quota, std::string_view period) {
    const auto q = decimal(quota);
    const auto p = decimal(period);
    if (!q || !p || *p == 0) return std::nullopt;
    const std::uint64_t n = (*q + *p - 1) / *p;
    if (n == 0) return 1u;
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(n);
}

unsigned count_processors() {
    const unsigned mask = affinity_processors();
    const auto quota = cgroup_processors();
    return quota && *quota < mask ? *quota : mask;
}

unsigned processor_count() {
    // Counted once: the count decides threads for every file of a run, and
    // reading the cgroup files costs more than searching a small file.
    static const unsigned n = count_processors();
    return n;
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
