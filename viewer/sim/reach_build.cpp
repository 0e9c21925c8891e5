// Building the reach lists, and checking them (see reach_lists.h).
#include "reach_lists.h"
#include "reach_state.h"

#include <cstdio>

#if defined(__GNUC__) && defined(__x86_64__)
// GCC 12's AVX-512 headers leave the undefined source of some operations
// uninitialised on purpose and then warn about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

#if defined(__GNUC__) && defined(__x86_64__)
// Ball i's reach list from `list` into slot, sixteen entries at a time:
// the count, or -1 when it overflows. Distances in float, with a little
// room, so that an entry in reach is never left out (keeping one just out of
// reach is harmless). Anchors are finite positions.
__attribute__((target("avx512f"))) static int fill_reach_slot_wide(const float* anchor, int i, const int* list, int* slot)
{
    const float* a = anchor + 4 * (size_t)i;
    const __m512 ax = _mm512_set1_ps(a[0]), ay = _mm512_set1_ps(a[1]), az = _mm512_set1_ps(a[2]);
    const __m512 reach = _mm512_set1_ps(1.0f + a[3]);
    const __m512 room = _mm512_set1_ps(1.0f + 1.0f / 4096);
    const __m512i self = _mm512_set1_epi32(i);
    const int count = list[0];
    int n = 0;
    for (int s = 1; s <= count; s += 16) {
        int left = count - s + 1;
        __mmask16 lanes = (__mmask16)(left >= 16 ? 0xffff : (1u << left) - 1);
        __m512i j = _mm512_maskz_loadu_epi32(lanes, list + s);
        lanes = _mm512_mask_cmpneq_epi32_mask(lanes, j, self);
        __m512i at = _mm512_slli_epi32(j, 2);
        __m512 bx = _mm512_mask_i32gather_ps(ax, lanes, at, anchor, 4);
        __m512 by = _mm512_mask_i32gather_ps(ay, lanes, at, anchor + 1, 4);
        __m512 bz = _mm512_mask_i32gather_ps(az, lanes, at, anchor + 2, 4);
        __m512 bb = _mm512_mask_i32gather_ps(ax, lanes, at, anchor + 3, 4);
        __m512 dx = _mm512_sub_ps(ax, bx), dy = _mm512_sub_ps(ay, by), dz = _mm512_sub_ps(az, bz);
        __m512 d2 = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(dx, dx), _mm512_mul_ps(dy, dy)), _mm512_mul_ps(dz, dz));
        __m512 r = _mm512_add_ps(reach, bb);
        __mmask16 keep = _mm512_mask_cmp_ps_mask(lanes, d2, _mm512_mul_ps(_mm512_mul_ps(r, r), room), _CMP_LE_OQ);
        int kept = __builtin_popcount(keep);
        if (n + kept > REACH_SLOT - 1)
            return -1;
        _mm512_mask_compressstoreu_epi32(slot + 1 + n, keep, j);
        n += kept;
    }
    return n;
}
#endif

// The same one entry at a time, in double.
static int fill_reach_slot_plain(const float* anchor, int i, const int* list, int* slot)
{
    const float* a = anchor + 4 * (size_t)i;
    int n = 0;
    for (int s = 1; s <= list[0]; ++s) {
        int j = list[s];
        const float* b = anchor + 4 * (size_t)j;
        double dx = (double)a[0] - b[0], dy = (double)a[1] - b[1], dz = (double)a[2] - b[2];
        double r = 1.0 + (double)a[3] + b[3];
        if (j == i || dx * dx + dy * dy + dz * dz > r * r)
            continue;
        if (n == REACH_SLOT - 1)
            return -1;
        slot[++n] = j;
    }
    return n;
}

// Builds ball i's reach list from `list`, its cell's list, and the anchors.
static void fill_reach_list(SimState* s, int i, const int* list)
{
    int* slot = s->rs.pool + (size_t)i * REACH_SLOT;
    bool was_overflowing = slot[0] < 0;
#if defined(__GNUC__) && defined(__x86_64__)
    // Eight lanes asked for: as on a processor with AVX2 alone.
    static const bool sixteen = wide_walks_supported();
    int n = sixteen && s->repel_path != REPEL_WIDE8 ? fill_reach_slot_wide(s->rs.anchor, i, list, slot)
                                                    : fill_reach_slot_plain(s->rs.anchor, i, list, slot);
#else
    int n = fill_reach_slot_plain(s->rs.anchor, i, list, slot);
#endif
    slot[0] = n;
    s->rs.overflowing += (n < 0) - was_overflowing;
    ++s->reach_counts.rebuilt;
}

void build_reach_list(SimState* s, int i)
{
    CellCoord c = s->ball_cell[i];
    fill_reach_list(s, i, cell_list(s, cell_index(s, c.x, c.y, c.z)));
}

// Builds the lists of balls ball_of(0 .. count - 1). Their data lie all
// over the arrays: each ball's cell, where its cell's list starts, the
// list, and the anchors it names are fetched early, in stages
// REACH_BUILD_AHEAD lists apart. A ring keeps what each stage found (the
// cell's index, then the list) for the stages after it.
// Trades time for the fetches to land against a longer ring; no figure was
// recorded for 6 apart from the deep-heap change as a whole (2c44e5b).
static const int REACH_BUILD_AHEAD = 6;
template <typename BallOf>
static void build_reach_lists(SimState* s, int count, BallOf ball_of)
{
    const CellCoord* const ball_cell = s->ball_cell;
    const uint32_t* const cell_start = s->cell_start;
    const float* const anchor = s->rs.anchor;
    const int d = REACH_BUILD_AHEAD;
    const int RING = 32;  // more than the 3d + 1 lists in flight
    size_t cell_at[RING];
    const int* list_at[RING];
    auto find_cell = [&](int m) {
        CellCoord c = ball_cell[ball_of(m)];
        cell_at[m % RING] = cell_index(s, c.x, c.y, c.z);
    };
    auto find_list = [&](int m) { list_at[m % RING] = cell_list(s, cell_at[m % RING]); };
    for (int m = 0; m < 3 * d && m < count; ++m)
        find_cell(m);
    for (int m = 0; m < 2 * d && m < count; ++m)
        find_list(m);
    for (int m = 0; m < count; ++m) {
        if (m + 4 * d < count)
            __builtin_prefetch(&ball_cell[ball_of(m + 4 * d)]);
        if (m + 3 * d < count) {
            find_cell(m + 3 * d);
            __builtin_prefetch(&cell_start[cell_at[(m + 3 * d) % RING]]);
        }
        if (m + 2 * d < count) {
            find_list(m + 2 * d);
            const int* list = list_at[(m + 2 * d) % RING];
            for (int k = 0; k < 4; ++k)
                __builtin_prefetch(list + 16 * k);
        }
        if (m + d < count) {
            const int* list = list_at[(m + d) % RING];
            for (int k = 1; k <= list[0]; ++k)
                __builtin_prefetch(anchor + 4 * (size_t)list[k]);
        }
        fill_reach_list(s, ball_of(m), list_at[m % RING]);
    }
}

void build_all_reach_lists(SimState* s)
{
    for (size_t i = 0; i < (size_t)s->rs.balls; ++i)
        s->rs.pool[i * REACH_SLOT] = 0;
    build_reach_lists(s, s->rs.balls, [](int m) { return m; });
}

void build_dirty_reach_lists(SimState* s)
{
    const int* dirty = s->rs.dirty;
    for (int m = 0; m < s->rs.dirty_count; ++m)
        s->rs.marked[dirty[m]] = 0;
    build_reach_lists(s, s->rs.dirty_count, [dirty](int m) { return dirty[m]; });
    s->rs.dirty_count = 0;
}

bool check_reach_lists(const SimState* s, char* fault)
{
    auto fail = [&](int i, const char* what) {
        if (fault)
            std::snprintf(fault, 256, "ball %d: %s", i, what);
        return false;
    };
    if (!s->rs.pool || s->rs.all_dirty || s->rs.balls != s->ball_count)
        return true;
    for (int i = 0; i < s->rs.balls; ++i) {
        const int* slot = s->rs.pool + (size_t)i * REACH_SLOT;
        if (s->rs.marked[i] || slot[0] < 0)
            continue;
        CellCoord c = s->ball_cell[i];
        const int* list = cell_list(s, cell_index(s, c.x, c.y, c.z));
        const float* a = s->rs.anchor + 4 * (size_t)i;
        // The slot must be the list with entries left out, in the same order,
        // and leave out only entries out of reach.
        int k = 1;
        for (int e = 1; e <= list[0]; ++e) {
            int j = list[e];
            if (k <= slot[0] && slot[k] == j) {
                ++k;
                continue;
            }
            const float* b = s->rs.anchor + 4 * (size_t)j;
            double dx = (double)a[0] - b[0], dy = (double)a[1] - b[1], dz = (double)a[2] - b[2];
            double r = 1.0 + (double)a[3] + b[3];
            if (j != i && dx * dx + dy * dy + dz * dz <= r * r)
                return fail(i, "an entry in reach is missing from its reach list");
        }
        if (k <= slot[0])
            return fail(i, "its reach list names a ball not in its cell's list, or out of order");
    }
    return true;
}
