// The subcommand handlers the dispatcher routes to. Each takes the arguments
// after the subcommand word and returns the process exit code.
#pragma once

#include <span>
#include <string>

namespace cli {

using Args = std::span<const std::string>;

[[nodiscard]] int run_search_command(Args args);
[[nodiscard]] int run_get_command(Args args);
[[nodiscard]] int run_schema_command(Args args);
[[nodiscard]] int run_paths_command(Args args);
[[nodiscard]] int run_keys_command(Args args);
[[nodiscard]] int run_flatten_command(Args args);
[[nodiscard]] int run_find_command(Args args);
[[nodiscard]] int run_extract_command(Args args);

// The dispatcher: `argv` holds the program name first.
[[nodiscard]] int dispatch_subcommand(Args argv);

}  // namespace cli
