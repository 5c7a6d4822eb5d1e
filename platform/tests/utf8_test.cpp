#include "platform/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

constexpr const char* R = "\xEF\xBF\xBD";  // U+FFFD

// The two repairs side by side: the same input, one replacement per ill-formed
// run for display text, one per non-ASCII byte for keys in paths.
TEST(Utf8, TheTwoRepairs) {
    const struct {
        std::string in, runs, bytes;
    } cases[] = {
        {"plain", "plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFF"
         "b",
         std::string("a") + R + "b", std::string("a") + R + "b"},
        // A well-formed character beside a fault survives only the first repair.
        {"\xC3\xA9\xFF", std::string("\xC3\xA9") + R, std::string(R) + R + R},
        // A truncated sequence is one run, and a run ends where the next byte
        // cannot continue it.
        {"\xE2\x82x", std::string(R) + "x", std::string(R) + R + "x"},
        {"\xF0\x9F\x98\x80\xF0", std::string("\xF0\x9F\x98\x80") + R, std::string(R) + R + R + R + R},
        {"\xED\xA0\x80", std::string(R) + R + R, std::string(R) + R + R},
    };
    for (const auto& c : cases) {
        std::string runs = "<", bytes = "<";
        append_replacing_invalid_sequences(runs, c.in);
        append_replacing_non_ascii_unless_valid(bytes, c.in);
        EXPECT_EQ(runs, "<" + c.runs) << c.in;
        EXPECT_EQ(bytes, "<" + c.bytes) << c.in;
    }
}

TEST(Utf8, StepAndCodePoints) {
    const std::string s = "a\xC3\xA9\xE0\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(utf8_step(s, 0).length, 1u);
    EXPECT_TRUE(utf8_step(s, 1).well_formed);
    EXPECT_EQ(utf8_step(s, 1).length, 2u);
    EXPECT_FALSE(utf8_step(s, 3).well_formed);  // E0 80 is overlong: the lead alone
    EXPECT_EQ(utf8_step(s, 3).length, 1u);
    EXPECT_TRUE(utf8_step(s, 5).well_formed);  // U+10FFFF
    EXPECT_EQ(utf8_step(s, 5).length, 4u);

    for (std::uint32_t cp : {0x41u, 0xE9u, 0x2014u, 0xFFFDu, 0x1F600u, 0x10FFFFu}) {
        std::string out;
        append_utf8_code_point(out, cp);
        EXPECT_TRUE(is_valid_utf8(out)) << cp;
        EXPECT_EQ(utf8_step(out, 0).length, out.size()) << cp;
    }
    std::string byte;
    append_utf8_code_point(byte, 0xE9);
    EXPECT_EQ(byte, "\xC3\xA9");
}

}  // namespace
}  // namespace platform
