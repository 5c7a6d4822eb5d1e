// Turning a mapped input that shrinks under the program into an error.
//
// Reading a page of a memory-mapped file beyond the file's current end
// raises SIGBUS, which would kill the process mid-output. Callers that map
// files install this once at start-up; the handler then ends the process
// with a clear message on standard error and the runtime-error exit code
// instead.
#pragma once

namespace platform {

// The exit code and the message the handler uses.
inline constexpr int kInputShrankExitCode = 3;
inline constexpr char kInputShrankMessage[] = "qm: an input file shrank while it was being read\n";

// Installs the SIGBUS handler (idempotent; async-signal-safe: write and
// _exit only).
void exit_cleanly_on_sigbus();

}  // namespace platform
