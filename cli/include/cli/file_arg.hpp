// Guessing whether a positional argument names a file, and the message shown
// when the file seems to have been given before the pattern or path.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cli {

// True for "-" and "*", for any text holding "*" or "?", for names ending in
// ".json", ".jsonl" or ".ndjson" (any ASCII case), and otherwise when the path
// exists (links followed) and is not a directory. Makes at most one metadata
// query.
bool looks_like_file_arg(std::string_view arg);

// With exactly two positionals where the first looks like a file and the
// second does not: the three-line "argument order changed" message (no
// trailing line feed), naming `what` ("pattern", "path") and suggesting the
// swapped command line for `subcommand`. Otherwise nullopt.
std::optional<std::string> argument_order_hint(std::string_view subcommand, std::span<const std::string> positionals,
                                               std::string_view what);

}  // namespace cli
