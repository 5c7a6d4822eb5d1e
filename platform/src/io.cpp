#include "platform/io.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/system.hpp"

namespace platform {

std::string IoError::message() const {
    if (!text.empty()) return text;
    if (code == 0) return "failed to fill whole buffer";
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

IoError last_io_error() { return IoError{errno}; }

File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

File::~File() { close(); }

void File::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Result<std::uint64_t, IoError> File::size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Err{last_io_error()};
    return static_cast<std::uint64_t>(st.st_size);
}

Result<std::size_t, IoError> read_at(int fd, std::uint64_t offset, std::span<std::byte> into) {
    for (;;) {
        ssize_t n = ::pread(fd, into.data(), into.size(), static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return Err{last_io_error()};
    }
}

Result<std::size_t, IoError> read_full_at(int fd, std::uint64_t offset, std::span<std::byte> into) {
    std::size_t done = 0;
    while (done < into.size()) {
        auto r = read_at(fd, offset + done, into.subspan(done));
        if (!r) return Err{r.error()};
        if (r.value() == 0) break;
        done += r.value();
    }
    return done;
}

bool wait_until_ready(int fd, bool for_writing) {
    pollfd ready{fd, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
    return ::poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

void widen_pipe(int fd) {
    constexpr int kWide = 1 << 20;  // what an unprivileged process may ask for by default
    const int now = ::fcntl(fd, F_GETPIPE_SZ);
    if (now >= 0 && now < kWide) (void)::fcntl(fd, F_SETPIPE_SZ, kWide);
}

Result<std::size_t, IoError> File::read_at(std::uint64_t offset, std::span<std::byte> into) const {
    return platform::read_at(fd_, offset, into);
}

Result<Unit, IoError> File::read_exact_at(std::uint64_t offset, std::span<std::byte> into) const {
    auto r = read_full_at(fd_, offset, into);
    if (!r) return Err{r.error()};
    if (r.value() < into.size()) return Err{IoError{0}};
    return Unit{};
}

static Result<File, IoError> open_with(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Err{last_io_error()};
    return File(fd);
}

Result<File, IoError> open_read(const std::string& path, bool sequential) {
    auto f = open_with(path, 0);
    if (f && sequential) advise_sequential(*f);
    return f;
}

void advise_sequential(const File& f) { ::posix_fadvise(f.fd(), 0, 0, POSIX_FADV_SEQUENTIAL); }

Result<File, IoError> open_unbuffered(const std::string& path) { return open_with(path, O_DIRECT); }

Result<File, IoError> open_read_no_wait(const std::string& path) { return open_with(path, O_NONBLOCK); }

bool readable_now(int fd) {
    pollfd ready{fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&ready, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (ready.revents & POLLIN) != 0;
}

std::size_t direct_io_alignment(const File& f) {
#if defined(STATX_DIOALIGN)
    struct statx sx;
    if (::statx(f.fd(), "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN) &&
        sx.stx_dio_offset_align != 0) {
        return sx.stx_dio_offset_align;
    }
#else
    (void)f;
#endif
    return 4096;
}

std::optional<std::uint64_t> cached_bytes(const File& f, std::uint64_t offset, std::uint64_t length) {
    // cachestat(2); glibc has no wrapper yet, and older headers lack the number.
    constexpr long kCachestat = 451;
    struct Range {
        std::uint64_t offset, length;  // length 0: to the end of the file
    } range{offset, length};
    struct Stat {
        std::uint64_t cache, dirty, writeback, evicted, recently_evicted;
    } stat{};
    if (::syscall(kCachestat, f.fd(), &range, &stat, 0u) != 0) return std::nullopt;
    return stat.cache * allocation_granularity();
}

Result<FileMeta, IoError> stat_path(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Err{last_io_error()};
    FileMeta m;
    m.kind = S_ISREG(st.st_mode) ? FileKind::Regular : S_ISDIR(st.st_mode) ? FileKind::Directory : FileKind::Other;
    m.size = static_cast<std::uint64_t>(st.st_size);
    return m;
}

}  // namespace platform
