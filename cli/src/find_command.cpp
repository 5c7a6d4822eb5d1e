#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/help.hpp"

namespace cli {

// `find` is search over values of every type, printed as assignments. The
// added flags come last so that they win over the user's own --emit.
int run_find_command(Args args) {
    for (const std::string& a : args) {
        if (a == "-h" || a == "--help") {
            print_topic_help(FIND_HELP);
            return 0;
        }
    }
    bool has_value = false;
    for (const std::string& a : args)
        if (a.size() <= 1 || a[0] != '-') has_value = true;
    if (!has_value) {
        std::fputs("qm: find: usage: find [flags] <value> [<file>]\n", stderr);
        return 2;
    }
    std::vector<std::string> rewritten(args.begin(), args.end());
    for (const char* extra : {"--all-types", "--values-only", "--emit", "assignment"}) rewritten.emplace_back(extra);
    return run_search_command(rewritten);
}

}  // namespace cli
