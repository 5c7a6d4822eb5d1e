#include "rova_rudo/path_pattern.hpp"

#include <gtest/gtest.h>

#include <string>

namespace rova_rudo {
namespace {

std::string render(const PathPattern& p) {
    std::string s;
    for (const auto& seg : p) {
        switch (seg.kind) {
            case PathSegmentPattern::Kind::Key: s += "K(" + seg.key + ")"; break;
            case PathSegmentPattern::Kind::AnyKey: s += "K*"; break;
            case PathSegmentPattern::Kind::Index: s += "I(" + std::to_string(seg.index) + ")"; break;
            case PathSegmentPattern::Kind::AnyIndex: s += "I*"; break;
            case PathSegmentPattern::Kind::KeyOrIndex:
                s += "KI(" + seg.key + "," + std::to_string(seg.index) + ")";
                break;
        }
    }
    return s;
}

std::string compile(std::string_view text) {
    auto r = compile_path_pattern(text);
    return r.ok() ? render(r.value()) : "error: " + r.error();
}

TEST(PathPattern, Compiles) {
    const std::pair<const char*, const char*> cases[] = {
        {".users[*].email", "K(users)I*K(email)"},
        {"$.users[*].email", "K(users)I*K(email)"},
        {"root.users[].email", "K(users)I*K(email)"},
        {"/users/*/email", "K(users)K*K(email)"},  // a pointer wildcard names members
        {".users[0]", "K(users)I(0)"},
        {".users[+0]", "K(users)I(0)"},
        {".users[007]", "K(users)I(7)"},
        {".users[4294967295]", "K(users)I(4294967295)"},
        {".users.0", "K(users)K(0)"},  // the printed form keeps digit segments as keys
        {"users.0", "K(users)I(0)"},
        {"$['my key'].*", "K(my key)K*"},
        {"$['a.b'][\"c[0]\"]", "K(a.b)K(c[0])"},  // a quoted key is one key, whole
        {".x['a/b'].y", "K(x)K(a/b)K(y)"},
        {"root['a.b']", "K(a.b)"},
        {".['*']", "K(*)"},  // quoted in the canonical text: the key named "*"
        {".['']", "K()"},
        {"/a.b/c~1d", "K(a.b)K(c/d)"},
        {"/users/0/email", "K(users)KI(0,0)K(email)"},  // a pointer's digits: member or element
        {"/n/007", "K(n)KI(007,7)"},
        {"/n/99999999999", "K(n)K(99999999999)"},
        {".['a.b]", "error: invalid array index ''a.b'"},
        {"$", ""},
        {"root", ""},
        {".", ""},
        {"", "error: path is empty"},
        {".users[-1]", "error: invalid array index '-1'"},
        {".users[4294967296]", "error: invalid array index '4294967296'"},
        {".users[+]", "error: invalid array index '+'"},
        {".users[++1]", "error: invalid array index '++1'"},
        {".users[ 1]", "error: invalid array index ' 1'"},
        {".a.", "error: empty path segment"},
        {"..a", "error: empty path segment"},
        {".a.[0]", "error: empty path segment"},
        {".a[0", "error: unclosed '[' in path"},
        {"$.a[0", "error: unclosed '[' in '.a[0'"},
        {"/a//b", "error: empty path segment in '/a//b'"},
        {"root[0]x", "error: unexpected 'x' in path"},
        {".a[0]\xc3\xa9", "error: unexpected '\\xc3' in path"},  // a byte that is no character alone
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(compile(text), expected) << text;
}

TEST(PathPattern, ProgressRules) {
    auto p = compile_path_pattern(".a[*].b").value();
    // Siblings start from their container's saved progress.
    EXPECT_EQ(pattern_key_step(p, 0, "a"), 1u);
    EXPECT_EQ(pattern_key_step(p, 0, "x"), 0u);
    EXPECT_EQ(pattern_index_step(p, 1, 7), 2u);
    EXPECT_EQ(pattern_key_step(p, 1, "b"), 1u);  // an index is due, not a key
    EXPECT_EQ(pattern_key_step(p, 2, "b"), 3u);
    EXPECT_EQ(pattern_key_step(p, 3, "anything"), 3u);  // complete stays complete
    EXPECT_TRUE(pattern_is_anchor(p, 3, 2));
    EXPECT_FALSE(pattern_is_anchor(p, 3, 3));  // inside a complete position
    EXPECT_FALSE(pattern_is_anchor(p, 2, 1));
    PathPattern empty;
    EXPECT_FALSE(pattern_is_anchor(empty, 0, 0));
}

}  // namespace
}  // namespace rova_rudo
