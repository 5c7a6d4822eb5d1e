#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "cli/help.hpp"
#include "e2e_harness.hpp"

using e2e::QmCase;

namespace {

using e2e::usage;

const std::string kDoc = R"({"a":{"b":[1,2]}})";
const std::pair<std::string, std::string> kFile{"f.json", kDoc};

}  // namespace

TEST(GetCommand, PrintsValues) {
    e2e::check_cases({
        {.name = "pretty array from stdin", .args = {"get", ".a.b"}, .stdin_data = kDoc, .out = "[\n  1,\n  2\n]\n"},
        {.name = "number", .args = {"get", ".a.b[1]"}, .stdin_data = kDoc, .out = "2\n"},
        {.name = "stdin as -", .args = {"get", ".a.b[0]", "-"}, .stdin_data = kDoc, .out = "1\n"},
        {.name = "root pretty",
         .args = {"get", ".", "f.json"},
         .files = {kFile},
         .out = "{\n  \"a\": {\n    \"b\": [\n      1,\n      2\n    ]\n  }\n}\n"},
        {.name = "canonical form, no note", .args = {"get", "root.a.b[0]", "f.json"}, .files = {kFile}, .out = "1\n"},
        {.name = "string decoded and re-escaped",
         .args = {"get", ".s"},
         .stdin_data = R"({"s":"caf\u00e9\/\"x\""})",
         .out = "\"caf\xc3\xa9/\\\"x\\\"\"\n"},
        {.name = "string raw with --minify",
         .args = {"get", "--minify", ".s"},
         .stdin_data = R"({"s":"caf\u00e9"})",
         .out = "\"caf\\u00e9\"\n"},
        {.name = "numbers are raw", .args = {"get", ".n"}, .stdin_data = R"({"n":1.50})", .out = "1.50\n"},
        {.name = "numbers inside containers are reformatted",
         .args = {"get", ".n"},
         .stdin_data = R"({"n":[1.50,1E2,-0]})",
         .out = "[\n  1.5,\n  100.0,\n  -0.0\n]\n"},
        {.name = "numbers no double holds keep their digits",
         .args = {"get", "."},
         .stdin_data = R"({"big":12345678901234567890123,"neg":-9223372036854775809,"d":0.1000000000000000000001})",
         .out = "{\n  \"big\": 12345678901234567890123,\n  \"neg\": -9223372036854775809,\n  \"d\": "
                "0.1000000000000000000001\n}\n"},
        {.name = "repeated keys",
         .args = {"get", "."},
         .stdin_data = R"({"b":1,"a":2,"b":3})",
         .out = "{\n  \"b\": 3,\n  \"a\": 2\n}\n"},
        {.name = "rejected container printed raw",
         .args = {"get", ".a"},
         .stdin_data = R"({"a":[01]})",
         .out = "[01]\n"},
        {.name = "bad escape printed raw", .args = {"get", ".a"}, .stdin_data = R"({"a":"\q"})", .out = "\"\\q\"\n"},
        {.name = "too deep printed raw",
         .args = {"get", ".a"},
         .stdin_data = "{\"a\":" + std::string(128, '[') + std::string(128, ']') + "}",
         .out = std::string(128, '[') + std::string(128, ']') + "\n"},
        {.name = "empty file",
         .args = {"get", ".", "e.json"},
         .files = {{"e.json", ""}},
         .err = "qm: get: unexpected end of input\n",
         .code = 3},
        {.name = "garbage after the target is never read",
         .args = {"get", ".a", "g.json"},
         .files = {{"g.json", "{\"a\":true,\x01\x02 not json"}},
         .out = "true\n"},
    });
}

// --minify drops the whitespace outside strings and keeps every other byte as
// written: strings with their escapes, numbers, literals, even text the strict
// reader would reject.
TEST(GetCommand, MinifyCompacts) {
    const std::string pretty =
        "{\n  \"a\" : [ 1.10 ,\t1E2,\r\n -0 ],\n  \"s\": \"x  y\\\" \\\\\" ,\n  \"t\": [ true, null ]\n}\n";
    const std::string compact = R"({"a":[1.10,1E2,-0],"s":"x  y\" \\","t":[true,null]})";
    // Long enough that runs, strings and escapes straddle 32-byte blocks.
    std::string long_in = "[", long_out = "[";
    for (int i = 0; i < 40; ++i) {
        const std::string s =
            "\"" + std::string(static_cast<std::size_t>(i), ' ') + "\\\"" + std::string(i % 7, 'q') + "\"";
        long_in += (i ? " ,\n   " : "\n   ") + s;
        long_out += (i ? "," : "") + s;
    }
    long_in += "\n]";
    long_out += "]";
    e2e::check_cases({
        {.name = "document", .args = {"get", "--minify", "."}, .stdin_data = pretty, .out = compact + "\n"},
        {.name = "member", .args = {"get", "--minify", ".a"}, .stdin_data = pretty, .out = "[1.10,1E2,-0]\n"},
        {.name = "string as written",
         .args = {"get", "--minify", ".s"},
         .stdin_data = pretty,
         .out = "\"x  y\\\" \\\\\"\n"},
        {.name = "number as written", .args = {"get", "--minify", ".a[0]"}, .stdin_data = pretty, .out = "1.10\n"},
        {.name = "rejected by the strict reader",
         .args = {"get", "--minify", ".a"},
         .stdin_data = "{\"a\": [ 01 , \"\\q\" ]}",
         .out = "[01,\"\\q\"]\n"},
        {.name = "long", .args = {"get", "--minify", "."}, .stdin_data = long_in, .out = long_out + "\n"},
        {.name = "mapped file",
         .args = {"get", "--minify", ".", "p.json"},
         .files = {{"p.json", pretty}},
         .out = compact + "\n"},
    });
}

TEST(GetCommand, CoercionNotes) {
    e2e::check_cases({
        {.name = "jsonpath",
         .args = {"get", "$.a.b", "f.json"},
         .files = {kFile},
         .out = "[\n  1,\n  2\n]\n",
         .err = "qm: get: coerced JSONPath ($) path '$.a.b' to canonical 'root.a.b'\n"},
        {.name = "pointer",
         .args = {"get", "/a/b/0", "f.json"},
         .files = {kFile},
         .out = "1\n",
         .err = "qm: get: coerced JSON Pointer path '/a/b/0' to canonical 'root.a.b[0]'\n"},
        {.name = "lodash",
         .args = {"get", "a.b.0", "f.json"},
         .files = {kFile},
         .out = "1\n",
         .err = "qm: get: coerced lodash path 'a.b.0' to canonical 'root.a.b[0]'\n"},
        {.name = "note comes before a failed lookup",
         .args = {"get", "a.zz", "f.json"},
         .files = {kFile},
         .err = "qm: get: coerced lodash path 'a.zz' to canonical 'root.a.zz'\nqm: get: key 'zz' not found at .a\n",
         .code = 4},
    });
}

// A key that holds "/", "." or digits is reachable by a pointer and by a
// quoted key; the note shows the key quoted where ".key" would split it.
TEST(GetCommand, KeysHoldingPathMarks) {
    const std::pair<std::string, std::string> lock{
        "lock.json", R"({"p":{"node_modules/lodash.merge":{"v":"4.6.2"},"node_modules/lodash":{"v":"x"}}})"};
    const std::pair<std::string, std::string> api{
        "api.json", R"({"paths":{"/gists":{"get":{"responses":{"200":{"description":"ok"}}}}}})"};
    e2e::check_cases({
        {.name = "pointer",
         .args = {"get", "/p/node_modules~1lodash.merge/v", "lock.json"},
         .files = {lock},
         .out = "\"4.6.2\"\n",
         .err = "qm: get: coerced JSON Pointer path '/p/node_modules~1lodash.merge/v' to canonical "
                "'root.p['node_modules/lodash.merge'].v'\n"},
        {.name = "quoted key",
         .args = {"get", "$.p['node_modules/lodash.merge'].v", "lock.json"},
         .files = {lock},
         .out = "\"4.6.2\"\n",
         .err = "qm: get: coerced JSONPath ($) path '$.p['node_modules/lodash.merge'].v' to canonical "
                "'root.p['node_modules/lodash.merge'].v'\n"},
        {.name = "quoted key in the printed form",
         .args = {"get", ".p[\"node_modules/lodash.merge\"].v", "lock.json"},
         .files = {lock},
         .out = "\"4.6.2\"\n"},
        {.name = "pointer digits name a member",
         .args = {"get", "/paths/~1gists/get/responses/200/description", "api.json"},
         .files = {api},
         .out = "\"ok\"\n",
         .err = "qm: get: coerced JSON Pointer path '/paths/~1gists/get/responses/200/description' to canonical "
                "'root.paths./gists.get.responses[200].description'\n"},
    });
}

TEST(GetCommand, LookupFailures) {
    e2e::check_cases({
        {.name = "missing key",
         .args = {"get", ".x", "a.json"},
         .files = {{"a.json", R"({"a":1})"}},
         .err = "qm: get: key 'x' not found at .\n",
         .code = 4},
        {.name = "index out of bounds",
         .args = {"get", ".a[3]", "a.json"},
         .files = {{"a.json", R"({"a":[1]})"}},
         .err = "qm: get: index [3] out of bounds at .a\n",
         .code = 4},
        {.name = "type mismatch",
         .args = {"get", ".a[0]"},
         .stdin_data = R"({"a":{}})",
         .err = "qm: get: expected array at .a, found object\n",
         .code = 4},
        {.name = "invalid path",
         .args = {"get", "$.a[0", "f.json"},
         .files = {kFile},
         .err = "qm: get: invalid path '$.a[0': unclosed '[' in '.a[0'\n",
         .code = 2},
        {.name = "malformed segment quotes the canonical text",
         .args = {"get", "..a", "f.json"},
         .files = {kFile},
         .err = "qm: get: malformed path segment: root..a\n",
         .code = 2},
        {.name = "not json",
         .args = {"get", ".a"},
         .stdin_data = "{x",
         .err = "qm: get: unexpected byte 0x78 ('x') at offset 1\n",
         .code = 3},
        {.name = "missing file",
         .args = {"get", ".a", "missing.json"},
         .err = "qm: get: missing.json: No such file or directory (os error 2)\n",
         .code = 3},
        {.name = "input error wins over a bad path",
         .args = {"get", "", "missing.json"},
         .err = "qm: get: missing.json: No such file or directory (os error 2)\n",
         .code = 3},
        {.name = "empty path after reading stdin",
         .args = {"get", ""},
         .stdin_data = "{}",
         .err = "qm: get: invalid path '': path is empty\n",
         .code = 2},
        {.name = "directory",
         .args = {"get", ".a", "d"},
         .files = {{"d/x", "1"}},
         .err = "qm: get: d: Is a directory (os error 21)\n",
         .code = 3},
    });
}

TEST(GetCommand, Arguments) {
    e2e::check_cases({
        {.name = "no path", .args = {"get"}, .err = "qm: get: missing <path> argument\n", .code = 2},
        {.name = "three positionals",
         .args = {"get", ".a", "f", "g", "h"},
         .err = "qm: get: unexpected positional argument 'g'\n",
         .code = 2},
        {.name = "unknown flag",
         .args = {"get", "--pretty", ".a"},
         .err = "qm: get: unknown flag '--pretty'\n",
         .code = 2},
        {.name = "minify takes no value",
         .args = {"get", "--minify=1", ".a"},
         .err = "qm: get: unknown flag '--minify=1'\n",
         .code = 2},
        {.name = "double dash", .args = {"get", "--", ".a"}, .err = "qm: get: unknown flag '--'\n", .code = 2},
        {.name = "single dash words are positionals",
         .args = {"get", "-x"},
         .stdin_data = "{}",
         .err = "qm: get: coerced lodash path '-x' to canonical 'root.-x'\nqm: get: key '-x' not found at .\n",
         .code = 4},
        {.name = "-h", .args = {"get", "-h"}, .err = usage()},
        {.name = "--help after a path", .args = {"get", ".a", "--help"}, .err = usage()},
        {.name = "help wins over later arguments", .args = {"get", "--minify", "-h", "x", "y", "z"}, .err = usage()},
        {.name = "flag error before help",
         .args = {"get", "--bad", "-h"},
         .err = "qm: get: unknown flag '--bad'\n",
         .code = 2},
        {.name = "file before path",
         .args = {"get", "f.json", ".a"},
         .files = {kFile},
         .err = "qm: get: argument order changed \xe2\x80\x94 path now comes before file.\n"
                "try: qm get .a f.json\n(got: qm get f.json .a)\n",
         .code = 2},
        {.name = "both look like files: no hint",
         .args = {"get", "f.json", "g.json"},
         .files = {kFile, {"g.json", R"({"f":{"json":5}})"}},
         .out = "5\n",
         .err = "qm: get: coerced lodash path 'f.json' to canonical 'root.f.json'\n"},
    });
}

// Standard input that cannot be read (here a directory) is an input error.
TEST(GetCommand, UnreadableStdin) {
    e2e::TempDir dir;
    const std::string cmd = std::string("'") + QM_BINARY + "' get . < '" + dir.path() + "' 2>&1 >/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string err;
    char buf[256];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) err.append(buf, n);
    const int status = ::pclose(p);
    EXPECT_EQ(err, "qm: get: stdin: Is a directory (os error 21)\n");
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}
