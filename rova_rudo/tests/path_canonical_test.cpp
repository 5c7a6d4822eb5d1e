#include "rova_rudo/path_canonical.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rova_rudo {
namespace {

struct Conversion {
    std::string in;
    std::string out;  // canonical text, or the error's display text
    int form;         // -1 when an error is expected
};

TEST(CanonicalizePath, ConversionTable) {
    const std::vector<Conversion> cases = {
        {"", "path is empty", -1},
        {"root", "root", 0},
        {"root.users[0].email", "root.users[0].email", 0},
        {"root[0]", "root[0]", 0},
        {"rootx", "root.rootx", 4},
        {".", "root", 1},
        {".users[0].email", "root.users[0].email", 1},
        {".[0]", "root[0]", 1},
        {".users.0", "root.users.0", 1},
        {"..a", "root..a", 1},
        {".['my key']", "root['my key']", 1},
        {"$", "root", 2},
        {"$.users[0].email", "root.users[0].email", 2},
        {"$[0]", "root[0]", 2},
        {"$['my key']", "root.my key", 2},
        {"$[\"my key\"]", "root.my key", 2},
        {"$['a\"]", "root['a\"]", 2},        // mismatched quotes are not a quoted key
        {"$['a.b'].c", "root['a.b'].c", 2},  // quoted only where ".key" would split
        {"$[\"a[0]\"]", "root['a[0]']", 2},
        {"$[\"x']\"]", "root.x']", 2},
        {"$[\"x'].y\"]", "root[\"x'].y\"]", 2},
        {"$['a]b']", "root.a]b", 2},
        {"$['']", "root['']", 2},
        {"$['12']", "root.12", 2},
        {"$..a", "root.a", 2},
        {"$.a[*]", "root.a[*]", 2},
        {"$.a[]", "root.a[]", 2},
        {"$.a.0", "root.a[0]", 2},
        {"$a", "root.$a", 4},
        {"$.a[0", "unclosed '[' in '.a[0'", -1},
        {"/", "root", 3},
        {"/users/0/email", "root.users[0].email", 3},
        {"/a~1b/c~0d", "root.a/b.c~d", 3},
        {"/~01", "root.~1", 3},  // unescaped left to right, once
        {"/00", "root[00]", 3},
        {"/-", "root.-", 3},
        {"/a.b", "root['a.b']", 3},
        {"/a~1b.c", "root['a/b.c']", 3},
        {"/x'].y", "root[\"x'].y\"]", 3},
        {"/x']\"].y", "key 'x']\"].y' holds both '] and \"], which no quote can hold", -1},
        {"/a//b", "empty path segment in '/a//b'", -1},
        {"/a/", "empty path segment in '/a/'", -1},
        {"//", "empty path segment in '//'", -1},
        {"/a~2", "invalid JSON Pointer escape in 'a~2'", -1},
        {"/a~", "invalid JSON Pointer escape in 'a~'", -1},
        {"/ok/b~x/c", "invalid JSON Pointer escape in 'b~x'", -1},
        {"users.0.email", "root.users[0].email", 4},
        {"a[0]", "root.a[0]", 4},
        {"[0].a", "root[0].a", 4},
        {"0", "root[0]", 4},
        {"a..b", "root.a.b", 4},
        {"a.", "root.a", 4},
        {"a[*]", "root.a[*]", 4},
        {"a[0", "unclosed '[' in 'a[0'", -1},
        {"['']", "root['']", 4},
        {"a['x']b", "root.a.x.b", 4},
        {"a['x.y]z']", "root.a['x.y]z']", 4},  // the key ends at the quote before "]"
        {"a['x'y']", "root.a.x'y", 4},
        {"x]y", "root.x]y", 4},
        {"caf\xc3\xa9.1", "root.caf\xc3\xa9[1]", 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input: " + c.in);
        auto r = canonicalize_path(c.in);
        if (c.form < 0) {
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(path_syntax_error_display(r.error()), c.out);
        } else {
            ASSERT_TRUE(r.ok()) << path_syntax_error_display(r.error());
            EXPECT_EQ(r.value().text, c.out);
            EXPECT_EQ(static_cast<int>(r.value().form), c.form);
        }
    }
}

TEST(CanonicalizePath, ErrorsCarryCodeAndText) {
    auto e = canonicalize_path("/a~2").error();
    EXPECT_EQ(e.code, PathSyntaxError::kPointerEscape);
    EXPECT_EQ(e.text, "a~2");
    e = canonicalize_path("$.a[0").error();
    EXPECT_EQ(e.code, PathSyntaxError::kUnclosedBracket);
    EXPECT_EQ(e.text, ".a[0");
    e = canonicalize_path("").error();
    EXPECT_EQ(e.code, PathSyntaxError::kEmpty);
    EXPECT_EQ(e.text, "");
}

TEST(CanonicalizePath, NoteNames) {
    EXPECT_EQ(path_form_note_name(PathForm::Canonical), "");
    EXPECT_EQ(path_form_note_name(PathForm::Jq), "");
    EXPECT_EQ(path_form_note_name(PathForm::JsonPath), "JSONPath ($)");
    EXPECT_EQ(path_form_note_name(PathForm::JsonPointer), "JSON Pointer");
    EXPECT_EQ(path_form_note_name(PathForm::Lodash), "lodash");
}

}  // namespace
}  // namespace rova_rudo
