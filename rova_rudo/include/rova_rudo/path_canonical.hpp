// Path texts as users type them, turned into one canonical text.
//
// Accepted forms: the printed form ".users[0].email", the canonical form
// "root.users[0].email", "$.users[0].email" (with quoted bracket keys such as
// "$['my key']"), the JSON Pointer "/users/0/email" and the bare dotted form
// "users.0.email" whose all-digit segments are indices. The canonical text is
// "root" followed by ".key", "[content]" and quoted "['key']" segments; "[*]"
// and "[]" pass through, so path patterns go through here as well. Only the
// "$", pointer and bare forms are checked here; the other two come back
// unchecked and their faults surface in whoever reads the canonical text,
// segment by segment with read_canonical_segment.
//
// A quoted key, in any form, runs from its opening quote to the first same
// quote directly followed by "]", so it may hold dots, brackets, slashes and
// the other quote; nothing inside is unescaped, since keys are compared in
// their raw escaped form. The canonical text quotes a key only when ".key"
// would not read back as that one key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/result.hpp"

namespace rova_rudo {

// One step of a parsed path: an object key (raw bytes), an array index, or,
// for a JSON Pointer's all-digit segment, either of the two: the member of
// that name in an object, the element of that index in an array.
class PathSegment {
public:
    static PathSegment key(std::string k) { return PathSegment(kMember, std::move(k), 0); }
    static PathSegment index(std::uint32_t i) { return PathSegment(kElement, {}, i); }
    static PathSegment key_or_index(std::string digits, std::uint32_t i) {
        return PathSegment(kMember | kElement, std::move(digits), i);
    }

    bool is_key() const { return (names_ & kMember) != 0; }     // names an object member
    bool is_index() const { return (names_ & kElement) != 0; }  // names an array element
    const std::string& key_text() const { return key_; }        // when is_key()
    std::uint32_t index_value() const { return index_; }        // when is_index()
    // Keeps only the meaning that the container met has taken.
    void settle(bool as_key) { names_ = as_key ? kMember : kElement; }
    bool operator==(const PathSegment&) const = default;

private:
    static constexpr std::uint8_t kMember = 1, kElement = 2;
    PathSegment(std::uint8_t names, std::string k, std::uint32_t i) : names_(names), key_(std::move(k)), index_(i) {}
    std::uint8_t names_ = kMember;
    std::string key_;
    std::uint32_t index_ = 0;
};

// The form a path text was recognised in; the values are stable.
enum class PathForm : std::uint8_t {
    Canonical = 0,    // "root", "root.a", "root[0]"
    Jq = 1,           // starts with "." (the printed form)
    JsonPath = 2,     // "$", "$.a", "$[0]"
    JsonPointer = 3,  // starts with "/"
    Lodash = 4,       // anything else (bare dotted form)
};

// The form's name in the "coerced ... path" note; empty for the canonical and
// printed forms, which get no note.
std::string_view path_form_note_name(PathForm form);

struct CanonicalPath {
    std::string text;
    PathForm form = PathForm::Canonical;
};

struct PathSyntaxError {
    static constexpr std::uint8_t kEmpty = 0;            // no text
    static constexpr std::uint8_t kPointerEscape = 1;    // the raw pointer segment
    static constexpr std::uint8_t kUnclosedBracket = 2;  // the text being normalised
    static constexpr std::uint8_t kEmptySegment = 3;     // the whole path
    static constexpr std::uint8_t kUnquotableKey = 4;    // the unescaped pointer segment
    std::uint8_t code = kEmpty;
    std::string text;
    bool operator==(const PathSyntaxError&) const = default;
};

// E.g. "unclosed '[' in '.a[0'"; callers put "invalid path '...': " before it.
std::string path_syntax_error_display(const PathSyntaxError& e);

platform::Result<CanonicalPath, PathSyntaxError> canonicalize_path(std::string_view path);

// The segment text (without "root") of a "$" or bare path body: dots separate,
// quoted bracket keys become ".key" (or stay quoted when they must), other
// brackets pass through, all-digit bare runs become "[n]". Fails only on a
// "[" without a later "]".
platform::Result<std::string, PathSyntaxError> normalize_path_segments(std::string_view text);

// An unsigned 32-bit decimal with at most one leading "+"; leading zeros allowed.
std::optional<std::uint32_t> parse_path_index(std::string_view text);

// One segment of a canonical text, as read_canonical_segment found it.
struct CanonicalSegment {
    enum class Kind : std::uint8_t {
        Name,        // ".name": up to the next "." or "["; may be empty or "*"
        Key,         // a quoted key, or a pointer's digits too long for an index: one key, whole
        Index,       // "[n]" with n an index
        KeyOrIndex,  // "[n]" read from a JSON Pointer: the member "n" or the element n
        Bracket,     // any other "[content]"
    };
    Kind kind = Kind::Name;
    std::string_view text;  // the name, the key, or the digits or content between the brackets
    std::uint32_t index = 0;
};

enum class SegmentFault : std::uint8_t {
    None,
    Unclosed,    // a "[" without a later "]"
    Unexpected,  // a byte that starts no segment (after a "]")
};

// Reads the segment that starts at `pos` of canonical text `c` (past "root")
// and moves `pos` past it. `form` is the form the text was recognised in: a
// JSON Pointer's "[digits]" names a member as well as an element.
SegmentFault read_canonical_segment(std::string_view c, std::size_t& pos, PathForm form, CanonicalSegment& out);

}  // namespace rova_rudo
