#include "cli/emitter.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_harness.hpp"

using cli::BufferedWriter;
using cli::OutputFormat;
using cli::ResultEmitter;
using rova_rudo::EmitMode;
using rova_rudo::MatchShape;
using rova_rudo::ScalarKind;

namespace {

const std::string kDots = "\xE2\x80\xA6";
const std::string kRed = "\x1b[1;31m";
const std::string kReset = "\x1b[0m";
const std::string kCyan = "\x1b[36m";

struct Match {
    std::string path;
    std::string text;
    ScalarKind kind = ScalarKind::String;
    MatchShape shape = MatchShape::Scalar;
    std::optional<std::uint64_t> offset = std::nullopt;
};

struct Rig {
    std::string out;
    BufferedWriter w{&out};
    cli::EmitterSettings set;         // fixed when the emitter is made, at the first run
    std::optional<std::string> file;  // the file that begins before the first run
    std::optional<ResultEmitter> e;
    std::vector<bool> stops;

    std::string run(const std::vector<Match>& ms) {
        if (!e) {
            e.emplace(w, set);
            if (file) e->begin_file(*file);
        }
        for (const auto& m : ms) stops.push_back(e->emit_search_match(m.path, m.text, m.kind, m.shape, m.offset));
        w.flush();
        return out;
    }
};

std::string run_with(OutputFormat f, EmitMode m, const std::vector<Match>& ms, bool envelope = false) {
    Rig r;
    r.set.format = f;
    r.set.emit = m;
    r.set.envelope = envelope;
    return r.run(ms);
}

const Match kStr{".name", "al\"ice", ScalarKind::String, MatchShape::Scalar, 0};
const Match kNum{".n", "12", ScalarKind::Number, MatchShape::Scalar, 0};
const Match kKey{".k", "k", ScalarKind::String, MatchShape::ObjectKey, 0};
const Match kObj{".o", "{ \"a\" : [1, \"x y\"] }", ScalarKind::String, MatchShape::Object, std::nullopt};

TEST(Emitter, EveryModeInEveryFormat) {
    struct Case {
        OutputFormat f;
        EmitMode m;
        std::vector<Match> ms;
        std::string want;
    };
    const Case cases[] = {
        {OutputFormat::Plain, EmitMode::Path, {kStr, kNum}, ".name\n.n\n"},
        {OutputFormat::Plain, EmitMode::Value, {kStr, kNum, kKey}, "\"al\"ice\"\n12\n\"k\"\n"},
        {OutputFormat::Plain, EmitMode::Assignment, {kStr, kNum}, ".name = \"al\"ice\"\n.n = 12\n"},
        {OutputFormat::Plain, EmitMode::Assignment, {kObj}, ".o.a[0] = 1\n.o.a[1] = \"x y\"\n"},
        {OutputFormat::Plain, EmitMode::Object, {kObj}, "{\"a\":[1,\"x y\"]}\n"},
        {OutputFormat::JsonLines, EmitMode::Path, {kStr, kNum}, "\".name\"\n\".n\"\n"},
        {OutputFormat::JsonLines, EmitMode::Value, {kStr, kNum, kObj}, "\"al\"ice\"\n12\n{\"a\":[1,\"x y\"]}\n"},
        {OutputFormat::JsonLines, EmitMode::Assignment, {kStr, kNum}, "\".name = \\\"al\\\"ice\\\"\"\n\".n = 12\"\n"},
        {OutputFormat::JsonLines, EmitMode::Assignment, {kObj}, "\".o.a[0] = 1\"\n\".o.a[1] = \\\"x y\\\"\"\n"},
        {OutputFormat::Json, EmitMode::Path, {kStr, kNum}, "\".name\",\".n\""},
        {OutputFormat::Json,
         EmitMode::Assignment,
         {kObj, kNum},
         "\".o.a[0] = 1\",\".o.a[1] = \\\"x y\\\"\",\".n = 12\""},
        {OutputFormat::Json, EmitMode::Parent, {kObj, kObj}, "{\"a\":[1,\"x y\"]},{\"a\":[1,\"x y\"]}"},
    };
    for (const auto& c : cases) EXPECT_EQ(run_with(c.f, c.m, c.ms), c.want) << int(c.f) << " " << int(c.m);
}

TEST(Emitter, ConsecutiveEqualPathsCountOnce) {
    Rig r;
    r.run({{".a", "x"}, {".a", "xx"}, {".b", "y"}, {".a", "z"}});
    EXPECT_EQ(r.out, ".a\n.b\n.a\n");
    EXPECT_EQ(r.e->match_count(), 3u);
    // Containers are never de-duplicated.
    Rig o;
    o.set.emit = EmitMode::Object;
    o.run({kObj, kObj});
    EXPECT_EQ(o.e->match_count(), 2u);

    Rig c;
    c.set.count_only = true;
    c.set.max_output = 1;
    c.run({{".a", "x"}, {".a", "x"}, {".b", "x"}});
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.e->match_count(), 2u);
    EXPECT_EQ(c.stops, (std::vector<bool>{false, false, false}));
}

TEST(Emitter, OutputCapIsByteExact) {
    Rig r;
    r.set.max_output = 10;
    r.run({{".alpha", "x"}, {".beta", "x"}, {".gamma", "x"}});
    EXPECT_EQ(r.out, ".alpha\n.be");
    EXPECT_EQ(r.stops, (std::vector<bool>{false, true, true}));
    EXPECT_EQ(r.e->match_count(), 3u);
    EXPECT_TRUE(r.e->truncated());

    // A record that fills the cap exactly is whole and stops without truncating.
    Rig x;
    x.set.max_output = 7;
    x.run({{".alpha", "x"}});
    EXPECT_EQ(x.out, ".alpha\n");
    EXPECT_EQ(x.stops, (std::vector<bool>{true}));
    EXPECT_FALSE(x.e->truncated());

    // JSON records and their separators count too.
    Rig j;
    j.set.format = OutputFormat::Json;
    j.set.max_output = 8;
    j.run({{".a", "x"}, {".b", "x"}});
    EXPECT_EQ(j.out, "\".a\",\".b");
}

TEST(Emitter, EnvelopesCarryFilePathAndPreview) {
    Rig r;
    r.set.format = OutputFormat::JsonLines;
    r.set.envelope = true;
    r.file = "a.json";
    r.run({{".name", "alice", ScalarKind::String, MatchShape::Scalar, 0}, {".n", "7\n", ScalarKind::Number}});
    EXPECT_EQ(r.out,
              "{\"file\":\"a.json\",\"path\":\".name\",\"preview\":\"\\\"alice\\\"\"}\n"
              "{\"file\":\"a.json\",\"path\":\".n\",\"preview\":\"7\\n\"}\n");

    // A container is re-read and written compactly; its preview is the minified text.
    Rig o;
    o.set.format = OutputFormat::JsonLines;
    o.set.envelope = true;
    o.set.emit = EmitMode::Object;
    o.run({{".o", "{ \"b\" : 1, \"a\" : [1E2, \"\\u00e9\"], \"b\" : 3 }", ScalarKind::String, MatchShape::Object},
           {".r", "[ ]", ScalarKind::Number, MatchShape::Array}});
    EXPECT_EQ(o.out,
              "{\"path\":\".o\",\"preview\":\"\\\"{\\\"b\\\":1,\\\"a\\\":[1E2,\\\"\\\\u00e9\\\"],\\\"b\\\":3}\\\"\","
              "\"object\":{\"b\":3,\"a\":[100.0,\"\xC3\xA9\"]}}\n"
              "{\"path\":\".r\",\"preview\":\"[]\",\"array\":[]}\n");

    // A container cut by the value budget cannot be re-read, so it goes in as a string.
    Rig c;
    c.set.format = OutputFormat::Json;
    c.set.envelope = true;
    c.set.emit = EmitMode::Object;
    c.set.max_value_bytes = 5;
    c.run({kObj});
    const std::string cut = "{\\\"a\\\":" + kDots;
    EXPECT_EQ(c.out, "{\"path\":\".o\",\"preview\":\"\\\"" + cut + "\\\"\",\"object\":\"" + cut + "\"}");
}

TEST(Emitter, PreviewWindowFollowsTheOffset) {
    std::string v;
    for (int i = 0; i < 200; ++i) v += static_cast<char>('a' + i % 26);
    auto preview = [&](std::string text, std::optional<std::uint64_t> off) {
        Rig r;
        r.set.format = OutputFormat::JsonLines;
        r.set.envelope = true;
        r.run({{".", text, ScalarKind::Number, MatchShape::Scalar, off}});
        const std::string pre = "{\"path\":\".\",\"preview\":\"";
        EXPECT_EQ(r.out.substr(0, pre.size()), pre);
        return r.out.substr(pre.size(), r.out.size() - pre.size() - 3);
    };
    EXPECT_EQ(preview(v, 100), kDots + v.substr(76, 80) + kDots);
    EXPECT_EQ(preview(v, 190), kDots + v.substr(120));
    EXPECT_EQ(preview(v, 24), v.substr(0, 80) + kDots);
    EXPECT_EQ(preview(v, std::nullopt), v.substr(0, 80) + kDots);
    EXPECT_EQ(preview(v.substr(0, 80), 70), v.substr(0, 80));
    // Whole characters only: the window [0,80) would end inside the third e-acute's pair.
    const std::string u = std::string(79, 'x') + "\xC3\xA9" + std::string(100, 'y');
    EXPECT_EQ(preview(u, 0), std::string(79, 'x') + kDots);
    // ... and would start inside it: [80,160) moves forward past the continuation byte.
    EXPECT_EQ(preview(u, 104), kDots + std::string(79, 'y') + kDots);
    // Invalid UTF-8 is cut by bytes and each bad byte becomes U+FFFD.
    const std::string bad = std::string(79, 'x') + "\xC3\xA9\xFF" + std::string(40, 'y');
    EXPECT_EQ(preview(bad, 0), std::string(79, 'x') + "\xEF\xBF\xBD" + kDots);
}

TEST(Emitter, ValueBudgetAppliesAfterMinifying) {
    Rig r;
    r.set.format = OutputFormat::JsonLines;
    r.set.emit = EmitMode::Object;
    r.set.max_value_bytes = 5;
    r.run({kObj});
    EXPECT_EQ(r.out, "{\"a\":" + kDots + "\n");

    // Assignment of a container: every leaf is listed, each value cut on its own as flatten cuts it.
    struct AssignmentCase {
        OutputFormat format;
        std::size_t budget;
        std::string want;
    };
    const Match pretty{".o", "{\n  \"a\": 1,\n  \"s\": \"Alice Martin\",\n  \"t\": [true, null]\n}", ScalarKind::String,
                       MatchShape::Object};
    const std::vector<AssignmentCase> cases = {
        {OutputFormat::Plain, 20, ".o.a = 1\n.o.s = \"Alice Martin\"\n.o.t[0] = true\n.o.t[1] = null\n"},
        {OutputFormat::Plain, 8, ".o.a = 1\n.o.s = \"Alice Ma" + kDots + "\"\n.o.t[0] = true\n.o.t[1] = null\n"},
        {OutputFormat::Plain, 1,
         ".o.a = 1\n.o.s = \"A" + kDots + "\"\n.o.t[0] = t" + kDots + "\n.o.t[1] = n" + kDots + "\n"},
        {OutputFormat::JsonLines, 8,
         "\".o.a = 1\"\n\".o.s = \\\"Alice Ma" + kDots + "\\\"\"\n\".o.t[0] = true\"\n\".o.t[1] = null\"\n"},
    };
    for (const auto& c : cases) {
        Rig a;
        a.set.format = c.format;
        a.set.emit = EmitMode::Assignment;
        a.set.max_value_bytes = c.budget;
        a.run({pretty});
        EXPECT_EQ(a.out, c.want) << "budget " << c.budget;
    }

    Rig s;
    s.set.emit = EmitMode::Value;
    s.set.max_value_bytes = 2;
    s.run({{".s", "h\xC3\xA9llo"}});
    EXPECT_EQ(s.out, "\"h" + kDots + "\"\n");
}

TEST(Emitter, RawDropsQuotesOnlyForPlainValues) {
    Rig r;
    r.set.raw = true;
    r.set.emit = EmitMode::Value;
    r.run({{".s", "a b"}, {".k", "k", ScalarKind::String, MatchShape::ObjectKey}});
    EXPECT_EQ(r.out, "a b\nk\n");
    Rig a;
    a.set.raw = true;
    a.set.emit = EmitMode::Assignment;
    a.run({{".s", "a b"}});
    EXPECT_EQ(a.out, ".s = \"a b\"\n");
    Rig j;
    j.set.raw = true;
    j.set.emit = EmitMode::Value;
    j.set.format = OutputFormat::JsonLines;
    j.run({{".s", "a b"}});
    EXPECT_EQ(j.out, "\"a b\"\n");
}

TEST(Emitter, ColourMarksFilePrefixAndTermInPathSegments) {
    Rig r;
    r.set.color_on = true;
    r.set.highlight = "ema";
    r.file = "f.json";
    r.run({{".users[0].Email", "x"}, {".zzz", "x"}});
    EXPECT_EQ(r.out, kCyan + "f.json" + kReset + kCyan + ":" + kReset + ".users[0]." + kRed + "Ema" + kReset + "il\n" +
                         kCyan + "f.json" + kReset + kCyan + ":" + kReset + ".zzz\n");

    // Index segments are never marked, even when the term is a digit.
    Rig d;
    d.set.color_on = true;
    d.set.highlight = "1";
    d.run({{".a1[1]", "x"}});
    EXPECT_EQ(d.out, ".a" + kRed + "1" + kReset + "[1]\n");

    Rig p;
    p.file = "f.json";
    p.run({{".a", "x"}});
    EXPECT_EQ(p.out, "f.json:.a\n");

    // Flattened containers carry the prefix on their first line only, and an
    // empty one writes nothing, so no bare prefix runs into the next record.
    Rig f;
    f.file = "f.json";
    f.set.emit = EmitMode::Assignment;
    f.run({{".o", "{\"a\":1,\"b\":[2]}", ScalarKind::String, MatchShape::Object},
           {".e", "{ }", ScalarKind::String, MatchShape::Object},
           {".s", "x"}});
    EXPECT_EQ(f.out, "f.json:.o.a = 1\n.o.b[0] = 2\nf.json:.s = \"x\"\n");
}

TEST(HighlightAsciiCi, NonOverlappingCaseFolded) {
    struct Case {
        std::string text, term, want;
    };
    const Case cases[] = {
        {"aaa", "aa", kRed + "aa" + kReset + "a"},
        {"xAbyab", "ab", "x" + kRed + "Ab" + kReset + "y" + kRed + "ab" + kReset},
        {"a", "ab", "a"},
        {"none", "zz", "none"},
    };
    for (const auto& c : cases) {
        std::string out = "<";
        cli::highlight_ascii_ci(out, c.text, c.term);
        EXPECT_EQ(out, "<" + c.want) << c.text;
    }
}

TEST(Emitter, JsonStringsEscapeControlsAndReplaceBadUtf8) {
    Rig r;
    r.set.format = OutputFormat::JsonLines;
    r.run({{std::string(".a\x01\t\\\"\x7f\xC3\xA9\xE2\x82", 11), "x"}, {".\xED\xA0\x80z", "x"}});
    EXPECT_EQ(r.out, "\".a\\u0001\\t\\\\\\\"\x7f\xC3\xA9\xEF\xBF\xBD\"\n\".\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz\"\n");
}

TEST(BufferedWriter, LargeAndSmallWritesKeepOrder) {
    std::string out;
    {
        BufferedWriter w(&out);
        w.write("ab");
        w.write(std::string(9000, 'x'));
        w.put('c');
        w.write(std::string(8191, 'y'));
        EXPECT_EQ(out, "ab" + std::string(9000, 'x'));
    }
    EXPECT_EQ(out, "ab" + std::string(9000, 'x') + "c" + std::string(8191, 'y'));
}

// Standard output handed over in non-blocking mode (a parent set it on a pipe
// it shares), read more slowly than it is written: every byte arrives and the
// writer does not count a full pipe as a failed write.
TEST(BufferedWriter, NonBlockingPipeTakesEveryByte) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::fcntl(p[1], F_SETFL, ::fcntl(p[1], F_GETFL) | O_NONBLOCK), 0);
    std::string got;
    std::thread reader([&got, in = p[0]] {
        char buf[4096];
        ssize_t n;
        // Late and in small reads, so that the pipe fills up.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        while ((n = ::read(in, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
        ::close(in);
    });
    const std::string text(1 << 20, 'z');
    bool failed = false;
    {
        BufferedWriter w(p[1]);
        for (std::size_t at = 0; at < text.size(); at += 1000) w.write(std::string_view(text).substr(at, 1000));
        w.flush();
        failed = w.failed();
    }
    ::close(p[1]);
    reader.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text);
}

}  // namespace

// The whole program: the tape engine on files (read whole, and streamed with
// a threshold of 0) and the in-memory engine on standard input must agree,
// and records framed across several files keep one separator rule and one cap.
namespace {

const std::string kDoc = R"({"x":"anna","annb":"zann","l":["a","ab"],"e":""})";
const std::vector<std::pair<std::string, std::string>> kStream = {{"QUELLMOR_MMAP_THRESHOLD_MB", "0"}};

TEST(EmitterEndToEnd, FileAndStdinAgreeOnAnchorsGreedyPatternsAndEmptyTerms) {
    struct Q {
        std::vector<std::string> args;
        std::string out;
    };
    const Q qs[] = {
        {{"search", "-r", "^ann"}, ".x\n.annb\n"},
        {{"search", "-r", "ann$"}, ".annb\n"},
        {{"search", "-r", "a.*b"}, ".annb\n.l[1]\n"},
        {{"search", ""}, ".x\n.annb\n.l\n.l[0]\n.l[1]\n.e\n"},
    };
    std::vector<e2e::QmCase> cases;
    for (const auto& q : qs) {
        auto file_args = q.args;
        file_args.push_back("d.json");
        cases.push_back(
            {.name = "file " + q.args.back(), .args = file_args, .files = {{"d.json", kDoc}}, .out = q.out});
        cases.push_back({.name = "streamed " + q.args.back(),
                         .args = file_args,
                         .files = {{"d.json", kDoc}},
                         .env = kStream,
                         .out = q.out});
        auto in_args = q.args;
        in_args.push_back("-");
        cases.push_back({.name = "stdin " + q.args.back(), .args = in_args, .stdin_data = kDoc, .out = q.out});
    }
    e2e::check_cases(cases);
}

TEST(EmitterEndToEnd, SeveralFilesShareFramingAndCap) {
    const std::vector<std::pair<std::string, std::string>> files = {{"g/a.json", R"({"name":"alice"})"},
                                                                    {"g/b.json", R"({"x":["alice","bob alice"]})"}};
    e2e::check_cases({
        {.name = "plain prefix",
         .args = {"search", "alice", "g/*.json"},
         .files = files,
         .out = "g/a.json:.name\ng/b.json:.x[0]\ng/b.json:.x[1]\n"},
        {.name = "json array across files",
         .args = {"search", "--format", "json", "alice", "g/*.json"},
         .files = files,
         .out = "[\".name\",\".x[0]\",\".x[1]\"]\n"},
        {.name = "envelopes name the file",
         .args = {"search", "--format", "jsonl", "--envelope", "bob", "g/*.json"},
         .files = files,
         .out = "{\"file\":\"g/b.json\",\"path\":\".x[1]\",\"preview\":\"\\\"bob alice\\\"\"}\n"},
        {.name = "cap cuts mid-record and holds for the next file",
         .args = {"search", "--max-output", "20", "alice", "g/*.json"},
         .files = files,
         .out = "g/a.json:.name\ng/b.j"},
        {.name = "count ignores the cap",
         .args = {"search", "--count", "--max-output", "1", "alice", "g/*.json"},
         .files = files,
         .out = "3\n"},
    });
}

}  // namespace

namespace {

// The minified text by its rule, a byte at a time.
std::string minified_in_turn(std::string_view text) {
    std::string out;
    bool in_string = false, escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace

// The runs are the text's own bytes, maximal and in order, and make the text
// the rule gives: over texts of quotes, backslashes (inside strings and, in
// invalid JSON, outside them) and whitespace, with strings, escapes and runs
// of backslashes that cross the scan's 64-byte blocks.
TEST(Emitter, MinifiedRunsFollowTheRule) {
    std::vector<std::string> texts = {
        "",
        " ",
        "\"",
        std::string(63, ' ') + "\"\\" + "\" \"",  // an escape across a block edge
        std::string(62, 'a') + "\"" + std::string(7, '\\') + "\" a\" b",
        "\\\" a \" b",  // a backslash outside a string escapes nothing
        std::string(70, ' ') + "\\\\\"" + std::string(64, ' ') + "\"",
        "{\n  \"a\": \"x y\",\n  \"b\": [1, 2]\n}\n",
    };
    unsigned seed = 7;
    const char alphabet[] = {'"', '\\', ' ', '\n', '\t', '\r', 'a', '{', ',', '"', ' ', ' '};
    for (int t = 0; t < 3000; ++t) {
        std::string s;
        seed = seed * 1103515245u + 12345u;
        const std::size_t len = (seed >> 16) % 300;
        for (std::size_t i = 0; i < len; ++i) {
            seed = seed * 1103515245u + 12345u;
            s += alphabet[(seed >> 16) % sizeof alphabet];
        }
        texts.push_back(s);
    }
    for (const std::string& text : texts) {
        std::string joined;
        const char* last_end = nullptr;
        bool maximal = true, own = true;
        cli::for_each_minified_run(text, [&](std::string_view run) {
            own = own && !run.empty() && run.data() >= text.data() &&
                  run.data() + run.size() <= text.data() + text.size();
            maximal = maximal && run.data() != last_end && (last_end == nullptr || run.data() > last_end);
            last_end = run.data() + run.size();
            joined += run;
        });
        ASSERT_EQ(joined, minified_in_turn(text)) << text;
        ASSERT_TRUE(own && maximal) << text;
    }
}

// Output past the writer's buffer widens a pipe to its reader to 1 MiB, and
// never narrows one that is wider; output that fits the buffer leaves the
// pipe as it was, and other descriptors take the same writes as before.
TEST(BufferedWriter, OutputPastItsBufferWidensAPipe) {
    auto pipe_after = [](std::size_t bytes, int preset) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        if (preset > 0 && ::fcntl(fds[1], F_SETPIPE_SZ, preset) < 0) preset = -1;
        {
            cli::BufferedWriter w(fds[1]);
            for (std::size_t i = 0; i < bytes; i += 100) w.write(std::string(100, 'x'));
        }
        const int size = ::fcntl(fds[1], F_GETPIPE_SZ);
        ::close(fds[0]);
        ::close(fds[1]);
        return preset < 0 ? -1 : size;
    };
    const int usual = pipe_after(0, 0);
    EXPECT_EQ(pipe_after(cli::BufferedWriter::kCapacity / 2, 0), usual);
    EXPECT_EQ(pipe_after(20000, 0), 1 << 20);
    // Wider than an unprivileged process may ask for (-1 where refused).
    const int wide = pipe_after(20000, 4 << 20);
    EXPECT_TRUE(wide == -1 || wide == 4 << 20) << wide;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    {
        cli::BufferedWriter w(null);
        w.write(std::string(20000, 'x'));
        w.flush();
        EXPECT_FALSE(w.failed());
    }
    ::close(null);
}
