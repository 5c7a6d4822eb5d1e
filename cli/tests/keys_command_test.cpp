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
        // Names split like the printed path does.
        {.name = "dotted", .args = {"keys"}, .stdin_data = R"({"a.b":1,"x[1]":2,"[y":3,"":4})", .out = "a\nb\nx\n"},
        {.name = "raw escapes",
         .args = {"keys"},
         .stdin_data = R"({"a\"b":1,"\u0061":1,"a":2})",
         .out = "\\u0061\na\na\\\"b\n"},
        {.name = "repeated at many paths",
         .args = {"keys"},
         .stdin_data = R"([{"id":1},{"x":{"id":2}}])",
         .out = "id\nx\n"},
        {.name = "invalid UTF-8", .args = {"keys"}, .stdin_data = "{\"k\xFF\":1}", .out = "k\xEF\xBF\xBD\n"},
        // The cap is not reported by keys.
        {.name = "cap", .args = {"keys", "--max-paths", "2"}, .stdin_data = R"({"a":1,"b":2})", .out = "a\n"},
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
