// The search command end to end on one file, for the two engines that the
// engine choice picks between: a plain term (tape engine) and the same term
// with --all-types (in-memory engine), which selects the same scalars since
// the tape engine matches numbers and literals by their raw text too. Each
// engine runs with --count and with plain path output (to /dev/null), best of
// N rounds; the ratio shows what the engine choice buys for plain queries.
//
// Usage: search_command_bench <file.json> [rounds] [term...]
//   (default 3 rounds; terms "aym0566x" and "recent")
// Make the file with the corpus generator, e.g.
//   python3 bench/make_big.py --mib 512 --out /tmp/big.json
// and read it once beforehand so the page cache is warm.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/commands.hpp"

namespace {

// Runs one search with standard output sent to /dev/null; returns seconds.
double run_once(const std::vector<std::string>& args, int* code) {
    std::fflush(stdout);
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
    auto t0 = std::chrono::steady_clock::now();
    *code = cli::run_search_command(args);
    auto t1 = std::chrono::steady_clock::now();
    dup2(saved, 1);
    close(saved);
    return std::chrono::duration<double>(t1 - t0).count();
}

double best_of(const std::vector<std::string>& args, int rounds, int* code) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) best = std::min(best, run_once(args, code));
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file.json> [rounds] [term...]\n", argv[0]);
        return 2;
    }
    const std::string file = argv[1];
    const int rounds = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<std::string> terms;
    for (int i = 3; i < argc; ++i) terms.push_back(argv[i]);
    if (terms.empty()) terms = {"aym0566x", "recent"};

    std::printf("%-12s %-8s %12s %12s %8s\n", "term", "output", "tape s", "in-memory s", "ratio");
    for (const std::string& term : terms) {
        for (bool count : {true, false}) {
            std::vector<std::string> tape = {term, file};
            std::vector<std::string> mem = {"--all-types", term, file};
            if (count) {
                tape.insert(tape.begin(), "--count");
                mem.insert(mem.begin(), "--count");
            }
            int c1 = 0, c2 = 0;
            double t = best_of(tape, rounds, &c1);
            double m = best_of(mem, rounds, &c2);
            std::printf("%-12s %-8s %12.3f %12.3f %7.2fx%s\n", term.c_str(), count ? "count" : "paths", t, m, m / t,
                        c1 == c2 ? "" : "  (exit codes differ)");
        }
    }
    return 0;
}
