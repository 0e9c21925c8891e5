// The ordered engine's repulsion pass (see ordered.cpp for its order): the
// slabs' lists and their walks, and the check of the lists (tests).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "balls.h"
#include "lanes.h"
#include "ordered_state.h"
#include "repulsion_walk.h"
#include "sim_plan.h"
#include "sim_team.h"

static bool item_before_check(const OrderItem& a, const OrderItem& b)
{
    return a.key < b.key || (a.key == b.key && a.ball < b.ball);
}

// Builds the lists of slab k's cells in the thread's scratch, naming balls
// by their places, and notes each place's list there: per cell, the 27
// cells around it in a fixed order, each cell's balls in their order.
// False when the memory for them cannot be had.
// Ints a list's runs are written in at once: most cells hold fewer balls, so
// a run takes one store and no branch that guesses its length. Room for
// SPAN ints past the end is needed.
static const int SPAN = 4;

// Writes the places of the 27 runs one after the other from `to`, a whole
// span at a time, even for an empty run: the next run's entries overwrite
// what lies past this one's end.
static inline void write_runs(int* to, const CellSpan* run)
{
    for (int q = 0; q < 27; ++q) {
        int v = run[q].begin;
        int* p = to;
        do {
            for (int m = 0; m < SPAN; ++m)
                p[m] = v + m;
            p += SPAN;
            v += SPAN;
        } while (v < run[q].end);
        to += run[q].end - run[q].begin;
    }
}

static bool build_slab_lists(SimState* s, OrderedState& o, int k, OrderedScratch* scratch, int* longest)
{
    const OrderItem* items = o.items.data();
    const CellSpan* spans = o.spans;
    const size_t begin = (size_t)o.slab_begin[(size_t)k], end = (size_t)o.slab_begin[(size_t)k + 1];
    const ptrdiff_t sx = (ptrdiff_t)s->cell_stride_x, sy = (ptrdiff_t)s->cell_stride_y;
    size_t at = 0;
    int most = 0;
    for (size_t r = begin; r < end; ++r) {
        if (r > begin && items[r].key == items[r - 1].key) {
            o.item_list[r] = o.item_list[r - 1];
            continue;
        }
        const CellCoord c = o.cell[(size_t)items[r].slot];
        const CellSpan* centre = spans + cell_index(s, c.x, c.y, c.z);
        CellSpan run[27];
        size_t n = 0;
        for (int dx = -1, q = 0; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dz = -1; dz <= 1; ++dz, ++q) {
                    run[q] = centre[dx * sx + dy * sy + dz];
                    n += (size_t)(run[q].end - run[q].begin);
                }
        if (at + n + 1 + SPAN > scratch->lists_size) {
            size_t size = 2 * (at + n + 1 + SPAN);
            if (size > INT32_MAX)
                return false;
            int* grown = (int*)std::realloc(scratch->lists, size * sizeof(int));
            if (!grown)
                return false;
            scratch->lists = grown;
            scratch->lists_size = size;
        }
        scratch->lists[at] = (int)n;
        write_runs(scratch->lists + at + 1, run);
        o.item_list[r] = (uint32_t)at;
        at += n + 1;
        most = (int)n > most ? (int)n : most;
    }
    *longest = most;
    scratch->limit_hit |= most > s->partner_limit;
    return true;
}

// Writes to `to` the entries e = skip .. n - 1 of `whole` whose positions
// (x, y, z: the entries' coordinates, in turn) lie within the reach of p,
// in their order; returns how many.
static int keep_near(const int* whole, const float* x, const float* y, const float* z, size_t skip, size_t n,
                     const Quad& p, int* to)
{
    const float reach2 = ORDERED_REACH * ORDERED_REACH;
    int* const first = to;
    for (size_t e = skip; e < n; ++e) {
        const float dx = p.x - x[e], dy = p.y - y[e], dz = p.z - z[e];
        *to = whole[e];
        to += dx * dx + dy * dy + dz * dz <= reach2;
    }
    return (int)(to - first);
}

#if KSM_HAVE_LANES
#include <immintrin.h>
// The same sixteen entries at a time in AVX-512 lanes, the kept ones
// compressed into place.
KSM_LANES16_TARGET static int keep_near16(const int* whole, const float* x, const float* y, const float* z,
                                          size_t skip, size_t n, const Quad& p, int* to)
{
    const __m512 px = _mm512_set1_ps(p.x), py = _mm512_set1_ps(p.y), pz = _mm512_set1_ps(p.z);
    const __m512 reach2 = _mm512_set1_ps(ORDERED_REACH * ORDERED_REACH);
    int* const first = to;
    for (size_t e = skip; e < n; e += 16) {
        const __mmask16 in = n - e >= 16 ? (__mmask16)0xFFFF : (__mmask16)((1u << (n - e)) - 1);
        const __m512 dx = _mm512_sub_ps(px, _mm512_maskz_loadu_ps(in, x + e));
        const __m512 dy = _mm512_sub_ps(py, _mm512_maskz_loadu_ps(in, y + e));
        const __m512 dz = _mm512_sub_ps(pz, _mm512_maskz_loadu_ps(in, z + e));
        const __m512 d2 = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(dx, dx), _mm512_mul_ps(dy, dy)),
                                        _mm512_mul_ps(dz, dz));
        const __mmask16 near = _mm512_mask_cmp_ps_mask(in, d2, reach2, _CMP_LE_OQ);
        _mm512_mask_compressstoreu_epi32(to, near, _mm512_maskz_loadu_epi32(in, whole + e));
        to += __builtin_popcount((unsigned)near);
    }
    return (int)(to - first);
}
#endif

// Builds for each ball of slab k its list cut to its reach: the entries of
// its cell's list (those a walk visits, within the partner limit) whose
// positions lie within ORDERED_REACH of its own now, in the list's order.
// A walk over it gives the bits of the walk over the whole list as long as
// no ball travels ORDERED_TRAVEL during the pass (cut_pass_held): every entry
// left out stays out of reach, and an entry out of reach changes nothing.
static bool build_cut_lists(SimState* s, OrderedState& o, int k, OrderedScratch* scratch, int* longest)
{
    const OrderItem* items = o.items.data();
    const CellSpan* spans = o.spans;
    const Quad* pos = o.pos.data();
    const size_t begin = (size_t)o.slab_begin[(size_t)k], end = (size_t)o.slab_begin[(size_t)k + 1];
    const ptrdiff_t sx = (ptrdiff_t)s->cell_stride_x, sy = (ptrdiff_t)s->cell_stride_y;
    // The cell's whole list, and its entries' coordinates.
    std::vector<int>& whole = scratch->whole;
    std::vector<float>& xyz = scratch->xyz;
#if KSM_HAVE_LANES
    const bool lanes = cpu_lanes().lanes16;
#endif
    size_t at = 0, n = 0, skip = 0;
    int most = 0;
    for (size_t r = begin; r < end; ++r) {
        if (r == begin || items[r].key != items[r - 1].key) {
            const CellCoord c = o.cell[(size_t)items[r].slot];
            const CellSpan* centre = spans + cell_index(s, c.x, c.y, c.z);
            CellSpan run[27];
            n = 0;
            for (int dx = -1, q = 0; dx <= 1; ++dx)
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dz = -1; dz <= 1; ++dz, ++q) {
                        run[q] = centre[dx * sx + dy * sy + dz];
                        n += (size_t)(run[q].end - run[q].begin);
                    }
            if (whole.size() < n + SPAN)
                whole.resize(2 * (n + SPAN));
            write_runs(whole.data(), run);
            if (xyz.size() < 3 * n)
                xyz.resize(6 * n);
            for (size_t e = 0; e < n; ++e) {
                const Quad& q = pos[whole[e]];
                xyz[e] = q.x;
                xyz[n + e] = q.y;
                xyz[2 * n + e] = q.z;
            }
            scratch->limit_hit |= n > (size_t)s->partner_limit;
            skip = n > (size_t)s->partner_limit ? n - (size_t)s->partner_limit : 0;
        }
        if (at + n + 1 > scratch->lists_size) {
            size_t size = 2 * (at + n + 1);
            if (size > INT32_MAX)
                return false;
            int* grown = (int*)std::realloc(scratch->lists, size * sizeof(int));
            if (!grown)
                return false;
            scratch->lists = grown;
            scratch->lists_size = size;
        }
        int* head = scratch->lists + at;
        const float* x = xyz.data();
#if KSM_HAVE_LANES
        const int kept = lanes ? keep_near16(whole.data(), x, x + n, x + 2 * n, skip, n, pos[r], head + 1)
                               : keep_near(whole.data(), x, x + n, x + 2 * n, skip, n, pos[r], head + 1);
#else
        const int kept = keep_near(whole.data(), x, x + n, x + 2 * n, skip, n, pos[r], head + 1);
#endif
        *head = kept;
        o.item_list[r] = (uint32_t)at;
        at += (size_t)kept + 1;
        most = kept > most ? kept : most;
    }
    *longest = most;
    return true;
}

// The walk sequence of slab k: groups of the cells of one colour (their
// coordinates modulo 3), and of each cell the k-th ball, each group in the
// logical order. The cells of a colour are three apart, so the walks of a
// group are independent and run side by side without waiting.
static void order_slab(OrderedState& o, int k, std::vector<int>* bins)
{
    const OrderItem* items = o.items.data();
    const size_t begin = (size_t)o.slab_begin[(size_t)k], end = (size_t)o.slab_begin[(size_t)k + 1];
    int* group = o.group.data();
    int depth = 1;
    for (size_t r = begin; r < end; ++r) {
        group[r] = r > begin && items[r].key == items[r - 1].key ? group[r - 1] + 1 : 0;
        depth = group[r] + 1 > depth ? group[r] + 1 : depth;
    }
    const size_t groups = 27 * (size_t)depth;
    std::vector<int>& at = *bins;
    at.assign(groups + 1, 0);
    for (size_t r = begin; r < end; ++r) {
        CellCoord c = o.cell[(size_t)items[r].slot];
        group[r] += ((c.x % 3 * 3 + c.y % 3) * 3 + c.z % 3) * depth;
        at[(size_t)group[r] + 1]++;
    }
    at[0] = (int)begin;
    for (size_t g = 0; g < groups; ++g)
        at[g + 1] += at[g];
    for (size_t r = begin; r < end; ++r) {
        size_t w = (size_t)at[(size_t)group[r]]++;
        o.order[w] = (int)r;
        o.seq_cell[w] = o.cell[(size_t)items[r].slot];
        o.list[w] = o.item_list[r];
    }
}

// The repulsion pass: even slabs first, then each odd one once both its
// neighbours are done; no thread waits for the others at the turn.
void walk_slabs(SimState* s, OrderedState& o, const SimPlan* plan, int threads, bool cut)
{
    const int slabs = (int)o.slab_begin.size() - 1;
    const double coef = (double)s->repulsion_coef;
    const int n = o.balls;
    std::atomic<int> next_task(0);
    std::atomic<bool> done[ORDERED_SLABS];
    for (std::atomic<bool>& d : done)
        d.store(false, std::memory_order_relaxed);
    const int evens = (slabs + 1) / 2;
    // A position update rounds by half a unit in the last place per
    // coordinate, and coordinates stay below the field's extent plus the
    // travel allowed.
    const float rounding = 3.0f * std::nextafter(s->field_extent + 1.0f, INFINITY) * (1.0f / 8388608.0f);
    // Idle lanes read the padding slot after the last ball.
    const WalkSpace space = {&o.pos[0].x, 4, o.lag > 0 ? o.item_slot.data() : nullptr, 4 * n, n + 1};
    std::vector<double> spent(3 * (size_t)threads, 0.0);
    run_on_threads(s, threads, [&](int t) {
        OrderedScratch& scratch = o.scratch[(size_t)t];
        typedef std::chrono::steady_clock Clock;
        Clock::time_point mark = Clock::now();
        auto lap = [&](int what) {
            Clock::time_point now = Clock::now();
            spent[3 * (size_t)t + (size_t)what] += std::chrono::duration<double>(now - mark).count();
            mark = now;
        };
        for (;;) {
            int task = next_task.fetch_add(1);
            if (task >= slabs)
                break;
            int k = task < evens ? 2 * task : 2 * (task - evens) + 1;
            int begin = o.slab_begin[(size_t)k];
            int count = o.slab_begin[(size_t)k + 1] - begin;
            int longest = 0;
            auto wait_for_neighbours = [&] {
                if (k & 1)
                    while (!done[k - 1].load(std::memory_order_acquire) ||
                           (k + 1 < slabs && !done[k + 1].load(std::memory_order_acquire)))
                        std::this_thread::yield();
            };
            // Cut lists read positions, which the neighbours' walks move:
            // an odd slab builds them once those are done.
            lap(0);
            if (cut) {
                wait_for_neighbours();
                lap(2);
            }
            bool built = cut ? build_cut_lists(s, o, k, &scratch, &longest)
                             : build_slab_lists(s, o, k, &scratch, &longest);
            // Also without lists: the order's cells empty the index later.
            order_slab(o, k, &scratch.bins);
            lap(0);
            if (!cut) {
                wait_for_neighbours();
                lap(2);
            }
            if (built && count > 0 && cut) {
                // The travel of every ball summed in its fourth float.
                const WalkSequence q = {o.order.data() + begin, o.seq_cell.data() + begin, o.list.data() + begin,
                                        count, scratch.lists, 0, longest, scratch.lists_size,
                                        nullptr, 0, 0, INT32_MAX};
                const bool walked = plan->walk_lanes == 16
                                        ? repel_wide16_travel(q, coef, rounding, &scratch.wide, space)
                                        : repel_wide8_travel(q, coef, rounding, &scratch.wide, space);
                scratch.cut_failed |= !walked;
            } else if (built && count > 0) {
                const WalkSequence q = {o.order.data() + begin, o.seq_cell.data() + begin, o.list.data() + begin,
                                        count, scratch.lists, 0, longest, scratch.lists_size,
                                        nullptr, 0, 0, s->partner_limit};
                bool wide = plan_walks_in_lanes(plan, q);
                if (!(wide && repel_wide(plan, q, coef, &scratch.wide, space)))
                    repel_plain(q, coef, space);
            }
            lap(1);
            scratch.refused |= !built && !cut;
            scratch.cut_failed |= !built && cut;
            done[k].store(true, std::memory_order_release);
        }
    });
    for (int t = 0; t < threads; ++t) {
        o.stage[ORDERED_BUILD] += spent[3 * (size_t)t];
        o.stage[ORDERED_WALK] += spent[3 * (size_t)t + 1];
        o.stage[ORDERED_WAIT] += spent[3 * (size_t)t + 2];
    }
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
    for (int i = 0; i < o->balls; ++i) {
        size_t r = (size_t)o->slot_of_ball[(size_t)i];
        if (r >= (size_t)o->balls || o->ball[r] != i)
            return report("its slot names another ball", i);
        const Vec3 p = vec_of(o->pos[r]);
        if (std::memcmp(&p, &s->ball_pos[i], sizeof(Vec3)) != 0 ||
            std::memcmp(&o->prev[r], &s->ball_prev[i], sizeof(Vec3)) != 0)
            return report("the ball arrays differ from the engine's", i);
        CellCoord c = ordered_cell_of(s, p);
        if (c.x != o->cell[r].x || c.y != o->cell[r].y || c.z != o->cell[r].z)
            return report("its cell is not its position's", i);
    }
    // The neighbour lists from the positions, to compare with.
    if (!refresh_cell_lists(s))
        return report("no memory for the neighbour lists", -1);
    sort_items(s, *o, 1);
    if (!std::is_sorted(o->items.begin(), o->items.end(), item_before_check))
        return report("the balls are out of order", -1);
    // The cut lists read positions by place.
    if (o->lag > 0)
        resort_arrays(s, *o, 1);
    index_cells(s, *o, 1, false);
    OrderedScratch scratch;
    bool ok = true;
    const int slabs = (int)o->slab_begin.size() - 1;
    for (int k = 0; k < slabs && ok; ++k) {
        int longest = 0;
        // The cut lists: each a part of its cell's list, in its order, that
        // holds every entry within reach.
        if (!build_cut_lists(s, *o, k, &scratch, &longest)) {
            ok = report("no memory for the lists", -1);
            break;
        }
        for (int r = o->slab_begin[(size_t)k]; r < o->slab_begin[(size_t)k + 1] && ok; ++r) {
            const OrderItem& item = o->items[(size_t)r];
            const CellCoord c = o->cell[(size_t)item.slot];
            const int* cut = scratch.lists + o->item_list[(size_t)r];
            const int* own = cell_list(s, cell_index(s, c.x, c.y, c.z));
            const Vec3 p = s->ball_pos[item.ball];
            std::vector<int> near, kept;
            for (int e = 1; e <= own[0]; ++e) {
                const Vec3 q = s->ball_pos[own[e]];
                const double dx = (double)p.x - q.x, dy = (double)p.y - q.y, dz = (double)p.z - q.z;
                if (dx * dx + dy * dy + dz * dz <= 1.4 * 1.4)
                    near.push_back(own[e]);
            }
            for (int e = 1; e <= cut[0]; ++e)
                kept.push_back(o->items[(size_t)cut[e]].ball);
            std::sort(near.begin(), near.end());
            std::sort(kept.begin(), kept.end());
            if (!std::includes(kept.begin(), kept.end(), near.begin(), near.end()) ||
                (int)kept.size() > own[0])
                ok = report("its cut list leaves out a ball within reach", item.ball);
        }
        if (!ok)
            break;
        if (!build_slab_lists(s, *o, k, &scratch, &longest)) {
            ok = report("no memory for the lists", -1);
            break;
        }
        for (int r = o->slab_begin[(size_t)k]; r < o->slab_begin[(size_t)k + 1] && ok; ++r) {
            const OrderItem& item = o->items[(size_t)r];
            const CellCoord c = o->cell[(size_t)item.slot];
            const int* built = scratch.lists + o->item_list[(size_t)r];
            const int* own = cell_list(s, cell_index(s, c.x, c.y, c.z));
            std::vector<int> a, b(own + 1, own + 1 + own[0]);
            for (int e = 1; e <= built[0]; ++e)
                a.push_back(o->items[(size_t)built[e]].ball);
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            if (a != b)
                ok = report("its cell's built list names other balls than its neighbour list", item.ball);
        }
    }
    // The index left empty, as between frames.
    index_cells(s, *o, 1, true);
    std::free(scratch.lists);
    return ok;
}
