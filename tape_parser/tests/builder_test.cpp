// The chunk builder and finishing step: tape contents, statistics, messages,
// and above all that cutting the input anywhere changes nothing.
#include "tape_parser/builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tape_parser/tape.hpp"
#include "testdata.hpp"

namespace tp = tape_parser;

namespace {

const char* kind_name(tp::TapeKind k) {
    static const char* names[] = {"null", "false", "true", "number", "string", "array", "object", "?"};
    return names[static_cast<int>(k)];
}

// One line per entry: kind start end count parent ("-" for top level).
std::string dump(const tp::Tape& t) {
    std::ostringstream os;
    for (const auto& e : t) {
        os << kind_name(e.kind()) << ' ' << e.start() << ' ' << e.end() << ' ' << e.child_count() << ' ';
        if (e.parent() == tp::kNoParent) os << '-';
        else os << e.parent();
        os << '\n';
    }
    return os.str();
}

struct Outcome {
    bool ok = false;
    std::string error;
    std::vector<tp::TapeEntry> entries;
    tp::ParseStats stats;

    bool operator==(const Outcome& o) const {
        return ok == o.ok && error == o.error && entries == o.entries && stats == o.stats;
    }
};

// Drives the builder over `input` cut at the given ascending positions, the
// way both parse drivers do: byte order mark skipped, then finish_tape.
Outcome parse_with_cuts(const std::string& input, std::vector<std::size_t> cuts,
                        std::uint64_t max_entries = tp::kMaxTapeEntries) {
    const auto* d = reinterpret_cast<const std::uint8_t*>(input.data());
    const std::size_t len = input.size();
    const std::size_t start = len >= 3 && input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    tp::Tape tape;
    tp::ParseStats stats;
    tp::TapeBuilderState st;
    st.max_entries = max_entries;
    Outcome out;
    cuts.push_back(len);
    std::size_t pos = start;
    for (std::size_t c : cuts) {
        if (c <= pos) continue;
        // Each chunk lives in its own buffer, freed (and scribbled over)
        // right after the call: the state must hold no reference into it.
        std::vector<std::uint8_t> chunk(d + pos, d + c);
        auto r = tp::build_tape_chunk(chunk.data(), chunk.size(), pos, c == len, st, tape, stats);
        std::fill(chunk.begin(), chunk.end(), std::uint8_t{'"'});
        if (!r) {
            out.error = r.error();
            tp::drop_parser_state(st);
            return out;
        }
        pos = c;
    }
    auto f = tp::finish_tape(st, len, tape, stats);
    tp::drop_parser_state(st);
    if (!f) {
        out.error = f.error();
        return out;
    }
    stats.tape_len = tape.size();
    out.ok = true;
    out.entries.assign(tape.begin(), tape.end());
    out.stats = stats;
    return out;
}

Outcome parse_whole(const std::string& input) { return parse_with_cuts(input, {}); }

std::string dump_of(const Outcome& o) {
    if (!o.ok) return "error: " + o.error;
    tp::Tape t;
    for (const auto& e : o.entries) t.push_back(e);
    return dump(t);
}

// Every chunk size from 1 byte up, and random cuts, give the single-chunk outcome.
void expect_split_invariant(const std::string& input, unsigned random_rounds = 50) {
    const Outcome whole = parse_whole(input);
    // One divergence is inherent in the builder's rules: a literal cut by the
    // end of the input is "Unexpected EOF" whatever its bytes when the whole
    // literal start is in the last chunk, while a literal resumed from an
    // earlier chunk has its bytes compared first ("Invalid literal", same
    // position).
    auto same = [&](const Outcome& split) {
        if (split == whole) return true;
        const std::string eof = "Unexpected EOF in literal at position ";
        return !whole.ok && !split.ok && whole.error.rfind(eof, 0) == 0 &&
               split.error == "Invalid literal at position " + whole.error.substr(eof.size());
    };
    for (std::size_t cs = 1; cs <= input.size(); ++cs) {
        std::vector<std::size_t> cuts;
        for (std::size_t c = cs; c < input.size(); c += cs) cuts.push_back(c);
        const Outcome split = parse_with_cuts(input, cuts);
        ASSERT_TRUE(same(split)) << "chunk size " << cs << " on: " << input << "\n got " << dump_of(split) << "\n want "
                                 << dump_of(whole);
    }
    std::mt19937_64 rng(input.size() * 7919 + 1);
    for (unsigned round = 0; round < random_rounds && input.size() > 1; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t c = 0; c < input.size(); c += 1 + rng() % 5) cuts.push_back(c);
        const Outcome split = parse_with_cuts(input, cuts);
        ASSERT_TRUE(same(split)) << "random cuts, round " << round << " on: " << input << "\n got " << dump_of(split)
                                 << "\n want " << dump_of(whole);
    }
}

struct Case {
    std::string input;
    std::string expected;  // dump, or "error: <message>"
};

std::vector<Case> tape_cases() {
    return {
        // The worked example: spans, counts and parents.
        {R"({"ab":[true,-1.5e3,null]})",
         "object 0 25 1 -\nstring 2 4 0 0\narray 6 24 3 0\ntrue 7 11 0 2\nnumber 12 18 0 2\nnull 19 23 0 2\n"},
        // Two top-level values are wrapped; parents move up by one.
        {"1 \"x\"", "array 0 5 2 -\nnumber 0 1 0 0\nstring 3 4 0 0\n"},
        {"{}", "object 0 2 0 -\n"},
        {"[]", "array 0 2 0 -\n"},
        {"\"\"", "string 1 1 0 -\n"},
        {"{\"a\"}", "object 0 5 0 -\nstring 2 3 0 0\n"},
        {"[1]", "array 0 3 1 -\nnumber 1 2 0 0\n"},
        {"[1][2]", "array 0 6 2 -\narray 0 3 1 0\nnumber 1 2 0 1\narray 3 6 1 0\nnumber 4 5 0 3\n"},
        {"1 2 3", "array 0 5 3 -\nnumber 0 1 0 0\nnumber 2 3 0 0\nnumber 4 5 0 0\n"},
        // Byte order mark: the value starts at 3, a wrapper still at 0.
        {"\xEF\xBB\xBF{}", "object 3 5 0 -\n"},
        {"\xEF\xBB\xBF{} 1", "array 0 7 2 -\nobject 3 5 0 0\nnumber 6 7 0 0\n"},
        {"\xEF\xBB\xBF", ""},
        {"", ""},
        {" \t\r\n,:, ", ""},
        // Separators are skipped wherever they stand.
        {"[1 2]", "array 0 5 2 -\nnumber 1 2 0 0\nnumber 3 4 0 0\n"},
        {"[1,,2,]", "array 0 7 2 -\nnumber 1 2 0 0\nnumber 4 5 0 0\n"},
        {"[,1:2]", "array 0 6 2 -\nnumber 2 3 0 0\nnumber 4 5 0 0\n"},
        {"{\"a\" 1}", "object 0 7 1 -\nstring 2 3 0 0\nnumber 5 6 0 0\n"},
        {"{:}", "object 0 3 0 -\n"},
        // Literals and numbers are not checked for what follows them.
        {"truefalse", "array 0 9 2 -\ntrue 0 4 0 0\nfalse 4 9 0 0\n"},
        {"true1", "array 0 5 2 -\ntrue 0 4 0 0\nnumber 4 5 0 0\n"},
        {"[null\"a\"]", "array 0 9 2 -\nnull 1 5 0 0\nstring 6 7 0 0\n"},
        // Number spans are runs of 0-9 + - . e E, unvalidated.
        {"-", "number 0 1 0 -\n"},
        {"1-2e", "number 0 4 0 -\n"},
        {"0.1.2", "number 0 5 0 -\n"},
        {"[-1e+5,3]", "array 0 9 2 -\nnumber 1 6 0 0\nnumber 7 8 0 0\n"},
        {"[12345678901234567890123456789e-10]", "array 0 35 1 -\nnumber 1 34 0 0\n"},
        // Strings: escapes skipped, \u plus four bytes skipped, long bodies.
        {R"(["a\"b","\\","\u0022x"])", "array 0 23 3 -\nstring 2 6 0 0\nstring 9 11 0 0\nstring 14 21 0 0\n"},
        {"\"abcdefghijklmnopqrstuvwxyz0123456789\"", "string 1 37 0 -\n"},
        {"\"0123456789abcde\"", "string 1 16 0 -\n"},
        {"\"0123456789abcdef\"", "string 1 17 0 -\n"},
        {"\"x\\\"0123456789abcdef\\\\\"", "string 1 22 0 -\n"},
        {"\"\x01\xff\xfe\"", "string 1 4 0 -\n"},
        // Nesting and member counts.
        {R"({"a":{"b":[[],{}]},"c":[1,[2]]})",
         "object 0 31 2 -\nstring 2 3 0 0\nobject 5 18 1 0\nstring 7 8 0 2\narray 10 17 2 2\narray 11 13 0 4\n"
         "object 14 16 0 4\nstring 20 21 0 0\narray 23 30 2 0\nnumber 24 25 0 8\narray 26 29 1 8\nnumber 27 28 0 10\n"},
        {"  [ \n    1,\n    2\n  ]  \n", "array 2 21 2 -\nnumber 9 10 0 0\nnumber 16 17 0 0\n"},
        {"[" + std::string(68, ' ') + "1]", "array 0 71 1 -\nnumber 69 70 0 0\n"},
    };
}

std::vector<Case> error_cases() {
    return {
        {"]", "error: Unexpected ']' at position 0"},
        {"  }", "error: Unexpected '}' at position 2"},
        {"[}", "error: Mismatched bracket at position 1"},
        {"{\"a\":[1}", "error: Mismatched bracket at position 7"},
        {"tru", "error: Unexpected EOF in literal at position 0"},
        {"tx", "error: Unexpected EOF in literal at position 0"},
        {"[1,fals", "error: Unexpected EOF in literal at position 3"},
        {"trux", "error: Invalid literal at position 0"},
        {"[nul1]", "error: Invalid literal at position 1"},
        {"[falsy]", "error: Invalid literal at position 1"},
        {"nul", "error: Unexpected EOF in literal at position 0"},
        {"123abc", "error: Unexpected character 'a' at position 3"},
        {"+1", "error: Unexpected character '+' at position 0"},
        {".5", "error: Unexpected character '.' at position 0"},
        {"[1, x]", "error: Unexpected character 'x' at position 4"},
        // A byte that is no printable character is quoted as an escape.
        {"\xE9", "error: Unexpected character '\\xe9' at position 0"},
        {"\xEF\xBB", "error: Unexpected character '\\xef' at position 0"},
        {std::string("[\0]", 3), "error: Unexpected character '\\x00' at position 1"},
        {"[\x1b[2J]", "error: Unexpected character '\\x1b' at position 1"},
        {"[\x7f]", "error: Unexpected character '\\x7f' at position 1"},
        {"[1,{\"abc", "error: Unclosed container"},
        {"[", "error: Unclosed container"},
        {"\"abc", "error: Unexpected EOF in string"},
        {"\"abc\\", "error: Unexpected EOF in string"},
        {"\"ab\\u00", "error: Unexpected EOF in string"},
        // The four bytes after \u are skipped, quotes included.
        {"\"\\u\"ab\"", "error: Unexpected EOF in string"},
    };
}

TEST(Builder, TapesOfSmallInputs) {
    for (const auto& c : tape_cases()) EXPECT_EQ(dump_of(parse_whole(c.input)), c.expected) << c.input;
}

TEST(Builder, Messages) {
    for (const auto& c : error_cases()) EXPECT_EQ(dump_of(parse_whole(c.input)), c.expected) << c.input;
}

TEST(Builder, StatisticsCountEveryKind) {
    const Outcome o = parse_whole(R"({"a":[true,false,null,1,"s",{"x":{},"y":[]}]} 2)");
    ASSERT_TRUE(o.ok) << o.error;
    tp::ParseStats want;
    want.tape_len = 15;
    want.objects = 3;
    want.arrays = 3;  // two '[' and the wrapper
    want.strings = 4;
    want.numbers = 2;
    want.booleans = 2;
    want.nulls = 1;
    want.object_members = 3;
    EXPECT_EQ(o.stats, want);
}

TEST(Builder, ChunkSplitInvarianceOnSmallInputs) {
    for (const auto& c : tape_cases()) expect_split_invariant(c.input);
    for (const auto& c : error_cases()) expect_split_invariant(c.input);
    for (const char* extra : {
             "\"a\\\\\\\"b\\u12\"34\"",  // escapes ending and starting at every cut
             "[\"\\u00e9\\n\",\"\\\\\"]",
             "[123,45.6e-7,-0,1E+2]   7",
             "{\"k\":null,\"t\":true,\"f\":false}",
             "nulltruefalse",
             "[0123456789012345678901234567890123]",
         })
        expect_split_invariant(extra);
}

// Strings of every length to past two 64-byte blocks, plain and with an
// escaped quote, at shifting alignments: each string's span, and the same
// tape whole and cut anywhere.
TEST(Builder, StringsOfEveryLengthAndAlignment) {
    std::string doc = "[";
    std::vector<std::size_t> lengths;
    for (std::size_t len = 0; len < 140; len += 3) {
        doc += '"' + std::string(len, 'a') + "\",";
        lengths.push_back(len);
        const std::string escaped = std::string(len / 2, 'b') + "\\\"" + std::string(len / 3, 'c');
        doc += " \"" + escaped + "\",";
        lengths.push_back(escaped.size());
    }
    doc += "1]";
    const Outcome whole = parse_whole(doc);
    ASSERT_TRUE(whole.ok) << whole.error;
    ASSERT_EQ(whole.entries.size(), lengths.size() + 2);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const tp::TapeEntry& e = whole.entries[i + 1];
        ASSERT_EQ(e.kind(), tp::TapeKind::String) << i;
        EXPECT_EQ(e.end() - e.start(), lengths[i]) << i;
        EXPECT_EQ(doc[e.start() - 1], '"') << i;
        EXPECT_EQ(doc[e.end()], '"') << i;
    }
    expect_split_invariant(doc, 5);
}

// Whitespace runs of many lengths (across 32 and 64 bytes) and of every
// kind, each repeated and then changed, before values and keys, after ':' and
// before closers, at shifting alignments: every number's span, and the same
// tape whole and cut anywhere (a run that the chunk does not hold 32 bytes
// past is crossed byte by byte).
TEST(Builder, WhitespaceRunsOfManyLengthsAndKinds) {
    const char blanks[] = {' ', '\t', '\r', ' ', ' '};
    auto run = [&](std::size_t len, std::size_t salt) {
        std::string r;
        for (std::size_t i = 0; i < len; ++i) r += i == 0 ? '\n' : blanks[(i * salt) % 5 == 1 ? (i + salt) % 5 : 0];
        return r;
    };
    std::string doc = "[";
    std::vector<std::string> numbers;
    std::size_t salt = 0;
    for (std::size_t len : {0, 1, 2, 3, 5, 8, 13, 21, 30, 31, 32, 33, 34, 40, 63, 64, 65}) {
        for (int rep = 0; rep < 3; ++rep, ++salt) {
            const std::string a = std::to_string(salt * 7);
            const std::string b = std::to_string(salt * 7 + 1) + "e" + std::to_string(salt);
            doc += run(len, salt) + "{" + run(len + 2, salt) + "\"k\":" + run(salt % 3, salt) + a + "," +
                   run(len + 2, salt) + "\"a\": [" + run(len + 4, salt) + b + run(len + 2, salt) + "]" +
                   run(len, salt) + "},";
            numbers.push_back(a);
            numbers.push_back(b);
        }
    }
    doc += run(40, 1) + "1" + run(33, 2) + "]" + run(70, 3);
    numbers.push_back("1");
    const Outcome whole = parse_whole(doc);
    ASSERT_TRUE(whole.ok) << whole.error;
    std::size_t k = 0;
    for (const auto& e : whole.entries) {
        if (e.kind() != tp::TapeKind::Number) continue;
        ASSERT_LT(k, numbers.size());
        EXPECT_EQ(doc.substr(e.start(), e.end() - e.start()), numbers[k]) << k;
        ++k;
    }
    EXPECT_EQ(k, numbers.size());
    expect_split_invariant(doc, 3);
}

// A run remembered as long as the ones before it that ends early, on a byte
// that is not whitespace or on one that is no token: the same tape or error
// (position included) as when the run is crossed byte by byte.
TEST(Builder, WhitespaceRunThatBreaksTheRule) {
    std::string lines;
    for (int i = 0; i < 6; ++i) lines += "\n    " + std::to_string(i) + ",";
    std::string tail;
    for (int i = 0; i < 8; ++i) tail += "\n    1,";
    for (const char* odd : {"\n  \x01", "\n    \x01", "\n     \x0b",
                            "\n    \x0b"
                            "1,",
                            "\n  ,", "\n    :\n    7,", "\n    \n    8,"}) {
        const std::string doc = "[" + lines + odd + tail + "9]";
        SCOPED_TRACE(odd);
        const Outcome whole = parse_whole(doc);
        const std::size_t bad = doc.find_first_of("\x01\x0b");
        if (bad != std::string::npos) {
            EXPECT_EQ(whole.error, std::string("Unexpected character '\\x0") + (doc[bad] == 1 ? '1' : 'b') +
                                       "' at position " + std::to_string(bad));
        } else {
            EXPECT_TRUE(whole.ok) << whole.error;
        }
        expect_split_invariant(doc, 20);
    }
}

TEST(Builder, LiteralCompletedOrRejectedAcrossChunks) {
    EXPECT_EQ(dump_of(parse_with_cuts("null", {2})), "null 0 4 0 -\n");
    EXPECT_EQ(dump_of(parse_with_cuts("nulx", {2})), "error: Invalid literal at position 0");
    // A pending literal that the last chunk does not complete.
    EXPECT_EQ(dump_of(parse_with_cuts("[fal", {2})), "error: Unexpected EOF in literal at position 1");
    // A number ending exactly at a chunk end stays pending; the next byte ends it.
    EXPECT_EQ(dump_of(parse_with_cuts("[12]", {3})), "array 0 4 1 -\nnumber 1 3 0 0\n");
}

TEST(Builder, ZeroLengthChunkChangesNothing) {
    tp::Tape tape;
    tp::ParseStats stats;
    tp::TapeBuilderState st;
    const std::uint8_t d[] = {'[', 't', 'r'};
    ASSERT_TRUE(tp::build_tape_chunk(d, 3, 0, false, st, tape, stats));
    ASSERT_TRUE(tp::build_tape_chunk(d, 0, 3, false, st, tape, stats));
    EXPECT_EQ(st.pending_kind, tp::PendingKind::Literal);
    EXPECT_EQ(st.literal_matched, 2);
    EXPECT_EQ(tape.size(), 1u);
}

TEST(TapeEntry, WideOffsetsUseTheHighHalves) {
    const std::uint64_t s = (std::uint64_t{1} << 32) + 5;
    const std::uint64_t e = (std::uint64_t{0xABCD} << 32) + 7;
    auto x = tp::TapeEntry::scalar(s, e, tp::TapeKind::String, 9);
    EXPECT_EQ(x.w[0], 5u);
    EXPECT_EQ(x.w[1], 0x0001ABCDu);
    EXPECT_EQ(x.w[2], 7u);
    EXPECT_EQ(x.w[3], 0x80000000u);
    EXPECT_EQ(x.start(), s);
    EXPECT_EQ(x.end(), e);
    auto c = tp::TapeEntry::open_container(tp::kMaxTapeOffset, tp::TapeKind::Object, tp::kNoParent);
    EXPECT_EQ(c.end(), 0u);
    c.close(tp::kMaxTapeOffset, 0x3FFFFFFFu);  // only 29 bits of count are kept
    EXPECT_EQ(c.start(), tp::kMaxTapeOffset);
    EXPECT_EQ(c.end(), tp::kMaxTapeOffset);
    EXPECT_EQ(c.child_count(), 0x1FFFFFFFu);
    EXPECT_EQ(c.kind(), tp::TapeKind::Object);
    EXPECT_TRUE(c.is_container());
    EXPECT_TRUE(c.is_object());
    EXPECT_FALSE(x.is_container());

    // Through the builder: a chunk at an absolute offset past 4 GiB.
    tp::Tape tape;
    tp::ParseStats stats;
    tp::TapeBuilderState st;
    const std::uint8_t d[] = {'[', '1', ']'};
    ASSERT_TRUE(tp::build_tape_chunk(d, 3, s, true, st, tape, stats));
    EXPECT_EQ(tape[1].w[0], 6u);
    EXPECT_EQ(tape[1].w[1] >> 16, 1u);
    EXPECT_EQ(tape[0].end(), s + 3);
}

// A document laid across the 4 GiB line, whole and cut: the entries it has
// at offset 0 with every span moved by the offset, whichever side of the line
// each position falls on.
TEST(Builder, SpansAcrossThe4GiBLine) {
    const std::string doc = R"({"ab":[true,-1.5e3,null,"x\"y"],"c":{"d":false,"e":[]},"f":12} 7)";
    const Outcome at0 = parse_whole(doc);
    ASSERT_TRUE(at0.ok);
    const auto* d = reinterpret_cast<const std::uint8_t*>(doc.data());
    for (std::uint64_t back = 0; back <= doc.size() + 1; ++back) {
        const std::uint64_t base = (std::uint64_t{1} << 32) - back;
        for (const std::size_t cs : {doc.size(), std::size_t{7}, std::size_t{1}}) {
            SCOPED_TRACE("base " + std::to_string(base) + ", chunks of " + std::to_string(cs));
            tp::Tape tape;
            tp::ParseStats stats;
            tp::TapeBuilderState st;
            for (std::size_t pos = 0; pos < doc.size(); pos += cs) {
                const std::size_t n = std::min(cs, doc.size() - pos);
                ASSERT_TRUE(tp::build_tape_chunk(d + pos, n, base + pos, pos + n == doc.size(), st, tape, stats));
            }
            ASSERT_TRUE(tp::finish_tape(st, base + doc.size(), tape, stats));
            stats.tape_len = tape.size();
            EXPECT_EQ(stats, at0.stats);
            ASSERT_EQ(tape.size(), at0.entries.size());
            for (std::size_t i = 0; i < tape.size(); ++i) {
                const tp::TapeEntry& want = at0.entries[i];
                // The wrapper of the two top-level values starts at 0 whatever the offset.
                EXPECT_EQ(tape[i].start(), i == 0 ? 0 : want.start() + base) << i;
                EXPECT_EQ(tape[i].end(), want.end() + base) << i;
                EXPECT_EQ(tape[i].w[3], want.w[3]) << i;
                EXPECT_EQ(tape[i].parent(), want.parent()) << i;
            }
        }
    }
}

TEST(Builder, RefusesInputsTheFormatCannotHold) {
    const std::string too_long = "Input too large: tape offsets must stay below 2^48 bytes";
    const std::string too_many = "Input too large: a tape holds at most 4294967294 entries";
    const std::uint8_t d[] = {'1', ' '};
    {
        // The last representable position is still accepted.
        tp::Tape tape;
        tp::ParseStats stats;
        tp::TapeBuilderState st;
        ASSERT_TRUE(tp::build_tape_chunk(d, 1, tp::kMaxTapeOffset - 1, true, st, tape, stats));
        EXPECT_EQ(tape[0].start(), tp::kMaxTapeOffset - 1);
        EXPECT_EQ(tape[0].end(), tp::kMaxTapeOffset);
        EXPECT_TRUE(tp::finish_tape(st, tp::kMaxTapeOffset, tape, stats));
    }
    {
        tp::Tape tape;
        tp::ParseStats stats;
        tp::TapeBuilderState st;
        auto r = tp::build_tape_chunk(d, 2, tp::kMaxTapeOffset - 1, true, st, tape, stats);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), too_long);
        EXPECT_TRUE(tape.empty());
    }
    {
        tp::Tape tape;
        tp::ParseStats stats;
        tp::TapeBuilderState st;
        auto r = tp::finish_tape(st, tp::kMaxTapeOffset + 1, tape, stats);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), too_long);
    }
    // The entry cap, lowered so the limit is reachable: exactly at it is fine,
    // one more (also the wrapper, also a number completed at the end) is refused.
    EXPECT_TRUE(parse_with_cuts("[1,2]", {}, 3).ok);
    EXPECT_EQ(parse_with_cuts("[1,2,3]", {}, 3).error, too_many);
    EXPECT_EQ(parse_with_cuts("[[[[]]]]", {2}, 3).error, too_many);
    EXPECT_EQ(parse_with_cuts("\"a\" \"b\"", {}, 2).error, too_many);
    EXPECT_TRUE(parse_with_cuts("\"a\" \"b\"", {}, 3).ok);
    EXPECT_EQ(parse_with_cuts("[]1", {}, 1).error, too_many);
    EXPECT_EQ(parse_with_cuts("[1,2,3]", {1, 2, 3, 4, 5, 6}, 3).error, too_many);
}

TEST(TapeNumberEnd, RunsOfTheNumberSet) {
    struct N {
        std::string s;
        std::size_t start, end;
    } cases[] = {
        {"123", 0, 3},
        {"123,", 0, 3},
        {"x", 0, 0},
        {"-1.5e+3]", 0, 7},
        {"12345678901234567890123456789012345,", 0, 35},  // past 16 and 8 at a time
        {"1234567890123456e", 0, 17},                     // all 16 in the set, then the tail
        {"1234567.89012345678901234x", 0, 25},
        {"0123456789+-.eE0123456789+-.eE", 0, 30},
        {"99999999999999999999\xB9", 0, 20},  // high bytes are not digits
        {"1/2:3@4`5{6", 0, 1},
        {"ab12", 2, 4},
        {"1234567890123456789 ", 3, 19},
        // Neighbours of the set in ASCII: none belongs.
        {"1*", 0, 1},
        {"1,", 0, 1},
        {"1/", 0, 1},
        {"1:", 0, 1},
        {"1D", 0, 1},
        {"1F", 0, 1},
        {"1d", 0, 1},
        {"1f", 0, 1},
        {"1%", 0, 1},
        {"1U", 0, 1},
        {"1u", 0, 1},
        {"1;", 0, 1},
        {"1>", 0, 1},
        {"1K", 0, 1},
        {"1\xC5", 0, 1},
        {"1\xE5", 0, 1},
    };
    for (const auto& c : cases) {
        const auto* d = reinterpret_cast<const std::uint8_t*>(c.s.data());
        EXPECT_EQ(tp::tape_number_end(d, c.s.size(), c.start), c.end) << c.s;
        // The same answer when the byte at the end sits in a 16-byte window.
        std::string padded = c.s + std::string(20, '!');
        EXPECT_EQ(tp::tape_number_end(reinterpret_cast<const std::uint8_t*>(padded.data()), padded.size(), c.start),
                  c.end)
            << c.s;
    }
    // Every byte value against the set, at every position of a 16-byte window.
    for (int b = 0; b < 256; ++b) {
        const bool in = (b >= '0' && b <= '9') || b == '+' || b == '-' || b == '.' || b == 'e' || b == 'E';
        for (std::size_t at = 0; at < 20; ++at) {
            std::string s(24, '5');
            s[at] = static_cast<char>(b);
            const auto* d = reinterpret_cast<const std::uint8_t*>(s.data());
            EXPECT_EQ(tp::tape_number_end(d, s.size(), 0), in ? s.size() : at) << b << " at " << at;
        }
    }
}

// Real documents: the tape satisfies the format's rules, and cutting the
// document at random gives the same tape.
void check_format_rules(const std::string& doc, const Outcome& o, bool wrapped) {
    const auto& t = o.entries;
    std::vector<std::size_t> open;  // enclosing containers by index
    std::vector<std::uint64_t> kids;
    kids.assign(t.size(), 0);
    for (std::size_t i = 0; i < t.size(); ++i) {
        const auto& e = t[i];
        ASSERT_LE(e.start(), e.end());
        ASSERT_LE(e.end(), doc.size());
        if (i > 0) {
            ASSERT_GE(e.start(), t[i - 1].start());
        }
        while (!open.empty() && !(e.start() < t[open.back()].end())) open.pop_back();
        const std::uint32_t want_parent = open.empty() ? tp::kNoParent : static_cast<std::uint32_t>(open.back());
        ASSERT_EQ(e.parent(), want_parent) << "entry " << i;
        if (!open.empty()) ++kids[open.back()];
        const std::string_view span(doc.data() + e.start(), e.end() - e.start());
        if (wrapped && i == 0) {
            ASSERT_EQ(e.kind(), tp::TapeKind::Array);
            ASSERT_EQ(e.start(), 0u);
            ASSERT_EQ(e.end(), doc.size());
            open.push_back(i);
            continue;
        }
        switch (e.kind()) {
            case tp::TapeKind::Null: ASSERT_EQ(span, "null"); break;
            case tp::TapeKind::True: ASSERT_EQ(span, "true"); break;
            case tp::TapeKind::False: ASSERT_EQ(span, "false"); break;
            case tp::TapeKind::String:
                ASSERT_EQ(doc[e.start() - 1], '"');
                ASSERT_EQ(doc[e.end()], '"');
                break;
            case tp::TapeKind::Number:
                ASSERT_FALSE(span.empty());
                ASSERT_EQ(span.find_first_not_of("0123456789+-.eE"), std::string_view::npos);
                break;
            case tp::TapeKind::Array:
                ASSERT_EQ(span.front(), '[');
                ASSERT_EQ(span.back(), ']');
                break;
            case tp::TapeKind::Object:
                ASSERT_EQ(span.front(), '{');
                ASSERT_EQ(span.back(), '}');
                break;
            default: FAIL() << "kind 7";
        }
        if (e.is_container()) open.push_back(i);
    }
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i].kind() == tp::TapeKind::Array) {
            ASSERT_EQ(t[i].child_count(), kids[i]);
        }
        if (t[i].kind() == tp::TapeKind::Object) {
            ASSERT_EQ(t[i].child_count(), kids[i] / 2);
        }
    }
}

TEST(Builder, RealDocuments) {
    const auto files = testdata::documents("real");
    ASSERT_FALSE(files.empty()) << "no real documents listed under " << testdata::dir();
    std::mt19937_64 rng(42);
    for (const auto& f : files) {
        SCOPED_TRACE(f.path.filename().string());
        std::string doc;
        ASSERT_TRUE(testdata::read(f, doc));
        const Outcome whole = parse_whole(doc);
        ASSERT_TRUE(whole.ok) << whole.error;
        ASSERT_FALSE(whole.entries.empty());
        check_format_rules(doc, whole, f.path.extension() == ".ndjson");
        for (int round = 0; round < 3; ++round) {
            std::vector<std::size_t> cuts;
            const std::size_t mean = round == 0 ? 3 : round == 1 ? 100 : 70000;
            for (std::size_t c = rng() % mean; c < doc.size(); c += 1 + rng() % (2 * mean)) cuts.push_back(c);
            ASSERT_EQ(parse_with_cuts(doc, cuts), whole) << "round " << round;
        }
    }
}

// The conformance files, which include many malformed ones: no crash, and
// every cut agrees with the whole.
TEST(Builder, ConformanceFilesSplitAnywhere) {
    const auto files = testdata::documents("jsontestsuite");
    ASSERT_FALSE(files.empty()) << "no conformance files listed under " << testdata::dir();
    for (const auto& f : files) {
        SCOPED_TRACE(f.path.filename().string());
        std::string doc;
        ASSERT_TRUE(testdata::read(f, doc));
        if (doc.size() > 4096) continue;
        expect_split_invariant(doc, 5);
    }
}

}  // namespace
