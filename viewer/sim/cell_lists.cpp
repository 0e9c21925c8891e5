// Neighbour cell lists: every ball is entered in the lists of the 3×3×3 block
// of unit cells around its own, so one list holds all candidates of a ball.
//
// List order is part of the results (the repulsion pass walks each list from
// its last entry down), so an insertion appends and a removal moves the last
// entry into the freed slot.
//
// The lists live in one pool of ints, each in a block of a power-of-two size:
// [capacity][count][entries ...]. A full list moves, in order, to a block
// twice its size; a list left empty by a ball's move gives its block back,
// and freed blocks are kept per size for the next list that needs one. The
// table therefore takes memory in proportion to the entries, that is to the
// balls, plus one offset per cell.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "balls.h"
#include "huge_pages.h"
#include "reach_lists.h"

uint32_t* cell_start = nullptr;
int* cell_pool = nullptr;

// Sizes of blocks: 2^c ints, c from BLOCK_CLASS_MIN. The pool is addressed by
// 32-bit offsets. The smallest block (4 ints) and the first pool (16 KB)
// trade room wasted in sparse lists against more moves while lists grow; no
// figure was recorded for them (85866f7).
static const int BLOCK_CLASS_MIN = 2;
static const int BLOCK_CLASSES = 32;
static const size_t POOL_FIRST_INTS = 1 << 12;

static int* pool_raw = nullptr;        // cell_pool - 1: the empty list's capacity
static size_t pool_ints = 0;           // ints in pool_raw
static size_t pool_used = 0;           // ints handed out from pool_raw
static uint32_t free_blocks[BLOCK_CLASSES];  // per size: a free list's offset, 0 = none
static size_t cells_total = 0;
static int capacity_bound = 0;         // largest capacity handed out
static size_t pool_used_peak = 0;      // most ints ever handed out at once
static size_t free_ints = 0;           // ints in freed blocks
// Pools smaller than this are never rebuilt; larger ones are when freed
// blocks make up one part in TIDY_FREE_SHARE of them.
// Trades the time of a tidy against the peak: tidying at an eighth free
// brought 100,000 balls in a field of 100 from a 95 MB to a 60 MB process
// peak (d7e9f4e).
static const size_t TIDY_MIN_INTS = 1 << 16;
static const size_t TIDY_FREE_SHARE = 8;

// Highest in-range cell coordinate: F.
static inline int cell_limit()
{
    return cell_side - 2;
}

static inline bool cell_in_range(int c, int limit)
{
    return c >= 1 && c <= limit;
}

bool alloc_cell_lists()
{
    free_cell_lists();
    cells_total = cell_stride_x * (size_t)cell_side;
    cell_start = (uint32_t*)std::calloc(cells_total ? cells_total : 1, sizeof(uint32_t));
    advise_huge_pages(cell_start, cells_total * sizeof(uint32_t));
    pool_raw = (int*)std::calloc(POOL_FIRST_INTS, sizeof(int));
    if (!cell_start || !pool_raw) {
        free_cell_lists();
        return false;
    }
    pool_ints = POOL_FIRST_INTS;
    pool_used = 2;  // the empty list: capacity 0, count 0
    cell_pool = pool_raw + 1;
    return true;
}

bool resize_cell_lists(int side)
{
    size_t cells = (size_t)side * (size_t)side * (size_t)side;
    uint32_t* start = (uint32_t*)std::calloc(cells ? cells : 1, sizeof(uint32_t));
    advise_huge_pages(start, cells * sizeof(uint32_t));
    int* raw = (int*)std::calloc(POOL_FIRST_INTS, sizeof(int));
    if (!start || !raw) {
        std::free(start);
        std::free(raw);
        return false;
    }
    free_cell_lists();
    cell_side = side;
    cell_stride_y = (size_t)side;
    cell_stride_x = (size_t)side * (size_t)side;
    cells_total = cells;
    cell_start = start;
    pool_raw = raw;
    pool_ints = POOL_FIRST_INTS;
    pool_used = 2;  // the empty list: capacity 0, count 0
    cell_pool = pool_raw + 1;
    return true;
}

void free_cell_lists()
{
    forget_reach_lists();
    std::free(cell_start);
    std::free(pool_raw);
    cell_start = nullptr;
    pool_raw = nullptr;
    cell_pool = nullptr;
    pool_ints = pool_used = 0;
    cells_total = 0;
    capacity_bound = 0;
    pool_used_peak = 0;
    free_ints = 0;
    std::memset(free_blocks, 0, sizeof free_blocks);
}

size_t cell_lists_peak_bytes()
{
    return cells_total * sizeof(uint32_t) + pool_used_peak * sizeof(int);
}

int cell_capacity_bound()
{
    return capacity_bound;
}

size_t cell_lists_bytes()
{
    return cells_total * sizeof(uint32_t) + pool_ints * sizeof(int);
}

// A block of 2^c ints: its list's offset (count element), or 0 when no
// memory is left. The capacity is set, the count is not.
static uint32_t take_block(int c)
{
    uint32_t o = free_blocks[c];
    size_t size = (size_t)1 << c;
    if (o) {
        free_blocks[c] = (uint32_t)cell_pool[o];
        free_ints -= size;
        return o;
    }
    if (pool_used + size > pool_ints) {
        size_t want = pool_ints * 2;
        while (want < pool_used + size)
            want *= 2;
        // Offsets are 32-bit, counted from cell_pool.
        if (want > (size_t)UINT32_MAX)
            want = (size_t)UINT32_MAX;
        if (want < pool_used + size)
            return 0;
        int* grown = (int*)std::realloc(pool_raw, want * sizeof(int));
        if (!grown)
            return 0;
        pool_raw = grown;
        pool_ints = want;
        advise_huge_pages(pool_raw, pool_ints * sizeof(int));
        cell_pool = pool_raw + 1;
    }
    // The block covers pool_raw[pool_used ..]; its capacity sits first.
    o = (uint32_t)pool_used;
    pool_used += size;
    if (pool_used > pool_used_peak)
        pool_used_peak = pool_used;
    cell_pool[o - 1] = (int)(size - 2);
    if ((int)(size - 2) > capacity_bound)
        capacity_bound = (int)(size - 2);
    return o;
}

static void give_block(uint32_t o)
{
    int c = BLOCK_CLASS_MIN;
    while (((size_t)1 << c) - 2 < (size_t)cell_pool[o - 1])
        ++c;
    cell_pool[o] = (int)free_blocks[c];
    free_blocks[c] = o;
    free_ints += (size_t)1 << c;
}

// Moves the list of cell k to a block with room for more entries, keeping its
// order. False (nothing changed) when no memory is left.
static bool grow_list(size_t k)
{
    uint32_t from = cell_start[k];
    int n = cell_pool[from];
    int c = BLOCK_CLASS_MIN;
    while (c < BLOCK_CLASSES - 1 && ((long long)1 << c) - 2 <= (long long)n)
        ++c;
    if (((long long)1 << c) - 2 <= (long long)n)
        return false;
    uint32_t to = take_block(c);
    if (!to)
        return false;
    std::memcpy(cell_pool + to, cell_pool + from, ((size_t)n + 1) * sizeof(int));
    cell_start[k] = to;
    if (from)
        give_block(from);
    return true;
}

// Ints of the block a list of n entries keeps when the pool is tidied, from
// a block of `size`: halved while the half still has room for twice the
// entries. Lists that are merely full keep their block, so that tidying
// does not make every list grow again at its next entry.
static size_t tidy_block_size(int n, size_t size)
{
    while (size > ((size_t)1 << BLOCK_CLASS_MIN) && size / 2 - 2 >= 2 * (size_t)n)
        size /= 2;
    return size;
}

struct LiveList {
    uint32_t offset;
    size_t cell;
};

void tidy_cell_lists()
{
    if (pool_used < TIDY_MIN_INTS || free_ints * TIDY_FREE_SHARE < pool_used)
        return;
    // The lists in use, in the order they lie in the pool; empty ones are
    // dropped.
    size_t live = 0;
    for (size_t k = 0; k < cells_total; ++k) {
        uint32_t o = cell_start[k];
        if (o && cell_pool[o] == 0)
            cell_start[k] = o = 0;
        live += o != 0;
    }
    LiveList* lists = (LiveList*)std::malloc((live ? live : 1) * sizeof(LiveList));
    if (!lists)
        return;
    size_t at = 0;
    for (size_t k = 0; k < cells_total; ++k)
        if (cell_start[k])
            lists[at++] = LiveList{cell_start[k], k};
    std::sort(lists, lists + live, [](const LiveList& a, const LiveList& b) { return a.offset < b.offset; });
    // Each list slides down in place into its block or a smaller one
    // (capacity, count and entries move; the order of the lists in the pool
    // is kept, so no list is overwritten before it has moved). No second
    // pool is needed, so tidying never raises the peak.
    int* raw = pool_raw;
    size_t used = 2;  // the empty list
    for (size_t i = 0; i < live; ++i) {
        uint32_t o = lists[i].offset;
        int n = raw[o + 1];
        size_t size = tidy_block_size(n, (size_t)raw[o] + 2);
        std::memmove(raw + used + 1, raw + o + 1, ((size_t)n + 1) * sizeof(int));
        raw[used] = (int)(size - 2);
        cell_start[lists[i].cell] = (uint32_t)used;
        used += size;
    }
    std::free(lists);
    pool_used = used;
    free_ints = 0;
    std::memset(free_blocks, 0, sizeof free_blocks);
    // The room above goes back to the system.
    size_t keep = used > POOL_FIRST_INTS ? used : POOL_FIRST_INTS;
    int* shrunk = (int*)std::realloc(pool_raw, keep * sizeof(int));
    if (shrunk) {
        pool_raw = shrunk;
        cell_pool = pool_raw + 1;
        pool_ints = keep;
    }
}

bool cell_insert(int x, int y, int z, int ball)
{
    size_t k = cell_index(x, y, z);
    int n = cell_count(k);
    if (n >= cell_list_capacity(k) && !grow_list(k))
        return false;
    int* list = cell_pool + cell_start[k];
    list[n + 1] = ball;
    list[0] = n + 1;
    return true;
}

bool cell_remove(int x, int y, int z, int ball)
{
    size_t k = cell_index(x, y, z);
    int* list = cell_pool + cell_start[k];
    int n = list[0];
    // The whole list is scanned, last entry included, so that a ball that is
    // not there leaves the list untouched instead of losing its last entry.
    for (int s = 1; s <= n; ++s) {
        if (list[s] == ball) {
            list[s] = list[n];
            list[0] = n - 1;
            return true;
        }
    }
    return false;
}

// Calls visit(u, v, w) for every in-range cell of the 3x3x3 block around
// (x, y, z), from the high corner down: the order the lists depend on.
template <typename Visit>
static inline void for_each_block_cell(int x, int y, int z, Visit visit)
{
    int limit = cell_limit();
    for (int u = x + 1; u >= x - 1; --u) {
        if (!cell_in_range(u, limit))
            continue;
        for (int v = y + 1; v >= y - 1; --v) {
            if (!cell_in_range(v, limit))
                continue;
            for (int w = z + 1; w >= z - 1; --w) {
                if (cell_in_range(w, limit))
                    visit(u, v, w);
            }
        }
    }
}

bool block_reserve(int x, int y, int z)
{
    bool ok = true;
    for_each_block_cell(x, y, z, [&](int u, int v, int w) {
        size_t k = cell_index(u, v, w);
        if (ok && cell_count(k) >= cell_list_capacity(k))
            ok = grow_list(k);
    });
    return ok;
}

bool block_insert(int x, int y, int z, int ball)
{
    // Room first, so that the ball is entered in the whole block or nowhere.
    if (!block_reserve(x, y, z))
        return false;
    note_block_change(x, y, z);
    for_each_block_cell(x, y, z, [&](int u, int v, int w) { cell_insert(u, v, w, ball); });
    return true;
}

void block_remove(int x, int y, int z, int ball)
{
    note_block_change(x, y, z);
    for_each_block_cell(x, y, z, [&](int u, int v, int w) { cell_remove(u, v, w, ball); });
}

void block_release_empty(int x, int y, int z)
{
    for_each_block_cell(x, y, z, [&](int u, int v, int w) {
        size_t k = cell_index(u, v, w);
        uint32_t o = cell_start[k];
        if (o && cell_pool[o] == 0) {
            give_block(o);
            cell_start[k] = 0;
        }
    });
}

void prefetch_block_offsets(int x, int y, int z)
{
    // A block's offsets lie in nine runs of three along z.
    for (int u = x - 1; u <= x + 1; ++u)
        for (int v = y - 1; v <= y + 1; ++v) {
            const uint32_t* row = cell_start + cell_index(u, v, z - 1);
            __builtin_prefetch(row);
            __builtin_prefetch(row + 2);
        }
}

void prefetch_block_lists(int x, int y, int z)
{
    for (int u = x - 1; u <= x + 1; ++u)
        for (int v = y - 1; v <= y + 1; ++v)
            for (int w = z - 1; w <= z + 1; ++w) {
                // Capacity, count and the first few dozen entries.
                const char* list = (const char*)(cell_pool + cell_start[cell_index(u, v, w)] - 1);
                __builtin_prefetch(list, 1);
                __builtin_prefetch(list + 64, 1);
                __builtin_prefetch(list + 128, 1);
            }
}

// ---------------------------------------------------------------------------
// Invariant check
// ---------------------------------------------------------------------------

// Writes the description of a fault (256 bytes) and returns false.
__attribute__((format(printf, 2, 3))) static bool report(char* fault, const char* format, ...)
{
    if (fault) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(fault, 256, format, args);
        va_end(args);
    }
    return false;
}

// Cells of the block around (x, y, z) that lie in range.
static long long block_cell_count(int x, int y, int z, int limit)
{
    long long count = 1;
    int centre[3] = {x, y, z};
    for (int c : centre) {
        int along = 0;
        for (int d = c - 1; d <= c + 1; ++d)
            along += cell_in_range(d, limit);
        count *= along;
    }
    return count;
}

bool check_cell_lists(char* fault)
{
    if (ball_count > 0 && !cell_start)
        return report(fault, "no neighbour table for %d balls", ball_count);
    if (!cell_start)
        return true;
    int limit = cell_limit();
    long long expected_entries = 0;
    for (int b = 0; b < ball_count; ++b) {
        CellCoord c = ball_cell[b];
        if (!cell_in_range(c.x, limit) || !cell_in_range(c.y, limit) || !cell_in_range(c.z, limit))
            return report(fault, "ball %d is registered around cell (%d, %d, %d), outside the field",
                          b, c.x, c.y, c.z);
        expected_entries += block_cell_count(c.x, c.y, c.z, limit);
    }

    // Each entry must be a ball whose block covers the cell, at most once per
    // list; with the total equal to the sum of the block sizes, every ball
    // then sits in exactly the lists of its block.
    std::vector<long long> seen_in((size_t)ball_count, -1);
    long long entries = 0;
    for (int x = 0; x < cell_side; ++x) {
        for (int y = 0; y < cell_side; ++y) {
            for (int z = 0; z < cell_side; ++z) {
                size_t k = cell_index(x, y, z);
                uint32_t o = cell_start[k];
                if (o != 0 && (o < 2 || o >= pool_used))
                    return report(fault, "cell (%d, %d, %d) has its list at %u, outside the pool", x,
                                  y, z, (unsigned)o);
                int n = cell_count(k);
                if (n < 0 || n > cell_list_capacity(k) || o + (size_t)cell_list_capacity(k) >= pool_used)
                    return report(fault, "cell (%d, %d, %d) holds %d entries, capacity %d", x, y, z,
                                  n, cell_list_capacity(k));
                bool inside = cell_in_range(x, limit) && cell_in_range(y, limit) &&
                              cell_in_range(z, limit);
                if (!inside && n != 0)
                    return report(fault, "margin cell (%d, %d, %d) holds %d entries", x, y, z, n);
                const int* list = cell_list(k);
                for (int s = 1; s <= n; ++s) {
                    int b = list[s];
                    if (b < 0 || b >= ball_count)
                        return report(fault, "cell (%d, %d, %d) slot %d holds ball number %d", x, y,
                                      z, s, b);
                    CellCoord c = ball_cell[b];
                    if (std::abs(c.x - x) > 1 || std::abs(c.y - y) > 1 || std::abs(c.z - z) > 1)
                        return report(fault, "cell (%d, %d, %d) lists ball %d, registered around (%d, %d, %d)",
                                      x, y, z, b, c.x, c.y, c.z);
                    if (seen_in[(size_t)b] == (long long)k)
                        return report(fault, "cell (%d, %d, %d) lists ball %d twice", x, y, z, b);
                    seen_in[(size_t)b] = (long long)k;
                }
                entries += n;
            }
        }
    }
    if (entries != expected_entries)
        return report(fault, "the lists hold %lld entries, the balls' blocks %lld", entries,
                      expected_entries);
    return true;
}
