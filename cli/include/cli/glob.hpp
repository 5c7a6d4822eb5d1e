// File-name pattern expansion for the search command's file argument.
//
// A pattern is split at '/' into components. A component without wildcards
// is a literal step; `?` matches one character, `*` any run of characters
// within one component, `[...]` one character of a set (ranges `a-z`; `[!...]`
// the complement; a ']' right after '[' or '[!' is literal), and a component
// that is exactly `**` matches zero or more directories. Wildcards match a
// leading '.', matching is case-sensitive, the entries of every directory are
// visited in sorted order and unreadable directories are skipped. `**`
// follows linked directories, except a link back into a directory that it is
// already inside (a link cycle).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.hpp"

namespace cli {

struct GlobError {
    std::size_t position = 0;  // in characters from the start of the pattern
    std::string message;       // e.g. "invalid range pattern"
    // "Pattern syntax error near position {}: {}"
    std::string text() const;
};

// True when `s` holds a wildcard character ('*', '?' or '[').
bool has_glob_chars(std::string_view s);

// The paths that match `pattern`, in visiting order, without duplicates.
// Paths keep the pattern's own spelling of its literal prefix ("./a/x.json").
platform::Result<std::vector<std::string>, GlobError> expand_glob(std::string_view pattern);

}  // namespace cli
