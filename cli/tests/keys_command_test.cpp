#include <string>

#include "cli/help.hpp"
#include "e2e_harness.hpp"

using e2e::QmCase;

TEST(KeysCommand, NamesFromPaths) {
    e2e::check_cases({
        {.name = "sorted distinct",
         .args = {"keys", "d.json"},
         .files = {{"d.json", R"({"users":[{"id":1,"name":"a"},{"id":2,"email":"b"}]})"}},
         .out = "email\nid\nname\nusers\n"},
        {.name = "no objects", .args = {"keys"}, .stdin_data = "[1,2]"},
        {.name = "scalar", .args = {"keys"}, .stdin_data = "null"},
        // Byte order: upper case first, a prefix before the longer name, UTF-8 after ASCII.
        {.name = "byte order",
         .args = {"keys"},
         .stdin_data = "{\"b\":1,\"\xC3\xA9\":1,\"ab\":1,\"a\":1,\"B\":2}",
         .out = "B\na\nab\nb\n\xC3\xA9\n"},
        // A name is listed whole, whatever it holds; the empty name too.
        {.name = "whole names",
         .args = {"keys"},
         .stdin_data = R"({"a.b":1,"x[1]":2,"[y":3,"":4,"1.0":{"node_modules/lodash.merge":5}})",
         .out = "\n1.0\n[y\na.b\nnode_modules/lodash.merge\nx[1]\n"},
        {.name = "raw escapes",
         .args = {"keys"},
         .stdin_data = R"({"a\"b":1,"\u0061":1,"a":2})",
         .out = "\\u0061\na\na\\\"b\n"},
        {.name = "repeated at many paths",
         .args = {"keys"},
         .stdin_data = R"([{"id":1},{"x":{"id":2}}])",
         .out = "id\nx\n"},
        {.name = "invalid UTF-8", .args = {"keys"}, .stdin_data = "{\"k\xFF\":1}", .out = "k\xEF\xBF\xBD\n"},
        // The cap cuts the tree, not the names, and is reported as schema reports it.
        {.name = "cap",
         .args = {"keys", "--max-paths", "2"},
         .stdin_data = R"({"a":1,"b":{"c":{"d":2}}})",
         .out = "a\nb\nc\nd\n",
         .err =
             "qm: keys: WARNING \xE2\x80\x94 exceeded max-paths (2); output may be truncated. Use --max-paths to raise "
             "the cap.\n"},
        {.name = "invalid bytes that read alike",
         .args = {"keys"},
         .stdin_data = "{\"k\xFF\":1,\"k\xFE\":2}",
         .out = "k\xEF\xBF\xBD\n"},
        {.name = "schema flags accepted",
         .args = {"keys", "--format", "json", "--examples=4", "--no-collapse", "--paths-only"},
         .stdin_data = R"({"a":1})",
         .out = "a\n"},
    });
}

TEST(KeysCommand, Failures) {
    const std::string exit_codes = std::string(cli::EXIT_CODES) + "\n";
    e2e::check_cases({
        {.name = "help anywhere",
         .args = {"keys", "--bogus", "-h"},
         .out = std::string(cli::KEYS_HELP) + "\n\n" + exit_codes},
        {.name = "--help=x reaches the flag parser",
         .args = {"keys", "--help=x"},
         .out = std::string(cli::SCHEMA_HELP) + "\n\n" + exit_codes},
        {.name = "bad format",
         .args = {"keys", "--format", "xml"},
         .err = "qm: keys: --format: unknown value 'xml'\n",
         .code = 2},
        {.name = "two files",
         .args = {"keys", "a", "b"},
         .err = "qm: keys: unexpected positional argument 'b'\n",
         .code = 2},
        {.name = "missing file",
         .args = {"keys", "nope.json"},
         .err = "qm: keys: nope.json: No such file or directory (os error 2)\n",
         .code = 3},
        {.name = "two values",
         .args = {"keys"},
         .stdin_data = "{} {}",
         .err =
             "qm: keys: parse error: multiple top-level values (JSONL) detected at offset 3 \xE2\x80\x94 not supported by rova_rudo\n",
         .code = 3},
        {.name = "unclosed",
         .args = {"keys"},
         .stdin_data = R"({"a)",
         .err = "qm: keys: parse error: unclosed string\n",
         .code = 3},
    });
}
