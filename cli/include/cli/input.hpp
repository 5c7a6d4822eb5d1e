// Loading one whole document for the commands that walk it in memory: from
// standard input (read to its end), or from a file (memory-mapped, or read
// whole when it fits the memory that can be spared). Whatever cannot be
// mapped (a pipe, a socket, a device, a file that reports size 0 or whose
// map is refused) is read whole, up to the same memory budget.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/file_kind.hpp"
#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "platform/result.hpp"
#include "platform/whole_file.hpp"

namespace cli {

// One loaded document: owned bytes, or a read-only map of the whole file kept
// together with the open file (both released with the buffer). An empty file
// maps to no view: bytes() is then empty.
class InputBuffer {
public:
    explicit InputBuffer(platform::ByteBuffer owned) : owned_(std::move(owned)) {}
    // `stamp`: the file's when it was opened, for a regular file.
    InputBuffer(platform::MappedFile mapped, std::optional<platform::FileStamp> stamp)
        : mapped_(std::move(mapped)), stamp_(stamp), is_mapped_(true) {}

    bool is_mapped() const { return is_mapped_; }
    std::span<const std::uint8_t> bytes() const;
    std::string_view text() const;
    // Asked after the last use of the bytes: the message the input fails
    // with when its mapped file was cut (the bytes past the new end read as
    // zeros) or written since it was opened, else null. A document read
    // whole was checked at the end of its read.
    const char* failure_after_use() const;

private:
    platform::ByteBuffer owned_;
    platform::MappedFile mapped_;
    std::optional<platform::FileStamp> stamp_;
    bool is_mapped_ = false;
};

// Everything standard input delivers up to its end. An input that ends at
// once gives an empty buffer; one larger than the memory budget fails.
platform::Result<platform::ByteBuffer, platform::IoError> read_stdin_all();

// Maps a regular file read-only with the sequential-scan hint, whatever its
// size. A directory fails with EISDIR. What cannot be mapped is read whole
// instead, up to the memory budget: a FIFO, socket or device (so that
// `qm get .a <(cmd)` works and /dev/zero fails rather than reads forever),
// a file that reports size 0 (/proc) and one whose map is refused (/sys).
// A regular file whose stamp (platform/file_kind.hpp) differs at the end of
// a whole read from its stamp at open fails with "file changed while it was
// being read".
platform::Result<InputBuffer, platform::IoError> open_mapped_file(const std::string& path);

// Reads the file whole when memory_allows its size, else maps it; a whole
// read that fails is the error. Other files as open_mapped_file.
platform::Result<InputBuffer, platform::IoError> load_input_file(const std::string& path);

// Loads a file that a glob matched and that is neither a regular file nor a
// directory, never waiting to open it: a FIFO with bytes ready is read whole
// (up to its writer's end); a FIFO with none, a socket or a device fails with
// a message that says so, since a pattern's match is no promise that anyone
// writes to it. Named on its own, such a file is read as open_mapped_file
// says.
platform::Result<InputBuffer, platform::IoError> load_glob_special_file(const std::string& path);

// Whether `n` bytes may be read whole: at most half of the available physical
// memory, or at most 4 GiB when that figure cannot be had.
bool memory_allows(std::uint64_t n);
// The same rule with the available memory given (nullopt: unknown).
bool memory_allows_given(std::uint64_t n, std::optional<std::uint64_t> available);

}  // namespace cli
