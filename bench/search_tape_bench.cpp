// The tape search end to end (raw prefilter on the worker beside the tape
// build, then the candidate loop) for a term with few hits and one with many,
// beside its two halves measured alone in the same run: the tape parse of
// the file, and the raw substring scan (ours, and glibc memmem as a yardstick).
//
// Usage: search_tape_bench <file.json> [rounds] [rare-term] [common-term]
//   (default 3 rounds, best kept; terms "aym0566x" and "recent")
// Make the file with the corpus generator, e.g.
//   python3 bench/make_big.py --mib 1024 --out /tmp/big.json
// and read it once beforehand so the page cache is warm.
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "rova_rudo/matcher.hpp"
#include "rova_rudo/search_tape.hpp"
#include "tape_parser/streaming.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

struct CountingSink final : rova_rudo::MatchSink {
    std::uint64_t n = 0, bytes = 0;
    bool emit_search_match(std::string_view path, std::string_view text, rova_rudo::ScalarKind, rova_rudo::MatchShape,
                           std::optional<std::uint64_t>) override {
        ++n;
        bytes += path.size() + text.size();
        return false;
    }
};

double best_of(int rounds, const std::function<std::uint64_t()>& f, std::uint64_t& result) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const auto t = clock_type::now();
        result = f();
        best = std::min(best, std::chrono::duration<double>(clock_type::now() - t).count());
    }
    return best;
}

void row(const char* what, const std::string& term, double s, std::uint64_t size, std::uint64_t result,
         double baseline) {
    std::printf("%-28s %-10s %8.3f s %7.2f GB/s  x%5.2f of parse  (%llu)\n", what, term.c_str(), s, size / s / 1e9,
                s / baseline, static_cast<unsigned long long>(result));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: search_tape_bench <file.json> [rounds] [rare-term] [common-term]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string terms[2] = {argc > 3 ? argv[3] : "aym0566x", argc > 4 ? argv[4] : "recent"};

    auto meta = platform::stat_path(path);
    if (!meta) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), meta.error().message().c_str());
        return 3;
    }
    const std::uint64_t size = meta->size;
    std::printf("file %s, %.1f MiB, best of %d rounds\n", path.c_str(), size / 1048576.0, rounds);

    std::uint64_t result = 0;
    const double parse_s = best_of(
        rounds,
        [&]() -> std::uint64_t {
            auto f = platform::open_read(path, true);
            if (!f) return 0;
            auto out = tape_parser::parse_file_streaming(path, std::move(*f), size);
            if (!out) {
                std::fprintf(stderr, "parse failed: %s\n", out.error().c_str());
                std::exit(3);
            }
            return out->tape.size();
        },
        result);
    row("tape parse (streamed)", "-", parse_s, size, result, parse_s);

    for (const auto& term : terms) {
        for (const bool cs : {true, false}) {
            auto m = rova_rudo::build_text_matcher(term, cs, false);
            if (!m) return 3;
            const double raw_s = best_of(
                rounds, [&]() -> std::uint64_t { return rova_rudo::find_match_offsets(path, *m).size(); }, result);
            row(cs ? "raw scan, case-sensitive" : "raw scan, ASCII nocase", term, raw_s, size, result, parse_s);
        }
        const double memmem_s = best_of(
            rounds,
            [&]() -> std::uint64_t {
                auto mf = platform::map_path(path, true);
                if (!mf) return 0;
                const char* p = reinterpret_cast<const char*>(mf->map.data());
                std::size_t left = mf->map.size();
                std::uint64_t n = 0;
                while (const void* hit = memmem(p, left, term.data(), term.size())) {
                    ++n;
                    const std::size_t skip = static_cast<const char*>(hit) - p + term.size();
                    p += skip;
                    left -= skip;
                }
                return n;
            },
            result);
        row("glibc memmem scan", term, memmem_s, size, result, parse_s);
        for (const bool cs : {true, false}) {
            rova_rudo::SearchQuery q;
            q.term = term;
            q.case_sensitive = cs;
            const double e2e_s = best_of(
                rounds,
                [&]() -> std::uint64_t {
                    CountingSink sink;
                    auto r = rova_rudo::run_tape_search(path, q, sink);
                    if (!r.is_success()) {
                        std::fprintf(stderr, "search failed: %s\n", r.text().c_str());
                        std::exit(3);
                    }
                    return sink.n;
                },
                result);
            row(cs ? "tape search, case-sensitive" : "tape search, ASCII nocase", term, e2e_s, size, result, parse_s);
        }
    }
    return 0;
}
