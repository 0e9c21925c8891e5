// Neighbour cell lists: every ball is entered in the lists of the 3×3×3 block
// of unit cells around its own, so one list holds all candidates of a ball.
//
// List order is part of the results (the repulsion pass walks each list from
// its last entry down), so an insertion appends and a removal moves the last
// entry into the freed slot. Every cell has cell_capacity slots of which slot
// 0 is unused. When a list would outgrow them, the whole table is rebuilt with
// more slots per cell, each list copied in order; a settled simulation thus
// stops allocating once the table fits its most crowded list.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "balls.h"

// Highest in-range cell coordinate: F.
static inline int cell_limit()
{
    return cell_side - 2;
}

static inline bool cell_in_range(int c, int limit)
{
    return c >= 1 && c <= limit;
}

// Rebuilds the table with at least `min_capacity` slots per cell, usually
// half as many again as now, never more than a list can need.
static bool grow_cell_table(int min_capacity)
{
    long long want = (long long)cell_capacity + cell_capacity / 2 + 1;
    long long most = (long long)ball_count + 1;
    if (want > most)
        want = most;
    if (want < min_capacity)
        want = min_capacity;
    if (want > INT32_MAX)
        return false;
    size_t cells = cell_stride_x * (size_t)cell_side;
    size_t capacity = (size_t)want;
    if (cells != 0 && capacity > SIZE_MAX / sizeof(int) / cells)
        return false;
    int* slots = (int*)std::malloc(cells * capacity * sizeof(int));
    if (!slots)
        return false;
    size_t old_capacity = (size_t)cell_capacity;
    for (size_t k = 0; k < cells; ++k) {
        int n = cell_counts[k];
        const int* from = cell_slots + k * old_capacity;
        int* to = slots + k * capacity;
        for (int s = 1; s <= n; ++s)
            to[s] = from[s];
    }
    std::free(cell_slots);
    cell_slots = slots;
    cell_capacity = (int)want;
    return true;
}

bool cell_insert(int x, int y, int z, int ball)
{
    size_t k = cell_index(x, y, z);
    int n = cell_counts[k];
    if (n + 1 >= cell_capacity && !grow_cell_table(n + 2))
        return false;
    n += 1;
    cell_counts[k] = n;
    cell_slots[k * (size_t)cell_capacity + (size_t)n] = ball;
    return true;
}

bool cell_remove(int x, int y, int z, int ball)
{
    size_t k = cell_index(x, y, z);
    int n = cell_counts[k];
    int* list = cell_slots + k * (size_t)cell_capacity;
    // The whole list is scanned, last entry included, so that a ball that is
    // not there leaves the list untouched instead of losing its last entry.
    for (int s = 1; s <= n; ++s) {
        if (list[s] == ball) {
            list[s] = list[n];
            cell_counts[k] = n - 1;
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
    int fullest = 0;
    for_each_block_cell(x, y, z, [&](int u, int v, int w) {
        int n = cell_counts[cell_index(u, v, w)];
        if (n > fullest)
            fullest = n;
    });
    if (fullest + 1 < cell_capacity)
        return true;
    return grow_cell_table(fullest + 2);
}

bool block_insert(int x, int y, int z, int ball)
{
    // Room first, so that the ball is entered in the whole block or nowhere.
    if (!block_reserve(x, y, z))
        return false;
    for_each_block_cell(x, y, z, [&](int u, int v, int w) { cell_insert(u, v, w, ball); });
    return true;
}

void block_remove(int x, int y, int z, int ball)
{
    for_each_block_cell(x, y, z, [&](int u, int v, int w) { cell_remove(u, v, w, ball); });
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
    if (ball_count > 0 && (!cell_counts || !cell_slots))
        return report(fault, "no neighbour table for %d balls", ball_count);
    if (!cell_counts)
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
    size_t capacity = (size_t)cell_capacity;
    for (int x = 0; x < cell_side; ++x) {
        for (int y = 0; y < cell_side; ++y) {
            for (int z = 0; z < cell_side; ++z) {
                size_t k = cell_index(x, y, z);
                int n = cell_counts[k];
                if (n < 0 || n >= cell_capacity)
                    return report(fault, "cell (%d, %d, %d) holds %d entries, capacity %d", x, y, z,
                                  n, cell_capacity);
                bool inside = cell_in_range(x, limit) && cell_in_range(y, limit) &&
                              cell_in_range(z, limit);
                if (!inside && n != 0)
                    return report(fault, "margin cell (%d, %d, %d) holds %d entries", x, y, z, n);
                const int* list = cell_slots + k * capacity;
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
