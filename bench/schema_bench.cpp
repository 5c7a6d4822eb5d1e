// schema, keys and flatten (output to /dev/null) beside the tape parse of the
// same bytes, all in one run. Each command runs through its real handler, so
// its figure includes reading the (page-cached) file; the tape figures are
// given both with and without that read, which is measured on its own.
//
// Usage: schema_bench <file.json> [rounds]   (default 5 rounds, best kept)
// Make the file with the corpus generator, e.g.
//   python3 bench/make_big.py --mib 256 --out /tmp/big256.json
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/input.hpp"
#include "bench_timing.hpp"
#include "tape_parser/parse.hpp"
#include "tape_parser/streaming.hpp"

using clock_type = std::chrono::steady_clock;

namespace {

using bench::best_of;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: schema_bench <file.json> [rounds]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    auto probe = cli::load_input_file(path);
    if (!probe) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), probe.error().message().c_str());
        return 3;
    }
    const double bytes = static_cast<double>(probe->bytes().size());
    const std::uint64_t chunk = tape_parser::chunk_size_for_len(probe->bytes().size());

    const double read_s = best_of(rounds, [&] { return cli::load_input_file(path).ok(); });
    const double tape_s = best_of(rounds, [&] {
        auto out = tape_parser::parse_buffer_chunked(probe->bytes().data(), probe->bytes().size(), chunk, 0);
        return out.ok();
    });

    // The handlers write to descriptor 1: point it at /dev/null while they run.
    std::fflush(stdout);
    const int saved = dup(1);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    auto command = [&](int (*run)(cli::Args), std::vector<std::string> args) {
        return best_of(rounds, [&] { return run(args) == 0; });
    };
    const double schema_s = command(cli::run_schema_command, {path});
    const double keys_s = command(cli::run_keys_command, {path});
    const double flatten_s = command(cli::run_flatten_command, {path});
    dup2(saved, 1);
    close(devnull);
    close(saved);

    auto line = [&](const char* name, double s) {
        if (s < 0) {
            std::printf("%-28s failed\n", name);
            return;
        }
        std::printf("%-28s %8.1f ms  %6.2f GB/s  %5.2fx read+tape\n", name, s * 1e3, bytes / s / 1e9,
                    (tape_s + read_s) / s);
    };
    std::printf("%s: %.0f bytes, best of %d rounds\n", path.c_str(), bytes, rounds);
    line("read whole file", read_s);
    line("tape parse (in memory)", tape_s);
    line("read + tape parse", read_s + tape_s);
    line("schema (read + walk + out)", schema_s);
    line("keys (read + walk + out)", keys_s);
    line("flatten > /dev/null", flatten_s);
    return 0;
}
