// The streamed parse of a file, with a small chunk size chosen by the first
// byte, gives the same tape, statistics and error as the whole-buffer parse
// of the same bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/io.hpp"
#include "tape_parser/parse.hpp"
#include "tape_parser/streaming.hpp"

using namespace tape_parser;

namespace {

// As in the chunk builder target: a literal cut by the end of the input is
// named by length when whole and by its bytes when a cut makes it resume.
bool same_error(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const std::string eof = "Unexpected EOF in literal at position ", bad = "Invalid literal at position ";
    auto tail = [](const std::string& s, const std::string& head) {
        return s.rfind(head, 0) == 0 ? s.substr(head.size()) : std::string("?");
    };
    return (tail(a, eof) == tail(b, bad) && tail(a, eof) != "?") ||
           (tail(a, bad) == tail(b, eof) && tail(a, bad) != "?");
}

int memfd() {
    static int fd = memfd_create("tape_stream_fuzz", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint64_t chunk = 1 + (data[0] & 0x3f);
    data += 1;
    size -= 1;
    const int fd = memfd();
    if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    auto file = platform::open_read(path);
    if (!file) return 0;

    auto whole = parse_buffer_chunked(data, size, 0, 0.0);
    auto streamed = streaming_parse_driver(path, std::move(file).value(), size, chunk);
    if (whole.ok() != streamed.ok()) std::abort();
    if (!whole.ok()) {
        if (!same_error(whole.error(), streamed.error())) std::abort();
        return 0;
    }
    const Tape& a = whole.value().tape;
    const Tape& b = streamed.value().tape;
    if (!(whole.value().stats == streamed.value().stats) || a.size() != b.size()) std::abort();
    if (a.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(TapeEntry)) != 0) std::abort();
    return 0;
}
