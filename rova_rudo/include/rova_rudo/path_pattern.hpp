// The compiled form of `search --path`: a sequence of segment patterns that
// the in-memory search follows while it walks, one comparison per member or
// element, without ever building a path text for matching.
//
// Segments must occur in order along a position's path, each deeper than the
// previous one, with any levels before, between and below them (`.a.b`
// selects `.a.b`, `.x.a.b`, `.a.x.b.c`). A position is complete once every
// segment has matched; everything inside a complete position is complete.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.hpp"

namespace rova_rudo {

struct PathSegmentPattern {
    enum class Kind : std::uint8_t {
        Key,         // a member whose raw key bytes equal `key`
        AnyKey,      // ".*": any member
        Index,       // an element with index `index`
        AnyIndex,    // "[*]" or "[]": any element
        KeyOrIndex,  // a JSON Pointer's digits: the member `key` or the element `index`
    };
    Kind kind = Kind::AnyKey;
    std::string key;
    std::uint32_t index = 0;

    bool operator==(const PathSegmentPattern&) const = default;

    bool matches_key(std::string_view raw_key) const {
        return kind == Kind::AnyKey || ((kind == Kind::Key || kind == Kind::KeyOrIndex) && raw_key == key);
    }
    bool matches_index(std::uint32_t i) const {
        return kind == Kind::AnyIndex || ((kind == Kind::Index || kind == Kind::KeyOrIndex) && index == i);
    }
};

// May be empty ("$", "root", "."): then every position is complete.
using PathPattern = std::vector<PathSegmentPattern>;

// Compiles the pattern as typed, in any accepted path form. Fails with the
// message to print after "bad --path": the path form's own message, or
// "empty path segment", "unclosed '[' in path", "invalid array index '{}'",
// "unexpected '{}' in path".
platform::Result<PathPattern, std::string> compile_path_pattern(std::string_view text);

// The progress rules. `base` is the progress saved for the enclosing
// container (0 at the top level); each returns the new progress.
inline std::uint32_t pattern_key_step(const PathPattern& p, std::uint32_t base, std::string_view raw_key) {
    return base < p.size() && p[base].matches_key(raw_key) ? base + 1 : base;
}
inline std::uint32_t pattern_index_step(const PathPattern& p, std::uint32_t base, std::uint32_t index) {
    return base < p.size() && p[base].matches_index(index) ? base + 1 : base;
}
// Whether a container whose own position has progress `p` and whose parent's
// saved progress is `parent` is the pattern's anchor.
inline bool pattern_is_anchor(const PathPattern& pat, std::uint32_t p, std::uint32_t parent) {
    return !pat.empty() && p == pat.size() && parent < pat.size();
}

}  // namespace rova_rudo
