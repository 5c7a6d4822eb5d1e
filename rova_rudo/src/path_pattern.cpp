#include "rova_rudo/path_pattern.hpp"

#include "platform/utf8.hpp"
#include "rova_rudo/path_canonical.hpp"

namespace rova_rudo {

namespace {

platform::Err<std::string> fail(std::string m) { return platform::Err{std::move(m)}; }

}  // namespace

platform::Result<PathPattern, std::string> compile_path_pattern(std::string_view text) {
    auto canon = canonicalize_path(text);
    if (!canon.ok()) return fail(path_syntax_error_display(canon.error()));
    std::string_view c = canon.value().text;
    if (c.substr(0, 4) != "root" || (c.size() > 4 && c[4] != '.' && c[4] != '['))
        return fail("path must start with '.', 'root', '$', or '/'");

    PathPattern out;
    std::size_t i = 4;
    CanonicalSegment seg;
    while (i < c.size()) {
        const std::size_t at = i;
        SegmentFault fault = read_canonical_segment(c, i, canon.value().form, seg);
        if (fault == SegmentFault::Unclosed) return fail("unclosed '[' in path");
        if (fault == SegmentFault::Unexpected) {
            std::string m = "unexpected '";
            platform::append_byte_for_message(m, static_cast<unsigned char>(c[at]));
            return fail(m + "' in path");
        }
        PathSegmentPattern p;
        using Kind = CanonicalSegment::Kind;
        switch (seg.kind) {
            case Kind::Name:
                if (seg.text.empty()) return fail("empty path segment");
                if (seg.text == "*") {
                    p.kind = PathSegmentPattern::Kind::AnyKey;
                    break;
                }
                [[fallthrough]];
            case Kind::Key:
                p.kind = PathSegmentPattern::Kind::Key;
                p.key = std::string(seg.text);
                break;
            case Kind::Index:
                p.kind = PathSegmentPattern::Kind::Index;
                p.index = seg.index;
                break;
            case Kind::KeyOrIndex:
                p.kind = PathSegmentPattern::Kind::KeyOrIndex;
                p.key = std::string(seg.text);
                p.index = seg.index;
                break;
            case Kind::Bracket:
                if (!seg.text.empty() && seg.text != "*")
                    return fail("invalid array index '" + std::string(seg.text) + "'");
                p.kind = PathSegmentPattern::Kind::AnyIndex;
                break;
        }
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace rova_rudo
