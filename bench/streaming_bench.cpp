// Streaming tape parse of one file beside the whole-buffer parse and beside a
// plain sequential read of the same file, all measured in the same run. Each
// mode runs in a child process of its own, so that its peak resident memory
// is its own.
//
// Usage: streaming_bench <file.json> [rounds]   (default 5 rounds, best kept)
// Make the file with the corpus generator, e.g.
//   python3 bench/make_big.py --mib 1024 --out /tmp/big.json
// and read it once beforehand so the page cache is warm.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/io.hpp"
#include "tape_parser/parse.hpp"
#include "tape_parser/streaming.hpp"

using namespace tape_parser;
using clock_type = std::chrono::steady_clock;

namespace {

struct RoundResult {
    double seconds = 0;        // whole mode: read and parse
    double parse_seconds = 0;  // whole mode: the parse alone
    std::uint64_t tape_len = 0;
    std::uint64_t tape_capacity = 0;
    std::uint64_t checksum = 0;  // keeps the read loop from being optimised away
    int ok = 1;
};

double since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

RoundResult plain_read(const std::string& path) {
    RoundResult r;
    auto f = platform::open_read(path, true);
    if (!f) return RoundResult{0, 0, 0, 0, 0, 0};
    std::vector<std::byte> buf(16 << 20);
    const auto t = clock_type::now();
    std::uint64_t off = 0;
    for (;;) {
        auto got = f->read_at(off, buf);
        if (!got || got.value() == 0) break;
        r.checksum += static_cast<std::uint64_t>(buf[got.value() - 1]);
        off += got.value();
    }
    r.seconds = since(t);
    return r;
}

RoundResult whole_buffer(const std::string& path) {
    RoundResult r;
    const auto t = clock_type::now();
    auto f = platform::open_read(path, true);
    if (!f) return RoundResult{0, 0, 0, 0, 0, 0};
    const std::uint64_t size = f->size().value();
    std::vector<std::uint8_t> data(size);
    if (!f->read_exact_at(0, {reinterpret_cast<std::byte*>(data.data()), size})) r.ok = 0;
    const double read_s = since(t);
    const auto p = clock_type::now();
    auto out = parse_buffer_chunked(data.data(), size, chunk_size_for_len(size), read_s * 1000);
    r.parse_seconds = since(p);
    r.seconds = since(t);
    if (!out) {
        std::fprintf(stderr, "whole-buffer parse failed: %s\n", out.error().c_str());
        r.ok = 0;
        return r;
    }
    r.tape_len = out->tape.size();
    r.tape_capacity = out->tape.capacity();
    return r;
}

RoundResult streamed(const std::string& path) {
    RoundResult r;
    const auto t = clock_type::now();
    auto f = platform::open_read(path);
    if (!f) return RoundResult{0, 0, 0, 0, 0, 0};
    const std::uint64_t size = f->size().value();
    auto out = parse_file_streaming(path, std::move(f.value()), size);
    r.seconds = since(t);
    if (!out) {
        std::fprintf(stderr, "streaming parse failed: %s\n", out.error().c_str());
        r.ok = 0;
        return r;
    }
    r.tape_len = out->tape.size();
    r.tape_capacity = out->tape.capacity();
    return r;
}

struct ModeResult {
    RoundResult best;
    long max_rss_kib = 0;
};

// Runs `rounds` rounds of one mode in a child process; keeps the fastest.
ModeResult run_mode(RoundResult (*fn)(const std::string&), const std::string& path, int rounds, const char* disk_read) {
    int fds[2];
    if (::pipe(fds) != 0) std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (disk_read) ::setenv("QUELLMOR_DISK_READ", disk_read, 1);
        RoundResult best;
        best.seconds = 1e30;
        for (int i = 0; i < rounds; ++i) {
            RoundResult r = fn(path);
            if (!r.ok) {
                best.ok = 0;
                break;
            }
            if (r.seconds < best.seconds) best = r;
        }
        if (::write(fds[1], &best, sizeof best) != sizeof best) ::_exit(1);
        ::_exit(0);
    }
    ::close(fds[1]);
    ModeResult m;
    if (::read(fds[0], &m.best, sizeof m.best) != sizeof m.best) m.best.ok = 0;
    ::close(fds[0]);
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    m.max_rss_kib = ru.ru_maxrss;
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file.json> [rounds]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    auto meta = platform::stat_path(path);
    if (!meta) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), meta.error().message().c_str());
        return 3;
    }
    const double mib = static_cast<double>(meta->size) / 1048576.0;
    const std::uint64_t chunk = chunk_size_for_len(meta->size);
    std::printf("file %s: %.1f MiB, chunk %llu MiB, best of %d rounds\n", path.c_str(), mib,
                static_cast<unsigned long long>(chunk >> 20), rounds);

    // Warm the page cache once.
    (void)run_mode(plain_read, path, 1, nullptr);

    struct Row {
        const char* name;
        RoundResult (*fn)(const std::string&);
        const char* disk_read;
    };
    const Row rows[] = {
        {"sequential read (baseline)", plain_read, nullptr},
        {"whole-buffer read + parse", whole_buffer, nullptr},
        {"streaming, buffered", streamed, "buffered"},
        {"streaming, unbuffered", streamed, "unbuffered"},
    };
    double baseline = 0;
    std::printf("%-28s %9s %10s %9s %11s %12s %16s\n", "mode", "seconds", "MiB/s", "x read", "peak RSS", "tape used",
                "RSS - tape used");
    for (const Row& row : rows) {
        const ModeResult m = run_mode(row.fn, path, rounds, row.disk_read);
        if (!m.best.ok) {
            std::printf("%-28s failed\n", row.name);
            continue;
        }
        if (baseline == 0) baseline = m.best.seconds;
        const double rss_mib = static_cast<double>(m.max_rss_kib) / 1024.0;
        const double tape_mib = static_cast<double>(m.best.tape_len) * 20 / 1048576.0;
        std::printf("%-28s %9.3f %10.0f %9.2f %8.0f MiB %8.0f MiB %12.0f MiB\n", row.name, m.best.seconds,
                    mib / m.best.seconds, baseline / m.best.seconds, rss_mib, tape_mib, rss_mib - tape_mib);
        if (row.fn == whole_buffer) {
            std::printf("%-28s %9.3f %10.0f %9.2f\n", "  of which the parse", m.best.parse_seconds,
                        mib / m.best.parse_seconds, baseline / m.best.parse_seconds);
        }
    }
    return 0;
}
