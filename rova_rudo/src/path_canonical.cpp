#include "rova_rudo/path_canonical.hpp"

#include <limits>

namespace rova_rudo {

namespace {

bool all_ascii_digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The bracket that opens at `open`: a quoted key when its content starts with
// a quote and a same quote directly followed by "]" comes later, else plain
// content up to the first "]".
struct BracketSpan {
    std::string_view content;  // the key without its quotes, or the plain content
    bool quoted = false;
    std::size_t end = std::string_view::npos;  // one past the "]"; npos when unclosed
};

BracketSpan scan_bracket(std::string_view t, std::size_t open) {
    BracketSpan b;
    const std::size_t body = open + 1;
    if (body < t.size() && (t[body] == '\'' || t[body] == '"')) {
        const char closer[] = {t[body], ']'};
        std::size_t close = t.find(std::string_view(closer, 2), body + 1);
        if (close != std::string_view::npos) {
            b.content = t.substr(body + 1, close - body - 1);
            b.quoted = true;
            b.end = close + 2;
            return b;
        }
    }
    std::size_t close = t.find(']', body);
    if (close == std::string_view::npos) return b;
    b.content = t.substr(body, close - body);
    b.end = close + 1;
    return b;
}

// Whether `key` between quotes `q` reads back whole: no "q]" inside it.
bool quotes_hold(std::string_view key, char q) {
    const char closer[] = {q, ']'};
    return key.find(std::string_view(closer, 2)) == std::string_view::npos;
}

// Appends one key as ".key" when that reads back as the one key, else quoted;
// false when neither quote can hold it (it holds both "']" and "\"]").
bool append_key_segment(std::string& out, std::string_view key) {
    if (!key.empty() && key.find_first_of(".[") == std::string_view::npos) {
        out += '.';
        out += key;
        return true;
    }
    char q = quotes_hold(key, '\'') ? '\'' : quotes_hold(key, '"') ? '"' : '\0';
    if (q == '\0') return false;
    out += '[';
    out += q;
    out += key;
    out += q;
    out += ']';
    return true;
}

void append_bracket_segment(std::string& out, std::string_view digits) {
    out += '[';
    out += digits;
    out += ']';
}

platform::Result<CanonicalPath, PathSyntaxError> canonicalize_pointer(std::string_view p) {
    CanonicalPath out{"root", PathForm::JsonPointer};
    if (p == "/") return out;
    std::string_view rest = p.substr(1);
    std::string piece;
    for (;;) {
        std::size_t slash = rest.find('/');
        std::string_view raw = rest.substr(0, slash);
        if (raw.empty()) return platform::Err{PathSyntaxError{PathSyntaxError::kEmptySegment, std::string(p)}};
        piece.clear();
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '~') {
                piece += raw[i];
                continue;
            }
            char next = i + 1 < raw.size() ? raw[i + 1] : '\0';
            if (next != '0' && next != '1')
                return platform::Err{PathSyntaxError{PathSyntaxError::kPointerEscape, std::string(raw)}};
            piece += next == '0' ? '~' : '/';
            ++i;
        }
        if (all_ascii_digits(piece)) {
            append_bracket_segment(out.text, piece);
        } else if (!append_key_segment(out.text, piece)) {
            return platform::Err{PathSyntaxError{PathSyntaxError::kUnquotableKey, piece}};
        }
        if (slash == std::string_view::npos) break;
        rest = rest.substr(slash + 1);
    }
    return out;
}

}  // namespace

std::string_view path_form_note_name(PathForm form) {
    switch (form) {
        case PathForm::JsonPath: return "JSONPath ($)";
        case PathForm::JsonPointer: return "JSON Pointer";
        case PathForm::Lodash: return "lodash";
        default: return {};
    }
}

std::string path_syntax_error_display(const PathSyntaxError& e) {
    switch (e.code) {
        case PathSyntaxError::kEmpty: return "path is empty";
        case PathSyntaxError::kPointerEscape: return "invalid JSON Pointer escape in '" + e.text + "'";
        case PathSyntaxError::kUnclosedBracket: return "unclosed '[' in '" + e.text + "'";
        case PathSyntaxError::kUnquotableKey:
            return "key '" + e.text + "' holds both '] and \"], which no quote can hold";
        default: return "empty path segment in '" + e.text + "'";
    }
}

platform::Result<std::string, PathSyntaxError> normalize_path_segments(std::string_view t) {
    std::string out;
    std::size_t i = 0;
    while (i < t.size()) {
        char c = t[i];
        if (c == '.') {
            ++i;
        } else if (c == '[') {
            BracketSpan b = scan_bracket(t, i);
            if (b.end == std::string_view::npos)
                return platform::Err{PathSyntaxError{PathSyntaxError::kUnclosedBracket, std::string(t)}};
            // A key read between one kind of quote always fits between them again.
            if (b.quoted) {
                append_key_segment(out, b.content);
            } else {
                append_bracket_segment(out, b.content);
            }
            i = b.end;
        } else {
            std::size_t end = t.find_first_of(".[", i);
            if (end == std::string_view::npos) end = t.size();
            std::string_view run = t.substr(i, end - i);
            if (all_ascii_digits(run)) {
                append_bracket_segment(out, run);
            } else {
                out += '.';
                out += run;
            }
            i = end;
        }
    }
    return out;
}

platform::Result<CanonicalPath, PathSyntaxError> canonicalize_path(std::string_view p) {
    if (p.empty()) return platform::Err{PathSyntaxError{PathSyntaxError::kEmpty, {}}};
    if (p.front() == '/') return canonicalize_pointer(p);
    if (p.substr(0, 4) == "root" && (p.size() == 4 || p[4] == '.' || p[4] == '['))
        return CanonicalPath{std::string(p), PathForm::Canonical};
    if (p.front() == '$' && (p.size() == 1 || p[1] == '.' || p[1] == '[')) {
        auto norm = normalize_path_segments(p.substr(1));
        if (!norm) return platform::Err{std::move(norm.error())};
        return CanonicalPath{"root" + norm.value(), PathForm::JsonPath};
    }
    if (p.front() == '.') {
        CanonicalPath out{"root", PathForm::Jq};
        if (p.size() == 1) return out;
        if (p[1] != '[') out.text += '.';
        out.text += p.substr(1);
        return out;
    }
    auto norm = normalize_path_segments(p);
    if (!norm) return platform::Err{std::move(norm.error())};
    CanonicalPath out{"root", PathForm::Lodash};
    const std::string& n = norm.value();
    if (!n.empty() && n.front() != '.' && n.front() != '[') out.text += '.';
    out.text += n;
    return out;
}

std::optional<std::uint32_t> parse_path_index(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || !all_ascii_digits(s)) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

SegmentFault read_canonical_segment(std::string_view c, std::size_t& pos, PathForm form, CanonicalSegment& out) {
    if (c[pos] == '.') {
        std::size_t end = c.find_first_of(".[", pos + 1);
        if (end == std::string_view::npos) end = c.size();
        out.kind = CanonicalSegment::Kind::Name;
        out.text = c.substr(pos + 1, end - pos - 1);
        pos = end;
        return SegmentFault::None;
    }
    if (c[pos] != '[') return SegmentFault::Unexpected;
    BracketSpan b = scan_bracket(c, pos);
    if (b.end == std::string_view::npos) return SegmentFault::Unclosed;
    pos = b.end;
    out.text = b.content;
    if (b.quoted) {
        out.kind = CanonicalSegment::Kind::Key;
        return SegmentFault::None;
    }
    auto index = parse_path_index(b.content);
    // A pointer cannot say whether its digits name a member or an element.
    const bool either = form == PathForm::JsonPointer && all_ascii_digits(b.content) && !b.content.empty();
    if (either) {
        out.kind = index ? CanonicalSegment::Kind::KeyOrIndex : CanonicalSegment::Kind::Key;
    } else {
        out.kind = index ? CanonicalSegment::Kind::Index : CanonicalSegment::Kind::Bracket;
    }
    out.index = index.value_or(0);
    return SegmentFault::None;
}

}  // namespace rova_rudo
