// Building the reach lists, and checking them (see reach_lists.h).
#include "reach_lists.h"
#include "reach_state.h"

#include <cstdio>

#include "lanes.h"

#if KSM_HAVE_LANES
// Ball i's reach list from `list` into slot, a lane per entry: the count,
// or -1 when it overflows. Distances in float, with a little room, so that an
// entry in reach is never left out (keeping one just out of reach is
// harmless). Anchors are finite positions, four floats a ball. Sixteen
// AVX-512 lanes only: the packed store has no AVX2 form.
template <class L>
KSM_LANES16_TARGET static int fill_reach_slot_lanes(int i, const int* list, int* slot, const float* anchor)
{
    typedef typename L::F F;
    typedef typename L::I I;
    typedef typename L::M M;
    const float* a = anchor + 4 * (size_t)i;
    const F ax = L::splat(a[0]), ay = L::splat(a[1]), az = L::splat(a[2]);
    const F reach = L::splat(1.0f + a[3]);
    const F room = L::splat(1.0f + 1.0f / 4096);
    const I self = L::splat(i);
    const int count = list[0];
    int n = 0;
    for (int s = 1; s <= count; s += L::WIDTH) {
        int left = count - s + 1;
        unsigned lanes = left >= L::WIDTH ? (1u << L::WIDTH) - 1 : (1u << left) - 1;
        I j = L::load_where(L::mask(lanes), list + s);
        lanes &= bits(unequal(j, self));
        M m = L::mask(lanes);
        I at = shift_left<2>(j);
        F bx = gather_where(ax, m, at, anchor);
        F by = gather_where(ay, m, at, anchor + 1);
        F bz = gather_where(az, m, at, anchor + 2);
        F bb = gather_where(ax, m, at, anchor + 3);
        F dx = sub(ax, bx), dy = sub(ay, by), dz = sub(az, bz);
        F d2 = add(add(mul(dx, dx), mul(dy, dy)), mul(dz, dz));
        F r = add(reach, bb);
        unsigned keep = lanes & bits(at_most(d2, mul(mul(r, r), room)));
        int kept = __builtin_popcount(keep);
        if (n + kept > REACH_SLOT - 1)
            return -1;
        store_packed(slot + 1 + n, L::mask(keep), j);
        n += kept;
    }
    return n;
}
#endif

// Whether the anchors a and b lie further apart than 1 + both budgets, in
// double: the test of the plain build and of the check.
static inline bool anchors_apart(const float* a, const float* b)
{
    double dx = (double)a[0] - b[0], dy = (double)a[1] - b[1], dz = (double)a[2] - b[2];
    double r = 1.0 + (double)a[3] + b[3];
    return dx * dx + dy * dy + dz * dz > r * r;
}

// The same one entry at a time, in double.
static int fill_reach_slot_plain(int i, const int* list, int* slot, const float* anchor)
{
    const float* a = anchor + 4 * (size_t)i;
    int n = 0;
    for (int s = 1; s <= list[0]; ++s) {
        int j = list[s];
        if (j == i || anchors_apart(a, anchor + 4 * (size_t)j))
            continue;
        if (n == REACH_SLOT - 1)
            return -1;
        slot[++n] = j;
    }
    return n;
}

// Whether the lists are built in sixteen lanes: when the pass's plan walks
// in sixteen (choose_plan gives such a plan only where the processor has them).
static bool reach_fill_in_lanes(const SimState* s)
{
    return s->rs.lanes == 16;
}

// Builds ball i's reach list from `list`, its cell's list, and the anchors.
// A list longer than the partner limit counts as overflowing: its walk
// visits only the last entries, and so walks the whole list, cut as there.
static void fill_reach_list(SimState* s, int i, const int* list, bool lanes16)
{
    int* slot = s->rs.pool + (size_t)i * REACH_SLOT;
    bool was_overflowing = slot[0] < 0;
#if KSM_HAVE_LANES
    int n = list[0] > s->partner_limit ? -1
            : lanes16                  ? fill_reach_slot_lanes<Lanes16>(i, list, slot, s->rs.anchor)
                                       : fill_reach_slot_plain(i, list, slot, s->rs.anchor);
#else
    (void)lanes16;
    int n = list[0] > s->partner_limit ? -1 : fill_reach_slot_plain(i, list, slot, s->rs.anchor);
#endif
    slot[0] = n;
    s->rs.overflowing += (n < 0) - was_overflowing;
    ++s->reach_counts.rebuilt;
}

void build_reach_list(SimState* s, int i)
{
    CellCoord c = s->ball_cell[i];
    fill_reach_list(s, i, cell_list(s, cell_index(s, c.x, c.y, c.z)), reach_fill_in_lanes(s));
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
    const bool lanes16 = reach_fill_in_lanes(s);
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
        fill_reach_list(s, ball_of(m), list_at[m % RING], lanes16);
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
            if (j != i && !anchors_apart(a, s->rs.anchor + 4 * (size_t)j))
                return fail(i, "an entry in reach is missing from its reach list");
        }
        if (k <= slot[0])
            return fail(i, "its reach list names a ball not in its cell's list, or out of order");
    }
    return true;
}
