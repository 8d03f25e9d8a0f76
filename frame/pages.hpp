// pages.hpp: memory pages asked of the kernel ahead of their first write (header-only, no Python).
//
// A first write to a fresh page traps into the kernel, which costs far more on a virtual machine
// than the write itself; a large picture written row by row pays it tens of thousands of times.
// The policy, the same for every module:
// - `fresh(start, bytes)` on a block just allocated that will be written whole (a picture, a
//   codec's output): huge pages asked for on the whole huge-page extents inside it, then every
//   page handed out at once;
// - `prefer_huge_pages` alone on such a block filled band by band over a longer time, each band
//   `populate`d just before it is written where the band is known, or left to fault in a huge
//   page at a time: the process then holds no more of the block than is written;
// - neither on a block written only in part, nor on memory that is not the caller's alone.
// Huge pages go only to extents wholly inside the block, so no page outside it is taken and the
// process's resident size grows by no more than the block. Where the kernel refuses (an older
// kernel, huge pages off), the writes fault the pages in as before: the advice never fails.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fw {

namespace pages_detail {

inline std::uintptr_t page_size() noexcept {
    static const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    return page;
}

// The size of a transparent huge page, as the kernel reports it; where it cannot be read (no
// /sys, as in a container), that of 4 KiB pages' page tables (2 MiB). A kernel without huge
// pages refuses the advice, which changes nothing.
inline std::uintptr_t huge_page_size() noexcept {
    static const std::uintptr_t size = [] {
        unsigned long long v = 0;
        if (std::FILE *f = std::fopen("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "r")) {
            if (std::fscanf(f, "%llu", &v) != 1) v = 0;
            std::fclose(f);
        }
        if (!v && page_size() == 4096) v = 2u << 20;
        return std::uintptr_t(v);
    }();
    return size;
}

} // namespace pages_detail

// Has the kernel give the pages of a fresh block's [start, start + bytes) at once, ahead of
// their first write: one call instead of a fault per page. A block smaller than a page is left
// to fault; where the kernel cannot (before Linux 5.14), the writes fault the pages in as before.
inline void populate(void *start, std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
    const std::uintptr_t page = pages_detail::page_size();
    const auto first = reinterpret_cast<std::uintptr_t>(start) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(start) + bytes;
    if (bytes >= page) madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)bytes;
#endif
}

// Asks for huge pages on the huge-page extents wholly inside [start, start + bytes), before the
// block is first written: a fault (or a populate) then takes a whole extent at once. Only for a
// block of at least two extents, so that the advice splits no mapping for a small gain.
inline void prefer_huge_pages(void *start, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    const std::uintptr_t huge = pages_detail::huge_page_size();
    if (!huge || bytes < 2 * huge) return;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(huge - 1);
    if (end > first) madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

// A fresh block about to be written whole: huge pages where whole extents fit, every page given.
inline void fresh(void *start, std::size_t bytes) noexcept {
    prefer_huge_pages(start, bytes);
    populate(start, bytes);
}

} // namespace fw
