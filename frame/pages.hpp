// pages.hpp: memory pages asked of the kernel ahead of their first write (header-only, no Python).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace fw {

// Has the kernel give the pages of a fresh block's [start, start + bytes) at once, ahead of
// their first write: one call instead of a fault per page, which costs far more on a virtual
// machine. A block smaller than a page is left to fault; where the kernel cannot (before
// Linux 5.14), the writes fault the pages in as before.
inline void populate(void *start, std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
    static const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(start) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(start) + bytes;
    if (bytes >= page) madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)bytes;
#endif
}

} // namespace fw
