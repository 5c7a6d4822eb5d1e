// Tape prefault: once per parse, after the first chunk, the reserved but not
// yet used memory of a large tape is populated from several threads, so that
// its first-touch page faults are taken in parallel, ahead of the
// single-threaded builder.
#pragma once

#include <cstdint>
#include <optional>

#include "tape_parser/tape.hpp"

namespace tape_parser {

// Prefaults the tape's spare storage between its used length and
// min(capacity, estimated_entries) entries when that is at least 32 MiB and
// QUELLMOR_PREFAULT is not "0"; threads from QUELLMOR_PREFAULT_THREADS or the
// processor count (none below 4 processors unless asked), at most 16.
// Changes neither the tape's length nor its contents. Where the kernel can
// populate memory without writing it, a quarter of that many threads (unless
// asked) take the range in stripes from the front and go on while the
// builder runs, until Tape::stop_prefault; otherwise they touch one byte per
// page, and the call waits for them. A thread that cannot be started is skipped: prefaulting
// only warms memory.
void prefault_tape_capacity(Tape& tape, std::uint64_t estimated_entries);

// The body of one prefault thread: a zero byte at base + s, s + 4096, ...
// while below e.
void prefault_touch_pages(std::uint8_t* base, std::uint64_t s, std::uint64_t e);

// Byte range [start, end) of the storage to touch and its split: thread i
// touches [start + i * span, min(start + (i + 1) * span, end)) while that
// start is below end.
struct PrefaultPlan {
    std::uint64_t start;
    std::uint64_t end;
    std::uint64_t span;
    unsigned threads;
};
// The plan for a tape of `used_entries` and `capacity_entries`, or nullopt
// when nothing is to be touched. `threads_setting` is the number read from
// QUELLMOR_PREFAULT_THREADS (nullopt when it gave none); `processors` the
// processor count (0 counts as 4). Does not consult QUELLMOR_PREFAULT.
std::optional<PrefaultPlan> plan_prefault(std::uint64_t used_entries, std::uint64_t capacity_entries,
                                          std::uint64_t estimated_entries, std::optional<std::uint64_t> threads_setting,
                                          unsigned processors);

}  // namespace tape_parser
