#include "cli/input.hpp"

#include <cerrno>
#include <cstddef>

#include "platform/file_kind.hpp"
#include "platform/system.hpp"

namespace cli {

std::span<const std::uint8_t> InputBuffer::bytes() const { return is_mapped_ ? mapped_.map.bytes() : owned_.bytes(); }

std::string_view InputBuffer::text() const {
    auto b = bytes();
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

bool InputBuffer::shrank() const { return is_mapped_ && mapped_.map.shrank(); }

platform::Result<platform::ByteBuffer, platform::IoError> read_stdin_all() {
    return platform::read_whole(0, platform::memory_budget());
}

namespace {

platform::Result<InputBuffer, platform::IoError> read_into_buffer(const platform::File& f, std::uint64_t budget) {
    auto whole = platform::read_whole(f.fd(), budget);
    if (!whole) return platform::Err{std::move(whole.error())};
    return InputBuffer(std::move(whole.value()));
}

// Loads the open file at `path`: read whole when `read_if_fits` and its size
// fits the budget, else mapped; whatever cannot be mapped is read whole.
platform::Result<InputBuffer, platform::IoError> load_open_file(platform::File f, bool read_if_fits) {
    auto kind = platform::open_file_kind(f);
    if (!kind) return platform::Err{kind.error()};
    if (kind.value() == platform::OpenFileKind::Directory) return platform::Err{platform::IoError{EISDIR}};
    const std::uint64_t budget = platform::memory_budget();
    auto size = f.size();
    if (!size) return platform::Err{size.error()};
    if (kind.value() != platform::OpenFileKind::Regular || size.value() == 0) return read_into_buffer(f, budget);
    if (read_if_fits && size.value() <= budget) {
        auto whole = read_into_buffer(f, budget);
        if (whole) return whole;
    }
    auto m = platform::MemoryMap::map_file(f, /*sequential=*/true);
    if (m) return InputBuffer(platform::MappedFile{std::move(f), std::move(m.value())});
    // Some files have no pages to map (/sys): read those instead.
    if (!read_if_fits && size.value() <= budget) return read_into_buffer(f, budget);
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

bool memory_allows_given(std::uint64_t n, std::optional<std::uint64_t> available) {
    return n <= platform::memory_budget_given(available);
}

bool memory_allows(std::uint64_t n) { return n <= platform::memory_budget(); }

}  // namespace cli
