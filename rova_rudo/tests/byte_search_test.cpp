#include "rova_rudo/byte_search.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace rova_rudo;

namespace {

std::size_t ref_either(std::string_view h, char a, char b) {
    for (std::size_t i = 0; i < h.size(); ++i)
        if (h[i] == a || h[i] == b) return i;
    return kNotFound;
}

std::size_t ref_find(std::string_view h, std::string_view n) {
    if (n.empty()) return 0;
    for (std::size_t i = 0; i + n.size() <= h.size(); ++i)
        if (h.substr(i, n.size()) == n) return i;
    return kNotFound;
}

// Haystacks are cut out of a larger buffer at every alignment, with guard
// bytes around them that would match if a search read past its ends.
TEST(FindEitherByte, MatchesScalarAtEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    std::string buf(600, 'z');
    for (std::size_t len = 0; len <= 300; ++len) {
        for (std::size_t align = 0; align < 33; align += (len < 70 ? 1 : 8)) {
            std::string_view hay(buf.data() + 1 + align, len);
            std::fill(buf.begin(), buf.end(), '"');  // guards match
            for (std::size_t i = 0; i < len; ++i) buf[1 + align + i] = static_cast<char>('a' + rng() % 4);
            // Either no hit, a hit at a random spot, or at the very end.
            const int mode = static_cast<int>(rng() % 3);
            if (len > 0 && mode == 1) buf[1 + align + rng() % len] = '\\';
            if (len > 0 && mode == 2) buf[1 + align + len - 1] = '"';
            ASSERT_EQ(find_either_byte(hay, '"', '\\'), ref_either(hay, '"', '\\')) << len << " " << align;
            ASSERT_EQ(find_either_byte(hay, 'a', 'b'), ref_either(hay, 'a', 'b')) << len << " " << align;
        }
    }
}

TEST(FindSubstring, MatchesScalarOnRandomInputs) {
    std::mt19937 rng(11);
    std::string buf(800, '\0');
    for (int iter = 0; iter < 20000; ++iter) {
        const std::size_t len = rng() % 300;
        const std::size_t align = rng() % 32;
        const std::size_t nlen = 1 + rng() % (iter % 2 ? 12 : 48);
        // A small alphabet makes partial matches and near misses frequent; its
        // bytes differ in how common they are, so the filtered needle positions
        // fall anywhere in the needle.
        static const char alphabet[] = {'a', '"', 'q', '\x01'};
        std::fill(buf.begin(), buf.end(), 'a');
        for (std::size_t i = 0; i < len; ++i) buf[align + i] = alphabet[rng() % 4];
        std::string needle(nlen, 'a');
        for (auto& ch : needle) ch = alphabet[rng() % 4];
        if (len >= nlen) {
            const int mode = static_cast<int>(rng() % 4);
            std::size_t at = mode == 0 ? 0 : mode == 1 ? len - nlen : rng() % (len - nlen + 1);
            if (mode != 3) buf.replace(align + at, nlen, needle);
        }
        // The byte after the haystack completes a match if read.
        std::string_view hay(buf.data() + align, len);
        ASSERT_EQ(find_substring(hay, needle), ref_find(hay, needle)) << "len " << len << " needle " << needle;
        const SubstringFinder f(needle);
        ASSERT_EQ(f.find(hay), ref_find(hay, needle));
    }
}

std::size_t ref_find_nocase(std::string_view h, std::string_view n) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (n.empty()) return 0;
    for (std::size_t i = 0; i + n.size() <= h.size(); ++i) {
        std::size_t j = 0;
        while (j < n.size() && fold(h[i + j]) == fold(n[j])) ++j;
        if (j == n.size()) return i;
    }
    return kNotFound;
}

TEST(FindAsciiNocase, MatchesScalarOnRandomInputs) {
    std::mt19937 rng(5);
    std::string buf(800, 'a');
    // 'Z' and 'z' fold together; '[' and '{' (0x5B, 0x7B) must not.
    static const char alphabet[] = {'a', 'A', 'z', 'Z', '[', '{', '\xC3', '_'};
    for (int iter = 0; iter < 20000; ++iter) {
        const std::size_t len = rng() % 300;
        const std::size_t align = rng() % 32;
        const std::size_t nlen = 1 + rng() % (iter % 2 ? 5 : 40);
        std::fill(buf.begin(), buf.end(), 'a');
        for (std::size_t i = 0; i < len; ++i) buf[align + i] = alphabet[rng() % 8];
        std::string needle(nlen, 'a');
        for (auto& ch : needle) ch = alphabet[rng() % 8];
        if (len >= nlen && rng() % 2) {
            std::string cased = needle;
            for (auto& ch : cased)
                if (ch >= 'a' && ch <= 'z' && rng() % 2) ch = static_cast<char>(ch - 32);
            const std::size_t at = rng() % 3 == 0 ? len - nlen : rng() % (len - nlen + 1);
            buf.replace(align + at, nlen, cased);
        }
        std::string lowered = needle;
        for (auto& ch : lowered)
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
        std::string_view hay(buf.data() + align, len);
        ASSERT_EQ(find_ascii_nocase(hay, lowered), ref_find_nocase(hay, lowered)) << len << " " << needle;
        // Whichever byte a caller chose to filter on, the answer is the same.
        const std::size_t probe = static_cast<std::size_t>(iter) % nlen;
        ASSERT_EQ(find_ascii_nocase(hay, lowered, probe), ref_find_nocase(hay, lowered))
            << len << " " << needle << " " << probe;
    }
}

// Text that defeats the filter (a run of one letter, a short pattern over
// and over, a long needle that agrees far before it fails) makes the search
// hand over to its linear fallback, at a point that varies with the text:
// the first hit and the list of every hit stay those of a plain scan.
TEST(FindAsciiNocase, RepetitiveTextGivesTheSameHits) {
    std::mt19937 rng(11);
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    for (int iter = 0; iter < 400; ++iter) {
        std::string pattern(1 + rng() % 4, 'a');
        for (auto& ch : pattern) ch = "ab"[rng() % 2];
        std::string hay(rng() % 3000, 'a');
        for (std::size_t i = 0; i < hay.size(); ++i) {
            hay[i] = pattern[i % pattern.size()];
            if (rng() % 2) hay[i] = static_cast<char>(hay[i] - 32);  // either case
            if (rng() % 1500 == 0) hay[i] = 'c';                     // a rare break
        }
        const std::size_t nlen = 1 + rng() % 400;
        const std::size_t shift = rng() % pattern.size();
        std::string lowered(nlen, 'a');
        for (std::size_t i = 0; i < nlen; ++i) lowered[i] = pattern[(i + shift) % pattern.size()];
        if (rng() % 3 == 0) lowered.back() = 'c';  // agrees up to its last byte
        std::vector<std::uint64_t> want;
        for (std::size_t i = 0; i + nlen <= hay.size(); ++i) {
            std::size_t j = 0;
            while (j < nlen && fold(hay[i + j]) == lowered[j]) ++j;
            if (j == nlen) want.push_back(i);
        }
        const std::size_t probe = ascii_nocase_probe(lowered);
        ASSERT_EQ(find_ascii_nocase(hay, lowered, probe), want.empty() ? kNotFound : want[0]) << iter;
        std::vector<std::uint64_t> got;
        find_all_ascii_nocase(hay, lowered, probe, got);
        ASSERT_EQ(got, want) << iter << " " << pattern << " " << nlen;
    }
    std::vector<std::uint64_t> none;
    find_all_ascii_nocase("abc", "", 0, none);
    find_all_ascii_nocase("ab", "abc", 1, none);
    EXPECT_TRUE(none.empty());
}

TEST(FindSubstring, EdgeCases) {
    EXPECT_EQ(find_substring("", ""), 0u);
    EXPECT_EQ(find_substring("abc", ""), 0u);
    EXPECT_EQ(find_substring("", "a"), kNotFound);
    EXPECT_EQ(find_substring("ab", "abc"), kNotFound);
    const std::string big = std::string(1000, 'x') + "needle";
    EXPECT_EQ(find_substring(big, "needle"), 1000u);
    EXPECT_EQ(find_substring(big, "needlf"), kNotFound);
    EXPECT_EQ(find_substring(big, std::string(1000, 'x') + "n"), 0u);
    std::string nul("a\0b\0c", 5);
    EXPECT_EQ(find_substring(nul, std::string_view("\0c", 2)), 3u);
    SubstringFinder copy;
    {
        std::string temp = "dle";
        copy = SubstringFinder(temp);
    }
    EXPECT_EQ(copy.find(big), 1003u);
}

}  // namespace
