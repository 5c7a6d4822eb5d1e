// The parsed flags and positional arguments of `search`, and the scan that
// builds them: flag values, positional assignment and the checks that refuse
// contradictory combinations. Every failure here is a usage error.
#pragma once

#include "cli/flag_scan.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/emitter.hpp"
#include "platform/result.hpp"
#include "rova_rudo/search_request.hpp"

namespace cli {

struct SearchOptions {
    std::optional<std::uint64_t> limit;
    std::optional<std::uint64_t> max_value_bytes;
    std::optional<std::uint64_t> max_output;
    std::optional<std::string> file;      // "-" (standard input) once positionals are assigned
    std::vector<std::string> more_files;  // file arguments after `file`, searched after it in order
    std::optional<std::string> term;
    std::optional<std::string> key;
    std::optional<std::string> value;
    std::optional<std::string> path;
    std::optional<std::string> where;
    std::optional<std::string> exists;
    std::optional<std::string> missing;
    bool regex = false;
    bool case_sensitive = false;
    bool keys_only = false;
    bool values_only = false;
    bool all_types = false;
    bool count = false;
    bool jsonl_in = false;
    bool envelope = false;
    bool raw = false;
    OutputFormat format = OutputFormat::Plain;
    ColorMode color = ColorMode::Auto;
    rova_rudo::TypeFilter type_filter = rova_rudo::TypeFilter::None;
    rova_rudo::EmitMode emit = rova_rudo::EmitMode::Path;
};

// What the scan produced: options that passed every check (`file` set), or a
// help request (-h/--help reached before any usage error).
struct ParsedSearchArgs {
    SearchOptions options;
    bool help = false;
};

// Scans `args` (the arguments after "search") left to right. The error is the
// usage message without the "qm: search: " prefix.
platform::Result<ParsedSearchArgs, std::string> parse_search_args(std::span<const std::string> args);

// Whether `arg` is a search flag (long or short name, no "=value") whose
// value is the next argument. `extract` uses it to skip flag values while it
// looks for its positional pattern.
bool search_flag_takes_value(std::string_view arg);

// A byte count with an optional K/M/G suffix (either case), surrounding
// white space ignored. The error is the usage message.
platform::Result<std::uint64_t, std::string> parse_byte_count(std::string_view text);

}  // namespace cli
