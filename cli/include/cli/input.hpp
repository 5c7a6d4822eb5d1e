// Loading one whole document for the commands that walk it in memory: from
// standard input (read to its end), or from a file (memory-mapped, or read
// whole when it fits the memory that can be spared).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "platform/result.hpp"

namespace cli {

// One loaded document: owned bytes, or a read-only map of the whole file kept
// together with the open file (both released with the buffer). The bytes stay
// valid, unchanged, for the buffer's lifetime. An empty file maps to no view:
// bytes() is then empty.
class InputBuffer {
public:
    explicit InputBuffer(std::string owned) : data_(std::move(owned)) {}
    explicit InputBuffer(platform::MappedFile mapped) : data_(std::move(mapped)) {}
    // The first `len` bytes of `owned` are the document.
    InputBuffer(std::unique_ptr<std::uint8_t[]> owned, std::size_t len) : owned_(std::move(owned)), owned_len_(len) {}

    bool is_mapped() const { return data_.index() == 1; }
    std::span<const std::uint8_t> bytes() const;
    std::string_view text() const;

private:
    std::variant<std::string, platform::MappedFile> data_;
    // A file read whole lands here rather than in a string, which would be
    // zeroed before the read overwrites it; set only with data_ empty.
    std::unique_ptr<std::uint8_t[]> owned_;
    std::size_t owned_len_ = 0;
};

// Everything standard input delivers up to its end (the string is the byte
// vector). An input that ends at once gives an empty string.
platform::Result<std::string, platform::IoError> read_stdin_all();

// Maps the file read-only with the sequential-scan hint, whatever its size.
// A directory fails with EISDIR. A FIFO or socket, which cannot be mapped, is
// read to its end instead, so that `qm get .a <(cmd)` works; devices are left
// to the map (an endless one such as /dev/zero maps as empty).
platform::Result<InputBuffer, platform::IoError> open_mapped_file(const std::string& path);

// Reads the file whole when memory_allows its size, else maps it. A failed
// whole read is dropped in favour of the map, whose error (if any) is the one
// reported; a size that cannot be read counts as too large.
platform::Result<InputBuffer, platform::IoError> load_input_file(const std::string& path);

// Whether `n` bytes may be read whole: at most half of the available physical
// memory, or at most 4 GiB when that figure cannot be had.
bool memory_allows(std::uint64_t n);
// The same rule with the available memory given (nullopt: unknown).
bool memory_allows_given(std::uint64_t n, std::optional<std::uint64_t> available);

}  // namespace cli
