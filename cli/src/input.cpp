#include "cli/input.hpp"

#include <cerrno>
#include <cstddef>
#include <limits>

#include "platform/file_kind.hpp"
#include "platform/huge_pages.hpp"
#include "platform/system.hpp"

namespace cli {

std::span<const std::uint8_t> InputBuffer::bytes() const {
    if (const auto* s = std::get_if<std::string>(&data_))
        return {reinterpret_cast<const std::uint8_t*>(s->data()), s->size()};
    if (const auto* o = std::get_if<OwnedBytes>(&data_)) return {o->data.get(), o->len};
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

// Reads a regular file of `size` bytes straight into a buffer of its own,
// without zeroing it first and with the huge-page hint: for a big document
// the copy and the page faults are most of the load. A file that has grown
// since its size was taken is still read to its end.
platform::Result<InputBuffer, platform::IoError> read_whole_sized(const platform::File& f, std::uint64_t size) {
    if (size == 0 || size >= std::numeric_limits<std::size_t>::max() / 2) {
        auto whole = read_whole(f, size);
        if (!whole) return platform::Err{whole.error()};
        return InputBuffer(std::move(whole.value()));
    }
    const auto n = static_cast<std::size_t>(size);
    auto buf = platform::allocate_uninit_bytes(n);
    if (!buf) return platform::Err{platform::IoError{ENOMEM}};
    std::size_t have = 0;
    while (have < n) {
        auto r = f.read_at(have, std::span<std::byte>(reinterpret_cast<std::byte*>(buf.get()) + have, n - have));
        if (!r) return platform::Err{r.error()};
        if (r.value() == 0) break;  // shrunk since: what is there is the document
        have += r.value();
    }
    if (have == n) {
        std::string more;
        char probe[1 << 12];
        for (;;) {
            auto r = f.read_at(have + more.size(), std::span<std::byte>(reinterpret_cast<std::byte*>(probe), sizeof probe));
            if (!r) return platform::Err{r.error()};
            if (r.value() == 0) break;
            more.append(probe, r.value());
        }
        if (!more.empty()) {
            std::string all(reinterpret_cast<const char*>(buf.get()), have);
            all += more;
            return InputBuffer(std::move(all));
        }
    }
    return InputBuffer(std::move(buf), have);
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
            auto whole = read_whole_sized(f.value(), size);
            if (whole.ok()) return std::move(whole.value());
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
