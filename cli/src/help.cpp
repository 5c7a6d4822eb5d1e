#include "cli/help.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

#include "cli/emitter.hpp"

namespace cli {

namespace {

// Each help output goes out as one write so that the pieces of a block never
// interleave with anything else written to the same stream.
void write_joined(std::FILE* stream, std::initializer_list<std::string_view> texts) {
    std::string block;
    for (std::string_view t : texts) {
        if (!block.empty()) block += "\n\n";
        block += t;
    }
    block += '\n';
    // Help is the answer of these commands: text that cannot be written
    // fails the run as any other output does.
    if (std::fwrite(block.data(), 1, block.size(), stream) != block.size() || std::fflush(stream) != 0)
        note_output_failure(errno);
}

}  // namespace

void print_usage_to_stderr() { write_joined(stderr, {MAIN_USAGE, SEARCH_HELP, GET_HELP, EXIT_CODES}); }

void print_topic_help(std::string_view topic_text) { write_joined(stdout, {topic_text, EXIT_CODES}); }

void print_all_help() {
    write_joined(stdout, {MAIN_USAGE, SEARCH_HELP, GET_HELP, SCHEMA_HELP, SHAPE_HELP, PATHS_HELP, KEYS_HELP,
                          FLATTEN_HELP, FIND_HELP, EXTRACT_HELP, EXIT_CODES});
}

}  // namespace cli
