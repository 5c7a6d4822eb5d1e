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

// Maps every page that [p, p + len) of a read-only file map touches now,
// from several threads, instead of one fault per page on first read; for
// bytes about to be read nearly everywhere. Silently nothing where the
// kernel cannot (before Linux 5.14): the pages then fault in as read.
void populate_read_pages(const void* p, std::size_t len);

// Gives back the pages that lie wholly inside [p, p + len) of a read-only
// file map, on this thread: the next read of them maps them again from the
// page cache, so what a walk has passed stops counting as the process's
// memory. Never for anonymous memory, whose pages would read as zeros.
void release_read_pages(const void* p, std::size_t len);

// Unmaps [p, p + len) (p page-aligned). A range of 64 MiB and more first
// gives its pages back from several threads: giving a page back costs about
// what its first touch did, and like it scales across processors (a touched
// 1.2 GB tape: 0.19 s to unmap on one thread here, 0.05 s from eight), so the
// unmap that follows has little left to free. A range never touched has next
// to nothing to give.
void unmap_pages(void* p, std::size_t len);

}  // namespace platform
