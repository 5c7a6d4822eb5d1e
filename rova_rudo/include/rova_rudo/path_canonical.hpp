// Path texts as users type them, turned into one canonical text.
//
// Accepted forms: the printed form ".users[0].email", the canonical form
// "root.users[0].email", "$.users[0].email" (with quoted bracket keys such as
// "$['my key']"), the JSON Pointer "/users/0/email" and the bare dotted form
// "users.0.email" whose all-digit segments are indices. The canonical text is
// "root" followed by ".key" and "[content]" segments; "[*]" and "[]" pass
// through, so path patterns go through here as well. Only the "$", pointer
// and bare forms are checked here; the other two come back unchecked and
// their faults surface in whoever reads the canonical text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.hpp"

namespace rova_rudo {

// One step of a parsed path: an object key (raw bytes) or an array index.
class PathSegment {
public:
    static PathSegment key(std::string k) { return PathSegment(false, std::move(k), 0); }
    static PathSegment index(std::uint32_t i) { return PathSegment(true, {}, i); }

    bool is_index() const { return is_index_; }
    bool is_key() const { return !is_index_; }
    const std::string& key_text() const { return key_; }  // when is_key()
    std::uint32_t index_value() const { return index_; }  // when is_index()
    bool operator==(const PathSegment&) const = default;

private:
    PathSegment(bool is_index, std::string k, std::uint32_t i) : is_index_(is_index), key_(std::move(k)), index_(i) {}
    bool is_index_ = false;
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
    std::uint8_t code = kEmpty;
    std::string text;
    bool operator==(const PathSyntaxError&) const = default;
};

// E.g. "unclosed '[' in '.a[0'"; callers put "invalid path '...': " before it.
std::string path_syntax_error_display(const PathSyntaxError& e);

platform::Result<CanonicalPath, PathSyntaxError> canonicalize_path(std::string_view path);

// The segment text (without "root") of a "$" or bare path body: dots separate,
// quoted bracket keys become ".key", other brackets pass through, all-digit
// bare runs become "[n]". Fails only on a "[" without a later "]".
platform::Result<std::string, PathSyntaxError> normalize_path_segments(std::string_view text);

}  // namespace rova_rudo
