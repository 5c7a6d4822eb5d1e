#include "platform/mmap.hpp"

#include <sys/mman.h>

namespace platform {

MemoryMap& MemoryMap::operator=(MemoryMap&& o) noexcept {
    if (this != &o) {
        if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
        data_ = o.data_;
        size_ = o.size_;
        o.data_ = nullptr;
        o.size_ = 0;
    }
    return *this;
}

MemoryMap::~MemoryMap() {
    if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

Result<MemoryMap, IoError> MemoryMap::map_file(const File& f, bool sequential) {
    auto sz = f.size();
    if (!sz) return Err{sz.error()};
    MemoryMap m;
    if (sz.value() == 0) return m;
    void* p = ::mmap(nullptr, sz.value(), PROT_READ, MAP_PRIVATE, f.fd(), 0);
    if (p == MAP_FAILED) return Err{last_io_error()};
    if (sequential) ::madvise(p, sz.value(), MADV_SEQUENTIAL);
    m.data_ = static_cast<const std::uint8_t*>(p);
    m.size_ = sz.value();
    return m;
}

Result<MappedFile, IoError> map_path(const std::string& path, bool sequential) {
    auto f = open_read(path, sequential);
    if (!f) return Err{f.error()};
    auto m = MemoryMap::map_file(f.value(), sequential);
    if (!m) return Err{m.error()};
    return MappedFile{std::move(f.value()), std::move(m.value())};
}

}  // namespace platform
