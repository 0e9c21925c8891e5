// Large buffers read at random (neighbour tables, ball arrays, the collision
// field) are backed by 2 MB pages where the system allows, so that random
// reads across hundreds of MB do not each miss the address translation
// caches. Only a hint: nothing changes where the system declines.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

// Buffers smaller than this keep ordinary pages: for them the saving is
// small and the memory rounded up to 2 MB pages is not.
constexpr size_t HUGE_PAGE_MIN_BYTES = (size_t)64 << 20;

// Asks for 2 MB pages over the whole 2 MB pages inside [p, p + bytes).
inline void advise_huge_pages(void* p, size_t bytes)
{
    const uintptr_t huge = (uintptr_t)2 << 20;
    if (!p || bytes < HUGE_PAGE_MIN_BYTES)
        return;
    uintptr_t begin = ((uintptr_t)p + huge - 1) & ~(huge - 1);
    uintptr_t end = ((uintptr_t)p + bytes) & ~(huge - 1);
    if (end > begin)
        madvise((void*)begin, end - begin, MADV_HUGEPAGE);
}
