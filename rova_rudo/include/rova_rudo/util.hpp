// Text truncation for every --max-value-bytes option, and the flatten walk:
// "path = value" lines, one per leaf of a JSON value.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "rova_rudo/parser.hpp"
#include "rova_rudo/path.hpp"
#include "rova_rudo/search_request.hpp"

namespace rova_rudo {

// The cut mark, U+2026; it is not counted in the budget.
inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// Absent when `text` is at most `max` bytes long. Otherwise its first bytes up
// to the cut point, then the mark (so up to max + 3 bytes). When the whole text
// is valid UTF-8 the cut point moves down off continuation bytes so no
// character is split; otherwise it is exactly `max`.
std::optional<std::string> truncate_with_ellipsis(std::string_view text, std::uint64_t max);

// What a flatten walk writes.
struct FlattenOptions {
    std::optional<std::uint64_t> truncation;  // value budget (--max-value-bytes); absent = whole values
    std::optional<std::uint64_t> limit;       // most lines (--limit); absent = no limit
    bool objects_too = false;                 // a placeholder line for each container too
};

// The flatten walk, as a visitor of the event walker: one line per scalar,
// "path = value", the value's raw text cut by the budget and then quoted
// when it is a string; with objects_too also "path = {object}" or
// "path = [array]" as each container opens. Lines go to `out`, which gives
//   char* room(std::size_t n);   // room for one line of n bytes; nullptr stops the walk
//   void commit(std::size_t n);  // the line written there
// A line's path leaves out its first `skip` bytes. A walk stops when the
// limit is reached; nothing is written past it.
template <typename Out>
struct FlattenVisitor {
    const FlattenOptions& options;
    Out& out;
    PathBuilder path = new_root_path_dot();
    std::size_t skip = 0;
    std::uint64_t count = 0;  // lines written so far

    // True when the walk must stop.
    bool line(std::string_view text, bool quoted) {
        if (options.limit && count >= *options.limit) return true;
        const std::string_view p = std::string_view(path.text).substr(skip);
        const std::size_t q = quoted ? 1 : 0;
        const std::size_t n = p.size() + 3 + text.size() + 2 * q + 1;
        char* to = out.room(n);
        if (!to) return true;
        std::memcpy(to, p.data(), p.size());
        to += p.size();
        std::memcpy(to, " = ", 3);
        to += 3;
        if (q) *to++ = '"';
        std::memcpy(to, text.data(), text.size());
        to += text.size();
        if (q) *to++ = '"';
        *to = '\n';
        out.commit(n);
        ++count;
        return options.limit && count >= *options.limit;
    }

    bool visitor_enter_array(std::uint64_t) {
        if (options.objects_too && line("[array]", false)) return true;
        path_mark_segment(path);
        return false;
    }
    bool visitor_enter_object(std::uint64_t) {
        if (options.objects_too && line("{object}", false)) return true;
        path_mark_segment(path);
        return false;
    }
    void visitor_array_element(std::uint32_t index) { path_set_index(path, index); }
    std::optional<ParseError> visitor_object_key(JsonCursor& c) {
        return scan_member_key(c, [this](std::string_view key) { path_set_key(path, key); });
    }
    bool visitor_scalar(std::string_view raw, ScalarKind kind) {
        if (!options.truncation) return line(raw, kind == ScalarKind::String);
        const std::optional<std::string> cut = truncate_with_ellipsis(raw, *options.truncation);
        return line(cut ? std::string_view(*cut) : raw, kind == ScalarKind::String);
    }
    bool visitor_exit_container(std::uint64_t) {
        path_pop(path);
        return false;
    }
};

// The `out` of a FlattenVisitor that appends its lines to a string.
struct AppendedLines {
    std::string& text;
    char* room(std::size_t n) {
        const std::size_t at = text.size();
        text.resize(at + n);
        return text.data() + at;
    }
    void commit(std::size_t) {}
};

// Empties `out` and appends one "path = value" line per leaf of the JSON value
// in `value`, paths starting from `prefix`. Strings keep their raw escaped
// body; empty containers give no line. Malformed text ends the walk quietly:
// the lines before the fault stay, and text after the root value is ignored.
void flatten_value(std::string_view value, std::string_view prefix, std::optional<std::uint64_t> truncation,
                   std::string& out);

}  // namespace rova_rudo
