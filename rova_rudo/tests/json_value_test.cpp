#include "rova_rudo/json_value.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/utf8.hpp"
#include "testdata.hpp"

namespace rova_rudo {
namespace {

std::string compact(std::string_view in) {
    std::string out;
    if (!reformat_json(in, JsonStyle::Compact, out)) return "<rejected>";
    return out;
}

std::string pretty(std::string_view in) {
    std::string out;
    if (!reformat_json(in, JsonStyle::Pretty, out)) return "<rejected>";
    return out;
}

struct Case {
    std::string in;
    std::string out;  // compact form, or "<rejected>"
};

void check_compact(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("input: " + c.in);
        EXPECT_EQ(compact(c.in), c.out);
    }
}

TEST(JsonValue, Numbers) {
    const std::vector<Case> cases = {
        {"0", "0"},
        {"-0", "-0.0"},
        {"-0.0", "-0.0"},
        {"0.0", "0.0"},
        {"123", "123"},
        {"-42", "-42"},
        {"18446744073709551615", "18446744073709551615"},  // u64 max stays exact
        // A value that no 64-bit integer or double holds keeps its digits.
        {"18446744073709551616", "18446744073709551616"},
        {"12345678901234567890123", "12345678901234567890123"},
        {"-9223372036854775809", "-9223372036854775809"},
        {"1.2345678901234567890123e22", "1.2345678901234567890123e22"},
        {"0.1000000000000000000001", "0.1000000000000000000001"},
        {"9007199254740993.0", "9007199254740993.0"},
        {"100e-2", "1.0"},
        {"0.000", "0.0"},
        {"1.10", "1.1"},
        {"-9223372036854775808", "-9223372036854775808"},  // i64 min stays exact
        {"1E2", "100.0"},
        {"1e2", "100.0"},
        {"1.50", "1.5"},
        {"1.5e1", "15.0"},
        {"12345.678", "12345.678"},
        {"1e-5", "0.00001"},
        {"1.5e-5", "0.000015"},
        {"0.0001", "0.0001"},
        {"1e-7", "1e-7"},
        {"1.25e-7", "1.25e-7"},
        {"1e16", "1e16"},
        {"1e15", "1000000000000000.0"},
        {"1234567890123456.0", "1234567890123456.0"},
        {"12345678901234567.0", "12345678901234567.0"},
        {"12345678901234568.0", "1.2345678901234568e16"},
        {"1e17", "1e17"},
        {"-2.5E+3", "-2500.0"},
        {"0.1", "0.1"},
        {"0.30000000000000004", "0.30000000000000004"},
        {"1e308", "1e308"},
        {"1e-400", "1e-400"},  // underflow is not an error
        {"4.9e-324", "4.9e-324"},
        {"5e-324", "5e-324"},
        {"1e309", "<rejected>"},
        {"-1e400", "<rejected>"},
        {"01", "<rejected>"},
        {"-", "<rejected>"},
        {"-01", "<rejected>"},
        {"1.", "<rejected>"},
        {".5", "<rejected>"},
        {"1e", "<rejected>"},
        {"1e+", "<rejected>"},
        {"+1", "<rejected>"},
        {"0x10", "<rejected>"},
        {"[1.0e+2,-0,7]", "[100.0,-0.0,7]"},
    };
    check_compact(cases);
    // The same through the document an object with a repeated key is built into.
    for (const auto& c : cases) {
        SCOPED_TRACE("in a built document: " + c.in);
        const std::string want = c.out == "<rejected>" ? c.out : "{\"k\":" + c.out + "}";
        EXPECT_EQ(compact("{\"k\":0,\"k\":" + c.in + "}"), want);
    }
}

TEST(JsonValue, Strings) {
    check_compact({
        {R"("abc")", R"("abc")"},
        {R"("caf\u00e9")", "\"caf\xc3\xa9\""},
        {R"("a\/b")", R"("a/b")"},
        {R"("q\"b\\s")", R"("q\"b\\s")"},
        {R"("\b\f\n\r\t")", R"("\b\f\n\r\t")"},
        {R"("\u0001\u001F\u007f")", "\"\\u0001\\u001f\x7f\""},
        {R"("\u0000")", R"("\u0000")"},
        {R"("\uD83D\uDE00")", "\"\xf0\x9f\x98\x80\""},
        {R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
        {"\"\xe2\x82\xac raw\"", "\"\xe2\x82\xac raw\""},
        {R"("\uD83D")", "<rejected>"},  // lone leading surrogate
        {R"("\uD83Dx")", "<rejected>"},
        {R"("\uD83D\u0041")", "<rejected>"},  // not followed by a trailing one
        {R"("\uDE00")", "<rejected>"},        // lone trailing surrogate
        {R"("\x")", "<rejected>"},
        {R"("\u12")", "<rejected>"},
        {R"("\u12G4")", "<rejected>"},
        {"\"a\tb\"", "<rejected>"},  // raw control byte
        {"\"a\x01\"", "<rejected>"},
        {"\"\xff\"", "<rejected>"},          // invalid UTF-8
        {"\"\xc0\xaf\"", "<rejected>"},      // overlong
        {"\"\xed\xa0\x80\"", "<rejected>"},  // encoded surrogate
        {"\"\xe2\x82\"", "<rejected>"},      // truncated sequence
        {"\"abc", "<rejected>"},
        {"\"abc\\", "<rejected>"},
        // Long strings go through the 32-byte scan; the special byte sits past it.
        {"\"" + std::string(40, 'x') + "\\n" + std::string(40, 'y') + "\"",
         "\"" + std::string(40, 'x') + "\\n" + std::string(40, 'y') + "\""},
        {"\"" + std::string(40, 'x') + "\x1f\"", "<rejected>"},
        // Escapes kept as written, then one that is decoded: the decoding
        // starts from the string's first byte.
        {R"("a\nb\u00e9")", "\"a\\nb\xc3\xa9\""},
        {R"("\"\\\/")", R"("\"\\/")"},
        {"\"" + std::string(40, 'x') + "\\t" + std::string(20, 'y') + "\\u0041\"",
         "\"" + std::string(40, 'x') + "\\t" + std::string(20, 'y') + "A\""},
    });
    std::string out;
    write_json_string(out, "he said \"hi\"\n\x7f\x02");
    EXPECT_EQ(out, "\"he said \\\"hi\\\"\\n\x7f\\u0002\"");
}

// Text in other scripts is checked by 32-byte blocks: every fault, at every
// place relative to a block's end and to the bytes that end the string,
// must be found where the one-character-at-a-time rule finds it.
TEST(JsonValue, StringsCheckedByBlocksKeepTheCharacterRule) {
    const std::vector<std::string> pieces = {"\xc3\xa9",
                                             "\xe3\x81\x82",
                                             "\xf0\x9f\x98\x80",
                                             "\xef\xbf\xbf",
                                             "\xf4\x8f\xbf\xbf",
                                             "\xed\x9f\xbf",
                                             "\xe0\xa0\x80",
                                             "\xc0\xaf",
                                             "\xc1\xbf",
                                             "\xe0\x9f\xbf",
                                             "\xed\xa0\x80",
                                             "\xf0\x8f\xbf\xbf",
                                             "\xf4\x90\x80\x80",
                                             "\xf5\x80\x80",
                                             "\xf8\x88\x80\x80\x80",
                                             "\xff",
                                             "\x80",
                                             "\xbf\x80",
                                             "\xe3\x81",
                                             "\xf0\x9f\x98",
                                             "\xc3",
                                             "\xe3\x81\x82\x82",
                                             "a\x80"};
    // Padding of mixed text before the piece moves it across block ends.
    const std::string pad =
        "ab\xe3\x81\x82"
        "c\xc3\xa9"
        "defgh\xf0\x9f\x98\x80"
        "ijklmnopqrstuvwxyz0123456789ABCDEF";
    for (const std::string& piece : pieces) {
        for (std::size_t at = 0; at <= 40; ++at) {
            for (const std::string& after : {std::string(), std::string(40, 'z'), std::string("\\n") + pad,
                                             std::string("\xe3\x81\x82", 3) + pad + pad}) {
                const std::string body = pad.substr(0, at) + piece + after;
                std::string want = "ok";
                for (std::size_t i = 0; i < body.size();) {
                    const platform::Utf8Step st = platform::utf8_step(body, i);
                    if (!st.well_formed) {
                        want = "invalid unicode code point at " + std::to_string(i + 1);
                        break;
                    }
                    i += st.length;
                }
                const std::string doc = "\"" + body + "\"";
                auto r = parse_json_strict(doc);
                const std::string got =
                    r ? "ok" : std::string(r.error().what) + " at " + std::to_string(r.error().offset);
                ASSERT_EQ(got, want) << "piece at " << at << " in " << doc;
            }
        }
    }
}

TEST(JsonValue, StructureAndKeys) {
    check_compact({
        {"  {\"b\":1,\"a\":2,\"b\":3}\r\n", R"({"b":3,"a":2})"},
        {R"({"a":{"x":1},"b":2,"a":[3]})", R"({"a":[3],"b":2})"},
        {R"({"k":1,"k":2,"k":3})", R"({"k":3})"},
        {R"({"\u0061":1,"a":2})", R"({"a":2})"},  // keys compare decoded
        {"[ 1 ,\t2 ]", "[1,2]"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[{},[],{\"a\":[]}]", R"([{},[],{"a":[]}])"},
        {"true", "true"},
        {"false", "false"},
        {"null", "null"},
        {"[1,]", "<rejected>"},
        {"{\"a\":1,}", "<rejected>"},
        {"{,}", "<rejected>"},
        {"{\"a\" 1}", "<rejected>"},
        {"{1:2}", "<rejected>"},
        {"[1 2]", "<rejected>"},
        {"[1", "<rejected>"},
        {"{\"a\":1", "<rejected>"},
        {"", "<rejected>"},
        {"   ", "<rejected>"},
        {"1 2", "<rejected>"},
        {"{} x", "<rejected>"},
        {"tru", "<rejected>"},
        {"truex", "<rejected>"},
        {"nul", "<rejected>"},
        {"\xef\xbb\xbf{}", "<rejected>"},  // a byte order mark is not whitespace
        {"\f1", "<rejected>"},
    });
    // Many members take the hashed duplicate check.
    std::string in = "{", want = "{";
    for (int i = 0; i < 40; ++i) {
        in += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
        want += "\"k" + std::to_string(i) + "\":" + (i == 7 ? "99" : std::to_string(i)) + (i < 39 ? "," : "");
    }
    in += "\"k7\":99}";
    want += "}";
    EXPECT_EQ(compact(in), want);
    // Three occurrences and two repeated keys among many members.
    std::string many = "{\"x\":1,\"y\":2,";
    for (int i = 0; i < 20; ++i) many += "\"m" + std::to_string(i) + "\":0,";
    many += "\"x\":3,\"y\":4,\"x\":[5]}";
    std::string got = compact(many);
    EXPECT_EQ(got.substr(0, 19), R"({"x":[5],"y":4,"m0")");
    EXPECT_EQ(got.find("\"x\"", 2), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - 8), R"("m19":0})");
}

TEST(JsonValue, NestingLimit) {
    auto nested = [](int depth, char open, char close) {
        return std::string(static_cast<std::size_t>(depth), open) + std::string(static_cast<std::size_t>(depth), close);
    };
    EXPECT_EQ(compact(nested(127, '[', ']')), nested(127, '[', ']'));
    EXPECT_EQ(compact(nested(128, '[', ']')), "<rejected>");
    std::string objects;
    for (int i = 0; i < 127; ++i) objects += "{\"a\":";
    objects += "1" + std::string(127, '}');
    EXPECT_EQ(compact(objects), objects);
    // The deepest indentation the writers make, from the text and from the document.
    auto doc = parse_json_strict(objects);
    ASSERT_TRUE(doc.ok());
    std::string want;
    write_json(doc.value(), JsonStyle::Pretty, want);
    EXPECT_EQ(pretty(objects), want);
    EXPECT_NE(want.find("\n" + std::string(2 * 127, ' ') + "\"a\": 1"), std::string::npos);
    // Far deeper than any stack would allow for a recursive reader.
    EXPECT_EQ(compact(nested(1000000, '[', ']')), "<rejected>");
}

TEST(JsonValue, PrettyLayout) {
    EXPECT_EQ(pretty(R"({"a":{"b":[1,2]},"e":[],"o":{},"s":"x\u00e9","n":null})"),
              "{\n"
              "  \"a\": {\n"
              "    \"b\": [\n"
              "      1,\n"
              "      2\n"
              "    ]\n"
              "  },\n"
              "  \"e\": [],\n"
              "  \"o\": {},\n"
              "  \"s\": \"x\xc3\xa9\",\n"
              "  \"n\": null\n"
              "}");
    EXPECT_EQ(pretty("[[[]],{\"k\":1.50}]"),
              "[\n"
              "  [\n"
              "    []\n"
              "  ],\n"
              "  {\n"
              "    \"k\": 1.5\n"
              "  }\n"
              "]");
    // A hidden duplicate as the last member must not leave a dangling comma.
    EXPECT_EQ(pretty(R"({"a":1,"b":2,"a":3})"), "{\n  \"a\": 3,\n  \"b\": 2\n}");
    EXPECT_EQ(pretty("\"s\""), "\"s\"");
    EXPECT_EQ(pretty("{}"), "{}");
}

TEST(JsonValue, FailedReformatLeavesOutputAlone) {
    std::string out = "kept";
    EXPECT_FALSE(reformat_json("[1,", JsonStyle::Pretty, out));
    EXPECT_EQ(out, "kept");
    EXPECT_TRUE(reformat_json("[1]", JsonStyle::Compact, out));
    EXPECT_EQ(out, "kept[1]");
}

TEST(JsonValue, DrainReceivesEverythingInOrder) {
    std::string in = "[";
    for (int i = 0; i < 20000; ++i) in += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    in += "]";
    auto doc = parse_json_strict(in);
    ASSERT_TRUE(doc.ok());
    std::string drained, out;
    int calls = 0;
    write_json(doc.value(), JsonStyle::Compact, out, [&](std::string& buf) {
        ++calls;
        drained += buf;
        buf.clear();
    });
    drained += out;
    EXPECT_GT(calls, 0);
    EXPECT_EQ(drained, in);
}

// A reader that has gone stops the writing at the next drain: what was
// written is a prefix of the whole, and nothing more is made.
TEST(JsonValue, StopEndsTheWritingAfterADrain) {
    std::string in = "[";
    for (int i = 0; i < 100000; ++i) in += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    in += "]";
    auto doc = parse_json_strict(in);
    ASSERT_TRUE(doc.ok());
    std::string drained, out;
    int calls = 0;
    write_json(
        doc.value(), JsonStyle::Pretty, out,
        [&](std::string& buf) {
            ++calls;
            drained += buf;
            buf.clear();
        },
        [&] { return calls == 2; });
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(out.empty());
    std::string whole;
    write_json(doc.value(), JsonStyle::Pretty, whole);
    EXPECT_LT(drained.size(), whole.size() / 4);
    EXPECT_EQ(whole.compare(0, drained.size(), drained), 0);
    // The same from the text, without a document.
    drained.clear();
    calls = 0;
    EXPECT_TRUE(reformat_json(
        in, JsonStyle::Pretty, out,
        [&](std::string& buf) {
            ++calls;
            drained += buf;
            buf.clear();
        },
        [&] { return calls == 2; }));
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(out.empty());
    EXPECT_LT(drained.size(), whole.size() / 4);
    EXPECT_EQ(whole.compare(0, drained.size(), drained), 0);
}

// Written straight from the checked text or through the document, the output
// is the same, in both styles, whole or drained in pieces.
TEST(JsonValue, ReformatWritesWhatTheDocumentWriterWrites) {
    int seen = 0;
    for (const char* dir : {"jsontestsuite", "real"}) {
        for (const auto& doc : testdata::documents(dir)) {
            std::string text;
            if (!testdata::read(doc, text)) continue;
            auto parsed = parse_json_strict(text);
            for (JsonStyle style : {JsonStyle::Compact, JsonStyle::Pretty}) {
                std::string drained, out;
                const bool ok = reformat_json(text, style, out, [&](std::string& buf) {
                    drained += buf;
                    buf.clear();
                });
                ASSERT_EQ(ok, parsed.ok()) << doc.path;
                if (!ok) continue;
                std::string want;
                write_json(parsed.value(), style, want);
                ASSERT_EQ(drained + out, want) << doc.path;
                ++seen;
            }
        }
    }
    EXPECT_GT(seen, 200);
}

// Every finite double reads back bit for bit from what the writer prints, and
// always prints as a float (a point or an exponent).
TEST(JsonValue, DoublesRoundTrip) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 200000; ++i) {
        double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v)) continue;
        std::string out;
        write_json_double(out, v);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(out.c_str(), nullptr)), std::bit_cast<std::uint64_t>(v))
            << out;
        ASSERT_NE(out.find_first_of(".e"), std::string::npos) << out;
        ASSERT_EQ(out.find('+'), std::string::npos) << out;
    }
}

// The public conformance files: every y_ file must be read, every n_ file
// rejected (i_ files may go either way, but must not crash).
TEST(JsonValue, ConformanceSuite) {
    int seen = 0;
    for (const auto& doc : testdata::documents("jsontestsuite")) {
        const std::string name = doc.path.filename().string();
        std::string text;
        if (!testdata::read(doc, text)) continue;
        std::string out;
        const bool ok = reformat_json(text, JsonStyle::Compact, out);
        if (name.starts_with("y_")) {
            EXPECT_TRUE(ok) << name;
        } else if (name.starts_with("n_")) {
            EXPECT_FALSE(ok) << name;
        }
        if (ok) {
            // What was written reads back to itself.
            std::string again;
            EXPECT_TRUE(reformat_json(out, JsonStyle::Compact, again)) << name;
            EXPECT_EQ(again, out) << name;
        }
        ++seen;
    }
    EXPECT_GT(seen, 100);
}

}  // namespace
}  // namespace rova_rudo
