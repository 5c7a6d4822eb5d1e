// The "[timings]" report, byte for byte.
#include "tape_parser/timings.hpp"

#include <gtest/gtest.h>

namespace tp = tape_parser;

namespace {

TEST(Timings, ElevenLines) {
    tp::ParseTimings t;
    t.first_chunk_ms = 1.5;
    t.parsing_ms = 5;
    t.bytes = 2 * 1048576;
    t.chunks = 2;
    EXPECT_EQ(tp::format_parse_timings(t, 10.0, 1000000, "file-read"),
              "[timings] === Streaming SIMD Parser ===\n"
              "[timings] Source: file-read\n"
              "[timings] Stages:\n"
              "[timings]   First chunk:      1.50ms ( 15.0%) [blocking IO]\n"
              "[timings]   IO wait:          0.00ms (  0.0%) [recv blocking]\n"
              "[timings]   Validate:         0.00ms (  0.0%)\n"
              "[timings]   Parsing:          5.00ms ( 50.0%)\n"
              "[timings]   Child counts:     0.00ms (  0.0%)\n"
              "[timings] Total:            10.00ms\n"
              "[timings] Non-parse overhead: 5.00ms (50.0%)\n"
              "[timings] Throughput: 200.0 MB/s, 100.0M entries/s\n");
}

TEST(Timings, WideValuesAndAZeroTotal) {
    tp::ParseTimings t;
    t.io_wait_ms = 123456.789;
    t.parsing_ms = 0;
    const std::string wide = tp::format_parse_timings(t, 123456.789, 0, "chunked-file");
    EXPECT_NE(wide.find("[timings]   IO wait:      123456.79ms (100.0%) [recv blocking]\n"), std::string::npos);
    EXPECT_NE(wide.find("[timings] Source: chunked-file\n"), std::string::npos);
    // No guard against a total of 0: shares are 0/0 and rates infinite.
    const std::string zero = tp::format_parse_timings(tp::ParseTimings{}, 0.0, 5, "file-read");
    EXPECT_NE(zero.find("[timings]   Parsing:          0.00ms (  NaN%)\n"), std::string::npos) << zero;
    EXPECT_NE(zero.find("[timings] Non-parse overhead: 0.00ms (NaN%)\n"), std::string::npos) << zero;
    EXPECT_NE(zero.find("[timings] Throughput: NaN MB/s, infM entries/s\n"), std::string::npos) << zero;
}

}  // namespace
