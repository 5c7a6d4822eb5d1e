#include "rova_rudo/regex.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rova_rudo/matcher.hpp"
#include "rova_rudo/search.hpp"
#include "rova_rudo/search_tape.hpp"
#include "rova_rudo/where_expr/parser.hpp"

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

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        char tmpl[] = "/tmp/qm_regex_XXXXXX";
        const int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        path_ = tmpl;
        EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

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
        {R"([\p{Foo}--a])", R"(invalid character class range: \p{Foo})"},
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
