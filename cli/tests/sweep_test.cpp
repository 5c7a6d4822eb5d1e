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
