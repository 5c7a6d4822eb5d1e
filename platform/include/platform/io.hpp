// Files: plain and unbuffered opens, positional reads, metadata, error texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/result.hpp"

namespace platform {

// An operating-system error number with the system's own message, or a
// message of our own for a failure the system does not name.
struct IoError {
    int code = 0;
    std::string text = {};  // when set, the whole message
    // `text` when set, else the system's message, then " (os error N)", e.g.
    // "No such file or directory (os error 2)".
    std::string message() const;
};

IoError last_io_error();

// An open file descriptor, closed on destruction.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    File& operator=(File&& o) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Size by handle.
    Result<std::uint64_t, IoError> size() const;
    // One positional read; 0 bytes means end of file.
    Result<std::size_t, IoError> read_at(std::uint64_t offset, std::span<std::byte> into) const;
    // Fills `into` completely from `offset`; an end of file first is an error
    // whose code is 0 and whose message() is "failed to fill whole buffer".
    Result<Unit, IoError> read_exact_at(std::uint64_t offset, std::span<std::byte> into) const;

private:
    int fd_ = -1;
};

// One positional read of a descriptor, retried when a signal interrupts it;
// 0 bytes means end of file.
Result<std::size_t, IoError> read_at(int fd, std::uint64_t offset, std::span<std::byte> into);
// Positional reads until `into` is full or the file ends: the bytes read,
// fewer than into.size() only at the end of the file.
Result<std::size_t, IoError> read_full_at(int fd, std::uint64_t offset, std::span<std::byte> into);

// Waits until a descriptor in non-blocking mode that refused with EAGAIN can
// be read (`for_writing` false) or written again, or has ended; false, with
// errno set, when the wait itself fails other than by a signal.
bool wait_until_ready(int fd, bool for_writing);

// When `fd` is a pipe whose buffer holds less than 1 MiB, grows it to that,
// for a writer with much to say: each time a full pipe stops the writer and
// wakes the reader costs far more than the bytes (three times the whole
// time of a large output here with the usual 64 KiB). Never shrinks a
// buffer; silently nothing on other descriptors or where refused.
void widen_pipe(int fd);

// Opens for reading. `sequential` adds the sequential-scan hint.
Result<File, IoError> open_read(const std::string& path, bool sequential = false);

// Gives an open file the sequential-scan hint (larger read-ahead), for a
// caller that learns only after the open whether the file is worth it.
void advise_sequential(const File& f);

// Opens for reading without waiting (O_NONBLOCK, which stays set): a FIFO
// opens at once even when it has no writer.
Result<File, IoError> open_read_no_wait(const std::string& path);

// Whether a read of the descriptor would return at once with bytes.
bool readable_now(int fd);

// Opens for reading around the page cache (O_DIRECT). Fails where the file
// system refuses it (tmpfs, for instance); callers fall back to open_read.
Result<File, IoError> open_unbuffered(const std::string& path);

// The alignment that unbuffered reads of this file need: the kernel's
// direct-I/O offset alignment where it tells one, else 4096.
std::size_t direct_io_alignment(const File& f);

// Bytes of [offset, offset + length) of the open file (length 0: to its
// end) that the page cache holds now, in whole pages; nullopt where the
// kernel cannot tell (before Linux 6.5, or not a file). The kernel looks at
// every page of the range: about 20 ms per GiB here.
std::optional<std::uint64_t> cached_bytes(const File& f, std::uint64_t offset = 0, std::uint64_t length = 0);

enum class FileKind { Regular, Directory, Other };

struct FileMeta {
    FileKind kind = FileKind::Other;
    std::uint64_t size = 0;
};

// Metadata by path, following symbolic links.
Result<FileMeta, IoError> stat_path(const std::string& path);

}  // namespace platform
