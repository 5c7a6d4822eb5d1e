// Read-only memory maps of whole files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/io.hpp"
#include "platform/result.hpp"

namespace platform {

// A read-only view of a whole file, unmapped on destruction. An empty file has
// no view: data() is null and size() 0. Every view is registered as an input
// map (platform/fault.hpp): if the file shrinks under it, the pages past the
// new end read as zeros and shrank() turns true.
class MemoryMap {
public:
    MemoryMap() = default;
    MemoryMap(MemoryMap&& o) noexcept : data_(o.data_), size_(o.size_), fault_slot_(o.fault_slot_) {
        o.data_ = nullptr;
        o.size_ = 0;
        o.fault_slot_ = -1;
    }
    MemoryMap& operator=(MemoryMap&& o) noexcept;
    MemoryMap(const MemoryMap&) = delete;
    MemoryMap& operator=(const MemoryMap&) = delete;
    ~MemoryMap();

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    // Whether the file ended before the view did while it was read.
    bool shrank() const;
    // Maps every page of the view now, from several threads, instead of one
    // fault per page on first read; for a view about to be read nearly
    // everywhere. Silently nothing where the kernel cannot.
    void populate() const;

    // Maps the whole of `f` read-only; `sequential` advises the kernel to read ahead.
    static Result<MemoryMap, IoError> map_file(const File& f, bool sequential = false);

private:
    void release();

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    int fault_slot_ = -1;
};

// A file kept open together with its map, released together.
struct MappedFile {
    File file;
    MemoryMap map;
};

Result<MappedFile, IoError> map_path(const std::string& path, bool sequential = false);

}  // namespace platform
