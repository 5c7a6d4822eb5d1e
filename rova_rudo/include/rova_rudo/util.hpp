// Text truncation for every --max-value-bytes option, and the flattening of
// one JSON value into "path = value" lines (one per leaf).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.hpp"
#include "rova_rudo/parser.hpp"
#include "rova_rudo/path.hpp"

namespace rova_rudo {

// The cut mark, U+2026; it is not counted in the budget.
inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// Absent when `text` is at most `max` bytes long. Otherwise its first bytes up
// to the cut point, then the mark (so up to max + 3 bytes). When the whole text
// is valid UTF-8 the cut point moves down off continuation bytes so no
// character is split; otherwise it is exactly `max`.
std::optional<std::string> truncate_with_ellipsis(std::string_view text, std::uint64_t max);

// The state of one flatten walk. `out` is the caller's buffer; lines are
// appended to it.
struct FlattenState {
    std::optional<std::uint64_t> truncation;  // value budget; absent = whole values
    std::optional<std::uint64_t> limit;       // most lines; absent = no limit
    bool objects_too = false;                 // also a line per container
    PathBuilder path;
    std::string* out = nullptr;
    std::uint64_t count = 0;  // lines written so far
};

// Appends one line: path, " = ", then the value (cut by the budget, then
// quoted when `quote`) or, without a value, `placeholder`; then "\n".
// Returns true when the line limit is reached (nothing is written when it
// already was) and the walk must stop.
bool flatten_value_line(FlattenState& st, std::string_view placeholder, std::optional<std::string_view> value,
                        bool quote);

// Reads one object key and the colon after it, and makes the key the path's
// innermost segment (when a segment is open).
platform::Result<platform::Unit, ParseError> flatten_read_key(JsonCursor& c, FlattenState& st);

// Empties `out` and appends one "path = value" line per leaf of the JSON value
// in `value`, paths starting from `prefix`. Strings keep their raw escaped
// body; empty containers give no line. Malformed text ends the walk quietly:
// the lines before the fault stay, and text after the root value is ignored.
void flatten_value(std::string_view value, std::string_view prefix, std::optional<std::uint64_t> truncation,
                   std::string& out);

}  // namespace rova_rudo
