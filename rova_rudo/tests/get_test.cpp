#include "rova_rudo/get.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rova_rudo {
namespace {

struct Lookup {
    std::string doc;
    std::string path;  // canonical
    std::string want;  // the span's text, or the error's display text
    int kind;          // GetValueKind of a found value; for errors, -1 - variant
};

constexpr int err(GetError::Kind k) { return -1 - static_cast<int>(k); }
using K = GetError::Kind;

void check(const std::vector<Lookup>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("doc: " + c.doc + "  path: " + c.path);
        auto r = get_value_at_path(c.doc, c.path);
        if (c.kind >= 0) {
            ASSERT_TRUE(r.ok()) << get_error_display(r.error());
            EXPECT_EQ(r.value().text(), c.want);
            EXPECT_EQ(static_cast<int>(r.value().kind), c.kind);
            EXPECT_GE(r.value().start, c.doc.data());
        } else {
            ASSERT_FALSE(r.ok()) << r.value().text();
            EXPECT_EQ(get_error_display(r.error()), c.want);
            EXPECT_EQ(-1 - static_cast<int>(r.error().variant()), c.kind);
        }
    }
}

TEST(GetValueAtPath, FindsValuesOfEveryKind) {
    const std::string users = R"({"users":[{"email":"x"}]})";
    check({
        {users, "root.users[0].email", R"("x")", 3},
        {users, "root.users[0]", R"({"email":"x"})", 4},
        {users, "root", users, 4},
        {users, "$.users", R"([{"email":"x"}])", 5},
        {R"({"a":[1,2,3]})", "root.a[+1]", "2", 2},
        {R"({"a":[1,2,3]})", "root.a[002]", "3", 2},
        {R"({"a":[]})", "root.a", "[]", 5},
        {R"({"a":{}})", "root.a", "{}", 4},
        {" { \"a\" : [ 1 , { \"b\" : true } ] } ", "root.a[1].b", "true", 1},
        {"{\"a\":[1,\n  [ 2 ,3 ] ]}", "root.a[1]", "[ 2 ,3 ]", 5},
        {R"({"n":null,"f":false,"x":-12.5e3})", "root.f", "false", 1},
        {R"({"n":null,"f":false,"x":-12.5e3})", "root.n", "null", 0},
        {R"({"n":null,"f":false,"x":-12.5e3})", "root.x", "-12.5e3", 2},
        {R"([[0,1],[2,[3,4]]])", "root[1][1][0]", "3", 2},
        {R"({"a":{"b":{"c":1}},"d":2})", "root.d", "2", 2},
        {R"({"skip":{"a":1},"a":7})", "root.a", "7", 2},  // a same-named key off the path is not taken
        {R"({"s":"q\"uo}te","t":1})", "root.t", "1", 2},
        {R"({"a":1,"a":2})", "root.a", "1", 2},             // the first of repeated keys counts
        {R"({"a":1} trailing garbage)", "root.a", "1", 2},  // nothing after the target is read
        {R"({"a":[1,2]},{{{)", "root.a[0]", "1", 2},
        {R"({"a":{"b":1}}})", "root.a", R"({"b":1})", 4},
        {"{\"caf\xc3\xa9\":1}", "root.caf\xc3\xa9", "1", 2},
    });
}

TEST(GetValueAtPath, ReportsWhereThePathEnds) {
    check({
        {R"({"a":[1,2,3]})", "root.a[5]", "index [5] out of bounds at .a", err(K::IndexOutOfBounds)},
        {R"({"a":[1,2,3]})", "root.a.b", "expected object at .a, found array", err(K::TypeMismatch)},
        {R"({"a":[1,2,3]})", "root[0]", "expected array at ., found object", err(K::TypeMismatch)},
        {R"({"a":{}})", "root.a.b", "key 'b' not found at .a", err(K::KeyNotFound)},
        {R"({"a":[]})", "root.a[0]", "index [0] out of bounds at .a", err(K::IndexOutOfBounds)},
        {"5", "root.a", "key 'a' not found at .", err(K::KeyNotFound)},
        {"5", "root[0]", "key '[0]' not found at .", err(K::KeyNotFound)},
        {R"({"a":1,"b":2})", "root.a.b", "key 'b' not found at .", err(K::KeyNotFound)},
        {R"({"a":1})", "root.a[0]", "expected array at ., found object", err(K::TypeMismatch)},
        {R"({"a":[5,6]})", "root.a[0][1]", "index [1] out of bounds at .a", err(K::IndexOutOfBounds)},
        {R"({"\u0061":1})", "root.a", "key 'a' not found at .", err(K::KeyNotFound)},
        {R"({"a":{"b":[{"c":1}]}})", "root.a.b[0].d", "key 'd' not found at .a.b[0]", err(K::KeyNotFound)},
        {R"([{"a":1}])", "root[0].b", "key 'b' not found at .[0]", err(K::KeyNotFound)},
        {"{\"k\xff\":{}}", "root.k\xff.z", "key 'z' not found at .k\xef\xbf\xbd", err(K::KeyNotFound)},
    });
}

TEST(GetValueAtPath, SyntaxFaultsBeforeTheStopPoint) {
    check({
        {"5 7", "root.a",
         "multiple top-level values (JSONL) detected at offset 2 \xe2\x80\x94 not supported by rova_rudo",
         err(K::Parse)},
        {R"({"b":[1,}, "a":1})", "root.a", "unexpected byte 0x7D ('}') at offset 8", err(K::Parse)},
        {R"({"a" 1})", "root.a", "unexpected byte 0x31 ('1') at offset 5", err(K::Parse)},
        {R"({"a")", "root.a", "unexpected byte 0x00 ('\\x00') at offset 4", err(K::Parse)},
        {"{x", "root.a", "unexpected byte 0x78 ('x') at offset 1", err(K::Parse)},
        {R"({"a":tru})", "root.a", "invalid literal at offset 5", err(K::Parse)},
        {R"({"a":"abc)", "root.a", "unclosed string", err(K::Parse)},
        {R"({"a":[1,2)", "root.b", "unexpected end of input", err(K::Parse)},
        {"", "root.a", "unexpected end of input", err(K::Parse)},
        {"   ", "root", "unexpected end of input", err(K::Parse)},
        {"  x", "root", "unexpected byte 0x78 ('x') at offset 2", err(K::Parse)},
        {"[1,", "root", "[1,", 5},  // the root is returned unread
        {"tx", "$", "tx", 1},
        {" 1 2 ", "root", "1 2", 2},
    });
}

TEST(GetValueAtPath, PathTextFaults) {
    for (std::string p : {"root..a", "root[x]", "root[-1]", "root[4294967296]", "root[0]x", "root.a[", "root[]",
                          "root[*]", "root[ 1]", "root[+]"}) {
        SCOPED_TRACE(p);
        auto r = get_value_at_path("{}", p);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, K::MalformedSegment);
        EXPECT_EQ(get_error_display(r.error()), "malformed path segment: " + p);
    }
    for (std::string p : {"rootx", "x", "$x", ".a"}) {
        auto r = get_value_at_path("{}", p);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(get_error_display(r.error()), "path must start with '.', 'root', '$', or '/'") << p;
    }
    auto r = get_value_at_path("{}", "");
    EXPECT_EQ(get_error_display(r.error()), "path is empty");
    EXPECT_TRUE(get_value_at_path(R"([0,1])", "root[4294967295]").error().kind == K::IndexOutOfBounds);
}

// Every path form as typed, through canonicalisation and lookup: a pointer
// segment and a quoted key name one key whole, whatever it holds, and a
// pointer's digits name a member of an object and an element of an array.
TEST(GetValueAtPath, EveryFormNamesAnyKeyWhole) {
    const std::string doc = R"({"a.b":1,"a":{"b":2},"x":{"a/b":3,"a.b":4},"k[0]":5,"q'":6,"d\"q":7,"":8,)"
                            R"("12":9,"arr":[10,11,12],"t~s":13,"br]k":14,"n":{"0":{"1":15}}})";
    struct Case {
        std::string path;  // as typed
        std::string want;  // the value's text, or the error's display text
        bool found;
    };
    const std::vector<Case> cases = {
        {"/a.b", "1", true},  // not .a.b, which holds 2
        {"/a/b", "2", true},
        {"/x/a~1b", "3", true},
        {"/x/a.b", "4", true},
        {"/t~0s", "13", true},
        {"/k[0]", "5", true},
        {"/br]k", "14", true},
        {"$['a.b']", "1", true},
        {"$[\"a.b\"]", "1", true},
        {"$.x['a/b']", "3", true},
        {"['a.b']", "1", true},  // the bare form
        {".x['a/b']", "3", true},
        {".x[\"a.b\"]", "4", true},
        {"root.x['a.b']", "4", true},
        {"$['k[0]']", "5", true},
        {"$['br]k']", "14", true},
        {"$[\"q'\"]", "6", true},
        {"$['q'']", "6", true},      // the key ends at the quote before "]"
        {"$['d\\\"q']", "7", true},  // keys are written as the document escapes them
        {"$['']", "8", true},
        {".['']", "8", true},
        {"/12", "9", true},      // a member of an object
        {"/arr/1", "11", true},  // an element of an array
        {"/arr/01", "11", true},
        {"/n/0/1", "15", true},
        {".12", "9", true},
        {"/arr/3", "index [3] out of bounds at .arr", false},
        {"/arr/x", "expected object at .arr, found array", false},
        {"/13", "key '13' not found at .", false},
        {"/x/no.such", "key 'no.such' not found at .x", false},
        {"/99999999999", "key '99999999999' not found at .", false},
        {"$.12", "expected array at ., found object", false},  // the "$" and bare forms' digits stay indices
        {"12", "expected array at ., found object", false},
        {"$['a.b", "unclosed '[' in '['a.b'", false},
        {"$['a.b]", "malformed path segment: root['a.b]", false},
        {".x['a.b\"]", "malformed path segment: root.x['a.b\"]", false},
        {"/x']y\"].z", "key 'x']y\"].z' holds both '] and \"], which no quote can hold", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("path: " + c.path);
        auto canon = canonicalize_path(c.path);
        if (!canon) {
            EXPECT_FALSE(c.found);
            EXPECT_EQ(path_syntax_error_display(canon.error()), c.want);
            continue;
        }
        auto r = get_value_at_path(doc, canon.value().text, canon.value().form);
        EXPECT_EQ(r.ok() ? std::string(r.value().text()) : get_error_display(r.error()), c.want);
        EXPECT_EQ(r.ok(), c.found);
    }
}

TEST(GetValueAtPath, DeepNestingNeedsNoRecursion) {
    const std::size_t depth = 200000;
    std::string doc = std::string(depth, '[') + "7" + std::string(depth, ']');
    std::string path = "root";
    for (std::size_t i = 0; i < depth; ++i) path += "[0]";
    auto r = get_value_at_path(doc, path);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().text(), "7");
    // Off the path too: the sibling is deep, the target is after it.
    std::string doc2 = "{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + ",\"y\":1}";
    ASSERT_TRUE(get_value_at_path(doc2, "root.y").ok());
}

}  // namespace
}  // namespace rova_rudo
