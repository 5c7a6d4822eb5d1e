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
// the physical memory available now, beside the `tape` built so far. The
// failure text names both sizes; nullopt when it fits or nothing is known of
// the memory.
std::optional<std::string> tape_memory_shortfall(const Tape& tape, std::uint64_t estimated_entries);

// Keeps a parse's tape within the memory available, asked by both parse
// drivers after every chunk. After the first chunk it extrapolates that
// chunk's density to the whole input, so that an input whose tape cannot fit
// fails before the work rather than being killed by the system part-way, and
// starts populating the estimated storage. A document denser further on
// outgrows that estimate: each time it does, the density of all that is
// parsed so far gives a new one, checked again, so that such a tape fails
// with the sizes named where it would have exhausted memory. Past the first
// chunk a check costs nothing until the tape outgrows the last estimate.
class TapeMemoryWatch {
public:
    // After a chunk: `parsed` bytes of the `total` are behind it, the first
    // of them at `start` (after a byte-order mark).
    std::optional<std::string> after_chunk(Tape& tape, std::uint64_t start, std::uint64_t parsed, std::uint64_t total);

private:
    std::uint64_t estimate_ = 0;
    bool estimated_ = false;
};

// For tests: the available memory the check above takes instead of the
// system's figure (nullopt: the system's again).
void set_available_memory_for_tests(std::optional<std::uint64_t> bytes);

// Entries to reserve for an input of `len` bytes: len / QUELLMOR_TAPE_RESERVE_DIV
// (read on every call; 8 when unset, not a number, or 0).
std::uint64_t tape_capacity_from_len(std::uint64_t len);

}  // namespace tape_parser
