// Sets of Unicode code points as sorted ranges, the algebra the regular
// expression translator builds classes with, and the Unicode tables it reads
// them from: the \w \d \s classes, simple case folding and the named
// properties. RE2 offers no interface to its own tables, so these are
// generated from the same Unicode version (scripts/unicode_tables.pl).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace rova_rudo::unicode {

struct CodeRange {
    char32_t lo, hi;
};
// Sorted, disjoint and not adjacent once normalized.
using Ranges = std::vector<CodeRange>;

inline constexpr char32_t kMaxCode = 0x10FFFF;

void normalize(Ranges& r);
// The scalar values (code points but the surrogates D800-DFFF) not in `r`:
// no complement may stand for a character that well-formed UTF-8 cannot hold.
Ranges complement(const Ranges& r);
Ranges intersect(const Ranges& a, const Ranges& b);
// `a` joined by `b`, normalized.
void add_all(Ranges& a, const Ranges& b);
// `r` without the surrogates.
Ranges scalars_of(Ranges r);
// Adds to `r` every code point that simple case folding makes equal to one in it.
void case_fold(Ranges& r);

// \w \d \s, or their complements for the upper-case letters.
Ranges perl_class(char letter);
bool is_space(char32_t c);
// The ASCII class written [:name:] inside a bracketed class.
std::optional<Ranges> ascii_class(std::string_view name);

// The scalar values of a Unicode property as a pattern names it inside
// \p{...} (or the one letter of \pL): a general category, script or binary
// property by any of its names, or gc=, sc=, scx= (General_Category=,
// Script=, Script_Extensions=) and a value; names compare without regard to
// case, spaces, '_' and '-'. Nothing for a name that is not known.
std::optional<Ranges> property_set(std::string_view name);

}  // namespace rova_rudo::unicode
