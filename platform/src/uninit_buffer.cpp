#include "platform/uninit_buffer.hpp"

#include <new>

namespace platform {

std::unique_ptr<std::uint8_t[]> allocate_uninit_bytes(std::size_t bytes) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[bytes == 0 ? 1 : bytes]);
}

}  // namespace platform
