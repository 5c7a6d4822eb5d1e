// The QUELLMOR_ settings: the number rule, each variable's reading, and the
// once-per-process cells.
#include "tape_parser/settings.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tp = tape_parser;

namespace {

TEST(Settings, NumberRule) {
    struct C {
        std::string text;
        std::optional<std::uint64_t> want;
    } cases[] = {
        {"0", 0},
        {"10", 10},
        {"+10", 10},
        {"007", 7},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},  // above 2^64 - 1
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"-1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"10MB", std::nullopt},
        {"1.5", std::nullopt},
        {"\xD9\xA3", std::nullopt},  // a non-ASCII digit
        {"1\xFF", std::nullopt},     // not valid UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(tp::parse_setting_number(c.text), c.want) << c.text;
}

TEST(Settings, HowEachVariableReads) {
    using O = std::optional<std::string_view>;
    EXPECT_FALSE(tp::parser_timings_from(std::nullopt));
    EXPECT_TRUE(tp::parser_timings_from(O("")));
    EXPECT_TRUE(tp::parser_timings_from(O("no")));
    EXPECT_TRUE(tp::parser_timings_from(O("\xFF")));

    EXPECT_TRUE(tp::prefault_from(std::nullopt));
    EXPECT_FALSE(tp::prefault_from(O("0")));
    for (const char* v : {"00", "false", "", " 0", "\xFF"}) EXPECT_TRUE(tp::prefault_from(O(v))) << v;

    const std::uint64_t def = tp::kDefaultMmapThresholdBytes;
    EXPECT_EQ(tp::mib_setting_from(std::nullopt, def), def);
    EXPECT_EQ(tp::mib_setting_from(O("0"), def), 0u);
    EXPECT_EQ(tp::mib_setting_from(O("+10"), def), 10u * 1048576);
    for (const char* v : {"10MB", "-1", "18446744073709551616", ""})
        EXPECT_EQ(tp::mib_setting_from(O(v), def), def) << v;
    // Bytes are the count times 2^20, modulo 2^64.
    EXPECT_EQ(tp::mib_setting_from(O("17592186044417"), def), 1048576u);

    setenv("QUELLMOR_TEST_NUMBER", "+42", 1);
    EXPECT_EQ(tp::read_setting_number("QUELLMOR_TEST_NUMBER"), 42u);
    unsetenv("QUELLMOR_TEST_NUMBER");
    EXPECT_EQ(tp::read_setting_number("QUELLMOR_TEST_NUMBER"), std::nullopt);
}

TEST(Settings, OncePerProcessCellsIgnoreLaterChanges) {
    setenv("QUELLMOR_MMAP_THRESHOLD_MB", "3", 1);
    setenv("QUELLMOR_UNBUFFERED_MB", "+5", 1);
    unsetenv("QUELLMOR_PARSER_TIMINGS");
    setenv("QUELLMOR_PREFAULT", "0", 1);
    // Many threads ask at once; all see the one value.
    std::vector<std::uint64_t> seen(8);
    std::vector<std::thread> ts;
    for (int i = 0; i < 8; ++i) ts.emplace_back([&, i] { seen[i] = tp::mmap_threshold_bytes(); });
    for (auto& t : ts) t.join();
    for (auto v : seen) EXPECT_EQ(v, 3u * 1048576);
    EXPECT_EQ(tp::unbuffered_threshold_bytes(), 5u * 1048576);
    EXPECT_FALSE(tp::parser_timings_enabled());
    EXPECT_FALSE(tp::prefault_enabled());
    EXPECT_TRUE(tp::avx2_enabled());

    setenv("QUELLMOR_MMAP_THRESHOLD_MB", "9", 1);
    setenv("QUELLMOR_UNBUFFERED_MB", "9", 1);
    setenv("QUELLMOR_PARSER_TIMINGS", "1", 1);
    unsetenv("QUELLMOR_PREFAULT");
    EXPECT_EQ(tp::mmap_threshold_bytes(), 3u * 1048576);
    EXPECT_EQ(tp::unbuffered_threshold_bytes(), 5u * 1048576);
    EXPECT_FALSE(tp::parser_timings_enabled());
    EXPECT_FALSE(tp::prefault_enabled());
    unsetenv("QUELLMOR_MMAP_THRESHOLD_MB");
    unsetenv("QUELLMOR_UNBUFFERED_MB");
    unsetenv("QUELLMOR_PARSER_TIMINGS");
}

}  // namespace
