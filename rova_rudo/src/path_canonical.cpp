#include "rova_rudo/path_canonical.hpp"

namespace rova_rudo {

namespace {

bool all_ascii_digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void append_segment(std::string& out, std::string_view piece) {
    if (all_ascii_digits(piece)) {
        out += '[';
        out += piece;
        out += ']';
    } else {
        out += '.';
        out += piece;
    }
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
        append_segment(out.text, piece);
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
            std::size_t close = t.find(']', i + 1);
            if (close == std::string_view::npos)
                return platform::Err{PathSyntaxError{PathSyntaxError::kUnclosedBracket, std::string(t)}};
            std::string_view content = t.substr(i + 1, close - i - 1);
            bool quoted = content.size() >= 2 && (content.front() == '\'' || content.front() == '"') &&
                          content.back() == content.front();
            if (quoted) {
                out += '.';
                out += content.substr(1, content.size() - 2);
            } else {
                out += '[';
                out += content;
                out += ']';
            }
            i = close + 1;
        } else {
            std::size_t end = t.find_first_of(".[", i);
            if (end == std::string_view::npos) end = t.size();
            append_segment(out, t.substr(i, end - i));
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

}  // namespace rova_rudo
