#include "rova_rudo/search_tape.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tape_parser/parse.hpp"
#include "testdata.hpp"
#include "temp_dir.hpp"
#include "tape_parser/settings.hpp"

using rova_rudo::MatchShape;
using rova_rudo::ScalarKind;
using rova_rudo::SearchErrorKind;
using rova_rudo::SearchQuery;

namespace {

// Set in the child run that repeats every case with the streaming parse.
constexpr const char* kStreamEnv = "QUELLMOR_MMAP_THRESHOLD_MB";

struct Hit {
    std::string path;
    std::string text;
    ScalarKind kind;
    MatchShape shape;
    std::uint64_t offset;
    bool operator==(const Hit&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Hit& h) {
    return os << "{" << h.path << " '" << h.text << "' k" << int(h.kind) << " s" << int(h.shape) << " @" << h.offset
              << "}";
}

struct Recorder final : rova_rudo::MatchSink {
    std::vector<Hit> hits;
    std::size_t stop_after = SIZE_MAX;
    bool emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                           std::optional<std::uint64_t> offset) override {
        EXPECT_TRUE(offset.has_value());
        hits.push_back({std::string(path), std::string(text), kind, shape, offset.value_or(~0ull)});
        return hits.size() >= stop_after;
    }
};

using test_support::TempFile;

SearchQuery term(std::string t) {
    SearchQuery q;
    q.term = std::move(t);
    return q;
}

const auto S = ScalarKind::String;
const auto KEY = MatchShape::ObjectKey;
const auto VAL = MatchShape::Scalar;

struct Case {
    const char* name;
    std::string doc;
    SearchQuery q;
    std::vector<Hit> want;
};

SearchQuery with(SearchQuery q, void (*f)(SearchQuery&)) {
    f(q);
    return q;
}

std::string hundred_members() {
    std::string d = "{";
    for (int i = 0; i < 100; ++i) d += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":\"hit\"";
    return d + "}";
}

std::vector<Case> cases() {
    std::vector<Case> cs = {
        {"key then value with the same path", R"({"name":"nana"})", term("na"), {{".name", "name", S, KEY, 0}}},
        {"values only",
         R"({"name":"nana"})",
         with(term("na"), [](SearchQuery& q) { q.values_only = true; }),
         {{".name", "nana", S, VAL, 0}}},
        {"keys only",
         R"({"na":"nana","x":{"nab":1}})",
         with(term("na"), [](SearchQuery& q) { q.keys_only = true; }),
         {{".na", "na", S, KEY, 0}, {".x.nab", "nab", S, KEY, 0}}},
        // A term matches string values only: numbers and literals hold its
        // text in their raw bytes but are never reported.
        {"numbers are not matched by their text",
         R"({"a":3124,"b":[true,"rue!",null],"c":-12e5,"d":"x12"})",
         term("12"),
         {{".d", "x12", S, VAL, 1}}},
        {"literals are not matched by their text",
         R"({"a":3124,"b":[true,"rue!",null],"c":-1.2e5})",
         term("rue"),
         {{".b[1]", "rue!", S, VAL, 0}}},
        {"null literal, case folded", R"([1, "NUL", null, "nuLL"])", term("NuLl"), {{".[3]", "nuLL", S, VAL, 0}}},
        {"expression skips numbers and literals",
         R"([12, true, "12", null])",
         with(term("^(12|true|null)$"), [](SearchQuery& q) { q.regex = true; }),
         {{".[2]", "12", S, VAL, 0}}},
        {"key and value skips a number value",
         R"({"n":12,"m":"12"})",
         [] {
             SearchQuery q;
             q.key = "n";
             q.value = "1";
             return q;
         }(),
         {}},
        {"hits on quotes, punctuation and whitespace are dropped",
         "{\"ab\" : \"ba\", \"c\":[ \"a b\" ]}",
         term("b\""),
         {}},
        {"hit across members", R"({"ab":"ba"})", term("b\":\"b"), {}},
        {"hit inside a string with spaces", "{\"c\":[ \"a b\" ]}", term(" b"), {{".c[0]", "a b", S, VAL, 1}}},
        {"escapes stay raw", R"({"q":"say \"hi\""})", term("\\\"hi"), {{".q", R"(say \"hi\")", S, VAL, 4}}},
        {"several hits in one scalar give one result",
         R"(["abab ab", "ab"])",
         term("ab"),
         {{".[0]", "abab ab", S, VAL, 0}, {".[1]", "ab", S, VAL, 0}}},
        {"case-sensitive literal",
         R"(["Ab","ab"])",
         with(term("ab"), [](SearchQuery& q) { q.case_sensitive = true; }),
         {{".[1]", "ab", S, VAL, 0}}},
        {"case-sensitive needles do not overlap",
         R"(["aaa"])",
         with(term("aa"), [](SearchQuery& q) { q.case_sensitive = true; }),
         {{".[0]", "aaa", S, VAL, 0}}},
        {"several top-level values", R"({"a":"x"} {"a":"y"})", term("y"), {{".[1].a", "y", S, VAL, 0}}},
        {"top-level scalars", R"("1" "2")", term("2"), {{".[1]", "2", S, VAL, 0}}},
        {"single top-level scalar", "\"abc\"", term("b"), {{".", "abc", S, VAL, 1}}},
        {"nested paths", R"({"a":[{"b":[0,{"c":"zz"}]}]})", term("zz"), {{".a[0].b[1].c", "zz", S, VAL, 0}}},
        {"key and value together",
         R"({"a":"b","ab":"x"})",
         [] {
             SearchQuery q;
             q.key = "a";
             q.value = "b";
             return q;
         }(),
         {{".a", "b", S, VAL, 0}, {".ab", "ab", S, KEY, 0}}},
        {"key and value: array elements and top-level scalars have no key",
         R"({"a":["b"]} "b")",
         [] {
             SearchQuery q;
             q.key = "a";
             q.value = "b";
             return q;
         }(),
         {}},
        {"key query alone",
         R"({"id":1,"x":{"id":"id"}})",
         [] {
             SearchQuery q;
             q.key = "id";
             return q;
         }(),
         {{".id", "id", S, KEY, 0}, {".x.id", "id", S, KEY, 0}}},
        {"user expression anchors at the scalar's ends",
         R"({"x":"anna","annb":"zann","y":["ann"]})",
         with(term("^ann"), [](SearchQuery& q) { q.regex = true; }),
         {{".x", "anna", S, VAL, 0}, {".annb", "annb", S, KEY, 0}, {".y[0]", "ann", S, VAL, 0}}},
        {"user expression end anchor",
         R"({"x":"anna","annb":"zann"})",
         with(term("ann$"), [](SearchQuery& q) { q.regex = true; }),
         {{".annb", "zann", S, VAL, 1}}},
        {"greedy expression stays inside one value",
         R"(["a","ab"])",
         with(term("a.*b"), [](SearchQuery& q) { q.regex = true; }),
         {{".[1]", "ab", S, VAL, 0}}},
        {"empty term reports every key and string value",
         R"({"a":[1,"",null],"":{}})",
         term(""),
         {{".a", "a", S, KEY, 0}, {".a[1]", "", S, VAL, 0}, {".", "", S, KEY, 0}}},
        {"empty case-sensitive term",
         R"([true,"t"])",
         with(term(""), [](SearchQuery& q) { q.case_sensitive = true; }),
         {{".[1]", "t", S, VAL, 0}}},
        {"a non-ASCII term through its escaped expression",
         "[\"Caf\xC3\xA9\", \"CAF\xC3\x89!\"]",
         term("caf\xC3\xA9"),
         {{".[0]", "Caf\xC3\xA9", S, VAL, 0}, {".[1]", "CAF\xC3\x89!", S, VAL, 0}}},
        {"only a string in a key's place is a key",
         R"({1:"1x",true:"1"})",
         term("1"),
         {{".1", "1x", S, VAL, 0}, {".true", "1", S, VAL, 0}}},
        {"a repeated key is one path",
         R"({"a":"x1","a":"x2","b":"x3"})",
         term("x"),
         {{".a", "x1", S, VAL, 0}, {".b", "x3", S, VAL, 0}}},
        {"hits leave deep containers and enter others",
         R"({"a":{"b":[{"c":"hit"},[["hit"]]],"d":"hit"},"e":[{"f":1},{"hit":"hit"}],"hit":[]})",
         term("hit"),
         {{".a.b[0].c", "hit", S, VAL, 0},
          {".a.b[1][0][0]", "hit", S, VAL, 0},
          {".a.d", "hit", S, VAL, 0},
          {".e[1].hit", "hit", S, KEY, 0},
          {".hit", "hit", S, KEY, 0}}},
        {"key and value: the key is the member's, past containers",
         R"({"a":[1,{"zz":"zz"}],"b":"zz","a2":"zz"})",
         [] {
             SearchQuery q;
             q.key = "a";
             q.value = "zz";
             return q;
         }(),
         {{".a2", "zz", S, VAL, 0}}},
        {"no matcher: nothing", R"({"a":1})", SearchQuery{}, {}},
        {"empty file", "", term("a"), {}},
        {"whitespace only", " \n\t ", term("a"), {}},
    };
    return cs;
}

void run_cases() {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        TempFile f(c.doc);
        Recorder r;
        const auto res = rova_rudo::run_tape_search(f.path(), c.q, r);
        ASSERT_TRUE(res.is_success()) << res.text();
        EXPECT_EQ(r.hits, c.want);
        EXPECT_EQ(res.matches(), c.want.size());
    }
}

TEST(TapeSearch, CandidatesAreLocatedVerifiedAndDeduplicated) {
    if (getenv(kStreamEnv)) {
        ASSERT_EQ(tape_parser::mmap_threshold_bytes(), 0u);
    }
    run_cases();
}

TEST(TapeSearch, LimitAndStopEndTheLoop) {
    TempFile f(hundred_members());
    {
        SearchQuery q = term("hit");
        q.limit = 40;
        Recorder r;
        const auto res = rova_rudo::run_tape_search(f.path(), q, r);
        ASSERT_TRUE(res.is_success());
        EXPECT_EQ(res.matches(), 40u);
        ASSERT_EQ(r.hits.size(), 40u);
        EXPECT_EQ(r.hits.back().path, ".k39");
    }
    {
        Recorder r;
        r.stop_after = 3;
        const auto res = rova_rudo::run_tape_search(f.path(), term("hit"), r);
        EXPECT_EQ(res.matches(), 3u);
        EXPECT_EQ(r.hits.size(), 3u);
    }
    {
        SearchQuery q = term("hit");
        q.limit = 0;
        Recorder r;
        EXPECT_EQ(rova_rudo::run_tape_search(f.path(), q, r).matches(), 0u);
        EXPECT_TRUE(r.hits.empty());
    }
}

TEST(TapeSearch, DeepNestingBuildsPathsWithoutRecursion) {
    const int depth = 100000;
    std::string doc;
    for (int i = 0; i < depth; ++i) doc += "{\"k\":[";
    doc += "\"x\"";
    for (int i = 0; i < depth; ++i) doc += "]}";
    TempFile f(doc);
    Recorder r;
    const auto res = rova_rudo::run_tape_search(f.path(), term("x"), r);
    ASSERT_TRUE(res.is_success()) << res.text();
    ASSERT_EQ(r.hits.size(), 1u);
    std::string want;
    for (int i = 0; i < depth; ++i) want += ".k[0]";
    EXPECT_EQ(r.hits[0].path, want);
}

// One search over many files keeps the memory of a file's read and tape for
// the next: a smaller file after a larger one, a file after one that failed,
// and a file large enough for the prefilter worker must each be answered as
// a search of that file alone.
TEST(TapeSearch, OneSearchOverManyFilesAnswersAsEachAlone) {
    std::string large = "[";
    for (int i = 0; large.size() < (std::size_t{3} << 19); ++i)
        large += (i ? ",{\"k" : "{\"k") + std::to_string(i) + (i % 64 ? "\":\"a\"}" : "\":\"hit 12\"}");
    large += "]";
    std::vector<std::string> docs = {large,
                                     hundred_members(),
                                     R"({"a":"x"] "x")",
                                     "",
                                     R"({"hit":[1,12]})",
                                     "[\"hi\",\"t\"]",
                                     R"({"a":{"b":[{"c":"hit"}]}})"};
    for (const auto& c : cases()) docs.push_back(c.doc);
    std::vector<std::unique_ptr<TempFile>> files;
    for (const auto& d : docs) files.push_back(std::make_unique<TempFile>(d));
    for (const SearchQuery& q : {term("hit"), term("12"), term("x")}) {
        for (const bool reversed : {false, true}) {
            SCOPED_TRACE(*q.term + (reversed ? " reversed" : ""));
            rova_rudo::TapeSearch run(q);
            for (std::size_t k = 0; k < files.size(); ++k) {
                const std::string& path = files[reversed ? files.size() - 1 - k : k]->path();
                Recorder alone, together;
                const auto want = rova_rudo::run_tape_search(path, q, alone);
                const auto got = run.search(path, together);
                EXPECT_EQ(got, want) << path;
                EXPECT_EQ(together.hits, alone.hits) << path;
            }
        }
    }
}

// Files searched ahead on helper threads answer, file by file, as a search
// of each in turn: matches in order, failures as values, a sink that stops
// early, and the files the helpers leave to their turn (a directory, a
// missing file, matches that overflow their batch, an empty path).
TEST(TapeSearchAhead, AnswersAsEachFileInTurn) {
    std::string many = "{";  // more bytes of matches than a batch may hold, in a file that may go ahead
    for (int i = 0; i < 4400; ++i)
        many +=
            (i ? ",\"" : "\"") + std::string(100, 'k') + std::to_string(i) + "\":\"hit" + std::string(100, 'x') + "\"";
    many += "}";
    std::vector<std::string> docs = {hundred_members(), R"({"a":"x"] "x")", "", R"({"hit":[1,12]})",
                                     R"({"a":{"b":[{"c":"hit"}]}})"};
    for (const auto& c : cases()) docs.push_back(c.doc);
    std::vector<std::unique_ptr<TempFile>> files;
    for (const auto& d : docs) files.push_back(std::make_unique<TempFile>(d));
    const TempFile overflowing(many);
    // Enough paths for several batches, with some that cannot be read.
    std::vector<std::string> paths;
    for (int round = 0; round < 6; ++round) {
        for (const auto& f : files) paths.push_back(f->path());
        if (round % 3 == 1) paths.push_back(overflowing.path());
        paths.push_back("/tmp");
        paths.push_back("/nonexistent/qm_ahead.json");
        paths.push_back("");
    }
    for (const unsigned helpers : {1u, 4u}) {
        for (const std::size_t stop_after : {SIZE_MAX, std::size_t{2}}) {
            SCOPED_TRACE("helpers " + std::to_string(helpers) + " stop after " + std::to_string(stop_after));
            const SearchQuery q = term("hit");
            rova_rudo::TapeSearchAhead ahead(paths, q, helpers);
            // Lets the helpers get ahead: taken at once, every batch could
            // fall to the caller's turn.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            rova_rudo::TapeSearch in_turn(q);
            for (std::size_t i = 0; i < paths.size(); ++i) {
                Recorder alone, got;
                alone.stop_after = got.stop_after = stop_after;
                const auto want = rova_rudo::run_tape_search(paths[i], q, alone);
                auto early = ahead.take(i, got);
                const auto outcome = early ? std::move(*early) : in_turn.search(paths[i], got);
                EXPECT_EQ(outcome, want) << i << " " << paths[i];
                EXPECT_EQ(got.hits, alone.hits) << i << " " << paths[i];
            }
        }
    }
}

// Files added while helpers already search the batches complete so far,
// some taken as soon as ready() says so and the rest after finish(), answer
// as a search of each in turn over what the file holds when it is read:
// also one listed as a regular file that is by then a FIFO (declined
// without waiting for a writer), a directory, a missing file, and files cut
// or grown past what may go ahead after they were listed.
TEST(TapeSearchAhead, FilesAddedWhileSearchingAnswerInTurn) {
    test_support::TempDir dir;
    std::vector<std::string> docs = {hundred_members(), R"({"a":"x"] "x")", R"({"hit":[1,12]})",
                                     R"({"a":{"b":[{"c":"hit"}]}})"};
    for (const auto& c : cases()) docs.push_back(c.doc);
    const std::string fifo = dir.path() + "/fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string sub = dir.path() + "/sub.json";
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    std::string large = "[\"hit\"";
    while (large.size() < (std::size_t{1} << 20)) large += ",\"0123456789abcdef\"";
    large += "]";

    struct Added {
        std::string path;
        bool regular;
        bool is_fifo = false;
    };
    std::vector<Added> added;
    std::vector<std::pair<std::string, std::string>> rewrites;  // after listing, before reading
    for (int round = 0; round < 5; ++round) {
        const std::string r = std::to_string(round);
        for (std::size_t d = 0; d < docs.size(); ++d)
            added.push_back({dir.write("r" + r + "/d" + std::to_string(d) + ".json", docs[d]), round % 2 == 0});
        added.push_back({fifo, true, true});
        added.push_back({sub, true});
        added.push_back({dir.path() + "/missing.json", true});
        const std::string cut = dir.write("r" + r + "/cut.json", R"({"hit":"hit"})");
        const std::string grown = dir.write("r" + r + "/grown.json", R"(["hit"])");
        added.push_back({cut, true});
        added.push_back({grown, true});
        rewrites.push_back({cut, ""});
        rewrites.push_back({grown, large});
    }
    // Written before the files are added: a helper may start a batch as soon
    // as it is complete, and must see them as they are now.
    for (const auto& [path, content] : rewrites) std::ofstream(path, std::ios::binary | std::ios::trunc) << content;

    const SearchQuery q = term("hit");
    for (const unsigned helpers : {1u, 4u}) {
        SCOPED_TRACE("helpers " + std::to_string(helpers));
        rova_rudo::TapeSearchAhead ahead(q, helpers);
        rova_rudo::TapeSearch in_turn(q);
        std::size_t taken = 0;
        auto take = [&](std::size_t i) {
            Recorder got;
            auto early = ahead.take(i, got);
            if (added[i].is_fifo) {
                EXPECT_FALSE(early.has_value()) << i;
                return;
            }
            Recorder alone;
            const auto want = rova_rudo::run_tape_search(added[i].path, q, alone);
            const auto outcome = early ? std::move(*early) : in_turn.search(added[i].path, got);
            EXPECT_EQ(outcome, want) << i << " " << added[i].path;
            EXPECT_EQ(got.hits, alone.hits) << i << " " << added[i].path;
        };
        for (std::size_t i = 0; i < added.size(); ++i) {
            ahead.add(added[i].path, added[i].regular);
            while (taken <= i && ahead.ready(taken)) take(taken++);
        }
        ahead.finish();
        while (taken < added.size()) take(taken++);
    }
}

// An input whose tape cannot fit in the memory available fails with the
// sizes named, and the next file of the run is searched as usual.
TEST(TapeSearch, TapeTooLargeForMemoryFailsThatFileOnly) {
    std::string big = "[";
    for (int i = 0; big.size() < (std::size_t{3} << 20); ++i) big += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    big += ",\"hit\"]";
    TempFile large(big), small(R"(["hit"])");
    struct Reset {
        ~Reset() { tape_parser::set_available_memory_for_tests(std::nullopt); }
    } reset;
    tape_parser::set_available_memory_for_tests(std::uint64_t{1} << 20);
    rova_rudo::TapeSearch run(term("hit"));
    Recorder r;
    const auto failed = run.search(large.path(), r);
    ASSERT_EQ(failed.kind(), SearchErrorKind::Message);
    EXPECT_EQ(failed.text().rfind("too large for memory: its tape needs about ", 0), 0u) << failed.text();
    EXPECT_TRUE(r.hits.empty());
    const auto found = run.search(small.path(), r);
    ASSERT_TRUE(found.is_success()) << found.text();
    EXPECT_EQ(r.hits, (std::vector<Hit>{{".[0]", "hit", S, VAL, 0}}));
}

TEST(TapeSearch, FailuresComeBackAsValues) {
    // A parse error wins over raw hits, with the parser's own message.
    const std::string bad = R"({"a":"x"] "x")";
    TempFile f(bad);
    Recorder r;
    auto res = rova_rudo::run_tape_search(f.path(), term("x"), r);
    ASSERT_EQ(res.kind(), SearchErrorKind::Message);
    auto direct =
        tape_parser::parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size(), 1 << 20, 0.0);
    ASSERT_FALSE(direct.ok());
    EXPECT_EQ(res.text(), direct.error());
    EXPECT_TRUE(r.hits.empty());

    // Without any matcher the file is still parsed.
    EXPECT_EQ(rova_rudo::run_tape_search(f.path(), SearchQuery{}, r).kind(), SearchErrorKind::Message);

    res = rova_rudo::run_tape_search("/nonexistent/qm_none.json", term("x"), r);
    ASSERT_EQ(res.kind(), SearchErrorKind::Message);
    EXPECT_EQ(res.text(), "No such file or directory (os error 2)");

    SearchQuery q = term("(");
    q.regex = true;
    res = rova_rudo::run_tape_search("/nonexistent/qm_none.json", q, r);
    EXPECT_EQ(res.kind(), SearchErrorKind::Regex);

    res = rova_rudo::run_tape_search("/tmp", term("x"), r);
    EXPECT_EQ(res.kind(), SearchErrorKind::Message);
}

// A pipe (here a named FIFO; /dev/fd/N from a process substitution is one
// too) can be read once only and has no size: it is searched like a file of
// the same bytes, whole-read or streamed, never mapped, streamed or reopened.
TEST(TapeSearch, PipeIsSearchedLikeAFile) {
    const std::string doc = R"({"a":"x1","b":[2,"yx"],"x":true})";
    TempFile plain(doc);
    const test_support::TempDir dir;
    const std::string fifo = dir.path() + "/in.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SearchQuery re = term("^y");
    re.regex = true;
    for (const SearchQuery& q : {term("x"), re, term("")}) {
        Recorder want;
        ASSERT_TRUE(rova_rudo::run_tape_search(plain.path(), q, want).is_success());
        ASSERT_FALSE(want.hits.empty());
        std::thread writer([&] {
            std::ofstream out(fifo, std::ios::binary);
            out << doc;
        });
        Recorder got;
        const auto res = rova_rudo::run_tape_search(fifo, q, got);
        writer.join();
        ASSERT_TRUE(res.is_success()) << res.text();
        EXPECT_EQ(got.hits, want.hits) << *q.term;
    }
}

// A file whose reported size is not its content (here /proc's view of this
// thread's name, size 0, content "\"qmneedle\"\n") is searched by what was
// read, not by a map of the reported size. (A streamed parse takes the
// reported size as the length, so this is for the whole read only.)
TEST(TapeSearchWholeRead, FileLargerThanItsReportedSize) {
    const std::string comm = "/proc/self/task/" + std::to_string(gettid()) + "/comm";
    if (!std::filesystem::exists(comm)) GTEST_SKIP() << "no /proc";
    char saved[32] = {};
    ASSERT_EQ(prctl(PR_GET_NAME, saved), 0);
    ASSERT_EQ(prctl(PR_SET_NAME, "\"qmneedle\""), 0);
    Recorder r;
    const auto res = rova_rudo::run_tape_search(comm, term("needle"), r);
    prctl(PR_SET_NAME, saved);
    ASSERT_TRUE(res.is_success()) << res.text();
    EXPECT_EQ(r.hits, (std::vector<Hit>{{".", "qmneedle", S, VAL, 2}}));
}

TEST(FindMatchOffsets, RawOccurrencesByMatcherKind) {
    TempFile f(R"(["aaa","AaA"] "xa")");
    auto m = [](std::string t, bool cs, bool re) { return rova_rudo::build_text_matcher(t, cs, re).value(); };
    using V = std::vector<std::uint64_t>;
    EXPECT_EQ(rova_rudo::find_match_offsets(f.path(), m("aa", true, false)), (V{2}));
    EXPECT_EQ(rova_rudo::find_match_offsets(f.path(), m("aa", false, false)), (V{2, 3, 8, 9}));
    EXPECT_EQ(rova_rudo::find_match_offsets(f.path(), m("a+", true, true)), (V{2, 9, 16}));
    EXPECT_EQ(rova_rudo::find_match_offsets(f.path(), m("", true, false)), V{});
    EXPECT_EQ(rova_rudo::find_match_offsets(f.path(), rova_rudo::TextMatcher{}), V{});
    EXPECT_EQ(rova_rudo::find_match_offsets("/nonexistent/x", m("a", true, false)), V{});
}

// The file is scanned in blocks read one after another: occurrences cut by
// a block's end, overlapping ones, and a case-sensitive needle's
// non-overlapping rule across a cut give the list that one scan of all the
// bytes gives.
TEST(FindMatchOffsets, BlockReadsGiveTheWholeFileList) {
    constexpr std::size_t kBlock = std::size_t{256} << 10;
    std::string doc(3 * kBlock + 777, 'x');
    for (std::size_t cut : {kBlock, 2 * kBlock, 3 * kBlock}) {
        for (std::size_t back : {1, 2, 3, 7}) doc.replace(cut - back - 20 * back, 9, "aAaAaaAaa");
        doc.replace(cut - 3, 6, "aaaaaa");
    }
    doc.replace(doc.size() - 3, 3, "aaa");
    TempFile f(doc);
    auto naive = [&](const std::string& needle, bool cs) {
        std::vector<std::uint64_t> out;
        auto eq = [&](std::size_t at) {
            for (std::size_t k = 0; k < needle.size(); ++k) {
                char a = doc[at + k], b = needle[k];
                if (!cs && a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
                if (a != b) return false;
            }
            return true;
        };
        for (std::size_t i = 0; i + needle.size() <= doc.size();) {
            if (eq(i)) {
                out.push_back(i);
                i += cs ? needle.size() : 1;
            } else {
                ++i;
            }
        }
        return out;
    };
    for (const std::string needle : {"a", "aa", "aaa", "aaaaaa", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}) {
        for (const bool cs : {true, false}) {
            const auto m = rova_rudo::build_text_matcher(needle, cs, false).value();
            const auto want = naive(needle, cs);
            ASSERT_FALSE(needle.size() < 7 && want.empty()) << needle;
            EXPECT_EQ(rova_rudo::find_match_offsets(f.path(), m), want) << needle << " cs " << cs;
        }
    }
}

TEST(TapeNavigation, ChildrenPositionsKeysAndPaths) {
    const std::string doc = R"({"a":[1,{"b":2}],"c":"d"})";
    auto parsed =
        tape_parser::parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(doc.data()), doc.size(), 4, 0.0);
    ASSERT_TRUE(parsed.ok());
    const auto& tape = parsed->tape;
    // 0 {  1 "a"  2 [  3 1  4 {  5 "b"  6 2  7 "c"  8 "d"
    ASSERT_EQ(tape.size(), 9u);
    rova_rudo::TapeChildIndex idx;
    EXPECT_EQ(rova_rudo::tape_children(tape, idx, 0), (std::vector<std::uint32_t>{1, 2, 7, 8}));
    EXPECT_EQ(rova_rudo::tape_children(tape, idx, 2), (std::vector<std::uint32_t>{3, 4}));
    EXPECT_TRUE(rova_rudo::tape_children(tape, idx, 3).empty());
    EXPECT_TRUE(rova_rudo::tape_child_position(tape, idx, 0, 7));
    EXPECT_FALSE(rova_rudo::tape_child_position(tape, idx, 0, 8));
    EXPECT_FALSE(rova_rudo::tape_child_position(tape, idx, 0, 5));
    EXPECT_EQ(rova_rudo::tape_member_key(tape, idx, 0, 8), std::optional<std::uint32_t>(7));
    EXPECT_EQ(rova_rudo::tape_member_key(tape, idx, 0, 2), std::optional<std::uint32_t>(1));
    EXPECT_EQ(rova_rudo::tape_member_key(tape, idx, 0, 6), std::nullopt);
    std::string out;
    std::vector<rova_rudo::TapePathSegment> segs;
    const auto* data = reinterpret_cast<const std::uint8_t*>(doc.data());
    const char* want[] = {".", ".a", ".a", ".a[0]", ".a[1]", ".a[1].b", ".a[1].b", ".c", ".c"};
    for (std::uint32_t i = 0; i < 9; ++i) {
        rova_rudo::tape_node_path(tape, data, i, out, segs, idx);
        EXPECT_EQ(out, want[i]) << i;
    }
}

// The cursor answers, entry after entry, what the child lists answer: the
// printed path, the key position and the member's key. Every sample
// document, walked over every entry and over every 3rd and 17th (so whole
// subtrees and runs of siblings are stepped over), and a few documents for
// what the samples lack.
TEST(TapeNavigation, CursorAgreesWithTheChildLists) {
    std::vector<std::string> docs = {
        R"(1 {"a":[2,{"b":3}]} "c" [[4],[]])",
        "{\"\":{\"\":1,\"a.b\":[[],[{}],{\"x\":\"y\"}]},\"\xff\xfe\":2,\"caf\xc3\xa9\":{\"z\":[null]}}",
        R"({1:"x",true:[1,{"k":2}],"v":3})",
        std::string(3000, '[') + "1" + std::string(3000, ']'),
    };
    for (const char* set : {"real", "jsontestsuite"}) {
        for (const auto& doc : testdata::documents(set)) {
            std::string text;
            if (!testdata::read(doc, text)) continue;
            docs.push_back(std::move(text));
        }
    }
    std::size_t walked = 0;
    for (const std::string& doc : docs) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(doc.data());
        auto parsed = tape_parser::parse_buffer_chunked(data, doc.size(), 1 << 16, 0.0);
        if (!parsed.ok()) continue;
        const auto& tape = parsed->tape;
        for (const std::uint32_t stride : {1u, 3u, 17u}) {
            rova_rudo::TapeChildIndex idx;
            rova_rudo::TapeCursor cursor(tape, data);
            std::string want;
            std::vector<rova_rudo::TapePathSegment> segs;
            for (std::uint32_t i = 0; i < tape.size(); i += stride) {
                cursor.move_to(i);
                rova_rudo::tape_node_path(tape, data, i, want, segs, idx);
                ASSERT_EQ(cursor.path(), want) << doc.substr(0, 80) << " entry " << i;
                const std::uint32_t p = tape[i].parent();
                const bool in_object = p != tape_parser::kNoParent && tape[p].is_object();
                ASSERT_EQ(cursor.at_key_position(), in_object && rova_rudo::tape_child_position(tape, idx, p, i)) << i;
                ASSERT_EQ(cursor.member_key(), in_object ? rova_rudo::tape_member_key(tape, idx, p, i) : std::nullopt)
                    << i;
                ++walked;
            }
        }
    }
    EXPECT_GT(walked, 1000000u);
}

// Every case again with the file streamed instead of read whole: the
// threshold is read once per process, so a child process runs them.
TEST(TapeSearch, StreamingRoadGivesTheSameResults) {
    if (getenv(kStreamEnv)) GTEST_SKIP() << "already the streaming run";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv(kStreamEnv, "0", 1);
        execl(self.c_str(), self.c_str(), "--gtest_filter=TapeSearch.*:-TapeSearch.StreamingRoad*", nullptr);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
