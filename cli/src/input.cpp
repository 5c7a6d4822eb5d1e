#include "cli/input.hpp"

#include <cerrno>
#include <cstddef>
#include <limits>

#include "platform/file_kind.hpp"
#include "platform/system.hpp"

namespace cli {

std::span<const std::uint8_t> InputBuffer::bytes() const {
    if (const auto* s = std::get_if<std::string>(&data_))
        return {reinterpret_cast<const std::uint8_t*>(s->data()), s->size()};
    return std::get<platform::MappedFile>(data_).map.bytes();
}

std::string_view InputBuffer::text() const {
    auto b = bytes();
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

platform::Result<std::string, platform::IoError> read_stdin_all() {
    std::string out;
    auto r = platform::read_all_fd(0, out);
    if (!r) return platform::Err{r.error()};
    return out;
}

namespace {

// Reads an open file to its end, reserving `size_hint` bytes first.
platform::Result<std::string, platform::IoError> read_whole(const platform::File& f, std::uint64_t size_hint) {
    std::string out;
    if (size_hint > 0 && size_hint < std::numeric_limits<std::size_t>::max() / 2)
        out.reserve(static_cast<std::size_t>(size_hint));
    auto r = platform::read_all_fd(f.fd(), out);
    if (!r) return platform::Err{r.error()};
    return out;
}

}  // namespace

platform::Result<InputBuffer, platform::IoError> open_mapped_file(const std::string& path) {
    auto f = platform::open_read(path, /*sequential=*/true);
    if (!f) return platform::Err{f.error()};
    auto kind = platform::open_file_kind(f.value());
    if (kind.ok() && kind.value() == platform::OpenFileKind::Directory)
        return platform::Err{platform::IoError{EISDIR}};
    if (kind.ok() && kind.value() == platform::OpenFileKind::Pipe) {
        // A pipe has no pages to map: take what it delivers up to its end.
        auto whole = read_whole(f.value(), 0);
        if (!whole) return platform::Err{whole.error()};
        return InputBuffer(std::move(whole.value()));
    }
    auto m = platform::MemoryMap::map_file(f.value(), /*sequential=*/true);
    if (!m) return platform::Err{m.error()};
    return InputBuffer(platform::MappedFile{std::move(f.value()), std::move(m.value())});
}

platform::Result<InputBuffer, platform::IoError> load_input_file(const std::string& path) {
    auto meta = platform::stat_path(path);
    const std::uint64_t size = meta.ok() ? meta.value().size : std::numeric_limits<std::uint64_t>::max();
    if (meta.ok() && meta.value().kind == platform::FileKind::Regular && memory_allows(size)) {
        auto f = platform::open_read(path);
        if (f.ok()) {
            auto whole = read_whole(f.value(), size);
            if (whole.ok()) return InputBuffer(std::move(whole.value()));
        }
    }
    return open_mapped_file(path);
}

bool memory_allows_given(std::uint64_t n, std::optional<std::uint64_t> available) {
    if (available) return n <= *available / 2;
    return n <= (std::uint64_t{4} << 30);
}

bool memory_allows(std::uint64_t n) { return memory_allows_given(n, platform::available_memory()); }

}  // namespace cli
