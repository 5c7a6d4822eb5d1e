#include "platform/file_kind.hpp"

#include <sys/stat.h>

namespace platform {

namespace {

OpenFileKind kind_of(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return OpenFileKind::Regular;
    if (S_ISDIR(st.st_mode)) return OpenFileKind::Directory;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return OpenFileKind::Pipe;
    return OpenFileKind::Other;
}

FileStamp stamp_of(const struct stat& st) {
    FileStamp s;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.mtime_s = st.st_mtim.tv_sec;
    s.mtime_ns = st.st_mtim.tv_nsec;
    return s;
}

}  // namespace

Result<OpenFileKind, IoError> open_file_kind(const File& f) {
    struct stat st {};
    if (::fstat(f.fd(), &st) != 0) return Err{last_io_error()};
    return kind_of(st);
}

Result<FileStamp, IoError> file_stamp(const File& f) {
    struct stat st {};
    if (::fstat(f.fd(), &st) != 0) return Err{last_io_error()};
    return stamp_of(st);
}

Result<OpenFileState, IoError> open_file_state(const File& f) {
    struct stat st {};
    if (::fstat(f.fd(), &st) != 0) return Err{last_io_error()};
    return OpenFileState{kind_of(st), stamp_of(st)};
}

bool still_as_stamped(const File& f, const FileStamp& before) {
    const auto now = file_stamp(f);
    return now && *now == before;
}

IoError file_changed_error() { return IoError{0, kFileChangedText}; }

namespace {
FileUseHook g_file_use_hook = nullptr;
void* g_file_use_context = nullptr;
}  // namespace

void set_file_use_hook(FileUseHook hook, void* context) {
    g_file_use_hook = hook;
    g_file_use_context = context;
}

void reached_file_use(FileUse at, int fd) {
    if (g_file_use_hook) g_file_use_hook(at, fd, g_file_use_context);
}

}  // namespace platform
