#include "rova_rudo/fx_hash.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

using namespace rova_rudo;

// Reference values computed by an independent implementation of the hash;
// the lengths cover every branch of the digest (empty, 1-3, 4-7, 8-16, >16,
// and a length that is an exact multiple of 16 plus one).
TEST(FxHash, MatchesReferenceValues) {
    const std::pair<std::string_view, std::uint64_t> cases[] = {
        {"", 0xf456d26876d72d91ULL},
        {"a", 0x726c272e190ece3dULL},
        {"abc", 0x0668b23a9352fe06ULL},
        {"name", 0xe6824b222d460745ULL},
        {"email", 0x6bdc7711139d9246ULL},
        {"abcdefgh", 0x39347ede892ed723ULL},
        {"0123456789abcdef", 0x38df693799d9abc7ULL},
        {"0123456789abcdefg", 0x77dd77eb84b5895bULL},
        {"The quick brown fox jumps over the lazy dog", 0xc5fb631dba7917a0ULL},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(fx_hash_bytes(text), want) << '"' << text << '"';
    EXPECT_EQ(fx_hash_pair(1, 0), 0xb4dda6c664509eecULL);
    EXPECT_EQ(fx_hash_pair(7, 3), 0xec3c2f61f982da3bULL);
    EXPECT_EQ(FxHash{}(std::pair<std::uint32_t, std::uint32_t>{7, 3}), 0xec3c2f61f982da3bULL);
    EXPECT_EQ(FxHash{}(42u), 0xae70bf694a4b18a9ULL);
    EXPECT_EQ(FxHash{}(std::string("name")), FxHash{}(std::string_view("name")));
}

TEST(FxMap, InsertsFindsAndSurvivesGrowth) {
    FxMap<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> m;
    EXPECT_EQ(m.find(std::pair<std::uint32_t, std::uint32_t>{1, 1}), nullptr);
    for (std::uint32_t i = 0; i < 5000; ++i) {
        auto [v, inserted] = m.try_emplace(std::pair<std::uint32_t, std::uint32_t>{i / 7, i % 7}, i);
        ASSERT_TRUE(inserted);
        ASSERT_EQ(*v, i);
    }
    EXPECT_EQ(m.size(), 5000u);
    auto [v, inserted] = m.try_emplace(std::pair<std::uint32_t, std::uint32_t>{3, 4}, 99u);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(*v, 3u * 7 + 4);
    for (std::uint32_t i = 0; i < 5000; ++i) {
        const auto* f = m.find(std::pair<std::uint32_t, std::uint32_t>{i / 7, i % 7});
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(*f, i);
    }
    EXPECT_EQ(m.find(std::pair<std::uint32_t, std::uint32_t>{5000, 0}), nullptr);
}

TEST(FxMap, StringKeysLookUpByView) {
    FxMap<std::string, std::uint32_t> m;
    for (std::uint32_t i = 0; i < 300; ++i) m.try_emplace(std::string_view("key" + std::to_string(i)), i + 1);
    EXPECT_EQ(m.size(), 300u);
    ASSERT_NE(m.find(std::string_view("key42")), nullptr);
    EXPECT_EQ(*m.find(std::string_view("key42")), 43u);
    EXPECT_EQ(m.find(std::string_view("key300")), nullptr);
    EXPECT_EQ(m.find(std::string_view("")), nullptr);
    std::size_t seen = 0;
    m.for_each([&](const std::string&, std::uint32_t) { ++seen; });
    EXPECT_EQ(seen, 300u);
}
