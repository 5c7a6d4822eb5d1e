// Process and machine facts: memory, processors, pages, terminal, signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utf8.hpp"  // is_valid_utf8, which the command-line check below applies

namespace platform {

// Physical memory available now, in bytes; nullopt when it cannot be had.
std::optional<std::uint64_t> available_memory();

// The most bytes that one document may take when it is read whole into
// memory: half of the available physical memory, or 4 GiB when that figure
// cannot be had (nullopt). Larger files are mapped instead; larger streams
// fail.
std::uint64_t memory_budget_given(std::optional<std::uint64_t> available);
std::uint64_t memory_budget();

// The processors this process may run on, at least 1: those of its affinity
// mask (every online one where the mask cannot be read), or fewer where a
// cgroup CPU quota of its own or of a group above it allows less time
// (cgroup v2 cpu.max, v1 cpu.cfs_quota_us over cpu.cfs_period_us). Counted
// now: processor_count() is the count taken once, the one that decides
// thread counts.
unsigned count_processors();
unsigned processor_count();

// The processors that a CPU quota amounts to: `quota` over `period`
// (microseconds, as the cgroup files write them) rounded up, at least 1;
// nullopt for no quota ("max", a negative number) or a text that is not one.
std::optional<unsigned> quota_processors(std::string_view quota, std::string_view period);

// How many threads share a job that splits evenly across processors (the
// prefault of a tape, the read of a whole file): `asked` when given (0 gives
// 1), else `processors` (0, an unknown count, counts as 4), at most 16. 0
// when nothing was asked and there are fewer than 4 processors: a small
// machine gains little from extra threads.
unsigned helper_thread_count(std::optional<std::uint64_t> asked, unsigned processors);

// Granularity of memory maps (the page size).
std::size_t allocation_granularity();

// Whether standard output is a terminal.
bool stdout_is_terminal();

// Output is UTF-8 already on Linux; kept so the call site reads as intended.
inline void set_console_output_utf8() {}

// A closed output pipe then turns into a write error instead of a signal.
void ignore_sigpipe();

// The command line as byte strings, program name first. An argument that is
// not valid UTF-8 gives nullopt and its index in `bad_index`.
[[nodiscard]] std::optional<std::vector<std::string>> command_line_args(int argc, char** argv, std::size_t* bad_index);

}  // namespace platform
