// Large buffers that are written once, front to back (a document read whole,
// the parse tape): backed by 2 MiB pages where the system has them, because
// with 4 KiB pages the faults of first touch cost as much as the work done
// in the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// Asks for huge pages over the 2 MiB-aligned part of [p, p + bytes). A hint
// only: nothing changes where the system has none, and blocks below 32 MiB
// are left alone (the gain there is too small to matter). Call it before the
// memory is first touched.
void advise_huge_pages(void* p, std::size_t bytes);

// `bytes` bytes of uninitialised memory (at least one byte is allocated),
// with the huge-page hint; nullptr when the allocation fails.
std::unique_ptr<std::uint8_t[]> allocate_uninit_bytes(std::size_t bytes);

}  // namespace platform
