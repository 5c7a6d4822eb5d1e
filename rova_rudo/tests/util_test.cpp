#include "rova_rudo/util.hpp"

#include <gtest/gtest.h>

#include "rova_rudo/event_walker.hpp"

#include <optional>
#include <string>

using rova_rudo::flatten_value;
using rova_rudo::truncate_with_ellipsis;

namespace {

const std::string kDots = "\xE2\x80\xA6";

TEST(TruncateWithEllipsis, CutsAtByteBudgetKeepingCharactersWhole) {
    struct Case {
        std::string text;
        std::uint64_t max;
        std::optional<std::string> want;
    };
    const Case cases[] = {
        {"abc", 3, std::nullopt},                  // exactly fits
        {"abcd", 3, "abc" + kDots},                // one over
        {"h\xC3\xA9llo", 2, "h" + kDots},          // cut would split the two-byte e-acute
        {"h\xC3\xA9llo", 3, "h\xC3\xA9" + kDots},  // whole character fits
        {"\xE2\x82\xAC\xE2\x82\xAC", 2, kDots},    // cut runs back to 0
        {"abc", 0, kDots},                         // zero budget: the mark alone
        {"h\xC3\xA9llo\xFF", 2, "h\xC3" + kDots},  // invalid UTF-8 somewhere: exact byte cut
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(truncate_with_ellipsis(c.text, c.max), c.want) << c.text << " " << c.max;
}

std::string flat(std::string_view v, std::string_view prefix, std::optional<std::uint64_t> budget = std::nullopt) {
    std::string out = "stale";
    flatten_value(v, prefix, budget, out);
    return out;
}

TEST(FlattenValue, OneLinePerLeafWithRawText) {
    EXPECT_EQ(flat(R"({"a":[1,"x"],"b":{}})", ".r"), ".r.a[0] = 1\n.r.a[1] = \"x\"\n");
    EXPECT_EQ(flat("[true]", "."), ".[0] = true\n");
    EXPECT_EQ(flat(R"({"k":null})", "."), ".k = null\n");
    EXPECT_EQ(flat(R"( { "a" : { "b" : [ [ ] , [ false , -1.5e3 ] ] } , "c" : "\u00e9" } )", "."),
              ".a.b[1][0] = false\n.a.b[1][1] = -1.5e3\n.c = \"\\u00e9\"\n");
    EXPECT_EQ(flat(R"("scalar")", ".x"), ".x = \"scalar\"\n");
    EXPECT_EQ(flat("   ", "."), "");
    EXPECT_EQ(flat("[]", "."), "");
    // A key that is not UTF-8 is written with replacement characters.
    EXPECT_EQ(flat("{\"\xFF\":1}", "."), ".\xEF\xBF\xBD = 1\n");
}

TEST(FlattenValue, BudgetCutsBodiesBeforeQuoting) {
    EXPECT_EQ(flat(R"({"s":"a\"b"})", "."), ".s = \"a\\\"b\"\n");
    EXPECT_EQ(flat(R"({"s":"a\"b"})", ".", 2), ".s = \"a\\" + kDots + "\"\n");
    EXPECT_EQ(flat("[true,12345]", ".", 2), ".[0] = tr" + kDots + "\n.[1] = 12" + kDots + "\n");
}

TEST(FlattenValue, MalformedTextKeepsLinesBeforeTheFault) {
    EXPECT_EQ(flat(R"({"a":1,"b":)", "."), ".a = 1\n");
    EXPECT_EQ(flat("[1] [2]", "."), ".[0] = 1\n");
    EXPECT_EQ(flat(R"([1,tru,2])", "."), ".[0] = 1\n");
    EXPECT_EQ(flat(R"(["ok","open)", "."), ".[0] = \"ok\"\n");
    EXPECT_EQ(flat(R"({"a":1 "b":2})", "."), ".a = 1\n");
    EXPECT_EQ(flat(R"({1:2})", "."), "");
}

TEST(FlattenValue, DeepNestingNeedsNoRecursion) {
    std::string v(200000, '[');
    v += "7";
    v += std::string(200000, ']');
    const std::string out = flat(v, ".");
    ASSERT_EQ(out.size(), 1 + 3 * 200000 + 5);
    EXPECT_EQ(out.substr(out.size() - 8), "[0] = 7\n");
}

// The flatten walk over a string, with what it ended in.
struct Walked {
    std::string lines;
    rova_rudo::WalkOutcome outcome;
};
Walked walk_flatten(std::string_view doc, const rova_rudo::FlattenOptions& options) {
    std::string lines;
    rova_rudo::AppendedLines out{lines};
    rova_rudo::FlattenVisitor<rova_rudo::AppendedLines> v{options, out};
    rova_rudo::JsonCursor c(doc);
    const rova_rudo::WalkOutcome o = rova_rudo::walk_json_events(c, v);
    return {lines, o};
}

TEST(FlattenVisitor, LimitStopsAndPlaceholderStandsForContainers) {
    const Walked w = walk_flatten(R"({"a":"x","b":"y"})", {.limit = 2, .objects_too = true});
    EXPECT_EQ(w.lines, ". = {object}\n.a = \"x\"\n");
    EXPECT_TRUE(w.outcome.stopped());
    // A limit reached at a container stops the walk there, before the fault after it.
    const Walked at_container = walk_flatten("[[@", {.limit = 2, .objects_too = true});
    EXPECT_EQ(at_container.lines, ". = [array]\n.[0] = [array]\n");
    EXPECT_TRUE(at_container.outcome.stopped());
}

TEST(FlattenVisitor, KeyFaultsReportTheByteOrTheEnd) {
    using rova_rudo::ParseError;
    struct Case {
        std::string text;
        ParseError want;
    };
    const Case cases[] = {
        {"{  x", ParseError::unexpected_byte('x', 3)},      {"{  ", ParseError::unexpected_byte(0, 3)},
        {R"({"k" 1)", ParseError::unexpected_byte('1', 5)}, {R"({"k")", ParseError::unexpected_byte(0, 4)},
        {R"({"k)", ParseError::unclosed_string()},
    };
    for (const auto& c : cases) {
        const Walked w = walk_flatten(c.text, {});
        ASSERT_TRUE(w.outcome.is_error()) << c.text;
        EXPECT_EQ(w.outcome.error(), c.want) << c.text;
    }
}

}  // namespace
