#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/help.hpp"
#include "e2e_harness.hpp"

using e2e::QmCase;

namespace {

const std::string kData = R"({"users":[{"name":"Alice","email":"alice@example.com","age":30},)"
                          R"({"name":"Bob","email":"bob@corp.io","age":41}],"ok":true})";

std::vector<std::pair<std::string, std::string>> data_file() { return {{"data.json", kData}}; }

using e2e::usage;

const std::string kNoFile = "No such file or directory (os error 2)";

}  // namespace

TEST(SearchCommand, UsageErrorsTouchNoInput) {
    e2e::check_cases({
        {.name = "unknown short",
         .args = {"search", "-5", "data.json"},
         .files = data_file(),
         .err = "qm: search: unknown flag '-5'\n",
         .code = 2},
        {.name = "order hint",
         .args = {"search", "data.json", "foo"},
         .files = data_file(),
         .err = "qm: search: argument order changed — pattern now comes before file.\n"
                "try: qm search \"foo\" data.json\n(got: qm search data.json foo)\n",
         .code = 2},
        {.name = "no term",
         .args = {"search"},
         .err = "qm: search: missing search term (provide <term>, --key/--value, --type, --where, --path, --emit, "
                "--exists, or --missing)\n",
         .code = 2},
        {.name = "help", .args = {"search", "foo", "-h", "--bogus"}, .err = usage(), .code = 0},
        {.name = "error before help",
         .args = {"search", "--format", "xml", "-h"},
         .err = "qm: search: --format: unknown value 'xml'\n",
         .code = 2},
    });
}

TEST(SearchCommand, PresenceRoad) {
    e2e::check_cases({
        {.name = "exists",
         .args = {"search", "--exists", ".users[1].age", "data.json"},
         .files = data_file(),
         .out = ".users[1].age\n"},
        {.name = "exists as typed",
         .args = {"search", "--exists", "$.ok", "data.json"},
         .files = data_file(),
         .out = "$.ok\n"},
        {.name = "exists pointer",
         .args = {"search", "--exists", "/users/0/name", "data.json"},
         .files = data_file(),
         .out = "/users/0/name\n"},
        {.name = "exists absent",
         .args = {"search", "--exists", ".users[2]", "data.json"},
         .files = data_file(),
         .code = 1},
        {.name = "missing absent",
         .args = {"search", "--missing", ".nope", "data.json"},
         .files = data_file(),
         .out = ".nope\n"},
        {.name = "missing present",
         .args = {"search", "--missing", ".ok", "data.json"},
         .files = data_file(),
         .code = 1},
        {.name = "stdin", .args = {"search", "--exists", ".a"}, .stdin_data = "{\"a\":null}", .out = ".a\n"},
        {.name = "type mismatch is absent",
         .args = {"search", "--missing", ".ok.x", "data.json"},
         .files = data_file(),
         .out = ".ok.x\n"},
        {.name = "not json is absent",
         .args = {"search", "--missing", ".a", "notjson.txt"},
         .files = {{"notjson.txt", "hello"}},
         .out = ".a\n"},
        {.name = "unreadable",
         .args = {"search", "--exists", ".a", "nofile.json"},
         .err = "qm: search: nofile.json: " + kNoFile + "\n",
         .code = 3},
        {.name = "pattern not expanded",
         .args = {"search", "--exists", ".a", "*.json"},
         .files = data_file(),
         .err = "qm: search: *.json: " + kNoFile + "\n",
         .code = 3},
        {.name = "unreadable path text",
         .args = {"search", "--exists", "", "data.json"},
         .files = data_file(),
         .err = "qm: search: invalid path '': path is empty\n",
         .code = 2},
    });
}

// Presence and --path reach keys holding "/" or "." and a pointer's digits
// on an object as get does; printed paths keep their unquoted form.
TEST(SearchCommand, QuotedKeysAndPointerDigits) {
    const std::vector<std::pair<std::string, std::string>> lock = {
        {"lock.json", R"({"p":{"node_modules/lodash.merge":{"v":"4.6.2"},"node_modules/lodash":{"v":"x"}},)"
                      R"("o":{"0":"zero"},"a":[10,20]})"}};
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int code;
    };
    const std::vector<Case> cases = {
        {{"--exists", "/p/node_modules~1lodash.merge/v"}, "/p/node_modules~1lodash.merge/v\n", 0},
        {{"--missing", "$.p['node_modules/lodash.merge'].v"}, "", 1},
        {{"--exists", ".p[\"node_modules/lodash.merge\"]"}, ".p[\"node_modules/lodash.merge\"]\n", 0},
        {{"--exists", "/o/0"}, "/o/0\n", 0},
        {{"--missing", "/o/1"}, "/o/1\n", 0},
        {{"--exists", "/a/1"}, "/a/1\n", 0},
        {{"--path", ".p['node_modules/lodash.merge']"}, ".p.node_modules/lodash.merge.v\n", 0},
        {{"--path", "/p/node_modules~1lodash.merge"}, ".p.node_modules/lodash.merge.v\n", 0},
        {{"--path", "/o/0"}, ".o.0\n", 0},
        {{"--path", "/a/1"}, ".a[1]\n", 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"search"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("lock.json");
        e2e::check_case(
            {.name = c.args[0] + " " + c.args[1], .args = args, .files = lock, .out = c.out, .code = c.code});
    }
}

// A path that reads as a path but that the lookup cannot parse must be an
// error, never "absent": otherwise --missing reports success for a typo.
TEST(SearchCommand, PresenceRejectsMalformedPaths) {
    for (const char* flag : {"--exists", "--missing"}) {
        e2e::check_cases({
            {.name = std::string(flag) + " .a[",
             .args = {"search", flag, ".a[", "data.json"},
             .files = data_file(),
             .err = "qm: search: invalid path '.a[': malformed path segment: root.a[\n",
             .code = 2},
            {.name = std::string(flag) + " .a[x]",
             .args = {"search", flag, ".a[x]", "data.json"},
             .files = data_file(),
             .err = "qm: search: invalid path '.a[x]': malformed path segment: root.a[x]\n",
             .code = 2},
        });
    }
}

TEST(SearchCommand, FormatsAndFraming) {
    e2e::check_cases({
        {.name = "plain paths",
         .args = {"search", "alice", "data.json"},
         .files = data_file(),
         .out = ".users[0].name\n.users[0].email\n"},
        {.name = "case sensitive",
         .args = {"search", "-S", "alice", "data.json"},
         .files = data_file(),
         .out = ".users[0].email\n"},
        {.name = "no match", .args = {"search", "zzz", "data.json"}, .files = data_file(), .code = 1},
        {.name = "json no match",
         .args = {"search", "--format", "json", "zzz", "data.json"},
         .files = data_file(),
         .out = "[]\n",
         .code = 1},
        {.name = "json",
         .args = {"search", "-f", "json", "alice", "data.json"},
         .files = data_file(),
         .out = "[\".users[0].name\",\".users[0].email\"]\n"},
        {.name = "jsonl values",
         .args = {"search", "--format=jsonl", "--emit", "value", "b", "data.json"},
         .files = data_file(),
         .out = "\"Bob\"\n\"bob@corp.io\"\n"},
        {.name = "count", .args = {"search", "-c", "b", "data.json"}, .files = data_file(), .out = "2\n"},
        {.name = "count zero",
         .args = {"search", "--count", "zzz", "data.json"},
         .files = data_file(),
         .out = "0\n",
         .code = 1},
        {.name = "json count",
         .args = {"search", "--format", "json", "--count", "alice", "data.json"},
         .files = data_file(),
         .out = "2\n"},
        {.name = "assignment",
         .args = {"search", "--emit", "assignment", "bob", "data.json"},
         .files = data_file(),
         .out = ".users[1].name = \"Bob\"\n.users[1].email = \"bob@corp.io\"\n"},
        {.name = "raw value",
         .args = {"search", "--emit", "value", "--raw", "corp", "data.json"},
         .files = data_file(),
         .out = "bob@corp.io\n"},
        {.name = "max output",
         .args = {"search", "--max-output", "10", "alice", "data.json"},
         .files = data_file(),
         .out = ".users[0]."},
        {.name = "ai envelope",
         .args = {"search", "--ai", "bob@", "data.json"},
         .files = data_file(),
         .out = "{\"path\":\".users[1].email\",\"preview\":\"\\\"bob@corp.io\\\"\"}\n"},
        {.name = "where",
         .args = {"search", "--where", ".age > 35", "--emit", "object", "data.json"},
         .files = data_file(),
         .out = "{\"name\":\"Bob\",\"email\":\"bob@corp.io\",\"age\":41}\n"},
        {.name = "type number",
         .args = {"search", "--type", "number", "data.json"},
         .files = data_file(),
         .out = ".users[0].age\n.users[1].age\n"},
        {.name = "path pattern",
         .args = {"search", "-p", ".users[*].name", "--emit", "value", "data.json"},
         .files = data_file(),
         .out = "\"Alice\"\n\"Bob\"\n"},
        {.name = "key and value",
         .args = {"search", "--key", "email", "--value", "corp", "data.json"},
         .files = data_file(),
         .out = ".users[1].email\n"},
        {.name = "keys only",
         .args = {"search", "--keys-only", "mail", "data.json"},
         .files = data_file(),
         .out = ".users[0].email\n.users[1].email\n"},
        {.name = "first", .args = {"search", "-1", "b", "data.json"}, .files = data_file(), .out = ".users[1].name\n"},
    });
}

// A bad regex, path pattern or predicate is exit 2, yet the JSON array is
// still closed and the --count total still written.
TEST(SearchCommand, MoreFlags) {
    e2e::check_cases({
        {.name = "max-results",
         .args = {"search", "--max-results", "1", "alice", "data.json"},
         .files = data_file(),
         .out = ".users[0].name\n"},
        {.name = "max-value-bytes",
         .args = {"search", "--emit", "value", "--max-value-bytes", "3", "corp", "data.json"},
         .files = data_file(),
         .out = "\"bob…\"\n"},
        {.name = "value alone",
         .args = {"search", "--value", "corp", "data.json"},
         .files = data_file(),
         .out = ".users[1].email\n"},
        {.name = "key alone",
         .args = {"search", "--key", "age", "data.json"},
         .files = data_file(),
         .out = ".users[0].age\n.users[1].age\n"},
        {.name = "all types",
         .args = {"search", "--all-types", "4", "data.json"},
         .files = data_file(),
         .out = ".users[1].age\n"},
        {.name = "strings only by default in memory",
         .args = {"search", "--emit", "value", "4"},
         .stdin_data = kData,
         .code = 1},
        {.name = "envelope json",
         .args = {"search", "-f", "json", "--envelope", "-t", "boolean", "data.json"},
         .files = data_file(),
         .out = "[{\"path\":\".ok\",\"preview\":\"true\"}]\n"},
        {.name = "parent",
         .args = {"search", "-p", ".users[*]", "--emit", "parent", "bob", "data.json"},
         .files = data_file(),
         .out = "{\"name\":\"Bob\",\"email\":\"bob@corp.io\",\"age\":41}\n"},
        {.name = "where short",
         .args = {"search", "-e", ".name == \"Alice\"", "--emit", "object", "-"},
         .stdin_data = kData,
         .out = "{\"name\":\"Alice\",\"email\":\"alice@example.com\",\"age\":30}\n"},
        {.name = "type as file guess",
         .args = {"search", "-t", "string", "data.json"},
         .files = data_file(),
         .out = ".users[0].name\n.users[0].email\n.users[1].name\n.users[1].email\n"},
        {.name = "lone emit reads stdin", .args = {"search", "--emit", "value"}, .stdin_data = "[1]", .code = 1},
        {.name = "regex",
         .args = {"search", "-r", "^b.b$", "data.json"},
         .files = data_file(),
         .out = ".users[1].name\n"},
        // The limit is a number of unique paths: a key and its value are one.
        {.name = "limit counts paths",
         .args = {"search", "--limit", "2", "foo"},
         .stdin_data = R"({"foo":"foo","x":"foo","y":"foo"})",
         .out = ".foo\n.x\n"},
        {.name = "limit counts paths in count mode",
         .args = {"search", "-c", "-n", "2", "foo"},
         .stdin_data = R"({"foo":"foo","x":"foo","y":"foo"})",
         .out = "2\n"},
    });
}

TEST(SearchCommand, RequestErrorsStillCloseTheOutput) {
    struct Case {
        std::vector<std::string> args;
        std::string out, err_prefix;
    };
    const std::vector<Case> cases = {
        {{"search", "--regex", "(", "data.json"}, "", "qm: search: regex compile error: "},
        {{"search", "-r", "-f", "json", "(", "data.json"}, "[]\n", "qm: search: regex compile error: "},
        {{"search", "-r", "-c", "(", "data.json"}, "0\n", "qm: search: regex compile error: "},
        {{"search", "--regex", "\\Q.\\E", "data.json"},
         "",
         "qm: search: regex compile error: invalid escape sequence: \\Q\n"},
        {{"search", "--path", "", "-"}, "", "qm: search: bad --path: "},
        {{"search", "--where", ".a >", "data.json"}, "", "qm: search: bad --where: "},
        {{"search", "-f", "json", "--where", "(", "x*.json"}, "[]\n", "qm: search: bad --where: "},
    };
    e2e::TempDir dir;
    dir.write("data.json", kData);
    dir.write("x1.json", kData);
    dir.write("x2.json", kData);
    for (const Case& c : cases) {
        e2e::QmRun r = e2e::run_qm(c.args, kData, {}, dir.path());
        EXPECT_EQ(r.code, 2) << c.args[2];
        EXPECT_EQ(r.out, c.out) << c.args[2];
        EXPECT_EQ(r.err.rfind(c.err_prefix, 0), 0u) << r.err;
        // One message, even over several files: the loop stops at the first.
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

// A bad request is the answer before any input is opened or waited for: on
// each engine's road, with a file that does not exist, and with a standard
// input that never ends (the run is killed and fails if qm waits for it).
TEST(SearchCommand, RequestErrorsComeBeforeAnyInput) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string bad_regex = "qm: search: regex compile error: invalid perl operator: (?=\n";
    const std::vector<Case> cases = {
        {{"search", "--regex", "(?=a)"}, bad_regex},
        {{"search", "--regex", "--all-types", "(?=a)"}, bad_regex},
        {{"search", "--where", ".a matches /(/"}, "qm: search: bad --where: invalid regex: missing ): (\n"},
        {{"search", "--path", ".a["}, "qm: search: bad --path: unclosed '[' in path\n"},
    };
    for (const Case& c : cases) {
        for (const bool from_stdin : {false, true}) {
            std::vector<std::string> args = c.args;
            if (!from_stdin) args.push_back("missing.json");
            e2e::QmRun r = e2e::run_qm(args, "[", {}, "", 20, true);
            EXPECT_EQ(r.code, 2) << args[2];
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.err);
        }
    }
}

TEST(SearchCommand, GlobsSearchEveryFileInOrder) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"d/a.json", R"({"k":"foo"})"},    {"d/b.json", "{oops"}, {"d/c.json", R"({"k":"nofoo","j":"foo"})"},
        {"e/only.json", R"({"k":"foo"})"}, {"f/x.json", "{}"},    {"f/y.json", "[]"}};
    e2e::check_cases({
        {.name = "prefix and failure",
         .args = {"search", "foo", "d/*.json"},
         .files = files,
         .out = "d/a.json:.k\nd/c.json:.k\nd/c.json:.j\n",
         .err = "qm: search: d/b.json: Unexpected character 'o' at position 1\n"},
        {.name = "json keeps one array",
         .args = {"search", "-f", "json", "foo", "d/[ac].json"},
         .files = files,
         .out = "[\".k\",\".k\",\".j\"]\n"},
        {.name = "envelope names the file",
         .args = {"search", "-f", "jsonl", "--envelope", "foo", "d/[ab].json"},
         .files = files,
         .out = "{\"file\":\"d/a.json\",\"path\":\".k\",\"preview\":\"\\\"foo\\\"\"}\n",
         .err = "qm: search: d/b.json: Unexpected character 'o' at position 1\n"},
        {.name = "limit applies per file",
         .args = {"search", "--first", "foo", "d/[ac].json"},
         .files = files,
         .out = "d/a.json:.k\nd/c.json:.k\n"},
        {.name = "one file no prefix", .args = {"search", "foo", "e/*.json"}, .files = files, .out = ".k\n"},
        {.name = "failure only",
         .args = {"search", "foo", "d/b*"},
         .files = files,
         .err = "qm: search: d/b.json: Unexpected character 'o' at position 1\n",
         .code = 3},
        {.name = "valid files no match", .args = {"search", "foo", "f/*"}, .files = files, .code = 1},
        {.name = "recursive",
         .args = {"search", "-c", "foo", "**/*.json"},
         .files = files,
         .out = "4\n",
         .err = "qm: search: d/b.json: Unexpected character 'o' at position 1\n"},
        {.name = "names not utf-8",
         .args = {"search", "foo", "u/*"},
         .files = {{"u/a\xff.json", R"(["foo"])"}, {"u/b\xfe.json", "["}},
         .out = "u/a\xEF\xBF\xBD.json:.[0]\n",
         .err = "qm: search: u/b\xEF\xBF\xBD.json: Unclosed container\n"},
        {.name = "no match",
         .args = {"search", "foo", "none/*.json"},
         .files = files,
         .err = "qm: search: no files match pattern 'none/*.json'\n",
         .code = 3},
        {.name = "bad pattern",
         .args = {"search", "foo", "a[.json"},
         .err = "qm: search: invalid glob pattern 'a[.json': Pattern syntax error near position 1: invalid range "
                "pattern\n",
         .code = 3},
        {.name = "missing file",
         .args = {"search", "foo", "nofile.json"},
         .err = "qm: search: nofile.json: " + kNoFile + "\n",
         .code = 3},
        {.name = "missing file in memory",
         .args = {"search", "--all-types", "foo", "nofile.json"},
         .err = "qm: search: nofile.json: " + kNoFile + "\n",
         .code = 3},
    });
}

// A glob of more files than the search takes ahead at once: matches, counts
// and failures come out in the glob's order, whichever thread searched each
// file, also with a JSON Lines file, searched by the other engine, between
// two globs.
TEST(SearchCommand, ManyFilesKeepTheGlobsOrder) {
    std::vector<std::pair<std::string, std::string>> files;
    std::string out, counted, err;
    int total = 0;
    for (int i = 0; i < 150; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "m/f%03d.json", i);
        if (i % 7 == 3) {
            files.push_back({name, "{oops"});
            err += "qm: search: " + std::string(name) + ": Unexpected character 'o' at position 1\n";
            continue;
        }
        const int hits = i % 4;
        std::string doc = "[";
        for (int h = 0; h < hits; ++h) doc += "\"foo\",";
        doc += "\"bar\"]";
        files.push_back({name, doc});
        for (int h = 0; h < hits; ++h) out += std::string(name) + ":.[" + std::to_string(h) + "]\n";
        total += hits;
    }
    counted = std::to_string(total) + "\n";
    files.push_back({"l.jsonl", "{\"a\":\"foo\"}\n{\"b\":\"foo\"}\n"});
    e2e::check_cases({
        {.name = "paths", .args = {"search", "foo", "m/*.json"}, .files = files, .out = out, .err = err},
        {.name = "count", .args = {"search", "-c", "foo", "m/*.json"}, .files = files, .out = counted, .err = err},
        {.name = "between globs",
         .args = {"search", "foo", "m/*.json", "l.jsonl", "m/f1*.json"},
         .files = files,
         .out = out + "l.jsonl:.[0].a\nl.jsonl:.[1].b\n" + out.substr(out.find("m/f1")),
         .err = err + err.substr(err.find("m/f1") - 12)},
        // Files searched ahead while later arguments are listed wait for
        // what those arguments say: the reports of the files come after it,
        // and an argument that is no pattern leaves standard output empty.
        {.name = "then a glob that matches nothing",
         .args = {"search", "foo", "m/*.json", "none/*.json"},
         .files = files,
         .out = out,
         .err = "qm: search: no files match pattern 'none/*.json'\n" + err},
        {.name = "then a bad pattern",
         .args = {"search", "foo", "m/*.json", "a[.json"},
         .files = files,
         .err = "qm: search: invalid glob pattern 'a[.json': Pattern syntax error near position 1: invalid range "
                "pattern\n",
         .code = 3},
    });
}

// File arguments the shell listed are searched like the files of one glob:
// in order, each prefixed, a failed one reported while the others go on.
TEST(SearchCommand, SeveralFileArgumentsSearchEachInOrder) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.json", R"({"k":"foo"})"}, {"b.json", R"({"j":"foo","n":"bar"})"},
        {"bad.json", "{oops"},        {"l.jsonl", "{\"m\":\"foo\"}\n{\"m\":\"foo\"}\n"},
        {"g/x.json", R"(["foo"])"},   {"g/y.json", R"(["bar"])"}};
    e2e::check_cases({
        {.name = "in order with prefixes",
         .args = {"search", "foo", "b.json", "a.json"},
         .files = files,
         .out = "b.json:.j\na.json:.k\n"},
        {.name = "failure goes on",
         .args = {"search", "foo", "bad.json", "a.json"},
         .files = files,
         .out = "a.json:.k\n",
         .err = "qm: search: bad.json: Unexpected character 'o' at position 1\n"},
        {.name = "missing file goes on",
         .args = {"search", "--all-types", "foo", "nofile.json", "a.json"},
         .files = files,
         .out = "a.json:.k\n",
         .err = "qm: search: nofile.json: " + kNoFile + "\n"},
        {.name = "failure only",
         .args = {"search", "foo", "bad.json", "nofile.json"},
         .files = files,
         .err =
             "qm: search: bad.json: Unexpected character 'o' at position 1\nqm: search: nofile.json: " + kNoFile + "\n",
         .code = 3},
        {.name = "no match", .args = {"search", "zzz", "a.json", "b.json"}, .files = files, .code = 1},
        {.name = "each by its own extension",
         .args = {"search", "foo", "l.jsonl", "a.json"},
         .files = files,
         .out = "l.jsonl:.[0].m\nl.jsonl:.[1].m\na.json:.k\n"},
        {.name = "quoted glob among them",
         .args = {"search", "foo", "a.json", "g/*.json"},
         .files = files,
         .out = "a.json:.k\ng/x.json:.[0]\n"},
        {.name = "glob matching nothing goes on",
         .args = {"search", "foo", "a.json", "none/*.json"},
         .files = files,
         .out = "a.json:.k\n",
         .err = "qm: search: no files match pattern 'none/*.json'\n"},
        {.name = "globs matching nothing only",
         .args = {"search", "foo", "none/*.json", "no/*.json"},
         .files = files,
         .err = "qm: search: no files match pattern 'none/*.json'\nqm: search: no files match pattern 'no/*.json'\n",
         .code = 3},
        {.name = "where takes every file",
         .args = {"search", "--where", ".k == \"foo\"", "a.json", "b.json", "g/x.json"},
         .files = files,
         .out = "a.json:.\n"},
        {.name = "where with a term",
         .args = {"search", "--where", ".n exists", "bar", "b.json", "a.json"},
         .files = files,
         .out = "b.json:.n\n"},
        {.name = "type takes every file",
         .args = {"search", "--type", "string", "a.json", "g/x.json", "b.json"},
         .files = files,
         .out = "a.json:.k\ng/x.json:.[0]\nb.json:.j\nb.json:.n\n"},
        {.name = "extract takes every file",
         .args = {"extract", ".k", "a.json", "b.json"},
         .files = files,
         .out = "a.json:\"foo\"\n"},
        {.name = "count over all",
         .args = {"search", "-c", "foo", "a.json", "b.json", "l.jsonl"},
         .files = files,
         .out = "4\n"},
        {.name = "json keeps one array",
         .args = {"search", "-f", "json", "foo", "a.json", "b.json"},
         .files = files,
         .out = "[\".k\",\".j\"]\n"},
        {.name = "key query",
         .args = {"search", "--key", "n", "a.json", "b.json"},
         .files = files,
         .out = "b.json:.n\n"},
        {.name = "dash among files is a name",
         .args = {"search", "foo", "-", "a.json"},
         .stdin_data = kData,
         .files = files,
         .out = "a.json:.k\n",
         .err = "qm: search: -: " + kNoFile + "\n"},
    });
}

TEST(SearchCommand, StandardInputAndJsonLines) {
    const std::string lines = "{\"m\":\"foo\"}\n{\"m\":\"bar\"}\n{\"m\":\"foo2\"}\n";
    e2e::check_cases({
        {.name = "stdin", .args = {"search", "alice"}, .stdin_data = kData, .out = ".users[0].name\n.users[0].email\n"},
        {.name = "stdin dash",
         .args = {"search", "bob", "-"},
         .stdin_data = kData,
         .out = ".users[1].name\n.users[1].email\n"},
        {.name = "stdin error after match",
         .args = {"search", "foo"},
         .stdin_data = "[\"foo\",",
         .out = ".[0]\n",
         .err = "qm: search: stdin: parse error: unexpected end of input\n"},
        {.name = "stdin not json lines",
         .args = {"search", "foo"},
         .stdin_data = lines,
         .out = ".m\n",
         .err = "qm: search: stdin: parse error: multiple top-level values (JSONL) detected at offset "
                "12 — not supported by rova_rudo\n"},
        {.name = "ndjson flag on stdin",
         .args = {"search", "--ndjson", "foo"},
         .stdin_data = lines,
         .out = ".[0].m\n.[2].m\n"},
        {.name = "extension",
         .args = {"search", "foo", "logs.JSONL"},
         .files = {{"logs.JSONL", lines}},
         .out = ".[0].m\n.[2].m\n"},
        {.name = "glob extension",
         .args = {"search", "foo", "l/*.ndjson"},
         .files = {{"l/a.ndjson", lines}, {"l/b.ndjson", "{\"m\":\"foo\"}"}},
         .out = "l/a.ndjson:.[0].m\nl/a.ndjson:.[2].m\nl/b.ndjson:.[0].m\n"},
        {.name = "not an extension",
         .args = {"search", "--all-types", "foo", "x.jsonl.gz"},
         .files = {{"x.jsonl.gz", lines}},
         .out = ".m\n",
         .err = "qm: search: x.jsonl.gz: parse error: multiple top-level values (JSONL) detected at "
                "offset 12 — not supported by rova_rudo\n"},
    });
}

// The tape engine (plain queries on files, read whole or streamed) and the
// in-memory engine must agree wherever both select the same matches (string
// values, keys).
TEST(SearchCommand, EnginesAgree) {
    const std::string doc =
        R"({"a":{"name":"Ann","tags":["x-ann","y"],"sub":{"annex":"ANN\"q"}},"list":[{"k":"ann"},{"k":"bob"},)"
        R"({"annual":1}],"e\u00e9":"é ann"})";
    const std::vector<std::vector<std::string>> queries = {
        {"ann"},       {"-S", "ann"},  {"--keys-only", "ann"}, {"--values-only", "ann"},
        {"-r", "^an"}, {"--key", "k"}, {"--value", "bob"},     {"--key", "name", "--value", "a"},
        {"é"},         {"ANN\\\"q"},   {"-r", "[xy]$"},        {"--limit", "2", "ann"},
    };
    e2e::TempDir dir;
    dir.write("doc.json", doc);
    for (const auto& q : queries) {
        std::vector<std::string> file_args = {"search"}, stdin_args = {"search"};
        file_args.insert(file_args.end(), q.begin(), q.end());
        stdin_args.insert(stdin_args.end(), q.begin(), q.end());
        file_args.push_back("doc.json");
        e2e::QmRun tape = e2e::run_qm(file_args, "", {}, dir.path());
        e2e::QmRun mem = e2e::run_qm(stdin_args, doc, {}, dir.path());
        e2e::QmRun streamed = e2e::run_qm(file_args, "", {{"QUELLMOR_MMAP_THRESHOLD_MB", "0"}}, dir.path());
        EXPECT_EQ(tape.out, streamed.out) << q.back();
        EXPECT_EQ(tape.code, streamed.code) << q.back();
        EXPECT_EQ(tape.out, mem.out) << q.back();
        EXPECT_EQ(tape.code, mem.code) << q.back();
        EXPECT_EQ(tape.err, mem.err) << q.back();
    }
}

// The engine follows the query (a plain term on a file goes to the tape
// engine; standard input, a limit up to 32 and the other filters to the
// in-memory one), but the answer must not: each case gives the same output
// and exit code on a file, on standard input and with either limit.
TEST(SearchCommand, EveryEngineGivesTheSameAnswer) {
    const std::string doc = R"({"a":true,"n":1234,"s":"x","z":null,"f":false,"t":"true 1234","l":[1,"null",2.5]})";
    struct Case {
        std::vector<std::string> query;
        std::string out;
        int code;
    };
    const std::vector<Case> cases = {
        {{"true"}, ".t\n", 0},
        {{"1234"}, ".t\n", 0},
        {{"x"}, ".s\n", 0},
        {{"null"}, ".l[1]\n", 0},
        {{"nul"}, ".l[1]\n", 0},
        {{"fals"}, "", 1},
        {{"2.5"}, "", 1},
        {{"-S", "TRUE"}, "", 1},
        {{"-r", "^(true|null|1234|2)"}, ".t\n.l[1]\n", 0},
        {{"--values-only", "true"}, ".t\n", 0},
        {{"--value", "1"}, ".t\n", 0},
        {{"--key", "n", "--value", "1"}, "", 1},
        {{"--key", "t", "--value", "1"}, ".t\n", 0},
        {{"--key", "n"}, ".n\n", 0},
        {{"z"}, ".z\n", 0},
        {{"--keys-only", "a"}, ".a\n", 0},
        {{"--all-types", "true"}, ".a\n.t\n", 0},
        {{"--all-types", "null"}, ".z\n.l[1]\n", 0},
        {{"--all-types", "2"}, ".n\n.t\n.l[2]\n", 0},
        {{"--type", "number", "1"}, "", 1},
        {{"--type", "number", "--all-types", "1"}, ".n\n.l[0]\n", 0},
        {{"--type", "boolean", "--all-types", "e"}, ".a\n.f\n", 0},
        {{"--type", "null", "--all-types", "l"}, ".z\n.l\n", 0},
        {{"--type", "number", "--path", ".n"}, ".n\n", 0},
        {{"--type", "string", "1"}, ".t\n", 0},
    };
    e2e::TempDir dir;
    dir.write("t.json", doc);
    for (const Case& c : cases) {
        const std::string label = c.query.back();
        auto args = [&](std::vector<std::string> extra, bool file) {
            std::vector<std::string> a = {"search"};
            a.insert(a.end(), extra.begin(), extra.end());
            a.insert(a.end(), c.query.begin(), c.query.end());
            if (file) a.push_back("t.json");
            return a;
        };
        for (const auto& [road, run] :
             {std::pair{"file", e2e::run_qm(args({}, true), "", {}, dir.path())},
              std::pair{"stdin", e2e::run_qm(args({}, false), doc, {}, dir.path())},
              std::pair{"limit 32", e2e::run_qm(args({"--limit", "32"}, true), "", {}, dir.path())},
              std::pair{"limit 33", e2e::run_qm(args({"--limit", "33"}, true), "", {}, dir.path())}}) {
            EXPECT_EQ(run.out, c.out) << label << " on " << road;
            EXPECT_EQ(run.code, c.code) << label << " on " << road;
            EXPECT_EQ(run.err, "") << label << " on " << road;
        }
    }
}

TEST(FindAndExtract, RewriteIntoSearch) {
    e2e::check_cases({
        {.name = "find",
         .args = {"find", "bob", "data.json"},
         .files = data_file(),
         .out = ".users[1].name = \"Bob\"\n.users[1].email = \"bob@corp.io\"\n"},
        {.name = "find number",
         .args = {"find", "41", "data.json"},
         .files = data_file(),
         .out = ".users[1].age = 41\n"},
        {.name = "find overrides emit",
         .args = {"find", "--emit", "path", "true", "data.json"},
         .files = data_file(),
         .out = ".ok = true\n"},
        // "-" passes find's own check; search then takes it for standard input.
        {.name = "find stdin dash", .args = {"find", "-"}, .stdin_data = "[\"a-b\"]", .code = 1},
        {.name = "find help anywhere",
         .args = {"find", "x", "--help"},
         .out = std::string(cli::FIND_HELP) + "\n\n" + std::string(cli::EXIT_CODES) + "\n"},
        {.name = "find no value",
         .args = {"find", "--count"},
         .err = "qm: find: usage: find [flags] <value> [<file>]\n",
         .code = 2},
        {.name = "extract",
         .args = {"extract", ".users[*].email", "data.json"},
         .files = data_file(),
         .out = "\"alice@example.com\"\n\"bob@corp.io\"\n"},
        {.name = "extract limit value",
         .args = {"extract", "--limit", "1", ".users[*].email", "data.json"},
         .files = data_file(),
         .out = "\"alice@example.com\"\n"},
        {.name = "extract inline flag",
         .args = {"extract", "--limit=1", ".users[*].name", "data.json"},
         .files = data_file(),
         .out = "\"Alice\"\n"},
        {.name = "extract own emit",
         .args = {"extract", ".users[*]", "--emit", "object", "data.json"},
         .files = data_file(),
         .out = "{\"name\":\"Alice\",\"email\":\"alice@example.com\",\"age\":30}\n"
                "{\"name\":\"Bob\",\"email\":\"bob@corp.io\",\"age\":41}\n"},
        {.name = "extract help",
         .args = {"extract", "-h"},
         .out = std::string(cli::EXTRACT_HELP) + "\n\n" + std::string(cli::EXIT_CODES) + "\n"},
        {.name = "extract conflict",
         .args = {"extract", ".a", "--path=.b"},
         .err = "qm: extract: positional <path-pattern> conflicts with --path/-p\n",
         .code = 2},
        {.name = "extract no pattern",
         .args = {"extract", "--limit", "5"},
         .err = "qm: extract: usage: extract [flags] <path-pattern> [<file>]\n",
         .code = 2},
        {.name = "extract unknown flag is search's",
         .args = {"extract", "-5", ".a", "data.json"},
         .files = data_file(),
         .err = "qm: search: unknown flag '-5'\n",
         .code = 2},
    });
}

TEST(SearchCommand, Colour) {
    const std::string doc = R"({"users":[{"Email":"q"}]})";
    const std::string hl = ".users[0].\x1b[1;31mEma\x1b[0mil\n";
    e2e::check_cases({
        {.name = "always highlights the lowered term",
         .args = {"search", "--keys-only", "--color", "always", "EMA"},
         .stdin_data = doc,
         .out = hl},
        {.name = "auto off when redirected",
         .args = {"search", "--keys-only", "--color", "auto", "ema"},
         .stdin_data = doc,
         .out = ".users[0].Email\n"},
        {.name = "no-color wins last",
         .args = {"search", "--keys-only", "--color", "always", "--no-color", "ema"},
         .stdin_data = doc,
         .out = ".users[0].Email\n"},
        {.name = "file prefix",
         .args = {"search", "--color=always", "-S", "zz", "g/*.json"},
         .files = {{"g/a.json", R"(["zz"])"}, {"g/b.json", R"(["zz"])"}},
         .out = "\x1b[36mg/a.json\x1b[0m\x1b[36m:\x1b[0m.[0]\n\x1b[36mg/b.json\x1b[0m\x1b[36m:\x1b[0m.[0]\n"},
    });
}
