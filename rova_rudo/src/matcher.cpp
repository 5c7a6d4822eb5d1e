#include "rova_rudo/matcher.hpp"

#include <re2/re2.h>

#include <algorithm>

#include "rova_rudo/byte_search.hpp"
#include "platform/utf8.hpp"

namespace rova_rudo {

namespace {

// The characters the expression syntax treats specially; everything else,
// non-ASCII included, stands for itself.
bool needs_escape(char c) {
    switch (c) {
        case '#':
        case '$':
        case '&':
        case '(':
        case ')':
        case '*':
        case '+':
        case '-':
        case '.':
        case '?':
        case '[':
        case '\\':
        case ']':
        case '^':
        case '{':
        case '|':
        case '}':
        case '~': return true;
        default: return false;
    }
}

}  // namespace

TextMatcher::TextMatcher() = default;
TextMatcher::TextMatcher(const TextMatcher&) = default;
TextMatcher& TextMatcher::operator=(const TextMatcher&) = default;
TextMatcher::TextMatcher(TextMatcher&&) noexcept = default;
TextMatcher& TextMatcher::operator=(TextMatcher&&) noexcept = default;
TextMatcher::~TextMatcher() = default;

platform::Result<TextMatcher, SearchError> build_text_matcher(std::string_view text, bool case_sensitive,
                                                              bool is_regex) {
    TextMatcher m;
    if (!is_regex && case_sensitive) {
        m.kind_ = TextMatcherKind::Literal;
        m.bytes_.assign(text);
        m.finder_ = SubstringFinder(text);
        return m;
    }
    bool ascii = true;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    if (!is_regex && ascii) {
        m.kind_ = TextMatcherKind::AsciiNoCase;
        m.bytes_ = platform::ascii_lowered(text);
        if (!m.bytes_.empty()) {
            m.first_ = static_cast<std::uint8_t>(m.bytes_[0]);
            m.first_alt_ = (m.first_ >= 'a' && m.first_ <= 'z') ? static_cast<std::uint8_t>(m.first_ - 0x20) : m.first_;
        }
        m.probe_ = ascii_nocase_probe(m.bytes_);
        return m;
    }
    if (is_regex) {
        auto re = shared_regex(text, RegexOptions{.case_insensitive = !case_sensitive});
        if (!re) return platform::Err{SearchError::regex(std::move(re).error())};
        m.kind_ = TextMatcherKind::UserRegex;
        m.case_insensitive_ = !case_sensitive;
        m.bytes_ = std::move(re->pattern);
        m.re_ = std::move(re->re);
        return m;
    }
    {
        // The escaped characters are all ASCII, so escaping byte by byte is the
        // same as escaping character by character on UTF-8 text.
        m.kind_ = TextMatcherKind::EscapedRegex;
        m.case_insensitive_ = true;
        for (char c : text) {
            if (needs_escape(c)) m.bytes_ += '\\';
            m.bytes_ += c;
        }
    }
    m.re_ = shared_translated(m.bytes_, RegexOptions{.case_insensitive = m.case_insensitive_});
    if (!m.re_->ok()) {
        if (m.re_->error_code() == re2::RE2::ErrorPatternTooLarge)
            return platform::Err{SearchError::regex(kRegexTooLargeMessage)};
        return platform::Err{SearchError::regex(m.re_->error())};
    }
    return m;
}

platform::Result<QueryMatchers, SearchError> build_matchers(const SearchQuery& q) {
    QueryMatchers out;
    if (q.term) {
        auto m = build_text_matcher(*q.term, q.case_sensitive, q.regex);
        if (!m) return platform::Err{std::move(m).error()};
        if (q.keys_only) {
            out.key = std::move(*m);
        } else if (q.values_only) {
            out.value = std::move(*m);
        } else {
            out.key = *m;
            out.value = std::move(*m);
        }
        return out;
    }
    if (q.key && !q.key->empty()) {
        auto m = build_text_matcher(*q.key, q.case_sensitive, q.regex);
        if (!m) return platform::Err{std::move(m).error()};
        out.key = std::move(*m);
    }
    if (q.value && !q.value->empty()) {
        auto m = build_text_matcher(*q.value, q.case_sensitive, q.regex);
        if (!m) return platform::Err{std::move(m).error()};
        out.value = std::move(*m);
    }
    return out;
}

QueryMatchers with_own_programs(const QueryMatchers& m) {
    QueryMatchers out = m;
    std::shared_ptr<const re2::RE2> value_program;
    for (TextMatcher* t : {&out.value, &out.key}) {
        if (!t->re_) continue;
        if (t == &out.key && m.key.re_ == m.value.re_) {
            t->re_ = value_program;
            continue;
        }
        t->re_ = compile_translated(t->bytes_, RegexOptions{.case_insensitive = t->case_insensitive_});
        value_program = t->re_;
    }
    return out;
}

std::optional<std::size_t> ascii_nocase_find(const AsciiNoCaseNeedle& needle, std::string_view hay) {
    // The vectorised search filters on the first byte in either case and on
    // one more needle byte, then compares folded; the leftmost hit is the same
    // as a scan for the first byte alone would give.
    const std::size_t at = find_ascii_nocase(hay, needle.lowered, needle.probe);
    if (at == kNotFound) return std::nullopt;
    return at;
}

bool text_matcher_is_match(const TextMatcher& m, std::string_view hay) {
    switch (m.kind()) {
        case TextMatcherKind::Literal: return m.finder().find(hay) != kNotFound;
        case TextMatcherKind::AsciiNoCase: return ascii_nocase_find(m.ascii_needle(), hay).has_value();
        case TextMatcherKind::EscapedRegex:
        case TextMatcherKind::UserRegex: return m.regex()->Match(hay, 0, hay.size(), re2::RE2::UNANCHORED, nullptr, 0);
        case TextMatcherKind::None: break;
    }
    return false;
}

std::optional<std::size_t> detail::text_matcher_find_other(const TextMatcher& m, std::string_view hay) {
    switch (m.kind()) {
        case TextMatcherKind::Literal: {
            const std::size_t at = m.finder().find(hay);
            if (at == kNotFound) return std::nullopt;
            return at;
        }
        case TextMatcherKind::AsciiNoCase: return ascii_nocase_find(m.ascii_needle(), hay);
        case TextMatcherKind::EscapedRegex:
        case TextMatcherKind::UserRegex: {
            re2::StringPiece whole;
            if (!m.regex()->Match(hay, 0, hay.size(), re2::RE2::UNANCHORED, &whole, 1)) return std::nullopt;
            return static_cast<std::size_t>(whole.data() - hay.data());
        }
        case TextMatcherKind::None: break;
    }
    return std::nullopt;
}

DocumentMatcher::DocumentMatcher(const TextMatcher& m, std::string_view document)
    : m_(m),
      doc_start_(reinterpret_cast<std::uintptr_t>(document.data())),
      doc_size_(document.size()),
      n_(m.bytes().size()) {
    // An empty text is found at the start of every text: nothing to look ahead for.
    ahead_ = n_ > 0 && (m.kind() == TextMatcherKind::Literal || m.kind() == TextMatcherKind::AsciiNoCase);
}

std::size_t DocumentMatcher::find_slow(std::string_view hay) {
    const auto h = reinterpret_cast<std::uintptr_t>(hay.data());
    const std::uint64_t s = h - doc_start_;
    if (!ahead_ || h < doc_start_ || s < from_ || s > doc_size_ - hay.size()) {
        const auto o = text_matcher_find(m_, hay);
        return o ? *o : kNotFound;
    }
    const std::uint64_t last = s + hay.size() - n_;
    for (;;) {
        look_ahead(found_ ? s : std::max(s, next_));
        from_ = s;
        if (found_) return next_ <= last ? static_cast<std::size_t>(next_ - s) : kNotFound;
        if (next_ > last) return kNotFound;
    }
}

void DocumentMatcher::look_ahead(std::uint64_t at) {
    // A window small enough that the walker finds its bytes still in cache;
    // it takes every start in [at, at + kWindow).
    constexpr std::uint64_t kWindow = 32 * 1024;
    const std::uint64_t end = std::min<std::uint64_t>(doc_size_, at + kWindow + n_ - 1);
    const std::string_view w(reinterpret_cast<const char*>(doc_start_ + at), end - at);
    std::size_t k = kNotFound;
    if (w.size() >= n_) {
        k = m_.kind() == TextMatcherKind::Literal ? m_.finder().find(w)
                                                  : find_ascii_nocase(w, m_.bytes(), m_.ascii_probe());
    }
    found_ = k != kNotFound;
    if (found_) next_ = at + k;
    else next_ = end == doc_size_ ? doc_size_ : at + kWindow;
}

}  // namespace rova_rudo
