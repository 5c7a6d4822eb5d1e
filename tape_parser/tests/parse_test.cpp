// The whole-buffer driver: byte order mark, wrapper, finishing messages, the
// chunk size never changing the outcome, and the initial reserve.
#include "tape_parser/parse.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sanitizers.hpp"

namespace tp = tape_parser;

namespace {

tp::TapeParseOutput parse(const std::string& s, std::uint64_t chunk = 1 << 20) {
    return tp::parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), chunk, 0.0);
}

std::vector<tp::TapeEntry> entries(const tp::TapeParseOutput& r) {
    return {r.value().tape.begin(), r.value().tape.end()};
}

TEST(ParseBuffer, ByteOrderMarkAndWrapper) {
    auto r = parse("\xEF\xBB\xBF{}");
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->tape.size(), 1u);
    EXPECT_EQ(r->tape[0].start(), 3u);
    EXPECT_EQ(r->tape[0].end(), 5u);
    EXPECT_EQ(r->stats.tape_len, 1u);

    r = parse("1 2 3");
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->tape.size(), 4u);
    EXPECT_EQ(r->tape[0].kind(), tp::TapeKind::Array);
    EXPECT_EQ(r->tape[0].start(), 0u);
    EXPECT_EQ(r->tape[0].end(), 5u);
    EXPECT_EQ(r->tape[0].child_count(), 3u);
    EXPECT_EQ(r->tape[0].parent(), tp::kNoParent);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(r->tape[i].parent(), 0u);
    EXPECT_EQ(r->stats.arrays, 1u);
    EXPECT_EQ(r->stats.numbers, 3u);
    EXPECT_EQ(r->stats.tape_len, 4u);

    // A byte order mark before two values: the wrapper still starts at 0.
    r = parse("\xEF\xBB\xBF[1] [2]");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->tape[0].start(), 0u);
    EXPECT_EQ(r->tape[1].start(), 3u);
}

TEST(ParseBuffer, InputsWithoutValueGiveAnEmptyTape) {
    for (const std::string s : {"", "\xEF\xBB\xBF", " \n\t\r,: "}) {
        auto r = parse(s);
        ASSERT_TRUE(r) << r.error();
        EXPECT_TRUE(r->tape.empty());
        EXPECT_EQ(r->stats, tp::ParseStats{});
    }
}

TEST(ParseBuffer, Failures) {
    struct C {
        std::string in, msg;
    } cases[] = {
        {"[1,{\"abc", "Unclosed container"},  // the stack is tested before the string
        {"\"abc", "Unexpected EOF in string"},
        {"nul", "Unexpected EOF in literal at position 0"},
        {"\xEF\xBB", "Unexpected character '\\xef' at position 0"},
        {"\xEF\xBB\xBF]", "Unexpected ']' at position 3"},
        {"[1]\n[2}", "Mismatched bracket at position 6"},
    };
    for (const auto& c : cases) {
        for (std::uint64_t chunk : {1u, 2u, 3u, 1u << 20}) {
            auto r = parse(c.in, chunk);
            ASSERT_FALSE(r) << c.in;
            EXPECT_EQ(r.error(), c.msg) << c.in << " chunk " << chunk;
        }
    }
}

TEST(ParseBuffer, ChunkSizeNeverChangesTheTape) {
    std::string doc = "\xEF\xBB\xBF{\"list\":[";
    for (int i = 0; i < 300; ++i)
        doc += "{\"id\":" + std::to_string(i * 7919) + ",\"name\":\"n\\u00e9\\\"" + std::to_string(i) +
               "\",\"ok\":" + (i % 3 ? "true" : "false") + ",\"x\":null},";
    doc += "[]]} 12.5e3";
    auto whole = parse(doc, doc.size());
    ASSERT_TRUE(whole) << whole.error();
    for (std::uint64_t chunk : {0u, 1u, 2u, 3u, 5u, 16u, 17u, 31u, 64u, 1000u, 4096u}) {
        auto r = parse(doc, chunk);
        ASSERT_TRUE(r) << r.error();
        EXPECT_EQ(entries(r), entries(whole)) << chunk;
        EXPECT_EQ(r->stats, whole->stats) << chunk;
    }
}

TEST(ParseBuffer, CapacityFromLength) {
    struct C {
        const char* env;  // nullptr = unset
        std::uint64_t want;
    } cases[] = {{nullptr, 100}, {"0", 100}, {"-4", 100}, {"4x", 100}, {"", 100}, {"+16", 50}, {"1", 800}};
    for (const auto& c : cases) {
        if (c.env) setenv("QUELLMOR_TAPE_RESERVE_DIV", c.env, 1);
        else unsetenv("QUELLMOR_TAPE_RESERVE_DIV");
        EXPECT_EQ(tp::tape_capacity_from_len(800), c.want) << (c.env ? c.env : "unset");
    }
    // The parse reserves once, from the length: no growth when that suffices,
    // doubling when it does not.
    setenv("QUELLMOR_TAPE_RESERVE_DIV", "1", 1);
    auto r = parse("[1,2,3,4,5,6,7,8,9]");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tape.capacity(), 19u);
    setenv("QUELLMOR_TAPE_RESERVE_DIV", "4", 1);
    r = parse("[1,2,3,4,5,6,7,8,9]");
    unsetenv("QUELLMOR_TAPE_RESERVE_DIV");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tape.size(), 10u);
    EXPECT_EQ(r->tape.capacity(), 16u);
}

// The settings are fixed at first use, so this runs in a fresh process.
TEST(ParseBufferDeathTest, TimingsReportWhenAsked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("QUELLMOR_PARSER_TIMINGS", "", 1);
            auto r = parse("[1, 2]", 2);
            std::exit(r && r->tape.size() == 3 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0),
        "\\[timings\\] === Streaming SIMD Parser ===\n\\[timings\\] Source: file-read\n(.|\n)*"
        "\\[timings\\] Throughput: ");
}

// The bytes of address space this process maps now (0 when unknown), the
// base of the limits below.
unsigned long mapped_bytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    const bool read = f != nullptr && std::fscanf(f, "%lu", &pages) == 1;
    if (f != nullptr) std::fclose(f);
    return read ? pages * 4096ul : 0;
}

// Limits this process's address space to what it maps now plus `extra`
// bytes, hard limit too; false when that cannot be done.
bool limit_address_space(unsigned long extra) {
    const unsigned long mapped = mapped_bytes();
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = mapped + extra;
    return mapped != 0 && setrlimit(RLIMIT_AS, &lim) == 0;
}

// An array of `n` + 1 zeros, which needs a tape entry per byte pair.
std::string zeros_array(int n) {
    std::string zeros = "[0";
    for (int i = 0; i < n; ++i) zeros += ",0";
    return zeros + "]";
}

// Under a limit on address space: an up-front reservation larger than the
// limit shrinks instead of ending the process (the tape of a long string
// needs one entry), and a tape that cannot grow fails its input with the
// system's message. Run in a child, whose limit goes with it.
int parse_under_address_limit() {
    const std::string text = "\"" + std::string(64 << 20, 'a') + "\"";
    const std::string zeros = zeros_array(8 << 20);
    // The limit: what the process maps now plus 96 MiB, below the 160 MiB
    // that either document's tape asks for.
    if (!limit_address_space(96ul << 20)) return 4;
    {
        auto r = parse(text);
        if (!r || r->tape.size() != 1) return 1;
    }
    auto r = parse(zeros);
    return !r && r.error() == "Cannot allocate memory (os error 12)" ? 0 : 2;
}

TEST(ParseBufferDeathTest, MemoryLimitFailsTheInputNotTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(parse_under_address_limit()), ::testing::ExitedWithCode(0), "");
}

// A tape that outgrows its reservation under a limit that holds the tape
// but not its doubled storage grows by less. An array of 8 Mi and one zeros
// needs 160 MiB and 40 bytes of tape, in storage of 160 MiB before it grows:
// doubling asks for 320 MiB, growing by a quarter for 200, and the limit
// allows 216.
int parse_when_doubling_is_refused() {
    const std::string zeros = zeros_array(8 << 20);
    if (!limit_address_space(216ul << 20)) return 4;
    auto r = parse(zeros);
    if (!r) return 1;
    return r->tape.size() == (8u << 20) + 2 && r->tape.capacity() == (10u << 20) ? 0 : 2;
}

TEST(ParseBufferDeathTest, MemoryLimitBelowTheDoubledTapeGrowsItByLess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(parse_when_doubling_is_refused()), ::testing::ExitedWithCode(0), "");
}

// A document nested millions deep grows the builder's container stack as
// well as the tape. Under limits from "the tape alone does not fit" to "the
// whole parse fits", whichever allocation is refused first, the parse gives
// the tape or the system's message, never an exception out of the call.
// Only the soft limit is set, so the child can raise it again each round.
int deep_parse_under_address_limits() {
    constexpr int kDepth = 4 << 20;
    const std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
    const unsigned long mapped = mapped_bytes();
    if (mapped == 0) return 3;
    rlimit lim{};
    if (getrlimit(RLIMIT_AS, &lim) != 0) return 4;
    const rlim_t hard = lim.rlim_max;
    int failed = 0, parsed = 0;
    for (unsigned long extra = 48; extra <= 240; extra += 8) {
        lim.rlim_cur = mapped + (extra << 20);
        if (setrlimit(RLIMIT_AS, &lim) != 0) return 4;
        auto r = parse(deep);
        lim.rlim_cur = hard;
        if (setrlimit(RLIMIT_AS, &lim) != 0) return 4;
        if (r) {
            if (r->tape.size() != static_cast<std::size_t>(kDepth) || r->tape[0].end() != deep.size()) return 1;
            ++parsed;
        } else if (r.error() == "Cannot allocate memory (os error 12)") {
            ++failed;
        } else {
            return 2;
        }
    }
    return failed > 0 && parsed > 0 ? 0 : 5;
}

TEST(ParseBufferDeathTest, DeepDocumentUnderMemoryLimitsFailsAsAValue) {
    if (test_support::kSanitized) GTEST_SKIP() << "address-space limits and sanitizers do not mix";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(deep_parse_under_address_limits()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
