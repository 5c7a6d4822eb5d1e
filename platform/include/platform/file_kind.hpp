// What kind of object an open file descriptor refers to, for loaders that
// must treat pipes (which cannot be mapped) differently from regular files.
#pragma once

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

}  // namespace platform
