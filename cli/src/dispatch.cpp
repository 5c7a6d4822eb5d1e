#include <cstdio>
#include <string>
#include <string_view>

#include "cli/commands.hpp"
#include "cli/help.hpp"
#include "platform/system.hpp"

namespace cli {

namespace {

struct Topic {
    std::string_view word;
    std::string_view text;
};

constexpr Topic kTopics[] = {
    {"search", SEARCH_HELP},   {"get", GET_HELP},     {"schema", SCHEMA_HELP},
    {"shape", SHAPE_HELP},     {"paths", PATHS_HELP}, {"keys", KEYS_HELP},
    {"flatten", FLATTEN_HELP}, {"find", FIND_HELP},   {"extract", EXTRACT_HELP},
};

int run_help(Args rest) {
    if (rest.empty()) {
        print_all_help();
        return 0;
    }
    // Only the first word names the topic; anything after it is ignored.
    const std::string& topic = rest[0];
    for (const Topic& t : kTopics) {
        if (topic == t.word) {
            print_topic_help(t.text);
            return 0;
        }
    }
    std::string msg = "qm: help: unknown topic '" + topic + "'\n";
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    print_usage_to_stderr();
    return 2;
}

bool has_help_flag(Args rest) {
    for (const std::string& a : rest)
        if (a == "-h" || a == "--help") return true;
    return false;
}

}  // namespace

int dispatch_subcommand(Args argv) {
    platform::set_console_output_utf8();
    if (argv.size() < 2) {
        print_usage_to_stderr();
        return 2;
    }
    const std::string& w = argv[1];
    Args rest = argv.subspan(2);
    if (w == "search") return run_search_command(rest);
    if (w == "get") return run_get_command(rest);
    if (w == "schema") return run_schema_command(rest);
    if (w == "shape") {
        if (has_help_flag(rest)) {
            print_topic_help(SHAPE_HELP);
            return 0;
        }
        return run_schema_command(rest);
    }
    if (w == "paths") return run_paths_command(rest);
    if (w == "keys") return run_keys_command(rest);
    if (w == "flatten") return run_flatten_command(rest);
    if (w == "find") return run_find_command(rest);
    if (w == "extract") return run_extract_command(rest);
    if (w == "help" || w == "-h" || w == "--help") return run_help(rest);
    std::string msg = "qm: unknown subcommand '" + w + "'\n";
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    print_usage_to_stderr();
    return 2;
}

}  // namespace cli
