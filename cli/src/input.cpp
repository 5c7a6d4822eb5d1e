#include "cli/input.hpp"

#include <cerrno>
#include <cstddef>

#include "platform/fault.hpp"
#include "platform/file_kind.hpp"
#include "platform/system.hpp"

namespace cli {

std::span<const std::uint8_t> InputBuffer::bytes() const { return is_mapped_ ? mapped_.map.bytes() : owned_.bytes(); }

std::string_view InputBuffer::text() const {
    auto b = bytes();
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

const char* InputBuffer::failure_after_use() const {
    if (!is_mapped_) return nullptr;
    // Stamped before the shrink is looked at: a cut that comes between the
    // two still changes the size.
    const bool same = !stamp_ || platform::still_as_stamped(mapped_.file, *stamp_);
    if (mapped_.map.shrank()) return platform::kFileShrankText;
    return same ? nullptr : platform::kFileChangedText;
}

platform::Result<platform::ByteBuffer, platform::IoError> read_stdin_all() {
    return platform::read_whole(0, platform::memory_budget());
}

namespace {

// A regular file's bytes read whole are one state of it only if its stamp
// at the end of the read is the one it had when opened.
platform::Result<InputBuffer, platform::IoError> read_into_buffer(const platform::File& f, std::uint64_t budget,
                                                                  const std::optional<platform::FileStamp>& stamp) {
    auto whole = platform::read_whole(f.fd(), budget);
    if (!whole) return platform::Err{std::move(whole.error())};
    if (stamp && !platform::still_as_stamped(f, *stamp)) return platform::Err{platform::file_changed_error()};
    return InputBuffer(std::move(whole.value()));
}

// Loads the open file at `path`: read whole when `read_if_fits` and its size
// fits the budget, else mapped; whatever cannot be mapped is read whole.
platform::Result<InputBuffer, platform::IoError> load_open_file(platform::File f, bool read_if_fits) {
    auto state = platform::open_file_state(f);
    if (!state) return platform::Err{state.error()};
    if (state->kind == platform::OpenFileKind::Directory) return platform::Err{platform::IoError{EISDIR}};
    const std::uint64_t budget = platform::memory_budget();
    const platform::FileStamp stamp = state->stamp;
    const std::uint64_t size = stamp.size;
    // A pipe, a device or a /proc-like file has no state to compare.
    if (state->kind != platform::OpenFileKind::Regular || size == 0) return read_into_buffer(f, budget, std::nullopt);
    if (read_if_fits && size <= budget) return read_into_buffer(f, budget, stamp);
    auto m = platform::MemoryMap::map_file(f, /*sequential=*/true);
    if (m) {
        platform::reached_file_use(platform::FileUse::Mapped, f.fd());
        return InputBuffer(platform::MappedFile{std::move(f), std::move(m.value())}, stamp);
    }
    // Some files have no pages to map (/sys): read those instead.
    if (!read_if_fits && size <= budget) return read_into_buffer(f, budget, stamp);
    return platform::Err{m.error()};
}

}  // namespace

platform::Result<InputBuffer, platform::IoError> open_mapped_file(const std::string& path) {
    auto f = platform::open_read(path, /*sequential=*/true);
    if (!f) return platform::Err{f.error()};
    return load_open_file(std::move(f.value()), false);
}

platform::Result<InputBuffer, platform::IoError> load_input_file(const std::string& path) {
    auto f = platform::open_read(path, /*sequential=*/true);
    if (!f) return platform::Err{f.error()};
    return load_open_file(std::move(f.value()), true);
}

platform::Result<InputBuffer, platform::IoError> load_glob_special_file(const std::string& path) {
    auto f = platform::open_read_no_wait(path);
    if (!f) {
        // What a socket's open gives.
        if (f.error().code == ENXIO) return platform::Err{platform::IoError{ENXIO, "a socket, not a file"}};
        return platform::Err{f.error()};
    }
    auto kind = platform::open_file_kind(*f);
    if (!kind) return platform::Err{kind.error()};
    if (kind.value() == platform::OpenFileKind::Other)
        return platform::Err{platform::IoError{ENODEV, "a device, not a file (a glob reads only files)"}};
    if (!platform::readable_now(f->fd())) {
        return platform::Err{
            platform::IoError{EAGAIN, "a FIFO with nothing to read (a glob does not wait for its writer)"}};
    }
    return load_open_file(std::move(*f), true);
}

bool memory_allows_given(std::uint64_t n, std::optional<std::uint64_t> available) {
    return n <= platform::memory_budget_given(available);
}

bool memory_allows(std::uint64_t n) { return n <= platform::memory_budget(); }

}  // namespace cli
