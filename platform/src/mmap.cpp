#include "platform/mmap.hpp"

#include <sys/mman.h>

#include "platform/fault.hpp"
#include "platform/pages.hpp"

namespace platform {

MemoryMap& MemoryMap::operator=(MemoryMap&& o) noexcept {
    if (this != &o) {
        release();
        data_ = o.data_;
        size_ = o.size_;
        fault_slot_ = o.fault_slot_;
        o.data_ = nullptr;
        o.size_ = 0;
        o.fault_slot_ = -1;
    }
    return *this;
}

MemoryMap::~MemoryMap() { release(); }

void MemoryMap::release() {
    unregister_input_map(fault_slot_);
    fault_slot_ = -1;
    if (data_) unmap_pages(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

bool MemoryMap::shrank() const { return input_map_shrank(fault_slot_); }

void MemoryMap::populate() const { populate_read_pages(data_, size_); }

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
    m.fault_slot_ = register_input_map(p, m.size_);
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
