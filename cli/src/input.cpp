#include "cli/input.hpp"

#include <cerrno>
#include <cstddef>
#include <limits>

#include "platform/file_kind.hpp"
#include "platform/uninit_buffer.hpp"
#include "platform/system.hpp"

namespace cli {

std::span<const std::uint8_t> InputBuffer::bytes() const {
    if (owned_) return {owned_.get(), owned_len_};
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

// What read_whole_sized read: `len` bytes in `bytes`, or, for a file that
// grew while it was read (or an empty one), all of it in `text`.
struct WholeRead {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t len = 0;
    bool in_text = false;
    std::string text;
};

// Reads a regular file of `size` bytes straight into a buffer of its own,
// without zeroing it first and without a bounce buffer: for a big document
// the copies are much of the load. A file that has grown since its size was
// taken is still read to its end; one that has shrunk gives what is there.
platform::Result<WholeRead, platform::IoError> read_whole_sized(const platform::File& f, std::uint64_t size) {
    WholeRead w;
    if (size == 0 || size >= std::numeric_limits<std::size_t>::max() / 2) {
        auto whole = read_whole(f, size);
        if (!whole) return platform::Err{whole.error()};
        w.in_text = true;
        w.text = std::move(whole.value());
        return w;
    }
    const auto n = static_cast<std::size_t>(size);
    w.bytes = platform::allocate_uninit_bytes(n);
    if (!w.bytes) return platform::Err{platform::IoError{ENOMEM}};
    std::size_t have = 0;
    while (have < n) {
        auto r = f.read_at(have, std::span<std::byte>(reinterpret_cast<std::byte*>(w.bytes.get()) + have, n - have));
        if (!r) return platform::Err{r.error()};
        if (r.value() == 0) break;
        have += r.value();
    }
    w.len = have;
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
            w.in_text = true;
            w.text.assign(reinterpret_cast<const char*>(w.bytes.get()), have);
            w.text += more;
            w.bytes.reset();
        }
    }
    return w;
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
            if (whole.ok()) {
                WholeRead& w = whole.value();
                if (w.in_text) return InputBuffer(std::move(w.text));
                return InputBuffer(std::move(w.bytes), w.len);
            }
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
