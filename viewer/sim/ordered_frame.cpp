// One frame of the ordered engine (see ordered.cpp for its order): the
// slabs' lists and walks, the step over the ordered arrays, and the write
// back of the positions to the ball arrays.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "balls.h"
#include "integration_ball.h"
#include "ordered_state.h"
#include "repulsion_walk.h"
#include "sim_plan.h"
#include "sim_team.h"

static bool item_before_check(const OrderItem& a, const OrderItem& b)
{
    return a.key < b.key || (a.key == b.key && a.ball < b.ball);
}

void set_ordered_resort(SimState* s, int share)
{
    if (!s->ordered)
        s->ordered = new OrderedState();
    s->ordered->resort_share = share;
}

// Builds the lists of slab k's cells in the thread's scratch, naming balls
// by their places, and notes each place's list there: per cell, the 27
// cells around it in a fixed order, each cell's balls in their order.
// False when the memory for them cannot be had.
static bool build_slab_lists(SimState* s, OrderedState& o, int k, OrderedScratch* scratch, int* longest)
{
    const OrderItem* items = o.items.data();
    const CellSpan* spans = o.spans;
    const size_t begin = (size_t)o.slab_begin[(size_t)k], end = (size_t)o.slab_begin[(size_t)k + 1];
    const ptrdiff_t sx = (ptrdiff_t)s->cell_stride_x, sy = (ptrdiff_t)s->cell_stride_y;
    // Ints written at once: most cells hold fewer balls, so a run takes one
    // store and no branch that guesses its length.
    const int SPAN = 4;
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
        int* to = scratch->lists + at;
        *to++ = (int)n;
        for (int q = 0; q < 27; ++q) {
            // A whole span at once, even for an empty run: the next run's
            // entries overwrite what lies past this one's end.
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
        o.item_list[r] = (uint32_t)at;
        at += n + 1;
        most = (int)n > most ? (int)n : most;
    }
    *longest = most;
    scratch->limit_hit |= most > s->partner_limit;
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
static void walk_slabs(SimState* s, OrderedState& o, const SimPlan* plan, int threads)
{
    const int slabs = (int)o.slab_begin.size() - 1;
    const double coef = (double)s->repulsion_coef;
    const int n = o.balls;
    std::atomic<int> next_task(0);
    std::atomic<bool> done[ORDERED_SLABS];
    for (std::atomic<bool>& d : done)
        d.store(false, std::memory_order_relaxed);
    const int evens = (slabs + 1) / 2;
    // Idle lanes read the padding slot after the last ball.
    const WalkSpace space = {&o.pos[0].x, 4, o.lag > 0 ? o.item_slot.data() : nullptr, 4 * n, n + 1};
    run_on_threads(s, threads, [&](int t) {
        OrderedScratch& scratch = o.scratch[(size_t)t];
        for (;;) {
            int task = next_task.fetch_add(1);
            if (task >= slabs)
                break;
            int k = task < evens ? 2 * task : 2 * (task - evens) + 1;
            int begin = o.slab_begin[(size_t)k];
            int count = o.slab_begin[(size_t)k + 1] - begin;
            int longest = 0;
            bool built = build_slab_lists(s, o, k, &scratch, &longest);
            // Also without lists: the order's cells empty the index later.
            order_slab(o, k, &scratch.bins);
            if (k & 1)
                while (!done[k - 1].load(std::memory_order_acquire) ||
                       (k + 1 < slabs && !done[k + 1].load(std::memory_order_acquire)))
                    std::this_thread::yield();
            if (built && count > 0) {
                const WalkSequence q = {o.order.data() + begin, o.seq_cell.data() + begin, o.list.data() + begin,
                                        count, scratch.lists, 0, longest, scratch.lists_size,
                                        nullptr, 0, 0, s->partner_limit};
                bool wide = plan_walks_in_lanes(plan, q);
                if (!(wide && repel_wide(plan, q, coef, &scratch.wide, space)))
                    repel_plain(q, coef, space);
            }
            scratch.refused |= !built;
            done[k].store(true, std::memory_order_release);
        }
    });
}

// The step over each thread's range of slots, the cells of the balls that
// left theirs, the write back of positions and previous positions to the
// ball arrays, and the index of cells emptied for the next frame.
static void step_slots(SimState* s, OrderedState& o, const MapHeader* header, const SimPlan* plan, int threads)
{
    StepConstants k = step_constants(s, header);
    float* const quads = &o.pos[0].x;
    k.pos = nullptr;
    k.prev = o.prev.data();
    k.cell = o.cell.data();
    const size_t n = (size_t)o.balls;
    run_on_threads(s, threads, [&](int t) {
        OrderedScratch& scratch = o.scratch[(size_t)t];
        std::vector<int>& moved = scratch.moved;
        moved.clear();
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        // The walks' index of cells, emptied through their cells (which the
        // step below does not change).
        for (size_t w = begin; w < end; ++w) {
            CellCoord c = o.seq_cell[w];
            o.spans[cell_index(s, c.x, c.y, c.z)] = CellSpan{0, 0};
        }
        size_t first = begin;
        if (plan->step_lanes == 16)
            first = (size_t)advance_quads_wide(k, quads, (int)begin, (int)end, &moved);
        for (size_t i = first; i < end; ++i) {
            if (i + FIELD_AHEAD < end)
                __builtin_prefetch(field_normal_at(k, vec_of(o.pos[i + FIELD_AHEAD])));
            // advance_ball on this one ball, its position taken out of its quad.
            Vec3 p = vec_of(o.pos[i]);
            StepConstants one = k;
            one.pos = &p;
            one.prev = &o.prev[i];
            one.cell = &o.cell[i];
            advance_ball(one, 0);
            o.pos[i] = quad_of(p);
            if (leaves_cell(one, 0))
                moved.push_back((int)i);
        }
        scratch.per_x.assign((size_t)o.side, 0);
        for (int i : moved) {
            CellCoord c = ordered_cell_of(s, vec_of(o.pos[(size_t)i]));
            scratch.per_x[(size_t)o.cell[(size_t)i].x]--;
            scratch.per_x[(size_t)c.x]++;
            o.cell[(size_t)i] = c;
        }
        Vec3* const ball_pos = s->ball_pos;
        Vec3* const ball_prev = s->ball_prev;
        for (size_t i = begin; i < end; ++i) {
            int b = o.ball[i];
            ball_pos[b] = vec_of(o.pos[i]);
            ball_prev[b] = o.prev[i];
        }
    });
    for (int t = 0; t < threads; ++t) {
        const std::vector<int>& d = o.scratch[(size_t)t].per_x;
        for (size_t x = 0; x < d.size(); ++x)
            o.per_x[x] += d[x];
    }
}

// Whether the ball arrays changed under the engine since its last frame: a
// new start, another plan's frames, a new field, or a writer that said so.
static bool needs_import(const SimState* s, const OrderedState& o)
{
    return !o.imported || !s->lists_stale || s->balls_written || o.balls != s->ball_count ||
           o.side != s->cell_side || o.pos_source != s->ball_pos || o.prev_source != s->ball_prev;
}

bool ordered_frame(SimState* s, const MapHeader* header, const SimPlan* plan, int threads, bool* ok)
{
    *ok = true;
    if (s->ball_count <= 0)
        return true;
    OrderedState& o = *(s->ordered ? s->ordered : (s->ordered = new OrderedState()));
    typedef std::chrono::steady_clock Clock;
    Clock::time_point mark = Clock::now();
    auto lap = [&](OrderedStage stage) {
        Clock::time_point now = Clock::now();
        o.stage[stage] += std::chrono::duration<double>(now - mark).count();
        mark = now;
    };
    if (needs_import(s, o)) {
        if (!import_balls(s, o)) {
            o.imported = false;
            return false;
        }
    } else {
        take_written_balls(s, o);
    }
    s->lists_stale = true;
    if (o.scratch.size() < (size_t)threads)
        o.scratch.resize((size_t)threads);
    lap(ORDERED_IMPORT);
    sort_items(s, o, threads);
    lap(ORDERED_KEYS);
    if (wants_resort(o))
        resort_arrays(s, o, threads);
    else if (o.lag > 0)
        note_item_slots(s, o, threads);
    lap(ORDERED_RESORT);
    index_cells(s, o, threads);
    lap(ORDERED_INDEX);
    walk_slabs(s, o, plan, threads);
    lap(ORDERED_WALKS);
    step_slots(s, o, header, plan, threads);
    lap(ORDERED_STEP);
    for (int t = 0; t < threads; ++t) {
        OrderedScratch& scratch = o.scratch[(size_t)t];
        s->partner_limit_hit |= scratch.limit_hit;
        *ok &= !scratch.refused;
        scratch.refused = false;
    }
    o.frames++;
    o.peak_bytes = std::max(o.peak_bytes, ordered_bytes(s));
    return true;
}

long take_ordered_stage_times(SimState* s, double seconds[ORDERED_STAGES])
{
    long frames = 0;
    for (int k = 0; k < ORDERED_STAGES; ++k)
        seconds[k] = s->ordered ? s->ordered->stage[k] : 0.0;
    if (s->ordered) {
        frames = s->ordered->frames;
        s->ordered->frames = 0;
        for (double& v : s->ordered->stage)
            v = 0.0;
    }
    return frames;
}

size_t ordered_bytes(const SimState* s)
{
    const OrderedState* o = s->ordered;
    if (!o)
        return 0;
    auto bytes = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
    size_t total = bytes(o->pos) + bytes(o->prev) + bytes(o->pos_next) + bytes(o->prev_next) + bytes(o->cell) +
                   bytes(o->cell_next) + bytes(o->ball) + bytes(o->ball_next) + bytes(o->slot_of_ball) +
                   bytes(o->items) + bytes(o->moved_items) + bytes(o->changed) + bytes(o->item_slot) +
                   bytes(o->group) + bytes(o->order) + bytes(o->seq_cell) + bytes(o->list) +
                   bytes(o->item_list) + o->span_count * sizeof(CellSpan);
    for (const OrderedScratch& t : o->scratch)
        total += t.lists_size * sizeof(int) + bytes(t.moved) + bytes(t.per_x) + bytes(t.bins);
    return total;
}

size_t ordered_peak_bytes(const SimState* s)
{
    return s->ordered ? std::max(s->ordered->peak_bytes, ordered_bytes(s)) : 0;
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
    index_cells(s, *o, 1);
    OrderedScratch scratch;
    bool ok = true;
    const int slabs = (int)o->slab_begin.size() - 1;
    for (int k = 0; k < slabs && ok; ++k) {
        int longest = 0;
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
    for (const OrderItem& item : o->items) {
        CellCoord c = o->cell[(size_t)item.slot];
        o->spans[cell_index(s, c.x, c.y, c.z)] = CellSpan{0, 0};
    }
    std::free(scratch.lists);
    return ok;
}
