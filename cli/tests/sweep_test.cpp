// Every subcommand, on both search engines and on the streamed parse, over
// every sample document: whatever the input, qm ends with an exit code of 0
// to 4, is never killed by a signal, never hangs, and says at most one clear
// thing on standard error.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_harness.hpp"
#include "testdata.hpp"

namespace fs = std::filesystem;

namespace {

std::vector<testdata::Document> sample_files() {
    std::vector<testdata::Document> out = testdata::documents("jsontestsuite");
    for (auto& d : testdata::documents("real")) out.push_back(std::move(d));
    return out;
}

std::string test_name(const testing::TestParamInfo<testdata::Document>& info) {
    const fs::path& p = info.param.path;
    std::string n = p.parent_path().filename().string() + "_" + p.filename().string();
    for (char& c : n) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return n + "_" + std::to_string(info.index);
}

struct SweepRun {
    std::vector<std::string> args;
    bool via_stdin = false;
    bool streamed = false;
};

class Sweep : public testing::TestWithParam<testdata::Document> {};

TEST_P(Sweep, EveryCommandEndsCleanly) {
    const std::string file = GetParam().path.string();
    std::string content;
    ASSERT_TRUE(testdata::read(GetParam(), content));
    const std::vector<SweepRun> runs = {
        {{"search", "a", file}},
        {{"search", "a", file}, false, true},
        {{"search", "--key", "id", "--value", "1", file}},
        {{"search", "-r", "^[a-z]+$", file}},
        {{"search", "", file}},
        {{"search", "--all-types", "1", file}},
        {{"search", "--all-types", "1", "--emit", "object", "--format", "json", file}},
        {{"search", "--where", ".id > 1 || .name contains \"a\"", "--emit", "value", file}},
        {{"search", "--path", ".[*]", "--format", "jsonl", "--envelope", file}},
        {{"search", "--exists", ".a", file}},
        {{"search", "a", "--ndjson", file}},
        {{"search", "a"}, true},
        {{"get", ".", file}},
        {{"get", ".[0]", "--minify", file}},
        {{"schema", file}},
        {{"schema", "--format", "json", file}},
        {{"paths", file}},
        {{"keys", file}},
        {{"flatten", file}},  // --objects-too prints a path per level: quadratic on deep nesting
        {{"find", "1", file}},
        {{"extract", ".[*]", file}},
    };
    for (const SweepRun& r : runs) {
        std::string what;
        for (const auto& a : r.args) what += a + " ";
        SCOPED_TRACE(what + (r.via_stdin ? "< file" : "") + (r.streamed ? "(streamed)" : ""));
        std::vector<std::pair<std::string, std::string>> env;
        if (r.streamed) env.push_back({"QUELLMOR_MMAP_THRESHOLD_MB", "0"});
        e2e::QmRun res = e2e::run_qm(r.args, r.via_stdin ? content : "", env, "", 60);
        EXPECT_GE(res.code, 0);
        EXPECT_LE(res.code, 4) << res.err;
        if (!res.err.empty()) {
            EXPECT_EQ(res.err.rfind("qm: ", 0), 0u) << res.err;
            EXPECT_LE(std::count(res.err.begin(), res.err.end(), '\n'), 3) << res.err;
            EXPECT_EQ(res.err.back(), '\n') << res.err;
        }
    }
}

// No manifest means no cases, which gtest reports as a failure of its own.
INSTANTIATE_TEST_SUITE_P(Corpus, Sweep, testing::ValuesIn(sample_files()), test_name);

}  // namespace

// A leading byte order mark is skipped by every reader, whichever command and
// road reads the document: the answers are those of the same document
// without it, and offsets in messages count the mark's three bytes.
TEST(ByteOrderMark, EveryReaderSkipsIt) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string doc = "{\"a\": {\"b\": [1, \"x\"]},\n \"s\": \"alice\"}\n";
    const std::string lines = "{\"s\":\"alice\"}\n{\"s\":\"bob\"}\n";
    struct Run {
        std::vector<std::string> args;  // "F" stands for the file
        bool via_stdin = false;
        bool streamed = false;
    };
    const std::vector<Run> runs = {
        {{"get", ".a", "F"}},
        {{"get", ".", "F"}},
        {{"get", "--minify", ".", "F"}},
        {{"get", "."}, true},
        {{"keys", "F"}},
        {{"schema", "F"}},
        {{"paths", "F"}},
        {{"flatten", "F"}},
        {{"flatten", "--limit", "2", "F"}},
        {{"search", "alice", "F"}},
        {{"search", "alice", "F"}, false, true},
        {{"search", "--limit", "1", "alice", "F"}},
        {{"search", "alice"}, true},
        {{"search", "--where", ".s == \"alice\"", "F"}},
        {{"search", "--exists", ".a.b", "F"}},
        {{"find", "alice", "F"}},
        {{"extract", ".a", "F"}},
        {{"search", "--ndjson", "alice", "L"}},
        {{"search", "--ndjson", "--count", "--where", ".s exists"}, true},
    };
    e2e::TempDir dir;
    dir.write("plain.json", doc);
    dir.write("bom.json", bom + doc);
    dir.write("plain.jsonl", lines);
    dir.write("bom.jsonl", bom + lines);
    for (const Run& r : runs) {
        e2e::QmRun got[2];
        for (int with = 0; with < 2; ++with) {
            std::vector<std::string> args = r.args;
            for (auto& a : args) {
                if (a == "F") a = with ? "bom.json" : "plain.json";
                if (a == "L") a = with ? "bom.jsonl" : "plain.jsonl";
            }
            const bool lines_in = std::find(args.begin(), args.end(), "--ndjson") != args.end();
            const std::string input = (with ? bom : "") + (lines_in ? lines : doc);
            std::vector<std::pair<std::string, std::string>> env;
            if (r.streamed) env.push_back({"QUELLMOR_MMAP_THRESHOLD_MB", "0"});
            got[with] = e2e::run_qm(args, r.via_stdin ? input : "", env, dir.path());
        }
        std::string what;
        for (const auto& a : r.args) what += a + " ";
        SCOPED_TRACE(what);
        EXPECT_EQ(got[0].code, 0) << got[0].err;
        EXPECT_EQ(got[1].out, got[0].out);
        EXPECT_EQ(got[1].err, got[0].err);
        EXPECT_EQ(got[1].code, got[0].code);
    }

    // Offsets stay those of the file; a second mark is not skipped.
    e2e::check_cases({
        {.name = "get offset",
         .args = {"get", ".a"},
         .stdin_data = bom + "{\"a\" 1}",
         .err = "qm: get: unexpected byte 0x31 ('1') at offset 8\n",
         .code = 3},
        {.name = "keys offset",
         .args = {"keys"},
         .stdin_data = bom + "[1 2]",
         .err = "qm: keys: parse error: unexpected byte 0x32 ('2') at offset 6\n",
         .code = 3},
        {.name = "flatten offset",
         .args = {"flatten"},
         .stdin_data = bom + "[1 2]",
         .out = ".[0] = 1\n",
         .err = "qm: flatten: parse error: unexpected byte 0x32 ('2') at offset 6\n",
         .code = 3},
        {.name = "in-memory search offset",
         .args = {"search", "x"},
         .stdin_data = bom + "[1 2]",
         .err = "qm: search: stdin: parse error: unexpected byte 0x32 ('2') at offset 6\n",
         .code = 3},
        {.name = "tape search position",
         .args = {"search", "x", "t.json"},
         .files = {{"t.json", bom + "[1,2]]"}},
         .err = "qm: search: t.json: Unexpected ']' at position 8\n",
         .code = 3},
        {.name = "only the mark",
         .args = {"schema"},
         .stdin_data = bom,
         .err = "qm: schema: parse error: unexpected end of input\n",
         .code = 3},
        {.name = "one mark only",
         .args = {"get", "."},
         .stdin_data = bom + bom + "1",
         .err = "qm: get: unexpected byte 0xEF ('\\xef') at offset 3\n",
         .code = 3},
        {.name = "mark inside a stream of records",
         .args = {"search", "--ndjson", "--all-types", "1"},
         .stdin_data = "1\n" + bom + "1\n",
         .out = ".[0]\n",
         .err = "qm: search: stdin: parse error: unexpected byte 0xEF ('\\xef') at offset 2\n"},
    });
}
