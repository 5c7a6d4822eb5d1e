// Work on every page of a large range: first touches and give-backs cost per
// page (here far more than on bare metal, see the machine notes) and, unlike
// a copy, scale across processors.
#pragma once

#include <cstddef>

namespace platform {

// Applies the madvise `advice` to [p, p + len) (p page-aligned) in 32 MiB
// pieces from up to eight threads, the calling one included; a helper that
// cannot start leaves its pieces to the others. A refused advice is silently
// nothing, piece by piece.
void advise_pages_in_parallel(void* p, std::size_t len, int advice);

}  // namespace platform
