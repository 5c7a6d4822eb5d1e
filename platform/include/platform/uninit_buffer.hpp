// A large byte buffer that is about to be overwritten whole (a document read
// from a file): allocated without being zeroed first, since zeroing would
// touch every page once more before the read writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// `bytes` bytes of uninitialised memory (at least one byte is allocated);
// nullptr when the allocation fails.
std::unique_ptr<std::uint8_t[]> allocate_uninit_bytes(std::size_t bytes);

}  // namespace platform
