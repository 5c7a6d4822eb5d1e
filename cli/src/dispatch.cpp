#include <cstdio>

#include "cli/commands.hpp"

namespace cli {

// Placeholder until the dispatcher and help texts land.
int dispatch_subcommand(Args argv) {
    if (argv.size() < 2) return 2;
    const std::string& w = argv[1];
    Args rest = argv.subspan(2);
    if (w == "search") return run_search_command(rest);
    if (w == "get") return run_get_command(rest);
    if (w == "schema" || w == "shape") return run_schema_command(rest);
    if (w == "paths") return run_paths_command(rest);
    if (w == "keys") return run_keys_command(rest);
    if (w == "flatten") return run_flatten_command(rest);
    if (w == "find") return run_find_command(rest);
    if (w == "extract") return run_extract_command(rest);
    std::fprintf(stderr, "qm: unknown subcommand '%s'\n", w.c_str());
    return 2;
}

}  // namespace cli
