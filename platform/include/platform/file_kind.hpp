// What kind of object an open file descriptor refers to, for loaders that
// must treat pipes (which cannot be mapped) differently from regular files.
#pragma once

#include <cstdint>

#include "platform/io.hpp"
#include "platform/result.hpp"

namespace platform {

enum class OpenFileKind {
    Regular,
    Directory,
    Pipe,   // a FIFO or a socket: readable once, front to back, no size
    Other,  // character and block devices and the rest
};

Result<OpenFileKind, IoError> open_file_kind(const File& f);

// What tells one state of an open file's contents from a later one: its
// identity, size and modification time. A write in place changes the time, a
// cut or an append the size; a rename or an unlink (which change the inode's
// change time) change neither.
struct FileStamp {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_s = 0, mtime_ns = 0;
    bool operator==(const FileStamp&) const = default;
};

Result<FileStamp, IoError> file_stamp(const File& f);

// The kind and the stamp of an open file from one look at it.
struct OpenFileState {
    OpenFileKind kind = OpenFileKind::Other;
    FileStamp stamp;
};
Result<OpenFileState, IoError> open_file_state(const File& f);

// Whether the open file still has the stamp `before`; false when it cannot
// be taken.
bool still_as_stamped(const File& f, const FileStamp& before);

// The message an input fails with when its stamp differs at the end.
inline constexpr char kFileChangedText[] = "file changed while it was being read";
IoError file_changed_error();

// Test hook: called where part of a file's bytes has been taken and the rest
// is still to be taken or used, on the thread that takes them, so that a
// test can change the file at that point. Null by default.
enum class FileUse : std::uint8_t {
    PartlyRead,  // a whole read has its first bytes
    Mapped,      // an input's whole-file map is made and not yet walked
    Parsed,      // a whole read is parsed; the prefilter worker may still scan
};
using FileUseHook = void (*)(FileUse at, int fd, void* context);
void set_file_use_hook(FileUseHook hook, void* context);
void reached_file_use(FileUse at, int fd);

}  // namespace platform
