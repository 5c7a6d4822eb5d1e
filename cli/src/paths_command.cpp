#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/help.hpp"

namespace cli {

// `paths` is `schema --paths-only`: same flags, same messages (prefixed
// "qm: schema: "), only its own -h/--help differs.
int run_paths_command(Args args) {
    bool has_paths_only = false;
    for (const std::string& a : args) {
        if (a == "-h" || a == "--help") {
            print_topic_help(PATHS_HELP);
            return 0;
        }
        if (a == "--paths-only") has_paths_only = true;
    }
    std::vector<std::string> copy(args.begin(), args.end());
    if (!has_paths_only) copy.emplace_back("--paths-only");
    return run_schema_command(copy);
}

}  // namespace cli
