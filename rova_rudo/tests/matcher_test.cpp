#include "rova_rudo/matcher.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace rova_rudo;

namespace {

TextMatcher build(std::string_view text, bool cs, bool re) {
    auto m = build_text_matcher(text, cs, re);
    EXPECT_TRUE(m.ok()) << text;
    return m.ok() ? std::move(*m) : TextMatcher{};
}

TEST(BuildTextMatcher, KindChoice) {
    struct Case {
        std::string text;
        bool cs, re;
        TextMatcherKind want;
    };
    const std::vector<Case> cases = {
        {"Error", false, false, TextMatcherKind::AsciiNoCase},
        {"", false, false, TextMatcherKind::AsciiNoCase},
        {"Error", true, false, TextMatcherKind::Literal},
        {"", true, false, TextMatcherKind::Literal},
        {"\xC3\x84rger", false, false, TextMatcherKind::EscapedRegex},
        {"\xC3\x84rger", true, false, TextMatcherKind::Literal},
        {"a+", false, true, TextMatcherKind::UserRegex},
        {"a+", true, true, TextMatcherKind::UserRegex},
        {"\xC3\x84", false, true, TextMatcherKind::UserRegex},
    };
    for (const auto& tc : cases) EXPECT_EQ(build(tc.text, tc.cs, tc.re).kind(), tc.want) << tc.text;
}

TEST(BuildTextMatcher, AsciiNeedlePayload) {
    auto m = build("AbC-1", false, false);
    EXPECT_EQ(m.bytes(), "abc-1");
    EXPECT_EQ(m.ascii_needle().first, 'a');
    EXPECT_EQ(m.ascii_needle().first_alt, 'A');
    auto digit = build("1x", false, false);
    EXPECT_EQ(digit.ascii_needle().first, '1');
    EXPECT_EQ(digit.ascii_needle().first_alt, '1');
    auto empty = build("", false, false);
    EXPECT_EQ(empty.ascii_needle().first, 0);
    EXPECT_EQ(empty.ascii_needle().first_alt, 0);
}

// find offsets (nullopt = no match) for each matcher over several haystacks.
TEST(TextMatcher, FindTable) {
    struct Case {
        std::string name;
        std::string text;
        bool cs, re;
        std::string hay;
        std::optional<std::size_t> want;
    };
    const std::string Ae = "\xC3\x84rger", ae = "\xC3\xA4rger";
    const std::vector<Case> cases = {
        {"nocase lower", "Error", false, false, "an error", 3},
        {"nocase upper", "Error", false, false, "ERROR!", 0},
        {"nocase mixed", "Error", false, false, "xx eRrOr", 3},
        {"nocase miss", "Error", false, false, "Erro", std::nullopt},
        {"overlap aa in aaa", "aa", false, false, "aaa", 0},
        {"overlap aa in bAA", "aa", false, false, "bAA", 1},
        {"needle longer than hay", "abcd", false, false, "abc", std::nullopt},
        {"empty nocase", "", false, false, "", 0},
        {"empty nocase nonempty hay", "", false, false, "xyz", 0},
        {"empty literal", "", true, false, "xyz", 0},
        {"literal exact case", "Error", true, false, "error Error", 6},
        {"literal miss on case", "Error", true, false, "error", std::nullopt},
        {"ascii fold only: i vs dotted I", "i", false, false, "\xC4\xB0", std::nullopt},
        {"non-letters not folded", "[", false, false, "{", std::nullopt},
        {"high bytes compared exactly", "a", false, false, "\xC3\xA1", std::nullopt},
        {"candidate near end", "ab", false, false, "aaaaab", 4},
        {"escaped regex folds unicode", Ae, false, false, "voll " + ae, 5},
        {"escaped regex exact", Ae, false, false, Ae, 0},
        {"literal non-ascii exact only", Ae, true, false, ae, std::nullopt},
        {"escaped dot matches only dot", "a.b\xC3\xA9", false, false, "axb\xC3\xA9", std::nullopt},
        {"escaped dot matches dot", "a.b\xC3\xA9", false, false, "za.B\xC3\x89", 1},
        {"escaped specials literal", "(x)*+?$^|{1}[]\\-&#~\xC3\xA9", false, false, "q(X)*+?$^|{1}[]\\-&#~\xC3\x89", 1},
        {"escaped keeps spaces", "a b\xC3\xA9", false, false, "ab\xC3\xA9 a b\xC3\xA9", 5},
        {"user regex nocase", "e.r+", false, true, "xxERR", 2},
        {"user regex cs", "e.r+", true, true, "xxERR", std::nullopt},
        {"user regex leftmost", "b+|a", true, true, "cab", 1},
        {"user regex empty match", "x*", true, true, "", 0},
        {"user regex empty match nonempty", "x*", true, true, "abc", 0},
        {"user regex anchors whole text", "^b", true, true, "a\nb", std::nullopt},
        {"user regex dot excludes newline", "a.b", true, true, "a\nb", std::nullopt},
        {"escape not decoded", "\xC3\xA9", false, false, "\\u00e9", std::nullopt},
    };
    for (const auto& tc : cases) {
        const auto m = build(tc.text, tc.cs, tc.re);
        EXPECT_EQ(text_matcher_find(m, tc.hay), tc.want) << tc.name;
        EXPECT_EQ(text_matcher_is_match(m, tc.hay), tc.want.has_value()) << tc.name;
    }
}

TEST(AsciiNocaseFind, AgreesWithFoldedSearch) {
    const std::string alphabet = "aAbB_\xC3";
    std::string hay;
    unsigned seed = 1;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int iter = 0; iter < 20000; ++iter) {
        hay.clear();
        const std::size_t len = next() % 200;
        for (std::size_t i = 0; i < len; ++i) hay += alphabet[next() % alphabet.size()];
        std::string text;
        const std::size_t nlen = 1 + next() % 6;
        for (std::size_t i = 0; i < nlen; ++i) text += "aAbB_"[next() % 5];
        const auto m = build(text, false, false);
        std::optional<std::size_t> want;
        for (std::size_t i = 0; i + nlen <= len && !want; ++i) {
            bool eq = true;
            for (std::size_t j = 0; j < nlen; ++j)
                eq = eq && (std::tolower(static_cast<unsigned char>(hay[i + j])) ==
                            std::tolower(static_cast<unsigned char>(text[j])));
            if (eq) want = i;
        }
        ASSERT_EQ(ascii_nocase_find(m.ascii_needle(), hay), want) << hay << " / " << text;
    }
}

TEST(BuildTextMatcher, RegexErrors) {
    auto bad = build_text_matcher("(", false, true);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind(), SearchErrorKind::Regex);
    EXPECT_EQ(bad.error().text(), "missing ): (");
    auto rep = build_text_matcher("a{2,1}", false, true);
    ASSERT_FALSE(rep.ok());
    EXPECT_EQ(rep.error().text(), "invalid repetition size: {2,1}");
    auto huge = build_text_matcher("\\pL{1000}\\pL{1000}\\pL{1000}", true, true);
    ASSERT_FALSE(huge.ok());
    EXPECT_EQ(huge.error().text(), "Compiled regex exceeds size limit of 10485760 bytes.");
}

SearchQuery query(std::optional<std::string> term, std::optional<std::string> key = std::nullopt,
                  std::optional<std::string> value = std::nullopt) {
    SearchQuery q;
    q.term = std::move(term);
    q.key = std::move(key);
    q.value = std::move(value);
    return q;
}

TEST(BuildMatchers, SlotTable) {
    using K = TextMatcherKind;
    struct Case {
        std::string name;
        SearchQuery q;
        K key, value;
    };
    auto keys_only = query("t");
    keys_only.keys_only = true;
    auto values_only = query("t");
    values_only.values_only = true;
    auto both_flags = query("t");
    both_flags.keys_only = both_flags.values_only = true;
    auto cs_empty = query("");
    cs_empty.case_sensitive = true;
    auto regex_term = query("a|b");
    regex_term.regex = true;
    const std::vector<Case> cases = {
        {"term fills both", query("t"), K::AsciiNoCase, K::AsciiNoCase},
        {"empty term matches everything", query(""), K::AsciiNoCase, K::AsciiNoCase},
        {"empty term case-sensitive", cs_empty, K::Literal, K::Literal},
        {"regex term", regex_term, K::UserRegex, K::UserRegex},
        {"keys only", keys_only, K::AsciiNoCase, K::None},
        {"values only", values_only, K::None, K::AsciiNoCase},
        {"keys only wins", both_flags, K::AsciiNoCase, K::None},
        {"term ignores key and value", query("t", "k", "v"), K::AsciiNoCase, K::AsciiNoCase},
        {"key and value", query(std::nullopt, "k", "v"), K::AsciiNoCase, K::AsciiNoCase},
        {"key only", query(std::nullopt, "k"), K::AsciiNoCase, K::None},
        {"value only", query(std::nullopt, std::nullopt, "v"), K::None, K::AsciiNoCase},
        {"empty key and value are absent", query(std::nullopt, "", ""), K::None, K::None},
        {"nothing", query(std::nullopt), K::None, K::None},
    };
    for (const auto& tc : cases) {
        auto m = build_matchers(tc.q);
        ASSERT_TRUE(m.ok()) << tc.name;
        EXPECT_EQ(m->key.kind(), tc.key) << tc.name;
        EXPECT_EQ(m->value.kind(), tc.value) << tc.name;
    }
    auto m = build_matchers(query(std::nullopt, "Name", "Bob"));
    EXPECT_TRUE(text_matcher_is_match(m->key, "first_name"));
    EXPECT_FALSE(text_matcher_is_match(m->key, "bob"));
    EXPECT_TRUE(text_matcher_is_match(m->value, "BOB"));
}

TEST(BuildMatchers, ErrorsOfKeyThenValue) {
    auto q = query(std::nullopt, "(", "[");
    q.regex = true;
    auto r = build_matchers(q);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "missing ): (");
    q.key = "ok";
    r = build_matchers(q);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "missing ]: [");
    q.term = "(";
    r = build_matchers(q);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "missing ): (");
}

// A copy shares the compiled program: it matches the same way, outlives the
// original and can run on another thread beside it.
TEST(TextMatcher, CopiesShareTheProgram) {
    auto orig = std::make_unique<TextMatcher>(build("h\xC3\xA9llo", false, false));
    TextMatcher copy = *orig;
    EXPECT_EQ(copy.regex(), orig->regex());
    EXPECT_EQ(copy.bytes(), orig->bytes());
    std::size_t hits = 0;
    std::thread t([&] {
        for (int i = 0; i < 2000; ++i) hits += text_matcher_is_match(copy, "say H\xC3\x89LLO") ? 1 : 0;
    });
    std::size_t hits2 = 0;
    for (int i = 0; i < 2000; ++i)
        hits2 += text_matcher_find(*orig, "xx h\xC3\xA9llo") == std::optional<std::size_t>(3);
    t.join();
    EXPECT_EQ(hits, 2000u);
    EXPECT_EQ(hits2, 2000u);
    orig.reset();
    EXPECT_EQ(text_matcher_find(copy, "h\xC3\xA9llo"), std::optional<std::size_t>(0));
    TextMatcher assigned;
    assigned = copy;
    EXPECT_EQ(assigned.kind(), TextMatcherKind::EscapedRegex);
    EXPECT_TRUE(text_matcher_is_match(assigned, "H\xC3\xA9LLO"));
}

// Views of one document in ascending order, as a walker asks: the look-ahead
// must give what each view's own search gives, for occurrences placed next to
// where its windows end, texts long and short, and views it cannot serve
// (outside the document, behind an earlier view).
TEST(DocumentMatcher, AgreesWithEachTextsOwnSearch) {
    unsigned seed = 7;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    const std::vector<std::pair<std::string, bool>> texts = {
        {"abA", false}, {"abA", true}, {"a", false}, {"", false}, {"b_a", true}, {"bbbb", false}, {"ab.", false}};
    for (int round = 0; round < 6; ++round) {
        std::string doc(70000 + next() * 3, '_');
        // Sparse documents in even rounds, dense ones in odd rounds.
        const std::string alphabet = round % 2 ? "aAbB_" : "____________________________aB";
        for (char& c : doc) c = alphabet[next() % alphabet.size()];
        for (std::size_t edge = 32768; edge + 8 < doc.size(); edge += 32768)
            doc.replace(edge - 2 + next() % 4, 3, next() % 2 ? "abA" : "ABa");
        for (const auto& [text, regex] : texts) {
            const auto m = build(text, round % 3 == 0, regex);
            DocumentMatcher dm(m, doc);
            std::size_t at = 0;
            while (at < doc.size()) {
                at += next() % 40;
                const std::size_t len = next() % 16 == 0 ? next() * 2 : next() % 60;
                if (at >= doc.size()) break;
                const std::string_view hay = std::string_view(doc).substr(at, len);
                const auto want = text_matcher_find(m, hay);
                ASSERT_EQ(dm.find(hay), want ? *want : kNotFound) << text << " at " << at << " len " << len;
                at += hay.size();
            }
            const std::string outside = "xxabAabA";
            const auto want = text_matcher_find(m, outside);
            EXPECT_EQ(dm.find(outside), want ? *want : kNotFound) << text;
            const std::string_view behind = std::string_view(doc).substr(32760, 300);
            const auto want_behind = text_matcher_find(m, behind);
            EXPECT_EQ(dm.find(behind), want_behind ? *want_behind : kNotFound) << text;
        }
    }
}

// One occurrence at each place around where the windows of a walk that starts
// at 0 end (steps of 32 KiB), met by texts that tile the document.
TEST(DocumentMatcher, OccurrenceAtAWindowsEnd) {
    for (bool cs : {false, true}) {
        const auto m = build("xYz", cs, false);
        for (std::size_t base : {32768u, 65536u}) {
            for (std::size_t p = base - 6; p <= base + 3; ++p) {
                std::string doc(70000, '_');
                doc.replace(p, 3, "xYz");
                for (std::size_t tile : {1u, 3u, 7u, 4096u}) {
                    DocumentMatcher dm(m, doc);
                    std::size_t hits = 0;
                    for (std::size_t at = 0; at < doc.size(); at += tile) {
                        const std::string_view hay = std::string_view(doc).substr(at, tile);
                        const auto want = text_matcher_find(m, hay);
                        ASSERT_EQ(dm.find(hay), want ? *want : kNotFound) << p << " tile " << tile << " at " << at;
                        hits += want.has_value();
                    }
                    EXPECT_EQ(hits, tile >= 3 && p / tile == (p + 2) / tile ? 1u : 0u);
                }
            }
        }
    }
}

}  // namespace
