#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/help.hpp"
#include "cli/search_options.hpp"

namespace cli {

namespace {

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

// `extract` is search --path <pattern> printing values; the defaults are only
// added when the user did not choose a scope or an emit mode.
int run_extract_command(Args args) {
    for (const std::string& a : args) {
        if (a == "-h" || a == "--help") {
            print_topic_help(EXTRACT_HELP);
            return 0;
        }
    }
    for (const std::string& a : args) {
        if (a == "-p" || a == "--path" || starts_with(a, "--path=") || starts_with(a, "-p=")) {
            std::fputs("qm: extract: positional <path-pattern> conflicts with --path/-p\n", stderr);
            return 2;
        }
    }
    std::size_t i = 0;
    bool found = false;
    while (i < args.size()) {
        const std::string& a = args[i];
        if (a.size() < 2) {
            found = true;
            break;
        }
        if (starts_with(a, "--") && a.find('=') != std::string::npos) {
            i += 1;
        } else if (search_flag_takes_value(a)) {
            i += 2;
        } else if (a[0] == '-') {
            i += 1;
        } else {
            found = true;
            break;
        }
    }
    if (!found) {
        std::fputs("qm: extract: usage: extract [flags] <path-pattern> [<file>]\n", stderr);
        return 2;
    }
    bool chose_emit = false, chose_scope = false;
    for (const std::string& a : args) {
        if (a == "--emit" || starts_with(a, "--emit=")) chose_emit = true;
        if (a == "--values-only" || a == "--keys-only") chose_scope = true;
    }
    std::vector<std::string> rewritten;
    rewritten.reserve(args.size() + 5);
    for (std::size_t k = 0; k < args.size(); ++k)
        if (k != i) rewritten.push_back(args[k]);
    if (!chose_scope) rewritten.emplace_back("--values-only");
    if (!chose_emit) {
        rewritten.emplace_back("--emit");
        rewritten.emplace_back("value");
    }
    rewritten.emplace_back("--path");
    rewritten.push_back(args[i]);
    return run_search_command(rewritten);
}

}  // namespace cli
