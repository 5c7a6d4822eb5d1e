// Compiled search texts. A TextMatcher answers, for a raw byte string (an
// object key or a scalar token as the input spells it, escapes undecoded):
// does the text occur in it, and where does the first occurrence start.
// Outside regular expressions the only folding is ASCII A-Z.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.hpp"
#include "rova_rudo/byte_search.hpp"
#include "rova_rudo/regex.hpp"
#include "rova_rudo/search_request.hpp"

namespace re2 {
class RE2;
}

namespace rova_rudo {

enum class TextMatcherKind : std::uint8_t {
    Literal = 0,       // case-sensitive substring
    AsciiNoCase = 1,   // ASCII case-insensitive substring (all-ASCII text)
    EscapedRegex = 2,  // case-insensitive text with non-ASCII bytes, as a literal expression
    UserRegex = 3,     // the text is a regular expression
    None = 4,          // no text for this slot
};

// The payload of an AsciiNoCase matcher: the text with A-Z lowered, its first
// byte and that byte's upper-case form (equal to `first` for a non-letter; both
// 0 for an empty text).
struct AsciiNoCaseNeedle {
    std::string_view lowered;
    std::uint8_t first = 0;
    std::uint8_t first_alt = 0;
    std::size_t probe = 0;  // as ascii_nocase_probe(lowered)
};

// Copying a regular-expression matcher shares its compiled program: RE2
// matches from any thread with one program, and keeps the lazy-DFA cache of
// each program behind its own lock.
struct QueryMatchers;

class TextMatcher {
public:
    TextMatcher();  // None
    TextMatcher(const TextMatcher& o);
    TextMatcher& operator=(const TextMatcher& o);
    TextMatcher(TextMatcher&&) noexcept;
    TextMatcher& operator=(TextMatcher&&) noexcept;
    ~TextMatcher();

    TextMatcherKind kind() const { return kind_; }
    bool is_none() const { return kind_ == TextMatcherKind::None; }
    // Literal: the text; AsciiNoCase: the lowered text; regex kinds: the
    // pattern as handed to RE2 (escaped for EscapedRegex, translated for
    // UserRegex).
    const std::string& bytes() const { return bytes_; }
    // AsciiNoCase only.
    AsciiNoCaseNeedle ascii_needle() const { return {bytes_, first_, first_alt_, probe_}; }
    std::size_t ascii_probe() const { return probe_; }
    // Literal only.
    const SubstringFinder& finder() const { return finder_; }
    // Regex kinds only.
    const re2::RE2* regex() const { return re_.get(); }

private:
    friend platform::Result<TextMatcher, SearchError> build_text_matcher(std::string_view, bool, bool);
    friend QueryMatchers with_own_programs(const QueryMatchers& m);
    TextMatcherKind kind_ = TextMatcherKind::None;
    std::string bytes_;
    std::uint8_t first_ = 0;
    std::uint8_t first_alt_ = 0;
    std::size_t probe_ = 0;          // AsciiNoCase
    bool case_insensitive_ = false;  // regex kinds
    SubstringFinder finder_;         // Literal
    std::shared_ptr<const re2::RE2> re_;
};

// The matchers of one search: for object keys and for scalar values.
struct QueryMatchers {
    TextMatcher key;
    TextMatcher value;
};

// The same matchers with regular-expression programs of their own (one, when
// key and value share one), for a thread that matches beside the others: RE2
// takes a program's lazy-DFA cache lock on every match, which threads that
// share a program contend for. Costs a compile per program.
QueryMatchers with_own_programs(const QueryMatchers& m);

// A matcher of kind Literal, AsciiNoCase, EscapedRegex or UserRegex for
// `text`; fails with SearchError kind Regex and the library's message when
// an expression does not compile.
platform::Result<TextMatcher, SearchError> build_text_matcher(std::string_view text, bool case_sensitive,
                                                              bool is_regex);

// Both matchers from the query's term (or, without one, its key and value
// texts), with its case_sensitive and regex flags.
platform::Result<QueryMatchers, SearchError> build_matchers(const SearchQuery& q);

// Offset of the first occurrence of the needle in `hay`, folding A-Z on both
// sides; an empty needle is found at 0.
std::optional<std::size_t> ascii_nocase_find(const AsciiNoCaseNeedle& needle, std::string_view hay);

// Whether the matcher occurs in `hay`. Not for a None matcher.
bool text_matcher_is_match(const TextMatcher& m, std::string_view hay);

namespace detail {
std::optional<std::size_t> text_matcher_find_other(const TextMatcher& m, std::string_view hay);
}

// Where the matcher's first (leftmost) match in `hay` starts. Not for a None matcher.
// The in-memory engine asks this of every key and scalar, most of them
// shorter than the text: the plain-text kinds are settled inline.
inline std::optional<std::size_t> text_matcher_find(const TextMatcher& m, std::string_view hay) {
    if (m.kind() == TextMatcherKind::AsciiNoCase) {
        const std::string& lowered = m.bytes();
        if (hay.size() < lowered.size()) return std::nullopt;
        const std::size_t at = find_ascii_nocase(hay, lowered, m.ascii_probe());
        if (at == kNotFound) return std::nullopt;
        return at;
    }
    if (m.kind() == TextMatcherKind::Literal) {
        if (hay.size() < m.bytes().size()) return std::nullopt;
        const std::size_t at = m.finder().find(hay);
        if (at == kNotFound) return std::nullopt;
        return at;
    }
    return detail::text_matcher_find_other(m, hay);
}

// text_matcher_find for a walk that asks about views into one document, in
// ascending order (keys and scalars as a forward walker meets them). For the
// plain-text kinds the document itself is searched ahead in windows, and a text
// that ends before the next occurrence is settled by two comparisons instead
// of a search of its own; the first occurrence at or after a text's start is
// inside the text exactly when the text's own search finds it there, so every
// answer is the one text_matcher_find gives. Regex kinds, and a view that is
// not inside the document or lies behind an earlier one, are asked directly.
class DocumentMatcher {
public:
    DocumentMatcher(const TextMatcher& m, std::string_view document);

    // Where the first match in `hay` starts, or kNotFound.
    std::size_t find(std::string_view hay) {
        if (ahead_) {
            if (hay.size() < n_) return kNotFound;
            const std::uint64_t s = reinterpret_cast<std::uintptr_t>(hay.data()) - doc_start_;
            if (s >= from_ && s <= doc_size_ - hay.size()) {
                const std::uint64_t last = s + hay.size() - n_;  // the last start that fits in hay
                if (!found_) {
                    if (next_ > last) return kNotFound;
                } else if (next_ >= s) {
                    return next_ <= last ? static_cast<std::size_t>(next_ - s) : kNotFound;
                }
            }
        }
        return find_slow(hay);
    }

private:
    std::size_t find_slow(std::string_view hay);
    void look_ahead(std::uint64_t at);

    const TextMatcher& m_;
    std::uintptr_t doc_start_;
    std::uint64_t doc_size_;
    std::size_t n_ = 0;
    bool ahead_ = false;  // searching ahead in the document
    // No occurrence starts in [from_, next_); next_ is one when found_.
    bool found_ = false;
    std::uint64_t from_ = 0;
    std::uint64_t next_ = 0;
};

}  // namespace rova_rudo
