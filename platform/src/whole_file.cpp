#include "platform/whole_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

IoError too_large_for_memory(std::uint64_t budget) {
    return IoError{EFBIG, "too large to read into memory (more than " + std::to_string(budget) + " bytes)"};
}

Result<ByteBuffer, IoError> read_whole(int fd, std::uint64_t budget) {
    ByteBuffer buf;
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    if (sized) {
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (size > budget) return Err{too_large_for_memory(budget)};
        // One byte more than the size, so that the read that meets the end of
        // the file needs no second buffer.
        if (!buf.reserve(static_cast<std::size_t>(size) + 1)) return Err{IoError{ENOMEM}};
    }
    constexpr std::size_t kFirstStep = std::size_t{64} << 10;
    std::size_t have = 0;
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
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return Err{last_io_error()};
        }
    }
    if (have > budget) return Err{too_large_for_memory(budget)};
    buf.set_size(have);
    return buf;
}

}  // namespace platform
