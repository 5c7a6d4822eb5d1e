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

// The same printed path for a walk that needs the text only now and then
// (when it reports something): each step records the segment (a key as a
// view into the walked bytes, or an index), and text() spells what changed
// since it was last asked. Keys must stay valid while their segment is open.
// text() equals what a PathBuilder given the same steps would hold.
class DeferredPath {
public:
    void enter_array() { segments_.push_back({{}, 0, true}); }
    void enter_object() { segments_.push_back({{}, 0, false}); }
    // Like path_set_index and path_set_key on the innermost segment; a no-op
    // with no open segment.
    void set_index(std::uint32_t index) {
        if (segments_.empty()) return;
        segments_.back().index = index;
        changed(segments_.size() - 1);
    }
    void set_key(std::string_view key) {
        if (segments_.empty()) return;
        segments_.back().key = key;
        segments_.back().has_key = true;
        changed(segments_.size() - 1);
    }
    void pop() {
        if (segments_.empty()) return;
        segments_.pop_back();
        changed(segments_.size());
    }
    // The printed path of the current position.
    const std::string& text();

private:
    struct Segment {
        std::string_view key;
        std::uint32_t index = 0;
        bool is_array = false;
        bool has_key = false;
    };
    void changed(std::size_t depth) {
        if (spelled_ > depth) spelled_ = depth;
    }
    std::vector<Segment> segments_;
    std::string text_ = ".";
    std::vector<std::size_t> ends_;  // text_'s length after each spelled segment
    std::size_t spelled_ = 0;        // the leading segments text_ spells
};

}  // namespace rova_rudo
