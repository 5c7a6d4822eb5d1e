#include "platform/whole_file.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_kind.hpp"
#include "platform/parallel.hpp"
#include "platform/system.hpp"

namespace platform {

namespace {

constexpr std::size_t kPage = 4096;
// The least each reading thread is given: below about 2 MiB the start of a
// thread costs more than the page faults it takes off the caller.
constexpr std::uint64_t kMinSlice = std::uint64_t{2} << 20;
constexpr unsigned kMaxSlices = 16;

// One thread's share of a parallel read: buffer bytes [begin, end), read
// from the file at `base + begin`.
struct Slice {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t got = 0;  // bytes read from begin; short only at the end of the file
    IoError error{};      // code != 0 when a read failed
};

void read_slice(int fd, std::uint8_t* buf, std::uint64_t base, Slice& s) {
    auto r = read_full_at(fd, base + s.begin, {reinterpret_cast<std::byte*>(buf + s.begin), s.end - s.begin});
    if (r) {
        s.got = r.value();
    } else {
        s.error = std::move(r.error());
    }
}

// Reads the `len` bytes of the file from offset `base` into `buf` with up
// to `threads` threads, each preading its own page-aligned slice (the
// caller reads any slice whose thread cannot start).
// Returns how many bytes from the start of `buf` hold the file in order: all
// `len`, or fewer where a slice met the end of the file (one that shrank
// since its size was taken). Bytes beyond that prefix may have been written
// and are not content. A read failure before that point is the error.
Result<std::size_t, IoError> read_slices(int fd, std::uint8_t* buf, std::uint64_t base, std::size_t len,
                                         unsigned threads) {
    std::array<Slice, kMaxSlices> slices;
    const std::size_t count = threads < kMaxSlices ? threads : kMaxSlices;
    const std::size_t per = ((len + count - 1) / count + kPage - 1) / kPage * kPage;
    std::size_t n = 0;
    for (std::size_t at = 0; at < len && n < count; at += per) slices[n++] = Slice{at, at + per < len ? at + per : len};
    run_in_parallel(static_cast<unsigned>(n), [&](unsigned i) { read_slice(fd, buf, base, slices[i]); });
    for (std::size_t i = 0; i < n; ++i) {
        const Slice& s = slices[i];
        if (s.error.code != 0) return Err{s.error};
        if (s.got < s.end - s.begin) return s.begin + s.got;
    }
    return len;
}

// How many threads read `len` bytes: one per kMinSlice at most, and no more
// than the machine's helper threads.
unsigned read_threads(std::uint64_t len, unsigned processors) {
    const std::uint64_t by_size = len / kMinSlice;
    if (by_size < 2) return 1;
    const unsigned helpers = helper_thread_count(std::nullopt, processors);
    if (helpers < 2) return 1;
    return by_size < helpers ? static_cast<unsigned>(by_size) : helpers;
}

}  // namespace

IoError too_large_for_memory(std::uint64_t budget) {
    return IoError{EFBIG, "too large to read into memory (more than " + std::to_string(budget) + " bytes)"};
}

Result<ByteBuffer, IoError> read_whole(int fd, std::uint64_t budget) {
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    return read_whole_given(fd, budget, sized ? static_cast<std::uint64_t>(st.st_size) : 0, processor_count());
}

Result<ByteBuffer, IoError> read_whole_given(int fd, std::uint64_t budget, std::uint64_t size, unsigned processors) {
    return read_whole_into(ByteBuffer(), fd, budget, size, processors);
}

Result<ByteBuffer, IoError> read_whole_into(ByteBuffer buf, int fd, std::uint64_t budget, std::uint64_t size,
                                            unsigned processors) {
    buf.set_size(0);
    std::size_t have = 0;
    if (size > 0) {
        if (size > budget) return Err{too_large_for_memory(budget)};
        // One byte more than the size, so that the read that meets the end of
        // the file needs no second buffer.
        if (!buf.reserve(static_cast<std::size_t>(size) + 1)) return Err{IoError{ENOMEM}};
        // A large file is read by several threads at once: the first touch
        // of the fresh buffer's pages, which dominates the read, is then
        // paid on several processors. The loop below goes on from where the
        // file's bytes stop, so a file that grew or shrank since its size
        // was taken ends up read exactly as by that loop alone.
        // A read of one thread needs no position: the loop below reads on.
        const off_t pos = read_threads(size, processors) > 1 ? ::lseek(fd, 0, SEEK_CUR) : -1;
        if (pos >= 0 && static_cast<std::uint64_t>(pos) < size) {
            const std::uint64_t len = size - static_cast<std::uint64_t>(pos);
            const unsigned threads = read_threads(len, processors);
            if (threads > 1) {
                auto got = read_slices(fd, buf.data(), static_cast<std::uint64_t>(pos), static_cast<std::size_t>(len),
                                       threads);
                if (!got) return Err{std::move(got.error())};
                have = got.value();
                if (::lseek(fd, pos + static_cast<off_t>(have), SEEK_SET) < 0) return Err{last_io_error()};
            }
        }
    }
    constexpr std::size_t kFirstStep = std::size_t{64} << 10;
    bool first_bytes = have > 0;
    if (first_bytes) reached_file_use(FileUse::PartlyRead, fd);
    for (;;) {
        if (have == buf.capacity()) {
            if (have > budget) return Err{too_large_for_memory(budget)};
            // Grow by doubling, never asking for more than one byte past the
            // budget (the byte that tells an input of exactly the budget
            // from a larger one).
            std::uint64_t want = have < kFirstStep ? kFirstStep : std::uint64_t{have} * 2;
            if (budget < UINT64_MAX && want > budget + 1) want = budget + 1;
            if (want <= have) want = have + 1;
            if (!buf.reserve(static_cast<std::size_t>(want))) return Err{IoError{ENOMEM}};
        }
        const ssize_t n = ::read(fd, buf.data() + have, buf.capacity() - have);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
            if (!first_bytes) {
                first_bytes = true;
                reached_file_use(FileUse::PartlyRead, fd);
            }
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN) {
            // A descriptor handed over in non-blocking mode (a pipe whose
            // other user set it): wait for bytes or the end, as a blocking
            // read would.
            if (!wait_until_ready(fd, false)) return Err{last_io_error()};
        } else if (errno != EINTR) {
            return Err{last_io_error()};
        }
    }
    if (have > budget) return Err{too_large_for_memory(budget)};
    buf.set_size(have);
    return buf;
}

}  // namespace platform
