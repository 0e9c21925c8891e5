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

// Sizes of blocks: 2^c ints, c from BLOCK_CLASS_MIN. The pool is addressed by
// 32-bit offsets. The smallest block (4 ints) and the first pool (16 KB)
// trade room wasted in sparse lists against more moves while lists grow; no
// figure was recorded for them (85866f7).
static const int BLOCK_CLASS_MIN = 2;
static const int BLOCK_CLASSES = CELL_BLOCK_CLASSES;
static const size_t POOL_FIRST_INTS = 1 << 12;

// The table's bookkeeping is s->cells (CellTable, sim_state.h).

// Pools smaller than this are never rebuilt; larger ones are when freed
// blocks make up one part in TIDY_FREE_SHARE of them.
// Trades the time of a tidy against the peak: tidying at an eighth free
// brought 100,000 balls in a field of 100 from a 95 MB to a 60 MB process
// peak (d7e9f4e).
static const size_t TIDY_MIN_INTS = 1 << 16;
static const size_t TIDY_FREE_SHARE = 8;

// Highest in-range cell coordinate: F.
static inline int cell_limit(const SimState* s)
{
    return s->cell_side - 2;
}

static inline bool cell_in_range(int c, int limit)
{
    return c >= 1 && c <= limit;
}

bool alloc_cell_lists(SimState* s)
{
    free_cell_lists(s);
    s->cells.cells_total = s->cell_stride_x * (size_t)s->cell_side;
    s->cell_start = (uint32_t*)std::calloc(s->cells.cells_total ? s->cells.cells_total : 1, sizeof(uint32_t));
    advise_huge_pages(s->cell_start, s->cells.cells_total * sizeof(uint32_t));
    s->cells.pool_raw = (int*)std::calloc(POOL_FIRST_INTS, sizeof(int));
    if (!s->cell_start || !s->cells.pool_raw) {
        free_cell_lists(s);
        return false;
    }
    s->cells.pool_ints = POOL_FIRST_INTS;
    s->cells.pool_used = 2;  // the empty list: capacity 0, count 0
    s->cell_pool = s->cells.pool_raw + 1;
    return true;
}

bool resize_cell_lists(SimState* s, int side)
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
    free_cell_lists(s);
    s->cell_side = side;
    s->cell_stride_y = (size_t)side;
    s->cell_stride_x = (size_t)side * (size_t)side;
    s->cells.cells_total = cells;
    s->cell_start = start;
    s->cells.pool_raw = raw;
    s->cells.pool_ints = POOL_FIRST_INTS;
    s->cells.pool_used = 2;  // the empty list: capacity 0, count 0
    s->cell_pool = s->cells.pool_raw + 1;
    return true;
}

void free_cell_lists(SimState* s)
{
    forget_reach_lists(s);
    // Whoever sets up a table fills it: the ordered engine then takes the
    // balls in afresh.
    s->lists_stale = false;
    std::free(s->cell_start);
    std::free(s->cells.pool_raw);
    s->cell_start = nullptr;
    s->cells.pool_raw = nullptr;
    s->cell_pool = nullptr;
    s->cells.pool_ints = s->cells.pool_used = 0;
    s->cells.cells_total = 0;
    s->cells.capacity_bound = 0;
    s->cells.pool_used_peak = 0;
    s->cells.free_ints = 0;
    std::memset(s->cells.free_blocks, 0, sizeof s->cells.free_blocks);
}

size_t cell_lists_peak_bytes(const SimState* s)
{
    return s->cells.cells_total * sizeof(uint32_t) + s->cells.pool_used_peak * sizeof(int);
}

int cell_capacity_bound(const SimState* s)
{
    return s->cells.capacity_bound;
}

void note_partner_limit(SimState* s)
{
    if (s->partner_limit_hit || s->cells.capacity_bound <= s->partner_limit)
        return;
    for (int i = 0; i < s->ball_count; ++i) {
        CellCoord c = s->ball_cell[i];
        if (cell_count(s, cell_index(s, c.x, c.y, c.z)) > s->partner_limit) {
            s->partner_limit_hit = true;
            return;
        }
    }
}

size_t cell_lists_bytes(const SimState* s)
{
    return s->cells.cells_total * sizeof(uint32_t) + s->cells.pool_ints * sizeof(int);
}

// A block of 2^c ints: its list's offset (count element), or 0 when no
// memory is left. The capacity is set, the count is not.
static uint32_t take_block(SimState* s, int c)
{
    uint32_t o = s->cells.free_blocks[c];
    size_t size = (size_t)1 << c;
    if (o) {
        s->cells.free_blocks[c] = (uint32_t)s->cell_pool[o];
        s->cells.free_ints -= size;
        return o;
    }
    if (s->cells.pool_used + size > s->cells.pool_ints) {
        size_t want = s->cells.pool_ints * 2;
        while (want < s->cells.pool_used + size)
            want *= 2;
        // Offsets are 32-bit, counted from s->cell_pool.
        if (want > (size_t)UINT32_MAX)
            want = (size_t)UINT32_MAX;
        if (want < s->cells.pool_used + size)
            return 0;
        int* grown = (int*)std::realloc(s->cells.pool_raw, want * sizeof(int));
        if (!grown)
            return 0;
        s->cells.pool_raw = grown;
        s->cells.pool_ints = want;
        advise_huge_pages(s->cells.pool_raw, s->cells.pool_ints * sizeof(int));
        s->cell_pool = s->cells.pool_raw + 1;
    }
    // The block covers s->cells.pool_raw[s->cells.pool_used ..]; its capacity sits first.
    o = (uint32_t)s->cells.pool_used;
    s->cells.pool_used += size;
    if (s->cells.pool_used > s->cells.pool_used_peak)
        s->cells.pool_used_peak = s->cells.pool_used;
    s->cell_pool[o - 1] = (int)(size - 2);
    if ((int)(size - 2) > s->cells.capacity_bound)
        s->cells.capacity_bound = (int)(size - 2);
    return o;
}

static void give_block(SimState* s, uint32_t o)
{
    int c = BLOCK_CLASS_MIN;
    while (((size_t)1 << c) - 2 < (size_t)s->cell_pool[o - 1])
        ++c;
    s->cell_pool[o] = (int)s->cells.free_blocks[c];
    s->cells.free_blocks[c] = o;
    s->cells.free_ints += (size_t)1 << c;
}

// Moves the list of cell k to a block with room for more entries, keeping its
// order. False (nothing changed) when no memory is left.
static bool grow_list(SimState* s, size_t k)
{
    uint32_t from = s->cell_start[k];
    int n = s->cell_pool[from];
    int c = BLOCK_CLASS_MIN;
    while (c < BLOCK_CLASSES - 1 && ((long long)1 << c) - 2 <= (long long)n)
        ++c;
    if (((long long)1 << c) - 2 <= (long long)n)
        return false;
    uint32_t to = take_block(s, c);
    if (!to)
        return false;
    std::memcpy(s->cell_pool + to, s->cell_pool + from, ((size_t)n + 1) * sizeof(int));
    s->cell_start[k] = to;
    if (from)
        give_block(s, from);
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

void tidy_cell_lists(SimState* s)
{
    if (s->cells.pool_used < TIDY_MIN_INTS || s->cells.free_ints * TIDY_FREE_SHARE < s->cells.pool_used)
        return;
    // The lists in use, in the order they lie in the pool; empty ones are
    // dropped.
    size_t live = 0;
    for (size_t k = 0; k < s->cells.cells_total; ++k) {
        uint32_t o = s->cell_start[k];
        if (o && s->cell_pool[o] == 0)
            s->cell_start[k] = o = 0;
        live += o != 0;
    }
    LiveList* lists = (LiveList*)std::malloc((live ? live : 1) * sizeof(LiveList));
    if (!lists)
        return;
    size_t at = 0;
    for (size_t k = 0; k < s->cells.cells_total; ++k)
        if (s->cell_start[k])
            lists[at++] = LiveList{s->cell_start[k], k};
    std::sort(lists, lists + live, [](const LiveList& a, const LiveList& b) { return a.offset < b.offset; });
    // Each list slides down in place into its block or a smaller one
    // (capacity, count and entries move; the order of the lists in the pool
    // is kept, so no list is overwritten before it has moved). No second
    // pool is needed, so tidying never raises the peak.
    int* raw = s->cells.pool_raw;
    size_t used = 2;  // the empty list
    for (size_t i = 0; i < live; ++i) {
        uint32_t o = lists[i].offset;
        int n = raw[o + 1];
        size_t size = tidy_block_size(n, (size_t)raw[o] + 2);
        std::memmove(raw + used + 1, raw + o + 1, ((size_t)n + 1) * sizeof(int));
        raw[used] = (int)(size - 2);
        s->cell_start[lists[i].cell] = (uint32_t)used;
        used += size;
    }
    std::free(lists);
    s->cells.pool_used = used;
    s->cells.free_ints = 0;
    std::memset(s->cells.free_blocks, 0, sizeof s->cells.free_blocks);
    // The room above goes back to the system.
    size_t keep = used > POOL_FIRST_INTS ? used : POOL_FIRST_INTS;
    int* shrunk = (int*)std::realloc(s->cells.pool_raw, keep * sizeof(int));
    if (shrunk) {
        s->cells.pool_raw = shrunk;
        s->cell_pool = s->cells.pool_raw + 1;
        s->cells.pool_ints = keep;
    }
}

bool cell_insert(SimState* s, int x, int y, int z, int ball)
{
    size_t k = cell_index(s, x, y, z);
    int n = cell_count(s, k);
    if (n >= cell_list_capacity(s, k) && !grow_list(s, k))
        return false;
    int* list = s->cell_pool + s->cell_start[k];
    list[n + 1] = ball;
    list[0] = n + 1;
    return true;
}

bool cell_remove(SimState* s, int x, int y, int z, int ball)
{
    size_t k = cell_index(s, x, y, z);
    int* list = s->cell_pool + s->cell_start[k];
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
static inline void for_each_block_cell(const SimState* s, int x, int y, int z, Visit visit)
{
    int limit = cell_limit(s);
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

bool block_reserve(SimState* s, int x, int y, int z)
{
    bool ok = true;
    for_each_block_cell(s, x, y, z, [&](int u, int v, int w) {
        size_t k = cell_index(s, u, v, w);
        if (ok && cell_count(s, k) >= cell_list_capacity(s, k))
            ok = grow_list(s, k);
    });
    return ok;
}

bool block_insert(SimState* s, int x, int y, int z, int ball)
{
    // Room first, so that the ball is entered in the whole block or nowhere.
    if (!block_reserve(s, x, y, z))
        return false;
    note_block_change(s, x, y, z);
    for_each_block_cell(s, x, y, z, [&](int u, int v, int w) { cell_insert(s, u, v, w, ball); });
    return true;
}

void block_remove(SimState* s, int x, int y, int z, int ball)
{
    note_block_change(s, x, y, z);
    for_each_block_cell(s, x, y, z, [&](int u, int v, int w) { cell_remove(s, u, v, w, ball); });
}

void block_release_empty(SimState* s, int x, int y, int z)
{
    for_each_block_cell(s, x, y, z, [&](int u, int v, int w) {
        size_t k = cell_index(s, u, v, w);
        uint32_t o = s->cell_start[k];
        if (o && s->cell_pool[o] == 0) {
            give_block(s, o);
            s->cell_start[k] = 0;
        }
    });
}

void prefetch_block_offsets(const SimState* s, int x, int y, int z)
{
    // A block's offsets lie in nine runs of three along z.
    for (int u = x - 1; u <= x + 1; ++u)
        for (int v = y - 1; v <= y + 1; ++v) {
            const uint32_t* row = s->cell_start + cell_index(s, u, v, z - 1);
            __builtin_prefetch(row);
            __builtin_prefetch(row + 2);
        }
}

void prefetch_block_lists(const SimState* s, int x, int y, int z)
{
    for (int u = x - 1; u <= x + 1; ++u)
        for (int v = y - 1; v <= y + 1; ++v)
            for (int w = z - 1; w <= z + 1; ++w) {
                // Capacity, count and the first few dozen entries.
                const char* list = (const char*)(s->cell_pool + s->cell_start[cell_index(s, u, v, w)] - 1);
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

bool check_cell_lists(const SimState* s, char* fault)
{
    if (s->ball_count > 0 && !s->cell_start)
        return report(fault, "no neighbour table for %d balls", s->ball_count);
    if (!s->cell_start)
        return true;
    int limit = cell_limit(s);
    long long expected_entries = 0;
    for (int b = 0; b < s->ball_count; ++b) {
        CellCoord c = s->ball_cell[b];
        if (!cell_in_range(c.x, limit) || !cell_in_range(c.y, limit) || !cell_in_range(c.z, limit))
            return report(fault, "ball %d is registered around cell (%d, %d, %d), outside the field",
                          b, c.x, c.y, c.z);
        expected_entries += block_cell_count(c.x, c.y, c.z, limit);
    }

    // Each entry must be a ball whose block covers the cell, at most once per
    // list; with the total equal to the sum of the block sizes, every ball
    // then sits in exactly the lists of its block.
    std::vector<long long> seen_in((size_t)s->ball_count, -1);
    long long entries = 0;
    for (int x = 0; x < s->cell_side; ++x) {
        for (int y = 0; y < s->cell_side; ++y) {
            for (int z = 0; z < s->cell_side; ++z) {
                size_t k = cell_index(s, x, y, z);
                uint32_t o = s->cell_start[k];
                if (o != 0 && (o < 2 || o >= s->cells.pool_used))
                    return report(fault, "cell (%d, %d, %d) has its list at %u, outside the pool", x,
                                  y, z, (unsigned)o);
                int n = cell_count(s, k);
                if (n < 0 || n > cell_list_capacity(s, k) || o + (size_t)cell_list_capacity(s, k) >= s->cells.pool_used)
                    return report(fault, "cell (%d, %d, %d) holds %d entries, capacity %d", x, y, z,
                                  n, cell_list_capacity(s, k));
                bool inside = cell_in_range(x, limit) && cell_in_range(y, limit) &&
                              cell_in_range(z, limit);
                if (!inside && n != 0)
                    return report(fault, "margin cell (%d, %d, %d) holds %d entries", x, y, z, n);
                const int* list = cell_list(s, k);
                for (int slot = 1; slot <= n; ++slot) {
                    int b = list[slot];
                    if (b < 0 || b >= s->ball_count)
                        return report(fault, "cell (%d, %d, %d) slot %d holds ball number %d", x, y,
                                      z, slot, b);
                    CellCoord c = s->ball_cell[b];
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
