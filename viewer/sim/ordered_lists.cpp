// The ordered engine's lists (see ordered.cpp for its order): at a build,
// each ball's list of the balls within the reach of it and each slab's walk
// order; and the check of the engine's state (tests).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "balls.h"
#include "lanes.h"
#include "ordered_state.h"
#include "sim_plan.h"
#include "sim_team.h"

// The cell along one axis of the coordinates up to v: as ordered_cell_of,
// held to 1 .. top.
static inline int cell_axis(float v, int top)
{
    if (!(v >= 1.0f))
        return 1;
    return v < (float)top + 1.0f ? (int)v : top;
}

// Writes to `to` the entries e of `near` (x, y, z: their coordinates, in
// turn) other than `self` that lie within the reach of p, in their order;
// returns how many. Writes up to n ints.
static int keep_near(const int* near, const float* x, const float* y, const float* z, size_t n, Vec3 p, int self,
                     float reach2, int* to)
{
    int* const first = to;
    for (size_t e = 0; e < n; ++e) {
        const float dx = p.x - x[e], dy = p.y - y[e], dz = p.z - z[e];
        *to = near[e];
        to += dx * dx + dy * dy + dz * dz <= reach2 && near[e] != self;
    }
    return (int)(to - first);
}

#if KSM_HAVE_LANES
// The same sixteen entries at a time in AVX-512 lanes, the kept ones
// packed into place: the same float operations, the same lists.
KSM_LANES16_TARGET static int keep_near16(const int* near, const float* x, const float* y, const float* z, size_t n,
                                          Vec3 p, int self, float reach2, int* to)
{
    typedef Lanes16 L;
    const L::F px = L::splat(p.x), py = L::splat(p.y), pz = L::splat(p.z);
    const L::F r2 = L::splat(reach2);
    const L::I me = L::splat(self);
    int* const first = to;
    for (size_t e = 0; e < n; e += L::WIDTH) {
        const unsigned lanes = n - e >= (size_t)L::WIDTH ? (1u << L::WIDTH) - 1 : (1u << (n - e)) - 1;
        const L::M in = L::mask(lanes);
        const L::F dx = sub(px, L::load_where(in, x + e));
        const L::F dy = sub(py, L::load_where(in, y + e));
        const L::F dz = sub(pz, L::load_where(in, z + e));
        const L::F d2 = add(add(mul(dx, dx), mul(dy, dy)), mul(dz, dz));
        const L::I entries = L::load_where(in, near + e);
        const unsigned kept = lanes & bits(at_most(d2, r2)) & bits(unequal(entries, me));
        store_packed(to, L::mask(kept), entries);
        to += __builtin_popcount(kept);
    }
    return (int)(to - first);
}
#endif

// Makes room for `ints` ints in a slab's lists. False when it cannot be had,
// would not be addressed by 32-bit offsets or passes `limit` (tests).
static bool reserve_lists(SlabLists* l, size_t ints, size_t limit)
{
    if (ints <= l->size)
        return true;
    size_t size = 2 * ints;
    if (size > INT32_MAX || ints > limit)
        return false;
    int* grown = (int*)std::realloc(l->ints, size * sizeof(int));
    if (!grown)
        return false;
    l->ints = grown;
    l->size = size;
    return true;
}

// Builds the lists of slab k's balls from their places: for each block of
// 2x2x2 cells, the balls of the cells that its balls' reach touches (x, then
// y, then z, each cell's balls in order), then for each ball of the block
// those within its reach. A ball's list is the same whatever the box the
// candidates come from, as long as it holds the reach; a block shares the
// gathering among about ten balls. False when the memory for them cannot be
// had.
static bool build_slab_lists(SimState* s, OrderedState& o, int k, OrderedScratch* scratch, SlabLists* l)
{
    const OrderItem* items = o.items.data();
    const Quad* pos = o.pos.data();
    const CellSpan* spans = o.spans;
    const size_t begin = (size_t)o.slab_begin[(size_t)k], end = (size_t)o.slab_begin[(size_t)k + 1];
    const float reach = ordered_reach(o), reach2 = reach * reach;
    const int top = s->cell_side - 2;
    std::vector<int>& near = scratch->near;
    std::vector<float>& near_x = scratch->near_x;
    std::vector<float>& near_y = scratch->near_y;
    std::vector<float>& near_z = scratch->near_z;
    std::vector<CellSpan>& runs = scratch->runs;
#if KSM_HAVE_LANES
    const bool lanes = cpu_lanes().lanes16;
#endif
    size_t at = 0;
    int most = 0;
    for (size_t r = begin; r < end;) {
        size_t run_end = r + 1;
        while (run_end < end && items[run_end].key >> 3 == items[r].key >> 3)
            ++run_end;
        // The cells the reach of the block's balls touches.
        float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (size_t i = r; i < run_end; ++i) {
            const float c[3] = {pos[i].x, pos[i].y, pos[i].z};
            for (int a = 0; a < 3; ++a) {
                lo[a] = c[a] < lo[a] ? c[a] : lo[a];
                hi[a] = c[a] > hi[a] ? c[a] : hi[a];
            }
        }
        int c0[3], c1[3];
        for (int a = 0; a < 3; ++a) {
            c0[a] = cell_axis(lo[a] - reach, top);
            c1[a] = cell_axis(hi[a] + reach, top);
        }
        runs.clear();
        size_t n = 0;
        for (int x = c0[0]; x <= c1[0]; ++x)
            for (int y = c0[1]; y <= c1[1]; ++y) {
                const CellSpan* row = spans + cell_index(s, x, y, 0);
                for (int z = c0[2]; z <= c1[2]; ++z)
                    if (row[z].end > row[z].begin) {
                        runs.push_back(row[z]);
                        n += (size_t)(row[z].end - row[z].begin);
                    }
            }
        if (near.size() < n) {
            near.resize(2 * n);
            near_x.resize(2 * n);
            near_y.resize(2 * n);
            near_z.resize(2 * n);
        }
        size_t m = 0;
        for (const CellSpan& run : runs)
            for (int e = run.begin; e < run.end; ++e, ++m) {
                near[m] = e;
                near_x[m] = pos[e].x;
                near_y[m] = pos[e].y;
                near_z[m] = pos[e].z;
            }
        const float *x = near_x.data(), *y = near_y.data(), *z = near_z.data();
        for (size_t i = r; i < run_end; ++i) {
            if (!reserve_lists(l, at + 1 + n, o.lists_limit))
                return false;
            int* head = l->ints + at;
            const Vec3 p = vec_of(pos[i]);
#if KSM_HAVE_LANES
            const int kept = lanes ? keep_near16(near.data(), x, y, z, n, p, (int)i, reach2, head + 1)
                                   : keep_near(near.data(), x, y, z, n, p, (int)i, reach2, head + 1);
#else
            const int kept = keep_near(near.data(), x, y, z, n, p, (int)i, reach2, head + 1);
#endif
            *head = kept;
            o.item_list[i] = (uint32_t)at;
            at += (size_t)kept + 1;
            most = kept > most ? kept : most;
        }
        r = run_end;
    }
    l->longest = most;
    scratch->limit_hit |= most > s->partner_limit;
    return true;
}

// The block of 2x2x2 cells a cell lies in: the walks' independence is
// judged by blocks (two walks conflict when their blocks are less than three
// apart on every axis).
static inline CellCoord block_of(CellCoord c)
{
    return CellCoord{c.x >> 1, c.y >> 1, c.z >> 1};
}

// The walk sequence of slab k: groups of the blocks of one colour (their
// coordinates modulo 3), and of each block the k-th ball, each group in the
// logical order. A block's cells are one run of the order (their Morton
// codes without the low three bits are the same).
static void order_slab(OrderedState& o, int k, std::vector<int>* bins)
{
    const OrderItem* items = o.items.data();
    const size_t begin = (size_t)o.slab_begin[(size_t)k], end = (size_t)o.slab_begin[(size_t)k + 1];
    int* group = o.group.data();
    int depth = 1;
    for (size_t r = begin; r < end; ++r) {
        group[r] = r > begin && items[r].key >> 3 == items[r - 1].key >> 3 ? group[r - 1] + 1 : 0;
        depth = group[r] + 1 > depth ? group[r] + 1 : depth;
    }
    const size_t groups = 27 * (size_t)depth;
    std::vector<int>& at = *bins;
    at.assign(groups + 1, 0);
    for (size_t r = begin; r < end; ++r) {
        const CellCoord b = block_of(o.cell[r]);
        group[r] += ((b.x % 3 * 3 + b.y % 3) * 3 + b.z % 3) * depth;
        at[(size_t)group[r] + 1]++;
    }
    at[0] = (int)begin;
    for (size_t g = 0; g < groups; ++g)
        at[g + 1] += at[g];
    for (size_t r = begin; r < end; ++r) {
        size_t w = (size_t)at[(size_t)group[r]]++;
        o.order[w] = (int)r;
        o.seq_cell[w] = block_of(o.cell[r]);
        o.list[w] = o.item_list[r];
    }
}

bool build_lists(SimState* s, OrderedState& o, int threads)
{
    const int slabs = (int)o.slab_begin.size() - 1;
    std::atomic<int> next(0);
    run_on_threads(s, threads, [&](int t) {
        OrderedScratch& scratch = o.scratch[(size_t)t];
        for (int k; (k = next.fetch_add(1)) < slabs;) {
            SlabLists& l = o.slab_lists[k];
            l.built = build_slab_lists(s, o, k, &scratch, &l);
            scratch.refused |= !l.built;
            order_slab(o, k, &scratch.bins);
            for (int r = o.slab_begin[(size_t)k]; r < o.slab_begin[(size_t)k + 1]; ++r)
                o.built[(size_t)r] = vec_of(o.pos[(size_t)r]);
        }
    });
    bool all = true;
    for (int k = 0; k < ORDERED_SLABS; ++k) {
        SlabLists& l = o.slab_lists[k];
        if (k >= slabs) {
            std::free(l.ints);
            l = SlabLists();
        }
        all &= k >= slabs || l.built;
    }
    return all;
}

bool check_ordered_engine(SimState* s, char* fault)
{
    auto report = [fault](const char* what, int ball) {
        if (fault)
            std::snprintf(fault, 256, "ball %d: %s", ball, what);
        return false;
    };
    OrderedState* o = s->ordered;
    if (s->ball_count <= 0)
        return true;
    if (!o || !o->imported || !s->lists_stale || o->balls != s->ball_count)
        return report("no ordered frame ran last", -1);
    const size_t n = (size_t)o->balls;
    for (size_t i = 0; i < n; ++i) {
        size_t r = (size_t)o->slot_of_ball[i];
        if (r >= n || o->ball[r] != (int)i)
            return report("its slot names another ball", (int)i);
        const Vec3 p = vec_of(o->pos[r]);
        if (std::memcmp(&p, &s->ball_pos[i], sizeof(Vec3)) != 0 ||
            std::memcmp(&o->prev[r], &s->ball_prev[i], sizeof(Vec3)) != 0)
            return report("the ball arrays differ from the engine's", (int)i);
    }
    // A ball that travelled too far has the lists built as the next frame
    // would.
    if (o->rebuild) {
        find_cells(s, *o, 1);
        sort_items(s, *o, 1);
        resort_arrays(s, *o, 1);
        index_cells(s, *o, 1, false);
        const bool built = build_lists(s, *o, 1);
        index_cells(s, *o, 1, true);
        if (!built)
            return report("no memory for the lists", -1);
        o->rebuild = false;
    }
    for (size_t r = 0; r < n; ++r) {
        const OrderItem& item = o->items[r];
        const CellCoord c = ordered_cell_of(s, o->built[r]);
        if (item.slot != (int)r || (r > 0 && item_before(item, o->items[r - 1])))
            return report("the balls are out of order", item.ball);
        if (c.x != o->cell[r].x || c.y != o->cell[r].y || c.z != o->cell[r].z)
            return report("its cell is not that of its position at the build", item.ball);
    }
    // The neighbour lists from the positions now, to compare with.
    if (!refresh_cell_lists(s))
        return report("no memory for the neighbour lists", -1);
    const double reach = (double)ordered_reach(*o) * (1.0 + 1e-6);
    const int slabs = (int)o->slab_begin.size() - 1;
    std::vector<int> seen(n, -1);
    for (int k = 0; k < slabs; ++k) {
        const SlabLists& l = o->slab_lists[k];
        const int first = o->slab_begin[(size_t)(k > 0 ? k - 1 : 0)];
        const int last = o->slab_begin[(size_t)std::min(k + 2, slabs)];
        for (int r = o->slab_begin[(size_t)k]; r < o->slab_begin[(size_t)k + 1]; ++r) {
            const int ball = o->ball[(size_t)r];
            const int* list = l.ints + o->item_list[(size_t)r];
            const Vec3 b = o->built[(size_t)r];
            for (int e = 1; e <= list[0]; ++e) {
                const int j = list[e];
                if (j < first || j >= last || j == r || seen[(size_t)j] == r)
                    return report("its list names itself, a ball twice or a ball beyond the next slabs", ball);
                seen[(size_t)j] = r;
                const Vec3 q = o->built[(size_t)j];
                const double dx = (double)b.x - q.x, dy = (double)b.y - q.y, dz = (double)b.z - q.z;
                if (dx * dx + dy * dy + dz * dz > reach * reach)
                    return report("its list names a ball beyond its reach at the build", ball);
            }
            // Every ball within one unit now is in the list.
            const Vec3 p = s->ball_pos[ball];
            const CellCoord cell = s->ball_cell[ball];
            const int* own = cell_list(s, cell_index(s, cell.x, cell.y, cell.z));
            for (int e = 1; e <= own[0]; ++e) {
                const Vec3 q = s->ball_pos[own[e]];
                const double dx = (double)p.x - q.x, dy = (double)p.y - q.y, dz = (double)p.z - q.z;
                if (own[e] != ball && dx * dx + dy * dy + dz * dz <= 1.0 &&
                    seen[(size_t)o->slot_of_ball[(size_t)own[e]]] != r)
                    return report("its list leaves out a ball within one unit", ball);
            }
        }
    }
    return true;
}
