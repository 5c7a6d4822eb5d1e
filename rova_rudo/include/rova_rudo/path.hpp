// The printed path of a walk's current position, as ".users[0].email" ("."
// for the root). Keys are appended raw (not quoted, not escaped), so a key
// holding "." or "[" cannot be told apart in the printed path.
//
// A walk reuses one builder: enter a container, set the index or key of each
// member, pop at the closer.
//   "[" : path_enter_array; empty array: path_pop at once
//   each element: path_set_index(i)
//   "{" : path_mark_segment; empty object: path_pop at once
//   each key: path_set_key(builder, raw key)
//   "]" / "}" of a non-empty container: path_pop
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rova_rudo {

struct PathBuilder {
    std::string text = ".";
    // Offset in text where each open segment begins; ascending, innermost last.
    std::vector<std::uint64_t> starts;
};

// A builder at the root: text ".", no open segment.
PathBuilder new_root_path_dot();

// Opens an array segment and appends "[0]".
void path_enter_array(PathBuilder& b);

// Opens an object segment without appending anything; each key replaces it.
void path_mark_segment(PathBuilder& b);

// Replaces the innermost segment with "[index]"; no-op with no open segment.
void path_set_index(PathBuilder& b, std::uint32_t index);

// Closes the innermost segment, truncating text to where it began; no-op with
// no open segment.
void path_pop(PathBuilder& b);

// Appends "." (unless text already ends with ".") and the key. A key that is
// not valid UTF-8 as a whole is appended byte by byte with every byte >= 0x80
// replaced by U+FFFD. Pushes no segment start.
void path_push_key(std::string& text, std::string_view key);

// Replaces the innermost segment with the key: truncates text to the last
// start (if any), then path_push_key.
void path_set_key(PathBuilder& b, std::string_view key);

}  // namespace rova_rudo
