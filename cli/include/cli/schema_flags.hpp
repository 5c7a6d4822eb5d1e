// The flags of `schema`, `shape`, `paths` and `keys`, and the unsigned count
// syntax that they and `flatten` accept.
#pragma once

#include "cli/flag_scan.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/commands.hpp"
#include "cli/input.hpp"
#include "platform/result.hpp"

namespace cli {

enum class SchemaFormat : std::uint8_t { Text = 0, JsonLines = 1, Json = 2 };

struct SchemaCommandOptions {
    std::optional<std::uint64_t> examples;
    std::optional<std::uint64_t> max_paths;
    std::string file = "-";  // "-" is standard input
    bool no_collapse = false;
    bool paths_only = false;
    SchemaFormat format = SchemaFormat::Text;
    bool help = false;  // -h/--help: the topic help has been printed
};

// The options, or the usage-error message (without the "qm: <cmd>: " prefix).
// -h/--help prints the schema topic help and sets `help`.
platform::Result<SchemaCommandOptions, std::string> parse_schema_flags(Args args);

// Loads the document of a single-document command: "-" reads standard input
// whole, a file is mapped (open_mapped_file): the walk reads each page once,
// straight from the page cache, where a whole read would first touch as much
// fresh memory, and a limit or an early error reads only what it needs.
// On failure writes "qm: <command>: stdin: <error>" or
// "qm: <command>: <file>: <error>" to standard error and gives nullopt.
[[nodiscard]] std::optional<InputBuffer> load_command_input(std::string_view command, const std::string& file);

// Writes "qm: <command>: WARNING — exceeded max-paths (<cap>); ..." to
// standard error: the walk's path cap cut the tree.
void write_max_paths_warning(std::string_view command, std::uint64_t max_paths);

// Asked after the last use of a document that load_command_input gave: when
// its bytes did not hold (InputBuffer::failure_after_use), writes
// "qm: <command>: <file>: <why>" to standard error and gives false.
[[nodiscard]] bool input_held(std::string_view command, const std::string& file, const InputBuffer& input);

}  // namespace cli
