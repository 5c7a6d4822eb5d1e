#include "unicode_sets.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/utf8.hpp"

namespace rova_rudo::unicode {

namespace {

// Members lo, lo+step, ..., hi of case-folding orbits, each followed in its
// orbit by the member delta away.
struct FoldRun {
    char32_t lo, hi;
    int step;
    int delta;
};
enum class PropertyKind : std::uint8_t { Binary, Category, Script, ScriptExtensions };
// The ranges kPropertyRanges[begin, end) of the property named `name`.
struct UnicodeProperty {
    PropertyKind kind;
    const char* name;
    std::uint32_t begin, end;
};
#include "unicode_tables.inc"

constexpr CodeRange kSurrogates{0xD800, 0xDFFF};

template <std::size_t N>
Ranges table(const CodeRange (&t)[N]) {
    return Ranges(t, t + N);
}

bool same(const Ranges& a, const Ranges& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const CodeRange& x, const CodeRange& y) { return x.lo == y.lo && x.hi == y.hi; });
}

std::optional<Ranges> lookup(PropertyKind kind, const std::string& name) {
    const auto* end = std::end(kUnicodeProperties);
    const auto* at = std::lower_bound(std::begin(kUnicodeProperties), end, name,
                                      [&](const UnicodeProperty& p, const std::string& n) {
                                          return p.kind != kind ? p.kind < kind : std::strcmp(p.name, n.c_str()) < 0;
                                      });
    if (at == end || at->kind != kind || name != at->name) return std::nullopt;
    return scalars_of(Ranges(kPropertyRanges + at->begin, kPropertyRanges + at->end));
}

std::string loose(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == '_' || c == '-') continue;
        out += platform::ascii_lower(c);
    }
    return out;
}

}  // namespace

void normalize(Ranges& r) {
    std::sort(r.begin(), r.end(), [](const CodeRange& a, const CodeRange& b) { return a.lo < b.lo; });
    std::size_t k = 0;
    for (const CodeRange& x : r) {
        if (k > 0 && x.lo <= r[k - 1].hi + 1) {
            r[k - 1].hi = std::max(r[k - 1].hi, x.hi);
        } else {
            r[k++] = x;
        }
    }
    r.resize(k);
}

Ranges complement(const Ranges& r) {
    Ranges out;
    char32_t next = 0;
    for (const CodeRange& x : r) {
        if (x.lo > next) out.push_back({next, x.lo - 1});
        next = x.hi + 1;
    }
    if (next <= kMaxCode) out.push_back({next, kMaxCode});
    return scalars_of(std::move(out));
}

Ranges intersect(const Ranges& a, const Ranges& b) {
    Ranges out;
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const char32_t lo = std::max(a[i].lo, b[j].lo);
        const char32_t hi = std::min(a[i].hi, b[j].hi);
        if (lo <= hi) out.push_back({lo, hi});
        if (a[i].hi < b[j].hi) ++i;
        else ++j;
    }
    return out;
}

void add_all(Ranges& a, const Ranges& b) {
    a.insert(a.end(), b.begin(), b.end());
    normalize(a);
}

Ranges scalars_of(Ranges r) {
    if (!std::any_of(r.begin(), r.end(),
                     [](const CodeRange& x) { return x.lo <= kSurrogates.hi && x.hi >= kSurrogates.lo; }))
        return r;
    Ranges out;
    for (const CodeRange& x : r) {
        if (x.lo < kSurrogates.lo) out.push_back({x.lo, std::min<char32_t>(x.hi, kSurrogates.lo - 1)});
        if (x.hi > kSurrogates.hi) out.push_back({std::max<char32_t>(x.lo, kSurrogates.hi + 1), x.hi});
    }
    return out;
}

void case_fold(Ranges& r) {
    normalize(r);
    // The runs are sorted by their first member but overlap (a step-2 run
    // interleaves with another): reach[k] is the largest member of runs 0..k,
    // so the runs that can meet a range start at the first whose reach does.
    static const std::vector<char32_t> reach = [] {
        std::vector<char32_t> out;
        char32_t most = 0;
        for (const FoldRun& f : kFoldRuns) out.push_back(most = std::max(most, f.hi));
        return out;
    }();
    for (int round = 1; round < kLargestFoldOrbit; ++round) {
        Ranges more;
        for (const CodeRange& x : r) {
            for (std::size_t k =
                     static_cast<std::size_t>(std::lower_bound(reach.begin(), reach.end(), x.lo) - reach.begin());
                 k < std::size(kFoldRuns) && kFoldRuns[k].lo <= x.hi; ++k) {
                const FoldRun& f = kFoldRuns[k];
                char32_t lo = std::max(f.lo, x.lo);
                const char32_t hi = std::min(f.hi, x.hi);
                if (lo > hi) continue;
                if (f.step == 1) {
                    more.push_back({lo + f.delta, hi + f.delta});
                    continue;
                }
                if ((lo - f.lo) % 2 != 0) ++lo;
                for (char32_t c = lo; c <= hi; c += 2) more.push_back({c + f.delta, c + f.delta});
            }
        }
        const Ranges before = r;
        add_all(r, more);
        if (same(r, before)) break;
    }
}

Ranges perl_class(char letter) {
    static const Ranges word = table(kWordRanges), digit = table(kDigitRanges), space = table(kSpaceRanges);
    static const Ranges not_word = complement(word), not_digit = complement(digit), not_space = complement(space);
    switch (letter) {
        case 'w': return word;
        case 'W': return not_word;
        case 'd': return digit;
        case 'D': return not_digit;
        case 's': return space;
        default: return not_space;
    }
}

bool is_space(char32_t c) {
    for (const CodeRange& x : kSpaceRanges)
        if (c >= x.lo && c <= x.hi) return true;
    return false;
}

std::optional<Ranges> ascii_class(std::string_view name) {
    struct Entry {
        const char* name;
        std::vector<CodeRange> ranges;
    };
    static const Entry entries[] = {
        {"alnum", {{'0', '9'}, {'A', 'Z'}, {'a', 'z'}}},
        {"alpha", {{'A', 'Z'}, {'a', 'z'}}},
        {"ascii", {{0, 0x7F}}},
        {"blank", {{'\t', '\t'}, {' ', ' '}}},
        {"cntrl", {{0, 0x1F}, {0x7F, 0x7F}}},
        {"digit", {{'0', '9'}}},
        {"graph", {{'!', '~'}}},
        {"lower", {{'a', 'z'}}},
        {"print", {{' ', '~'}}},
        {"punct", {{'!', '/'}, {':', '@'}, {'[', '`'}, {'{', '~'}}},
        {"space", {{'\t', '\r'}, {' ', ' '}}},
        {"upper", {{'A', 'Z'}}},
        {"word", {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}}},
        {"xdigit", {{'0', '9'}, {'A', 'F'}, {'a', 'f'}}},
    };
    for (const Entry& e : entries)
        if (name == e.name) return e.ranges;
    return std::nullopt;
}

std::optional<Ranges> property_set(std::string_view name) {
    const std::size_t eq = name.find('=');
    if (eq != std::string_view::npos) {
        const std::string key = loose(name.substr(0, eq));
        const std::string value = loose(name.substr(eq + 1));
        if (key == "gc" || key == "generalcategory") return lookup(PropertyKind::Category, value);
        if (key == "sc" || key == "script") return lookup(PropertyKind::Script, value);
        if (key == "scx" || key == "scriptextensions") return lookup(PropertyKind::ScriptExtensions, value);
        return std::nullopt;
    }
    // A bare name is a binary property, else a general category, else a script.
    const std::string n = loose(name);
    for (const PropertyKind kind : {PropertyKind::Binary, PropertyKind::Category, PropertyKind::Script})
        if (auto r = lookup(kind, n)) return r;
    return std::nullopt;
}

}  // namespace rova_rudo::unicode
