// Looking up the value that a canonical path names, in one forward pass over
// the raw document bytes, without building a tree.
//
// The walk reads only as far as it must: it stops right after the target, as
// soon as the container that would have to hold it closes, or at a scalar
// below which the path would have to continue. Bytes after that point are
// never read, so a document broken further on still yields earlier values.
// Keys are compared byte for byte in their raw escaped form. A syntax fault
// before the stop point fails the lookup even when it lies off the path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.hpp"
#include "rova_rudo/parser.hpp"
#include "rova_rudo/path_canonical.hpp"

namespace rova_rudo {

enum class GetValueKind : std::uint8_t { Null = 0, Boolean = 1, Number = 2, String = 3, Object = 4, Array = 5 };

// The located value, borrowed from the document: a string includes its
// quotes, a container runs from its opener to one past its closer.
struct ValueSpan {
    const char* start = nullptr;
    std::uint64_t len = 0;
    GetValueKind kind = GetValueKind::Null;

    std::string_view text() const { return {start, static_cast<std::size_t>(len)}; }
};

struct GetError {
    // The values are stable (variant() hands them out); the front end maps
    // each kind to its exit code by name.
    enum class Kind : std::uint8_t {
        EmptyPath = 0,
        BadStart = 1,
        MalformedSegment = 2,  // path: the whole canonical text
        KeyNotFound = 3,       // key, at
        IndexOutOfBounds = 4,  // index, at
        TypeMismatch = 5,      // at, expected, found ("array" / "object")
        Parse = 6,             // parse
    };
    Kind kind = Kind::EmptyPath;
    std::string path;
    std::string key;
    std::string at;  // a printed path such as ".users[0]"
    std::uint32_t index = 0;
    std::string_view expected;
    std::string_view found;
    ParseError parse;

    std::uint8_t variant() const { return static_cast<std::uint8_t>(kind); }
};

// E.g. "key 'x' not found at .a" or "index [3] out of bounds at .a".
std::string get_error_display(const GetError& e);

// The segments of a canonical text ("root..." or "$...") recognised in
// `form`; fails with EmptyPath, BadStart or MalformedSegment.
platform::Result<std::vector<PathSegment>, GetError> parse_canonical_segments(std::string_view canonical,
                                                                              PathForm form = PathForm::Canonical);

// The value at `canonical` in `document`. Without segments ("root", "$") the
// whole document, trimmed of whitespace, is returned unread beyond its first
// byte, which decides the kind.
platform::Result<ValueSpan, GetError> get_value_at_path(std::string_view document, std::string_view canonical,
                                                        PathForm form = PathForm::Canonical);

}  // namespace rova_rudo
