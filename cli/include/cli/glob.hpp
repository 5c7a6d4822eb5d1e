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
#include <functional>
#include <memory>
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

// Takes each matching path in turn, and whether the directory listing
// showed it as a regular file itself (not a link, not found by name alone).
using GlobSink = std::function<void(std::string path, bool listed_regular)>;

// A pattern read once, walked as often as wanted.
class Glob {
public:
    static platform::Result<Glob, GlobError> compile(std::string_view pattern);
    Glob(Glob&&) noexcept;
    Glob& operator=(Glob&&) noexcept;
    ~Glob();
    // Hands each matching path to `found` as it is met, in the order and
    // with the spelling of expand_glob, each once.
    void walk(const GlobSink& found) const;

private:
    struct Compiled;
    explicit Glob(std::unique_ptr<Compiled> c);
    std::unique_ptr<Compiled> compiled_;
};

// The paths that match `pattern`, in visiting order, without duplicates.
// Paths keep the pattern's own spelling of its literal prefix ("./a/x.json").
platform::Result<std::vector<std::string>, GlobError> expand_glob(std::string_view pattern);

}  // namespace cli
