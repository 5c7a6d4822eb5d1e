// Turning a mapped input that shrinks under the program into an error.
//
// Reading a page of a memory-mapped file beyond the file's current end
// raises SIGBUS, which would kill the process mid-output. Callers that map
// files install the handler once at start-up. By default a fault ends the
// process with a clear message and the runtime-error exit code. A command
// that goes on with its next input after a failed one turns recovery on:
// a map registered as an input (every MemoryMap is) then reads as zeros from
// the faulting page on and is marked as shrunk, so that the input's reader
// finishes its walk over bytes that match nothing and the command fails just
// that input.
#pragma once

#include <cstddef>

namespace platform {

// The exit code and the message for a fault outside every registered map.
inline constexpr int kInputShrankExitCode = 3;
inline constexpr char kInputShrankMessage[] = "qm: an input file shrank while it was being read\n";

// The message an input fails with when its map shrank.
inline constexpr char kFileShrankText[] = "file shrank while it was being read";

// Installs the SIGBUS handler (idempotent; async-signal-safe: it replaces
// pages of a registered map with zero pages, or writes and _exits).
void exit_cleanly_on_sigbus();

// Turns the recovery of registered maps on or off for the whole process.
void recover_shrunk_input_maps(bool on);

// Registers [begin, begin + len) as an input map; -1 when every slot is in
// use (the map is then not recovered).
int register_input_map(const void* begin, std::size_t len);
// Ends a registration (before the range is unmapped); -1 is ignored.
void unregister_input_map(int slot);
// Whether the registered map has met the end of its file.
bool input_map_shrank(int slot);

}  // namespace platform
