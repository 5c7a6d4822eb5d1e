// Whole-buffer tape parse: a document already in memory, fed to the chunk
// builder in fixed-size chunks (the same code path as the streaming parse,
// and the first chunk's density sizes the tape prefault).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tape_parser/tape.hpp"

namespace tape_parser {

// Parses `data[0, len)` in chunks of `chunk_size` bytes (0 means one chunk). `read_ms`
// is the caller's time spent reading the input, reported as the first-chunk
// time. A UTF-8 byte order mark at the start is skipped (offsets still count
// from data[0]). Input with no value gives an empty tape. The input must stay
// unchanged during the call; the tape refers to it by offsets only. Prints the
// timings report when QUELLMOR_PARSER_TIMINGS is set.
TapeParseOutput parse_buffer_chunked(const std::uint8_t* data, std::size_t len, std::uint64_t chunk_size,
                                     double read_ms);

// parse_buffer_chunked into `reuse`'s storage (its entries are dropped): a
// run over many documents then builds every tape in one block of memory.
TapeParseOutput parse_buffer_chunked_into(Tape reuse, const std::uint8_t* data, std::size_t len,
                                          std::uint64_t chunk_size, double read_ms);

// Whether the rest of a tape estimated at `estimated_entries` in all fits in
// the physical memory available now, beside the `tape` built so far. Both
// parse drivers ask once, after the first chunk (whose density gives the
// estimate), so that an input whose tape cannot fit fails before the work
// rather than being killed by the system part-way. The failure text names
// both sizes; nullopt when it fits or nothing is known of the memory.
std::optional<std::string> tape_memory_shortfall(const Tape& tape, std::uint64_t estimated_entries);

// For tests: the available memory the check above takes instead of the
// system's figure (nullopt: the system's again).
void set_available_memory_for_tests(std::optional<std::uint64_t> bytes);

// Entries to reserve for an input of `len` bytes: len / QUELLMOR_TAPE_RESERVE_DIV
// (read on every call; 8 when unset, not a number, or 0).
std::uint64_t tape_capacity_from_len(std::uint64_t len);

}  // namespace tape_parser
