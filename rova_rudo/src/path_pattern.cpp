#include "rova_rudo/path_pattern.hpp"

#include <charconv>

#include "platform/utf8.hpp"
#include "rova_rudo/path_canonical.hpp"

namespace rova_rudo {

namespace {

platform::Err<std::string> fail(std::string m) { return platform::Err{std::move(m)}; }

// Unsigned 32-bit decimal with at most one leading "+"; leading zeros allowed.
bool parse_index(std::string_view s, std::uint32_t& out) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

platform::Result<PathPattern, std::string> compile_path_pattern(std::string_view text) {
    auto canon = canonicalize_path(text);
    if (!canon.ok()) return fail(path_syntax_error_display(canon.error()));
    std::string_view c = canon.value().text;
    if (c.substr(0, 4) != "root" || (c.size() > 4 && c[4] != '.' && c[4] != '['))
        return fail("path must start with '.', 'root', '$', or '/'");

    PathPattern out;
    std::size_t i = 4;
    while (i < c.size()) {
        if (c[i] == '.') {
            std::size_t s = ++i;
            while (i < c.size() && c[i] != '.' && c[i] != '[') ++i;
            std::string_view key = c.substr(s, i - s);
            if (key.empty()) return fail("empty path segment");
            PathSegmentPattern seg;
            if (key == "*") {
                seg.kind = PathSegmentPattern::Kind::AnyKey;
            } else {
                seg.kind = PathSegmentPattern::Kind::Key;
                seg.key = std::string(key);
            }
            out.push_back(std::move(seg));
        } else if (c[i] == '[') {
            std::size_t close = c.find(']', i + 1);
            if (close == std::string_view::npos) return fail("unclosed '[' in path");
            std::string_view content = c.substr(i + 1, close - i - 1);
            PathSegmentPattern seg;
            if (content.empty() || content == "*") {
                seg.kind = PathSegmentPattern::Kind::AnyIndex;
            } else {
                seg.kind = PathSegmentPattern::Kind::Index;
                if (!parse_index(content, seg.index)) return fail("invalid array index '" + std::string(content) + "'");
            }
            out.push_back(std::move(seg));
            i = close + 1;
        } else {
            std::string m = "unexpected '";
            platform::append_byte_for_message(m, static_cast<unsigned char>(c[i]));
            return fail(m + "' in path");
        }
    }
    return out;
}

}  // namespace rova_rudo
