#include "rova_rudo/path.hpp"

#include <charconv>
#include <cstring>

#include "platform/utf8.hpp"

namespace rova_rudo {

namespace {

// The guard keeps a builder whose text was shortened by hand from growing
// garbage: a start beyond the text is left alone.
void truncate_to_last_start(PathBuilder& b) {
    const std::uint64_t s = b.starts.back();
    if (s <= b.text.size()) b.text.resize(static_cast<std::size_t>(s));
}

void append_index(std::string& text, std::uint32_t index) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, index);
    text += '[';
    text.append(buf, r.ptr);
    text += ']';
}

}  // namespace

PathBuilder new_root_path_dot() { return PathBuilder{}; }

void path_enter_array(PathBuilder& b) {
    b.starts.push_back(b.text.size());
    b.text += "[0]";
}

void path_mark_segment(PathBuilder& b) { b.starts.push_back(b.text.size()); }

void path_set_index(PathBuilder& b, std::uint32_t index) {
    if (b.starts.empty()) return;
    truncate_to_last_start(b);
    append_index(b.text, index);
}

void path_pop(PathBuilder& b) {
    if (b.starts.empty()) return;
    truncate_to_last_start(b);
    b.starts.pop_back();
}

void path_push_key(std::string& text, std::string_view key) {
    if (text.empty() || text.back() != '.') text += '.';
    // Nearly every key is short ASCII; settle that without the full check,
    // eight bytes at a time, the last eight (or four) overlapping the rest
    // so that a short key takes one or two loads and no byte loop.
    const char* p = key.data();
    const std::size_t n = key.size();
    auto load = [p](std::size_t at, std::size_t width) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + at, width);
        return w;
    };
    std::uint64_t high = 0;
    if (n >= 8) {
        high = load(n - 8, 8);
        for (std::size_t i = 0; i + 8 < n; i += 8) high |= load(i, 8);
    } else if (n >= 4) {
        high = load(0, 4) | load(n - 4, 4);
    } else if (n > 0) {
        high = load(0, 1) | load(n / 2, 1) | load(n - 1, 1);
    }
    if ((high & 0x8080808080808080ull) == 0) {
        text.append(key);
        return;
    }
    platform::append_replacing_non_ascii_unless_valid(text, key);
}

void path_set_key(PathBuilder& b, std::string_view key) {
    if (!b.starts.empty()) truncate_to_last_start(b);
    path_push_key(b.text, key);
}

const std::string& DeferredPath::text() {
    if (spelled_ == segments_.size() && ends_.size() == spelled_) return text_;
    text_.resize(spelled_ == 0 ? 1 : ends_[spelled_ - 1]);
    ends_.resize(spelled_);
    for (std::size_t i = spelled_; i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        if (s.is_array) append_index(text_, s.index);
        else if (s.has_key) path_push_key(text_, s.key);
        ends_.push_back(text_.size());
    }
    spelled_ = segments_.size();
    return text_;
}

}  // namespace rova_rudo
