#include <algorithm>
#include <string>

#include "cli/help.hpp"
#include "e2e_harness.hpp"

using e2e::QmCase;

namespace {

std::string s(std::string_view v) { return std::string(v); }
using e2e::usage;
std::string topic(std::string_view t) { return s(t) + "\n\n" + s(cli::EXIT_CODES) + "\n"; }

}  // namespace

TEST(Entry, RejectsArgumentsThatAreNotUtf8) {
    e2e::check_cases({
        {.name = "invalid utf-8", .args = {"get", "\xFF"}, .err = "qm: argument 2 is not valid UTF-8\n", .code = 2},
    });
}

// The line counts are part of the interface: scripts slice these texts.
TEST(HelpTexts, HaveTheirLineCountsAndNoTrailingNewline) {
    struct Row {
        std::string_view name, text;
        long lines;
    };
    const Row rows[] = {
        {"main", cli::MAIN_USAGE, 20},      {"search", cli::SEARCH_HELP, 93},   {"get", cli::GET_HELP, 16},
        {"schema", cli::SCHEMA_HELP, 21},   {"shape", cli::SHAPE_HELP, 5},      {"paths", cli::PATHS_HELP, 14},
        {"keys", cli::KEYS_HELP, 17},       {"flatten", cli::FLATTEN_HELP, 15}, {"find", cli::FIND_HELP, 14},
        {"extract", cli::EXTRACT_HELP, 22}, {"exit", cli::EXIT_CODES, 6},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(std::count(r.text.begin(), r.text.end(), '\n') + 1, r.lines) << r.name;
        EXPECT_NE(r.text.back(), '\n') << r.name;
    }
    EXPECT_EQ(s(cli::MAIN_USAGE).rfind("qm — ", 0), 0u);
}

TEST(Dispatch, HelpBranch) {
    std::string all = s(cli::MAIN_USAGE);
    for (std::string_view t : {cli::SEARCH_HELP, cli::GET_HELP, cli::SCHEMA_HELP, cli::SHAPE_HELP, cli::PATHS_HELP,
                               cli::KEYS_HELP, cli::FLATTEN_HELP, cli::FIND_HELP, cli::EXTRACT_HELP, cli::EXIT_CODES})
        all += "\n\n" + s(t);
    all += "\n";
    e2e::check_cases({
        {.name = "help", .args = {"help"}, .out = all},
        {.name = "-h", .args = {"-h"}, .out = all},
        {.name = "--help", .args = {"--help"}, .out = all},
        {.name = "help keys extra", .args = {"help", "keys", "extra", "words"}, .out = topic(cli::KEYS_HELP)},
        {.name = "-h find", .args = {"-h", "find"}, .out = topic(cli::FIND_HELP)},
        {.name = "--help find", .args = {"--help", "find"}, .out = topic(cli::FIND_HELP)},
        {.name = "help search", .args = {"help", "search"}, .out = topic(cli::SEARCH_HELP)},
        {.name = "help get", .args = {"help", "get"}, .out = topic(cli::GET_HELP)},
        {.name = "help help", .args = {"help", "help"}, .err = "qm: help: unknown topic 'help'\n" + usage(), .code = 2},
        {.name = "help -h", .args = {"help", "-h"}, .err = "qm: help: unknown topic '-h'\n" + usage(), .code = 2},
        {.name = "help Search",
         .args = {"help", "Search"},
         .err = "qm: help: unknown topic 'Search'\n" + usage(),
         .code = 2},
        {.name = "help empty", .args = {"help", ""}, .err = "qm: help: unknown topic ''\n" + usage(), .code = 2},
    });
}

TEST(Dispatch, MissingAndUnknownSubcommands) {
    e2e::check_cases({
        {.name = "no subcommand", .args = {}, .err = usage(), .code = 2},
        {.name = "Search", .args = {"Search"}, .err = "qm: unknown subcommand 'Search'\n" + usage(), .code = 2},
        {.name = "sear", .args = {"sear", "x"}, .err = "qm: unknown subcommand 'sear'\n" + usage(), .code = 2},
        {.name = "SEARCH", .args = {"SEARCH"}, .err = "qm: unknown subcommand 'SEARCH'\n" + usage(), .code = 2},
        {.name = "empty word", .args = {""}, .err = "qm: unknown subcommand ''\n" + usage(), .code = 2},
        {.name = "padded word", .args = {" search"}, .err = "qm: unknown subcommand ' search'\n" + usage(), .code = 2},
    });
}

// shape answers -h/--help itself, anywhere in its arguments, without reading the file.
TEST(Dispatch, ShapeHelpAnywhere) {
    e2e::check_cases({
        {.name = "shape x -h", .args = {"shape", "x", "-h"}, .out = topic(cli::SHAPE_HELP)},
        {.name = "shape --help x", .args = {"shape", "--help", "missing.json"}, .out = topic(cli::SHAPE_HELP)},
        // Only the exact words count here; schema's own parser answers this one.
        {.name = "shape --help=x", .args = {"shape", "--help=x"}, .out = topic(cli::SCHEMA_HELP)},
    });
}

TEST(Dispatch, ShapeRunsSchema) {
    const std::vector<std::string> words = {"shape", "schema"};
    std::vector<e2e::QmRun> runs;
    for (const auto& w : words) runs.push_back(e2e::run_qm({w}, "{\"a\":1}"));
    EXPECT_EQ(runs[0].out, runs[1].out);
    EXPECT_EQ(runs[0].err, runs[1].err);
    EXPECT_EQ(runs[0].code, runs[1].code);
}
