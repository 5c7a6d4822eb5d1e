#include "rova_rudo/parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace rova_rudo;

namespace {

struct StringCase {
    std::string name;
    std::string input;  // starts at the opening quote
    bool ok;
    std::string body;       // when ok
    std::uint64_t end_pos;  // when ok: one past the closing quote
};

TEST(ScanString, Table) {
    const std::string long_plain = "\"" + std::string(20, 'x') + "\"";
    // Backslash inside the first 16 bytes, closing quote 20 bytes on.
    const std::string long_bs = "\"ab\\ncdefghijklmnopq\"tail";
    // Escaped quote straddling the 16-byte window: the backslash is byte 16
    // of the body (outside the window), its quote byte 17.
    const std::string straddle = "\"" + std::string(15, 'y') + "\\\"z\"";
    // Backslash is the last byte of the window, quote right after it.
    const std::string straddle2 = "\"" + std::string(15, 'y') + "\\\"\"";
    const std::vector<StringCase> cases = {
        {"short", "\"abc\"", true, "abc", 5},
        {"empty", "\"\"", true, "", 2},
        {"escaped quote", "\"a\\\"b\"", true, "a\\\"b", 6},
        {"escaped backslash at end", "\"a\\\\\"", true, "a\\\\", 5},
        {"fast path long", long_plain + ",", true, std::string(20, 'x'), 22},
        {"fast path quote after 16 with following data", "\"" + std::string(16, 'k') + "\"" + std::string(20, ' '),
         true, std::string(16, 'k'), 18},
        {"backslash before first quote in window", long_bs, true, "ab\\ncdefghijklmnopq", 21},
        {"quote in window after escaped quote", "\"a\\\"bcdefghijklmno\"pqrstu", true, "a\\\"bcdefghijklmno", 19},
        {"escape at window edge", straddle, true, std::string(15, 'y') + "\\\"z", 20},
        {"escape ends window", straddle2, true, std::string(15, 'y') + "\\\"", 19},
        {"control and invalid utf8 kept", "\"\x01\xFF\"", true, "\x01\xFF", 4},
        {"unclosed", "\"abc", false, "", 0},
        {"final backslash", "\"abc\\", false, "", 0},
        {"escaped final quote", "\"abc\\\"", false, "", 0},
        {"unclosed long", "\"" + std::string(40, 'a'), false, "", 0},
        {"unclosed long escapes", "\"" + std::string(40, '\\'), false, "", 0},
        {"only quote", "\"", false, "", 0},
    };
    for (const auto& tc : cases) {
        JsonCursor c(tc.input);
        auto r = scan_string(c);
        ASSERT_EQ(r.ok(), tc.ok) << tc.name;
        if (tc.ok) {
            EXPECT_EQ(*r, tc.body) << tc.name;
            EXPECT_EQ(c.pos, tc.end_pos) << tc.name;
            EXPECT_EQ(c.offset_of(*r), 1u) << tc.name;
        } else {
            EXPECT_EQ(r.error(), ParseError::unclosed_string()) << tc.name;
        }
    }
}

TEST(ScanString, StartsMidDocument) {
    const std::string doc = "{\"key\": \"va\\\\lue\"}";
    JsonCursor c(doc, 8);
    auto r = scan_string(c);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, "va\\\\lue");
    EXPECT_EQ(c.offset_of(*r), 9u);
    EXPECT_EQ(c.pos, doc.size() - 1);
}

// scan_string of the string that starts `doc` against the reference: skip
// escaped bytes until an unescaped quote. `n` and `esc` name the case.
void expect_scan_as_reference(const std::string& doc, std::size_t n, std::size_t esc) {
    std::size_t p = 1;
    while (p < doc.size() && doc[p] != '"') p += doc[p] == '\\' ? 2 : 1;
    JsonCursor c(doc);
    auto r = scan_string(c);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(c.pos, p + 1) << n << " " << esc;
    EXPECT_EQ(r->size(), p - 1) << n << " " << esc;
}

// Every body length and escape position at the start of a short document
// must agree with a byte-by-byte scan.
TEST(ScanString, AgreesWithScalarScan) {
    for (std::size_t n = 0; n < 40; ++n) {
        for (std::size_t esc = 0; esc <= n; ++esc) {
            std::string doc = "\"";
            std::string body(n, 'q');
            if (esc < n) body[esc] = '\\';
            doc += body + "\"xyz\"";
            expect_scan_as_reference(doc, n, esc);
        }
    }
}

// The same with the document going on long after the string, so that the
// inline 32-byte test sees every body length and escape position (a quote
// or backslash in the block, none, an escaped quote at its end).
TEST(ScanString, BodiesAcrossTheInlineWindow) {
    for (std::size_t n = 0; n < 70; ++n) {
        for (std::size_t esc = 0; esc <= n + 1; ++esc) {
            std::string body(n, 'q');
            if (esc < n) body[esc] = '\\';
            if (esc == n + 1 && n > 0) body[n - 1] = '\\';  // escapes the quote after it
            const std::string doc = "\"" + body + "\"xyz\"" + std::string(80, ' ') + "\"";
            expect_scan_as_reference(doc, n, esc);
        }
    }
}

TEST(ScanNumberSpan, RunsWithoutValidation) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-12.5e+3,", "-12.5e+3"}, {"1-2-3]", "1-2-3"}, {"0", "0"}, {"1E5}", "1E5"}, {"-", "-"}, {"x", ""}, {"", ""},
    };
    for (const auto& [in, want] : cases) {
        JsonCursor c(in);
        EXPECT_EQ(scan_number_span(c), want) << in;
        EXPECT_EQ(c.pos, want.size()) << in;
    }
}

// Number runs of every length up to past two blocks, ended by each kind of
// byte, at the end of the data or followed by more of it.
TEST(ScanNumberSpan, RunLengthsAndEnds) {
    const std::string run_bytes = "0123456789+-.eE";
    const std::vector<std::string> tails = {"", ",", "]", " ", "/", ":", "d", "\x80", std::string(1, '\0')};
    for (std::size_t n = 0; n < 70; ++n) {
        std::string run;
        for (std::size_t i = 0; i < n; ++i) run += run_bytes[(i * 7 + n) % run_bytes.size()];
        for (const std::string& tail : tails) {
            for (std::size_t pad : {0u, 40u}) {
                const std::string doc = "[" + run + tail + std::string(tail.empty() ? 0 : pad, '1');
                JsonCursor c(doc, 1);
                EXPECT_EQ(scan_number_span(c), run) << n << " tail " << tail << " pad " << pad;
                EXPECT_EQ(c.pos, 1 + n);
            }
        }
    }
}

TEST(ExpectLiteral, Table) {
    struct Case {
        std::string in;
        std::uint64_t start;
        std::string lit;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"true", 0, "true", true},  {"truex", 0, "true", true}, {"[false]", 1, "false", true},
        {"null", 0, "null", true},  {"tru", 0, "true", false},  {"[nul", 1, "null", false},
        {"trUe", 0, "true", false}, {"", 0, "null", false},     {"[fals ", 1, "false", false},
    };
    for (const auto& tc : cases) {
        JsonCursor c(tc.in, tc.start);
        auto r = expect_literal(c, tc.lit);
        ASSERT_EQ(r.ok(), tc.ok) << tc.in;
        if (tc.ok) {
            EXPECT_EQ(*r, tc.lit);
            EXPECT_EQ(c.offset_of(*r), tc.start);
            EXPECT_EQ(c.pos, tc.start + tc.lit.size());
        } else {
            EXPECT_EQ(r.error(), ParseError::invalid_literal(tc.start));
            EXPECT_EQ(c.pos, tc.start) << "pos unchanged on failure";
        }
    }
}

TEST(SkipWhitespace, Table) {
    struct Case {
        std::string in;
        std::uint64_t start;
        std::uint64_t want;
    };
    const std::vector<Case> cases = {
        {"x", 0, 0},
        {" x", 0, 1},
        {"  x", 0, 2},
        {"   x", 0, 3},
        {std::string(9, ' ') + "x", 0, 9},
        {std::string(20, ' ') + "\t\nx", 0, 22},
        {std::string(16, ' ') + "\r\n" + std::string(8, ' ') + "x", 0, 26},
        {"\t\t\t\t\t\t\t\t\t\t\tx", 0, 11},
        {std::string(12, ' '), 0, 12},
        {"", 0, 0},
        {"[  \n  1", 1, 6},
        {" \f1", 0, 1},  // form feed is not whitespace
        {"\xEF\xBB\xBF{", 0, 0},
        {"  \v", 0, 2},
    };
    for (const auto& tc : cases) {
        JsonCursor c(tc.in, tc.start);
        skip_whitespace(c);
        EXPECT_EQ(c.pos, tc.want) << "[" << tc.in << "]";
    }
}

TEST(ParseErrorDisplay, Texts) {
    const std::vector<std::pair<ParseError, std::string>> cases = {
        {ParseError::unexpected_byte('{', 12), "unexpected byte 0x7B ('{') at offset 12"},
        // Printable ASCII as itself; controls, DEL and bytes that are no
        // character on their own as escapes, never raw.
        {ParseError::unexpected_byte('\'', 1), "unexpected byte 0x27 (''') at offset 1"},
        {ParseError::unexpected_byte('~', 1), "unexpected byte 0x7E ('~') at offset 1"},
        {ParseError::unexpected_byte('\n', 3), "unexpected byte 0x0A ('\\x0a') at offset 3"},
        {ParseError::unexpected_byte(0x1B, 3), "unexpected byte 0x1B ('\\x1b') at offset 3"},
        {ParseError::unexpected_byte(0x7F, 3), "unexpected byte 0x7F ('\\x7f') at offset 3"},
        {ParseError::unexpected_byte(0x80, 3), "unexpected byte 0x80 ('\\x80') at offset 3"},
        {ParseError::unexpected_byte(0xE9, 0), "unexpected byte 0xE9 ('\\xe9') at offset 0"},
        {ParseError::unexpected_byte(0xFF, 7), "unexpected byte 0xFF ('\\xff') at offset 7"},
        {ParseError::missing_at_end(42), "unexpected byte 0x00 ('\\x00') at offset 42"},
        {ParseError::unexpected_end(), "unexpected end of input"},
        {ParseError::unclosed_string(), "unclosed string"},
        {ParseError::invalid_literal(18446744073709551615ull), "invalid literal at offset 18446744073709551615"},
        {ParseError::multiple_top_level(9),
         "multiple top-level values (JSONL) detected at offset 9 \xE2\x80\x94 not supported by rova_rudo"},
    };
    for (const auto& [e, want] : cases) EXPECT_EQ(parse_error_display(e), want);
}

}  // namespace
