// The stage times of one parse and the "[timings]" report that a parse
// driver writes to standard error when QUELLMOR_PARSER_TIMINGS is set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tape_parser {

struct ParseTimings {
    double io_wait_ms = 0;       // waiting for chunks from the reader thread (streaming only)
    double first_chunk_ms = 0;   // blocking I/O before parsing could start
    double validate_ms = 0;      // never measured
    double parsing_ms = 0;       // sum of the build_tape_chunk calls
    double child_counts_ms = 0;  // never measured
    std::uint64_t chunks = 0;    // chunks handed to the builder (not printed)
    std::uint64_t bytes = 0;     // input length
};

// The eleven report lines, each ending in a line feed. `label` is
// "file-read" (whole buffer) or "chunked-file" (streaming).
std::string format_parse_timings(const ParseTimings& t, double total_ms, std::uint64_t entries, std::string_view label);
// Writes format_parse_timings to standard error.
void print_parse_timings(const ParseTimings& t, double total_ms, std::uint64_t entries, std::string_view label);

}  // namespace tape_parser
