// The in-memory search over one document held in memory, for four kinds of
// query, beside the tape parse of the same bytes, all in one run. Matches go
// to a sink that only counts them, so the figures are the engine's alone.
//
// Usage: search_bench <file.json> [rounds] [query number 1-4]
//   (default 5 rounds, best kept; every query)
// Make the file with the corpus generator, e.g.
//   python3 bench/make_big.py --mib 256 --out /tmp/big256.json
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/io.hpp"
#include "platform/whole_file.hpp"
#include "rova_rudo/search.hpp"
#include "bench_timing.hpp"
#include "tape_parser/parse.hpp"
#include "tape_parser/streaming.hpp"

using clock_type = std::chrono::steady_clock;

namespace {

using bench::best_of;

struct CountingSink : rova_rudo::MatchSink {
    std::uint64_t n = 0;
    bool emit_search_match(std::string_view, std::string_view, rova_rudo::ScalarKind, rova_rudo::MatchShape,
                           std::optional<std::uint64_t>) override {
        ++n;
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: search_bench <file.json> [rounds] [query number 1-4]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int only = argc > 3 ? std::atoi(argv[3]) : 0;  // to profile one query
    auto file = platform::open_read(path);
    if (!file) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), file.error().message().c_str());
        return 3;
    }
    auto rd = platform::read_whole(file->fd(), UINT64_MAX);
    if (!rd) {
        std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), rd.error().message().c_str());
        return 3;
    }
    const platform::ByteBuffer& bytes = rd.value();
    const std::string_view doc = bytes.text();
    const double size = static_cast<double>(doc.size());
    const std::uint64_t chunk = tape_parser::chunk_size_for_len(doc.size());

    const double tape_s = best_of(rounds, [&] {
        auto out = tape_parser::parse_buffer_chunked(bytes.data(), bytes.size(), chunk, 0);
        return out.ok();
    });

    struct Query {
        const char* name = "";
        rova_rudo::SearchQuery q;
    };
    std::vector<Query> queries(4);
    queries[0].name = "term 'http'";
    queries[0].q.term = "http";
    queries[1].name = "--type number";
    queries[1].q.type_filter = rova_rudo::TypeFilter::Number;
    queries[2].name = "--path '.[*].user.name'";
    queries[2].q.path = ".[*].user.name";
    queries[3].name = "--where (2 clauses)";
    queries[3].q.where = ".retweet_count > 50 && .lang == \"ja\"";

    std::printf("%s: %.1f MiB\n", path.c_str(), size / (1 << 20));
    std::printf("%-28s %8.3f s  %6.2f GB/s  (baseline)\n", "tape parse", tape_s, size / tape_s / 1e9);
    for (std::size_t qi = 0; qi < queries.size(); ++qi) {
        auto& qu = queries[qi];
        if (only != 0 && static_cast<std::size_t>(only) != qi + 1) continue;
        std::uint64_t matches = 0;
        const double s = best_of(rounds, [&] {
            CountingSink sink;
            auto r = rova_rudo::run_in_memory_search(doc, qu.q, sink);
            matches = sink.n;
            return r.is_success();
        });
        if (s < 0) {
            std::printf("%-28s failed\n", qu.name);
            continue;
        }
        std::printf("%-28s %8.3f s  %6.2f GB/s  %5.2fx tape  (%llu matches)\n", qu.name, s, size / s / 1e9, s / tape_s,
                    static_cast<unsigned long long>(matches));
    }
    return 0;
}
