// The chunk tape builder: a single-pass tokenizer fed one chunk of the input
// at a time. Tokens cut by a chunk end (string, number, literal) stay pending
// in the state and are completed by the next chunk, so chunks may be cut
// anywhere and every cut gives the same tape, statistics and error.
//
// It checks only what the tape needs: brackets nest and match, literals are
// spelled exactly, each token starts with a byte that can start a value.
// Commas and colons are skipped wherever they stand; strings are not decoded
// (escapes skipped, \u plus four bytes skipped unexamined); numbers are runs
// of 0-9 + - . e E, not validated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.hpp"
#include "tape_parser/tape.hpp"

namespace tape_parser {

// One open container.
struct TapeStackEntry {
    std::uint32_t tape_index;
    std::uint8_t closer;          // ']' or '}'
    std::uint32_t child_counter;  // direct children started inside it so far
};

enum class PendingKind : std::uint8_t { None = 0, String = 1, Number = 2, Literal = 3 };

// Everything that lives from one chunk to the next. Holds no reference into a
// chunk: the caller may reuse a chunk's memory as soon as the call returns.
struct TapeBuilderState {
    TapeBuilderState() { stack.reserve(256); }

    std::vector<TapeStackEntry> stack;  // innermost last
    std::uint64_t pending_start = 0;    // first byte of a literal/number; one past a string's quote
    char literal_text[5] = {};          // "true", "null" or "false" while a literal is pending
    std::uint8_t literal_len = 0;       // 4 or 5
    std::uint8_t literal_matched = 0;   // bytes of the pending literal seen so far (1-4)
    PendingKind pending_kind = PendingKind::None;
    std::uint32_t current_container = kNoParent;  // innermost open container's tape index; kNoParent at top level
    std::uint64_t root_values = 0;                // completed top-level values
    bool in_string = false;
    bool escape_pending = false;       // the previous chunk ended right after a backslash
    std::uint8_t unicode_pending = 0;  // bytes of a \u escape still to skip (0-4)
    // The tape may hold at most this many entries; more is refused with a
    // message (the parent word is 32 bits). Lowered only by tests.
    std::uint64_t max_entries = kMaxTapeEntries;
};

// Success, or the failure message (positions are absolute byte offsets).
using BuildResult = platform::Result<platform::Unit, std::string>;

// Appends the entries of the chunk [data, data + len), whose first byte is at
// absolute offset `base`, to `tape` and counts them in `stats`. Chunks must be
// handed over in order with no gap or overlap; `is_last` is set on the chunk
// that ends the input only; after a failure the caller must stop. A chunk of
// length 0 changes nothing. Messages:
//   "Unexpected '{}' at position {}"            closer with nothing open
//   "Mismatched bracket at position {}"
//   "Invalid literal at position {}"             the literal's first byte
//   "Unexpected EOF in literal at position {}"   literal cut by the end of input
//   "Unexpected character '{}' at position {}"   the byte shown as U+0000-U+00FF
// and, for an input the format cannot hold, a message saying it is too large.
BuildResult build_tape_chunk(const std::uint8_t* data, std::size_t len, std::uint64_t base, bool is_last,
                             TapeBuilderState& state, Tape& tape, ParseStats& stats);

// End-of-input step after the last chunk: fails with "Unclosed container",
// "Unexpected EOF in string" or "Unexpected EOF in literal" (checked in that
// order), completes a number that runs to `input_len`, and when there are two
// or more top-level values wraps them in one array entry [0, input_len) at
// index 0 (every other parent index moves up by one). Does not set tape_len.
BuildResult finish_tape(TapeBuilderState& state, std::uint64_t input_len, Tape& tape, ParseStats& stats);

// Releases the state's storage (its container stack).
void drop_parser_state(TapeBuilderState& state);

// One past the unbroken run of bytes from 0-9 + - . e E that starts at
// `start` (`start` itself when that byte is not one of them, `len` when the
// run reaches the end).
std::size_t tape_number_end(const std::uint8_t* data, std::size_t len, std::size_t start);

}  // namespace tape_parser
