#include "tape_parser/timings.hpp"

#include <cmath>
#include <cstdio>

namespace tape_parser {

namespace {

// A fixed-point number right-aligned in `width`; non-finite values print as
// NaN, inf and -inf (not the C library's nan/-nan) so the report reads the
// same whatever the platform.
void put_fixed(std::string& out, double v, int prec, int width) {
    char buf[400];
    int n;
    if (std::isnan(v)) n = std::snprintf(buf, sizeof buf, "NaN");
    else if (std::isinf(v)) n = std::snprintf(buf, sizeof buf, v < 0 ? "-inf" : "inf");
    else n = std::snprintf(buf, sizeof buf, "%.*f", prec, v);
    if (n < 0) n = 0;
    if (static_cast<std::size_t>(n) >= sizeof buf) n = sizeof buf - 1;
    for (int i = n; i < width; ++i) out += ' ';
    out.append(buf, static_cast<std::size_t>(n));
}

void stage(std::string& out, const char* name, double ms, double total, const char* tail) {
    out += "[timings]   ";
    out += name;
    put_fixed(out, ms, 2, 8);
    out += "ms (";
    put_fixed(out, ms / total * 100.0, 1, 5);
    out += "%)";
    out += tail;
    out += '\n';
}

}  // namespace

std::string format_parse_timings(const ParseTimings& t, double total_ms, std::uint64_t entries,
                                 std::string_view label) {
    std::string out;
    out += "[timings] === Streaming SIMD Parser ===\n";
    out += "[timings] Source: ";
    out += label;
    out += '\n';
    out += "[timings] Stages:\n";
    stage(out, "First chunk:  ", t.first_chunk_ms, total_ms, " [blocking IO]");
    stage(out, "IO wait:      ", t.io_wait_ms, total_ms, " [recv blocking]");
    stage(out, "Validate:     ", t.validate_ms, total_ms, "");
    stage(out, "Parsing:      ", t.parsing_ms, total_ms, "");
    stage(out, "Child counts: ", t.child_counts_ms, total_ms, "");
    out += "[timings] Total:         ";
    put_fixed(out, total_ms, 2, 8);
    out += "ms\n";
    const double overhead = total_ms - t.parsing_ms;
    out += "[timings] Non-parse overhead: ";
    put_fixed(out, overhead, 2, 0);
    out += "ms (";
    put_fixed(out, overhead / total_ms * 100.0, 1, 0);
    out += "%)\n";
    const double secs = total_ms / 1000.0;
    out += "[timings] Throughput: ";
    put_fixed(out, static_cast<double>(t.bytes) / 1048576.0 / secs, 1, 0);
    out += " MB/s, ";
    put_fixed(out, static_cast<double>(entries) / secs / 1000000.0, 1, 0);
    out += "M entries/s\n";
    return out;
}

void print_parse_timings(const ParseTimings& t, double total_ms, std::uint64_t entries, std::string_view label) {
    const std::string s = format_parse_timings(t, total_ms, entries, label);
    std::fwrite(s.data(), 1, s.size(), stderr);
}

}  // namespace tape_parser
