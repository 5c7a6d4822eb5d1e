#include <string>

#include "cli/help.hpp"
#include "e2e_harness.hpp"

using e2e::QmCase;

namespace {

std::string topic(std::string_view t) { return std::string(t) + "\n\n" + std::string(cli::EXIT_CODES) + "\n"; }

// One text-table line: path to 60 characters, types to 20, count right-aligned to 10.
std::string row(std::string path, std::string types, std::string count, std::size_t path_chars = 0) {
    if (path_chars == 0) path_chars = path.size();
    std::string out = path;
    if (path_chars < 60) out.append(60 - path_chars, ' ');
    out += ' ' + types;
    if (types.size() < 20) out.append(20 - types.size(), ' ');
    out += ' ';
    if (count.size() < 10) out.append(10 - count.size(), ' ');
    return out + count + "\n";
}

const std::string kDoc = R"({"users":[{"id":1,"name":"alice"},{"id":2,"name":null}]})";

const std::string kJsonl =
    "{\"path\":\".\",\"type\":\"object\",\"count\":1}\n"
    "{\"path\":\".users\",\"type\":\"array\",\"count\":1}\n"
    "{\"path\":\".users[*]\",\"type\":\"object\",\"count\":2}\n"
    "{\"path\":\".users[*].id\",\"type\":\"number\",\"count\":2,\"examples\":[\"1\",\"2\"]}\n"
    "{\"path\":\".users[*].name\",\"type\":\"string|null\",\"count\":2,\"examples\":[\"alice\",\"null\"]}\n";

const std::string kPaths = ".\n.users\n.users[*]\n.users[*].id\n.users[*].name\n";

const std::string kWarn1 =
    "qm: schema: WARNING \xE2\x80\x94 exceeded max-paths (1); output may be truncated. Use --max-paths to raise the cap.\n";

}  // namespace

TEST(SchemaCommand, Formats) {
    const std::string table = row(".", "object", "1") + row(".users", "array", "1") + row(".users[*]", "object", "2") +
                              row(".users[*].id", "number", "2") + "  ex: 1\n  ex: 2\n" +
                              row(".users[*].name", "string|null", "2") + "  ex: alice\n  ex: null\n";
    std::string json = "[";
    {
        std::string lines = kJsonl;
        for (std::size_t p; (p = lines.find('\n')) != std::string::npos;) {
            if (json.size() > 1) json += ',';
            json += lines.substr(0, p);
            lines.erase(0, p + 1);
        }
        json += "]\n";
    }
    e2e::check_cases({
        {.name = "text from a file", .args = {"schema", "d.json"}, .files = {{"d.json", kDoc}}, .out = table},
        {.name = "text from stdin", .args = {"schema"}, .stdin_data = kDoc, .out = table},
        {.name = "explicit -", .args = {"shape", "-"}, .stdin_data = kDoc, .out = table},
        {.name = "jsonl",
         .args = {"schema", "--format", "jsonl", "d.json"},
         .files = {{"d.json", kDoc}},
         .out = kJsonl},
        {.name = "json inline", .args = {"schema", "--format=json"}, .stdin_data = kDoc, .out = json},
        {.name = "paths-only text", .args = {"schema", "--paths-only=no"}, .stdin_data = kDoc, .out = kPaths},
        {.name = "paths-only ignored in jsonl",
         .args = {"schema", "--paths-only", "--format", "jsonl"},
         .stdin_data = kDoc,
         .out = kJsonl},
        {.name = "paths", .args = {"paths"}, .stdin_data = kDoc, .out = kPaths},
        {.name = "paths given --paths-only", .args = {"paths", "--paths-only"}, .stdin_data = kDoc, .out = kPaths},
        {.name = "paths jsonl", .args = {"paths", "--format", "jsonl"}, .stdin_data = kDoc, .out = kJsonl},
        {.name = "no-collapse changes nothing",
         .args = {"schema", "--no-collapse", "--format", "jsonl"},
         .stdin_data = kDoc,
         .out = kJsonl},
        {.name = "last flag wins",
         .args = {"schema", "--format", "json", "--format", "jsonl"},
         .stdin_data = kDoc,
         .out = kJsonl},
    });
}

TEST(SchemaCommand, Examples) {
    e2e::check_cases({
        // The JSON formats show every stored example, the table at most three.
        {.name = "five examples jsonl",
         .args = {"schema", "--examples=+5", "--format", "jsonl"},
         .stdin_data = "[1,2,3,4,5,6]",
         .out = "{\"path\":\".\",\"type\":\"array\",\"count\":1}\n"
                "{\"path\":\".[*]\",\"type\":\"number\",\"count\":6,\"examples\":[\"1\",\"2\",\"3\",\"4\",\"5\"]}\n"},
        {.name = "five examples text",
         .args = {"schema", "--examples", "5"},
         .stdin_data = "[1,2,3,4,5,6]",
         .out = row(".", "array", "1") + row(".[*]", "number", "6") + "  ex: 1\n  ex: 2\n  ex: 3\n"},
        {.name = "no examples",
         .args = {"schema", "--examples", "0", "--format", "jsonl"},
         .stdin_data = "[1]",
         .out =
             "{\"path\":\".\",\"type\":\"array\",\"count\":1}\n{\"path\":\".[*]\",\"type\":\"number\",\"count\":1}\n"},
        // Raw string bodies are escaped for JSON; control bytes as lower-case \u00xx.
        {.name = "json escaping",
         .args = {"schema", "--format", "jsonl"},
         .stdin_data = "[\"a\\\"b\\u001F\", \"\t\"]",
         .out = "{\"path\":\".\",\"type\":\"array\",\"count\":1}\n"
                "{\"path\":\".[*]\",\"type\":\"string\",\"count\":2,\"examples\":[\"a\\\\\\\"b\\\\u001F\",\"\\t\"]}\n"},
        {.name = "raw control byte",
         .args = {"schema", "--format", "jsonl"},
         .stdin_data = std::string("[\"\x01\xC3\xA9\"]"),
         .out = "{\"path\":\".\",\"type\":\"array\",\"count\":1}\n"
                "{\"path\":\".[*]\",\"type\":\"string\",\"count\":1,\"examples\":[\"\\u0001\xC3\xA9\"]}\n"},
        // An 80-byte cut inside a two-byte character leaves a partial one: U+FFFD.
        {.name = "cut character",
         .args = {"schema", "--format", "jsonl"},
         .stdin_data = "[\"" + std::string(79, 'a') + "\xC3\xA9\"]",
         .out = "{\"path\":\".\",\"type\":\"array\",\"count\":1}\n"
                "{\"path\":\".[*]\",\"type\":\"string\",\"count\":1,\"examples\":[\"" +
                std::string(79, 'a') + "\xEF\xBF\xBD\"]}\n"},
        {.name = "cut character text",
         .args = {"schema"},
         .stdin_data = "[\"" + std::string(79, 'a') + "\xC3\xA9\"]",
         .out =
             row(".", "array", "1") + row(".[*]", "string", "1") + "  ex: " + std::string(79, 'a') + "\xEF\xBF\xBD\n"},
    });
}

TEST(SchemaCommand, TableWidths) {
    const std::string long_key(70, 'k');
    const std::string wide_key = "\xC3\xA9\xC3\xA9";  // 4 bytes, 2 characters
    e2e::check_cases({
        // A long path is written whole and followed by exactly one space.
        {.name = "long path",
         .args = {"schema", "--examples", "0"},
         .stdin_data = "{\"" + long_key + "\":1}",
         .out = row(".", "object", "1") + "." + long_key + " number               " + std::string(9, ' ') + "1\n"},
        // Padding counts characters, not bytes.
        {.name = "non-ASCII path",
         .args = {"schema", "--examples", "0"},
         .stdin_data = "{\"" + wide_key + "\":true}",
         .out = row(".", "object", "1") + row("." + wide_key, "boolean", "1", 3)},
        {.name = "invalid UTF-8 key", .args = {"paths"}, .stdin_data = "{\"k\xFF\":1}", .out = ".\n.k\xEF\xBF\xBD\n"},
    });
}

TEST(SchemaCommand, PathCap) {
    e2e::check_cases({
        {.name = "cap 1",
         .args = {"schema", "--max-paths", "1"},
         .stdin_data = R"({"a":1,"b":[2]})",
         .out = row(".", "object", "1"),
         .err = kWarn1},
        {.name = "cap reached in paths",
         .args = {"paths", "--max-paths=2"},
         .stdin_data = R"({"a":1,"b":2})",
         .out = ".\n.a\n",
         .err =
             "qm: schema: WARNING \xE2\x80\x94 exceeded max-paths (2); output may be truncated. Use --max-paths to raise the cap.\n"},
        {.name = "cap not reached",
         .args = {"paths", "--max-paths", "3"},
         .stdin_data = R"({"a":1,"b":2})",
         .out = ".\n.a\n.b\n"},
    });
}

TEST(SchemaCommand, UsageErrors) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a.json", "b.json"}, "unexpected positional argument 'b.json'"},
        {{"--format", "JSON"}, "--format: unknown value 'JSON'"},
        {{"--format="}, "--format: unknown value ''"},
        {{"--format", "--paths-only"}, "--format: unknown value '--paths-only'"},
        {{"--examples", "-1"}, "--examples: '-1' is not a non-negative integer"},
        {{"--max-paths=1x"}, "--max-paths: '1x' is not a non-negative integer"},
        {{"--max-paths", "18446744073709551616"}, "--max-paths: '18446744073709551616' is not a non-negative integer"},
        {{"--examples", "+"}, "--examples: '+' is not a non-negative integer"},
        {{"--bogus=1"}, "unknown flag '--bogus=1'"},
        {{"--"}, "unknown flag '--'"},
    };
    std::vector<QmCase> runs;
    for (const auto& [args, msg] : cases) {
        for (const char* cmd : {"schema", "shape", "paths"}) {
            QmCase c{.name = std::string(cmd) + " " + msg, .args = {cmd}};
            c.args.insert(c.args.end(), args.begin(), args.end());
            c.err = "qm: schema: " + msg + "\n";
            c.code = 2;
            runs.push_back(c);
        }
    }
    // paths appends --paths-only, which a trailing value flag then consumes;
    // shape and paths answer a --help anywhere themselves.
    runs.push_back({.name = "requires a value",
                    .args = {"schema", "--examples"},
                    .err = "qm: schema: --examples requires a value\n",
                    .code = 2});
    runs.push_back({.name = "paths feeds its flag to a trailing value flag",
                    .args = {"paths", "--examples"},
                    .err = "qm: schema: --examples: '--paths-only' is not a non-negative integer\n",
                    .code = 2});
    // The first error ends the parse: a later help flag is not looked at.
    runs.push_back({.name = "error before help",
                    .args = {"schema", "--bogus", "--help"},
                    .err = "qm: schema: unknown flag '--bogus'\n",
                    .code = 2});
    e2e::check_cases(runs);
}

TEST(SchemaCommand, HelpAndInputFailures) {
    e2e::check_cases({
        {.name = "schema -h", .args = {"schema", "x", "y", "-h"}, .out = topic(cli::SCHEMA_HELP)},
        {.name = "schema --help=x", .args = {"schema", "--help=x"}, .out = topic(cli::SCHEMA_HELP)},
        {.name = "shape -h", .args = {"shape", "-h"}, .out = topic(cli::SHAPE_HELP)},
        {.name = "shape --help=x", .args = {"shape", "--help=x"}, .out = topic(cli::SCHEMA_HELP)},
        {.name = "paths --help", .args = {"paths", "--bogus", "--help"}, .out = topic(cli::PATHS_HELP)},
        {.name = "paths --help=x", .args = {"paths", "--help=x"}, .out = topic(cli::SCHEMA_HELP)},
        {.name = "missing file",
         .args = {"schema", "nope.json"},
         .err = "qm: schema: nope.json: No such file or directory (os error 2)\n",
         .code = 3},
        {.name = "-x is a file",
         .args = {"paths", "-x"},
         .err = "qm: schema: -x: No such file or directory (os error 2)\n",
         .code = 3},
        {.name = "empty", .args = {"schema"}, .err = "qm: schema: parse error: unexpected end of input\n", .code = 3},
        {.name = "two values",
         .args = {"schema", "d.jsonl"},
         .files = {{"d.jsonl", "{\"a\":1}\n{\"a\":2}\n"}},
         .err =
             "qm: schema: parse error: multiple top-level values (JSONL) detected at offset 8 \xE2\x80\x94 not supported by rova_rudo\n",
         .code = 3},
        {.name = "bad byte",
         .args = {"schema"},
         .stdin_data = "[1,]",
         .err = "qm: schema: parse error: unexpected byte 0x5D (']') at offset 3\n",
         .code = 3},
        {.name = "directory",
         .args = {"schema", "."},
         .err = "qm: schema: .: Is a directory (os error 21)\n",
         .code = 3},
    });
}
