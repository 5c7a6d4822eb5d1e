#include "rova_rudo/regex.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rova_rudo/matcher.hpp"
#include "rova_rudo/search.hpp"
#include "rova_rudo/search_tape.hpp"
#include "rova_rudo/where_expr/parser.hpp"
#include "temp_dir.hpp"

using namespace rova_rudo;

namespace {

struct PathSink final : MatchSink {
    std::vector<std::string> paths;
    bool emit_search_match(std::string_view path, std::string_view, ScalarKind, MatchShape,
                           std::optional<std::uint64_t>) override {
        paths.emplace_back(path);
        return false;
    }
};

using test_support::TempFile;

std::string outcome_text(const SearchError& e) {
    return e.is_success() ? "ok" : "error " + std::to_string(static_cast<int>(e.kind())) + ": " + e.text();
}

std::string rep(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

const std::string kNbsp = "\xC2\xA0";           // U+00A0, white space
const std::string kIdeoSpace = "\xE3\x80\x80";  // U+3000, white space
const std::string kE = "\xC3\xA9";              // U+00E9, a letter
const std::string kArabic3 = "\xD9\xA3";        // U+0663, a decimal digit
const std::string kHalf = "\xC2\xBD";           // U+00BD, a number but no decimal digit
const std::string kTie = "\xE2\x80\xBF";        // U+203F, connector punctuation
const std::string kLongS = "\xC5\xBF";          // U+017F, folds to s
const std::string kKelvin = "\xE2\x84\xAA";     // U+212A, folds to k
const std::string kUnassigned = "\xCD\xB8";     // U+0378, general category Cn
const std::string kSoftHyphen = "\xC2\xAD";     // U+00AD, Cf
const std::string kDelta = "\xCE\xB4";          // U+03B4, Greek small letter
const std::string kMicro = "\xC2\xB5";          // U+00B5, Common; folds to U+03BC, Greek
const std::string kPerispomeni = "\xCD\x82";    // U+0342, Inherited; Greek by script extension
const std::string kZwj = "\xE2\x80\x8D";        // U+200D, Join_Control
const std::string kHiraA = "\xE3\x81\x82";      // U+3042, Hiragana
const std::string kGrin = "\xF0\x9F\x98\x80";   // U+1F600, Emoji
// Bytes that are no well-formed UTF-8: an encoded surrogate, a value past
// 10FFFF, an overlong form, and a surrogate pair encoded as two characters.
const std::string kSurrogate = "\xED\xA0\x80";
const std::string kPast10FFFF = "\xF4\x90\x80\x80";
const std::string kOverlong = "\xE0\x80\x80";
const std::string kSurrogatePair = "\xED\xA0\x80\xED\xB0\x80";
const std::vector<std::string> kIllFormed = {kSurrogate, kPast10FFFF, kOverlong};

struct Row {
    std::string pattern;
    bool fold;  // case-insensitive: --regex without --case-sensitive, or the i flag
    std::vector<std::string> match, miss;
};

// Each pattern as users' Unicode-mode syntax reads it, against subjects that
// RE2 reading the same pattern would answer differently (or refuse).
const std::vector<Row>& rows() {
    static const std::vector<Row> r = {
        {R"(^\w$)", false, {kE, "x", "_", kArabic3, kTie}, {"-", " ", "xy"}},
        {R"(^\w$)", true, {kE, "X"}, {"-"}},
        {R"(^\d$)", false, {kArabic3, "7"}, {"x", kHalf}},
        {R"(a\sb)", false, {"a b", "a" + kNbsp + "b", "a" + kIdeoSpace + "b"}, {"ab", "a_b"}},
        {R"(^\W$)", false, {"-", kNbsp}, {kE, "x", kArabic3}},
        {R"(^\D$)", false, {"x", kE}, {kArabic3}},
        {R"(^\S$)", false, {"x"}, {kNbsp}},
        {R"(^[\w-]+$)", false, {kE + "-x"}, {kE + " x"}},
        {R"(^[^\d]$)", false, {"x", kE}, {kArabic3, "1"}},
        {R"(^[\W\d]$)", false, {"-", kArabic3}, {kE}},
        {R"(^[^\W\d]$)", false, {kE, "_"}, {kArabic3, "-"}},
        {R"(^\u00e9$)", false, {kE}, {"e"}},
        {R"(^\u{e9}$)", false, {kE}, {"e"}},
        {R"(^\U000000e9$)", false, {kE}, {"e"}},
        {R"(^\U{e9}$)", false, {kE}, {"e"}},
        {R"(^\x{e9}$)", false, {kE}, {"e"}},
        {R"(^[\u00e0-\u00ff]$)", true, {kE, "\xC3\x89"}, {"e"}},
        {"(?x) ^a b$  # comment", false, {"ab"}, {"a b"}},
        {R"((?x)^a\ b$)", false, {"a b"}, {"ab"}},
        {"(?x)^[a b]$", false, {"b"}, {" "}},
        {"^(?x: a b )c d$", false, {"abc d"}, {"abcd"}},
        {"^a{1001}$", false, {rep("a", 1001)}, {rep("a", 1000), rep("a", 1002)}},
        {"^(a{100}){100}$", false, {rep("a", 10000)}, {rep("a", 9999)}},
        {"^(?:ab){998,1003}$", false, {rep("ab", 998), rep("ab", 1003)}, {rep("ab", 997), rep("ab", 1004)}},
        {"^a{1,2000}b", false, {"ab", rep("a", 2000) + "b"}, {rep("a", 2001) + "b"}},
        {"^a**$", false, {"aaa", ""}, {"b"}},
        {"^[a-c--b]$", false, {"a", "c"}, {"b", "-"}},
        {R"(^[\w&&[^a-z]]$)", false, {kE, kArabic3}, {"a", "-"}},
        {"^[a-z~~c-e]$", false, {"a", "f"}, {"d", "C"}},
        {"^[[:alpha:]--[a-m]]$", false, {"n", "Z"}, {"a", kE}},
        {"^[a-z--k]$", true, {"A", kLongS}, {"k", "K", kKelvin}},
        {"^[^a--b]$", true, {"b", "B"}, {"a", "A"}},
        {"^[a&&b]$", false, {}, {"a", "b", ""}},
        {R"(^[\p{Greek}&&\p{Lu}]$)", false, {"\xCE\x94"}, {"\xCE\xB4", "D"}},
        {R"(^[\w--\p{Latin}]+$)", false, {kArabic3 + "_"}, {"a", kE}},
        {R"(^[\P{Lu}&&a-z]$)", true, {}, {"a", "A"}},
        {R"(^[^\p{^L}[a-z]]$)", false, {"A", kE}, {"a", "1"}},
        // General categories are the Unicode sets: C holds Cn.
        {R"(^\p{C}$)", false, {kUnassigned, kSoftHyphen}, {"a"}},
        {R"(^\P{C}$)", false, {"a"}, {kUnassigned}},
        {R"(^[^\p{C}]$)", false, {"a"}, {kUnassigned}},
        {R"(^\p{Cn}$)", false, {kUnassigned}, {"a", kSoftHyphen}},
        {R"(^[\p{C}&&\p{Cn}]$)", false, {kUnassigned}, {kSoftHyphen}},
        // Property names: binary properties, categories and scripts by long
        // and short name, with and without a property name, matched loosely.
        {R"(^\p{Alphabetic}$)", false, {kE, "a"}, {"1", "-"}},
        {R"(^\p{White_Space}$)", false, {kNbsp, " "}, {"a"}},
        {R"(^\p{Join_Control}$)", false, {kZwj}, {"a"}},
        {R"(^\p{Uppercase}\p{Lowercase}$)", false, {"Ab"}, {"aB"}},
        {R"(^\p{Letter}\p{Decimal_Number}$)", false, {kE + kArabic3}, {kArabic3 + kE}},
        {R"(^\p{greek}\p{ Greek }\p{Grek}$)", false, {kDelta + kDelta + kDelta}, {"aaa"}},
        {R"(^\p{Latn}\p{Hira}$)", false, {"a" + kHiraA}, {kHiraA + "a"}},
        {R"(^\p{sc=Greek}$)", false, {kDelta}, {kPerispomeni, "a"}},
        {R"(^\p{Script=Greek}$)", false, {kDelta}, {kPerispomeni}},
        {R"(^\p{scx=Greek}$)", false, {kDelta, kPerispomeni}, {"a"}},
        {R"(^\p{gc=Lu}$)", false, {"A"}, {"a"}},
        {R"(^\p{LC}\p{L&}$)", false, {"aB"}, {"1a"}},
        {R"(^\p{ASCII}$)", false, {"a"}, {kE}},
        {R"(^\p{Assigned}$)", false, {"a"}, {kUnassigned}},
        {R"(^\p{Any}$)", false, {kUnassigned, "a"}, {kSurrogate}},
        {R"(^\p{Emoji}$)", false, {kGrin}, {"a"}},
        {R"(^[\p{Alphabetic}--\p{Latin}]$)", false, {kDelta}, {"a"}},
        {R"(^\p{Greek}$)", true, {kMicro, kDelta}, {"a"}},
        {R"(^\p{Greek}$)", false, {kDelta}, {kMicro}},
        // Classes and . match well-formed UTF-8 only.
        {"^.$", false, {"a", kE}, kIllFormed},
        {"(?s)^.$", false, {"a"}, kIllFormed},
        {"^[^a]$", false, {"b"}, kIllFormed},
        {R"(^\W$)", false, {"-"}, kIllFormed},
        {R"(^\S$)", false, {"a"}, kIllFormed},
        {R"(^\D$)", false, {"a"}, kIllFormed},
        {R"(^\P{L}$)", false, {"1"}, kIllFormed},
        {R"(^\p{Cs}$)", false, {}, kIllFormed},
        {R"(^[\s\S]$)", false, {"a"}, kIllFormed},
        {R"(^[^a]$)", true, {"b"}, kIllFormed},
        {R"(^\W\W$)", false, {"--"}, {kSurrogatePair}},
    };
    return r;
}

TEST(UnicodeRegex, BothEnginesAndMatchesClausesAgree) {
    for (const Row& row : rows()) {
        std::string doc = "[";
        std::vector<std::string> want_values, want_objects;
        std::size_t i = 0;
        for (const auto* subjects : {&row.match, &row.miss}) {
            for (const std::string& s : *subjects) {
                if (i > 0) doc += ",";
                doc += "{\"s\":\"" + s + "\"}";
                if (subjects == &row.match) {
                    want_values.push_back(".[" + std::to_string(i) + "].s");
                    want_objects.push_back(".[" + std::to_string(i) + "]");
                }
                ++i;
            }
        }
        doc += "]";
        SCOPED_TRACE(row.pattern + (row.fold ? " (case-insensitive)" : ""));

        SearchQuery q{.term = row.pattern, .case_sensitive = !row.fold, .regex = true, .values_only = true};
        PathSink memory;
        EXPECT_EQ(outcome_text(run_in_memory_search(doc, q, memory)), "ok");
        EXPECT_EQ(memory.paths, want_values);

        TempFile file(doc);
        PathSink tape;
        EXPECT_EQ(outcome_text(run_tape_search(file.path(), q, tape)), "ok");
        EXPECT_EQ(tape.paths, want_values);

        SearchQuery where{.where = ".s matches /" + row.pattern + "/" + (row.fold ? "i" : "")};
        PathSink objects;
        EXPECT_EQ(outcome_text(run_in_memory_search(doc, where, objects)), "ok");
        EXPECT_EQ(objects.paths, want_objects);
    }
}

// What users' syntax refuses is refused, with the message users see after
// the fixed prefix; RE2's own syntax errors quote the pattern as written.
TEST(UnicodeRegex, RefusalsAndErrorTexts) {
    struct Case {
        std::string pattern, error;
    };
    const std::vector<Case> cases = {
        {R"(\Q.\E)", R"(invalid escape sequence: \Q)"},
        {R"(a\E)", R"(invalid escape sequence: \E)"},
        {R"(\101)", R"(invalid escape sequence: \101)"},
        {R"(\0)", R"(invalid escape sequence: \0)"},
        {R"(\C)", R"(invalid escape sequence: \C)"},
        {R"([\C])", R"(invalid escape sequence: \C)"},
        {R"(\b{start})", R"(invalid escape sequence: \b{)"},
        {R"(a\<)", R"(invalid escape sequence: \<)"},
        {R"(\u{D800})", R"(invalid escape sequence: \u{D800})"},
        {R"(\x{110000})", R"(invalid escape sequence: \x{110000})"},
        {R"(\u12)", R"(invalid escape sequence: \u12)"},
        {R"([\p{Foo}--a])", R"(unknown Unicode property: \p{Foo})"},
        {R"(\p{Foo})", R"(unknown Unicode property: \p{Foo})"},
        {R"(\pQ)", R"(unknown Unicode property: \pQ)"},
        {R"(\p{sc=Lu})", R"(unknown Unicode property: \p{sc=Lu})"},
        {R"([\w-a])", R"(invalid character class range: \w-a)"},
        {"[z-a]", "invalid character class range: z-a"},
        {"[a", "missing ]: [a"},
        {R"((\w)", R"(missing ): (\w)"},
        {R"((?x) (a b)", "missing ): (ab"},
        {"(?P<n>a)(?P<n>b)", "invalid named capture group: (?P<n>"},
        {"a{2,1}", "invalid repetition size: {2,1}"},
        {"a{x}", "bad repetition operator: {x"},
        {"*a", "no argument for repetition operator: *"},
        {"(?i)*", "no argument for repetition operator: *"},
        {"(?=a)", "invalid perl operator: (?="},
        {"a{100000000}", kRegexTooLargeMessage},
        {R"((?:\w{100}){1000})", kRegexTooLargeMessage},
        {R"(\pL{1000})", kRegexTooLargeMessage},
        {"(?:a{0,1000}){500}", kRegexTooLargeMessage},
        {rep("(", 251) + "a" + rep(")", 251), "expression nests too deeply"},
        {rep("(?:", 125) + "a*" + rep(")*", 125), "expression nests too deeply"},
        {"[" + rep("[a", 250) + rep("]", 251), "expression nests too deeply"},
        {"a" + rep("*", 251), "expression nests too deeply"},
    };
    for (const Case& c : cases) {
        auto m = build_text_matcher(c.pattern, false, true);
        ASSERT_FALSE(m.ok()) << c.pattern;
        EXPECT_EQ(m.error().kind(), SearchErrorKind::Regex) << c.pattern;
        EXPECT_EQ(m.error().text(), c.error) << c.pattern;
        auto w = parse_where(".s matches /" + c.pattern + "/");
        ASSERT_FALSE(w.ok()) << c.pattern;
        EXPECT_EQ(w.error().code, WhereErrorCode::InvalidRegex) << c.pattern;
        EXPECT_EQ(w.error().payload, c.error) << c.pattern;
    }
}

// Whatever the pattern, it compiles or is refused at once: RE2 spent minutes
// on a few nested counted repetitions, on options in a row, and on any depth
// of nesting.
TEST(UnicodeRegex, CompileTimeIsBounded) {
    const std::vector<std::string> patterns = {
        "(?:a{0,1000}){500}",
        rep("(?:a{0,1000})", 30),
        rep("(?:[ab]{0,16})", 2000),
        rep("a?", 30000),
        rep("(", 250) + "a" + rep(")", 250),
        rep("(", 60000) + "a" + rep(")", 60000),
        rep("[", 30000) + "a" + rep("]", 30000),
        "a" + rep("*", 60000),
        "[" + rep(R"(\p{Greek}&&)", 300) + R"(\p{Greek}])",
    };
    // The compiling thread's own time: other work on the machine does not count.
    auto cpu_seconds = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    };
    for (const std::string& p : patterns) {
        const double start = cpu_seconds();
        (void)build_text_matcher(p, false, true);
        EXPECT_LT(cpu_seconds() - start, 1.0) << p.substr(0, 40);
    }
}

// A copied matcher (as build_matchers makes for keys) matches by the
// translation, not by RE2's reading of the user's text.
TEST(UnicodeRegex, CopiedMatcherKeepsTheTranslation) {
    auto m = build_text_matcher(R"(^\w\u{e9}$)", true, true);
    ASSERT_TRUE(m.ok());
    const TextMatcher copy = *m;
    EXPECT_TRUE(text_matcher_is_match(copy, "\xD9\xA3\xC3\xA9"));
    EXPECT_FALSE(text_matcher_is_match(copy, "-\xC3\xA9"));
}

}  // namespace
