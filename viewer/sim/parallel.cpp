// The opt-in parallel mode: one frame of the simulation on several threads,
// with results that do not depend on how many.
//
// Repulsion. The field is cut along x into SLABS slabs, each between two
// others at least two neighbour cells thick. A walk reaches only balls
// registered within one cell of its own ball's cell, so the walks of balls in
// slabs s and s + 2 never touch a common ball: all even slabs can run at
// once, then the odd slabs, each as soon as its two neighbours are done.
// Inside a slab the walks follow the balls' cells rather than their numbers
// (order_slab), on a copy of the positions packed in cell order and on lists
// built from that order (build_slab_lists), which name the same balls as the
// neighbour lists by their places there, row by row: the walks find their
// partners close together, and the threads never write to a common cache
// line. The sequence depends only on the balls' cells, so which thread takes
// which slab changes nothing: the same pairs, the same formulas and the same
// order for every thread count, though not the order of the sequential pass.
//
// Step. The per-ball arithmetic is independent from ball to ball and runs in
// ranges of balls; the neighbour registrations then move in ball order on one
// thread, exactly as the sequential step moves them. The step's results are
// thus those of step_balls, bit for bit.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "integration_ball.h"
#include "ordered.h"
#include "repulsion_walk.h"
#include "sim_team.h"
#include "thread_team.h"

// Slabs the field is cut into, whatever the number of threads: several
// per thread, so that threads that finish early take another.
// More slabs balance the threads better; fewer keep more walks of a slab
// independent, which the lanes need. Sixteen (c815a79), then four (2b1b87d),
// then eight (14f1eaf) were tried; no figure was recorded.
static const int SLABS = 8;

// A ball in cell order: its key (slab, then the cell's z, y and x), number
// and cell. Gravity runs along y, so rows along z are short in a heap.
struct SortItem {
    uint64_t key;
    int ball;
    CellCoord cell;
};

// Working memory of one thread.
struct ThreadScratch {
    WideScratch wide;
    std::vector<int> bins;  // counting sort of a slab's walks
    int* lists = nullptr;   // the lists of the slab at hand, entries as places in items
    size_t lists_size = 0;  // ints they have room for
};

struct ParallelState {
    std::vector<int> slab_of_x;    // the slab of each neighbour cell x
    std::vector<int> per_x;        // balls per neighbour cell x
    std::vector<SortItem> items;   // the balls in cell order
    std::vector<uint8_t> changed;  // per item: whether its key changed this frame
    std::vector<SortItem> moved_items;  // the items whose key changed
    std::vector<int> slab_begin;   // slab s: items and walks [slab_begin[s] .. slab_begin[s + 1])
    std::vector<int> group;        // per item: its group of walks in its slab
    std::vector<int> order;        // the walks: balls, slab by slab
    std::vector<CellCoord> cell;   // and their cells
    std::vector<uint32_t> list;    // and the offsets of their lists
    std::vector<uint32_t> item_list;  // per item: its list's offset in its thread's lists
    std::vector<int> slab_x0;      // per slab: its first neighbour cell x; then cell_side
    std::vector<size_t> cell_base; // per slab: where its part of cells begins
    std::vector<int> cells;        // per cell: where its balls begin in items (index_cells)
    int row_z0 = 0, row_y0 = 0;    // the first row of cells there
    int rows_z = 0, rows_y = 0;    // and the rows along z and y
    std::vector<CellCoord> low, high;  // per thread: the least and greatest z and y of its balls
    std::vector<int> rank;         // ball number to its place in items
    std::vector<float> packed;     // positions in the order of items, four floats each
    std::vector<ThreadScratch> scratch;
    std::vector<std::vector<int>> moved;  // per thread: balls whose cell changed
    size_t lists_limit = SIZE_MAX;  // ints a thread's lists may take; beyond, refused (tests)
};

// The parallel mode's state of s, made when first needed.
static ParallelState& parallel_state(SimState* s)
{
    if (!s->parallel)
        s->parallel = new ParallelState();
    return *s->parallel;
}

void limit_parallel_lists(SimState* s, size_t ints)
{
    parallel_state(s).lists_limit = ints;
}

void free_parallel_scratch(SimState* s)
{
    if (s->parallel) {
        for (ThreadScratch& t : s->parallel->scratch) {
            free_wide_scratch(&t.wide);
            std::free(t.lists);
        }
        delete s->parallel;
        s->parallel = nullptr;
    }
    free_ordered_state(s);
    free_team(s->team);
    s->team = nullptr;
}

// Balls ahead of the one at hand whose data are fetched early where balls
// are visited in cell order: their numbers, and so their data, lie far apart.
// Trades time for the fetch to land against lines evicted before use; no
// figure was recorded for 16 (f0de337).
static const size_t BALL_AHEAD = 16;

static inline bool item_before(const SortItem& a, const SortItem& b)
{
    return a.key < b.key || (a.key == b.key && a.ball < b.ball);
}

// Cuts the field along x into slabs holding about as many balls each, so
// that the threads finish together. A slab between two others is
// at least two cells wide. Returns the number of slabs.
static int cut_slabs(SimState* sim)
{
    ParallelState& parallel = *sim->parallel;
    const int side = sim->cell_side;
    const size_t n = (size_t)sim->ball_count;
    const CellCoord* const ball_cell = sim->ball_cell;
    std::vector<int>& per_x = parallel.per_x;
    per_x.assign((size_t)side, 0);
    for (size_t i = 0; i < n; ++i)
        per_x[(size_t)ball_cell[i].x]++;
    parallel.slab_of_x.resize((size_t)side);
    int s = 0, begin = 0;
    size_t seen = 0;
    for (int x = 0; x < side; ++x) {
        if (s < SLABS - 1 && x - begin >= 2 && seen >= n * (size_t)(s + 1) / SLABS) {
            ++s;
            begin = x;
        }
        parallel.slab_of_x[(size_t)x] = s;
        seen += (size_t)per_x[(size_t)x];
    }
    return s + 1;
}

// Sorts the balls by slab, then by cell, ties in ball order, starting from
// the last frame's order, and finds where each slab begins. From one frame
// to the next few balls change cells: the threads find the new keys, and
// the balls whose key changed are taken out, sorted, and merged back into
// the others, which are still in order.
static void sort_balls(SimState* s, int threads)
{
    ParallelState& parallel = *s->parallel;
    const uint64_t side = (uint64_t)s->cell_side;
    const int slabs = cut_slabs(s);
    const int* slab_of_x = parallel.slab_of_x.data();
    const size_t n = (size_t)s->ball_count;
    const CellCoord* const ball_cell = s->ball_cell;
    std::vector<SortItem>& items = parallel.items;
    std::vector<uint8_t>& changed = parallel.changed;
    if (items.size() != n) {
        items.resize(n);
        for (size_t i = 0; i < n; ++i)
            items[i] = SortItem{UINT64_MAX, (int)i, {0, 0, 0}};  // no key yet: changed
    }
    changed.resize(n);
    // Each thread also notes the rows (z, y) its balls lie in.
    std::vector<CellCoord>& low = parallel.low, &high = parallel.high;
    low.assign((size_t)threads, CellCoord{s->cell_side, s->cell_side, s->cell_side});
    high.assign((size_t)threads, CellCoord{-1, -1, -1});
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        CellCoord lo = low[(size_t)t], hi = high[(size_t)t];
        for (size_t r = begin; r < end; ++r) {
            if (r + BALL_AHEAD < end)
                __builtin_prefetch(&ball_cell[items[r + BALL_AHEAD].ball]);
            CellCoord c = ball_cell[items[r].ball];
            lo.y = c.y < lo.y ? c.y : lo.y;
            lo.z = c.z < lo.z ? c.z : lo.z;
            hi.y = c.y > hi.y ? c.y : hi.y;
            hi.z = c.z > hi.z ? c.z : hi.z;
            uint64_t key =
                (((uint64_t)slab_of_x[c.x] * side + (uint64_t)c.z) * side + (uint64_t)c.y) * side + (uint64_t)c.x;
            changed[r] = key != items[r].key;
            items[r] = SortItem{key, items[r].ball, c};
        }
        low[(size_t)t] = lo;
        high[(size_t)t] = hi;
    });
    // The rows the lists can reach: those of the balls and one more around.
    CellCoord lo = low[0], hi = high[0];
    for (int t = 1; t < threads; ++t) {
        lo.y = std::min(lo.y, low[(size_t)t].y);
        lo.z = std::min(lo.z, low[(size_t)t].z);
        hi.y = std::max(hi.y, high[(size_t)t].y);
        hi.z = std::max(hi.z, high[(size_t)t].z);
    }
    parallel.row_y0 = lo.y - 1;
    parallel.row_z0 = lo.z - 1;
    parallel.rows_y = hi.y - lo.y + 3;
    parallel.rows_z = hi.z - lo.z + 3;
    std::vector<SortItem>& moved = parallel.moved_items;
    moved.clear();
    size_t kept = 0;
    for (size_t r = 0; r < n; ++r) {
        if (changed[r])
            moved.push_back(items[r]);
        else
            items[kept++] = items[r];
    }
    std::sort(moved.begin(), moved.end(), item_before);
    // Merged from the back, into the room the moved balls left.
    size_t a = kept, b = moved.size(), to = n;
    while (b > 0) {
        if (a > 0 && item_before(moved[b - 1], items[a - 1]))
            items[--to] = items[--a];
        else
            items[--to] = moved[--b];
    }

    std::vector<int>& slab_begin = parallel.slab_begin;
    slab_begin.assign((size_t)slabs + 1, (int)n);
    slab_begin[0] = 0;
    for (int s = 1; s < slabs; ++s) {
        SortItem first = {(uint64_t)s * side * side * side, -1, {0, 0, 0}};
        slab_begin[(size_t)s] = (int)(std::lower_bound(items.begin(), items.end(), first, item_before) - items.begin());
    }
}

// The row of cells (z, y) in the index of cells: the rows from row_z0 and
// row_y0 on, as far as the lists of the balls reach.
static inline size_t cell_row(const ParallelState& parallel, int z, int y)
{
    return (size_t)(z - parallel.row_z0) * (size_t)parallel.rows_y + (size_t)(y - parallel.row_y0);
}

// Finds where each cell's balls begin among the items: for slab t, whose
// columns are x0 .. x0 + w - 1, cell (x, y, z) at cells[base[t] +
// cell_row(z, y)·w + x - x0], and after its last cell the slab's end.
// Counted, then summed, so that no step depends on where the balls are.
static void index_cells(SimState* s, int threads)
{
    ParallelState& parallel = *s->parallel;
    const size_t side = (size_t)s->cell_side, rows = (size_t)parallel.rows_z * (size_t)parallel.rows_y;
    const int slabs = (int)parallel.slab_begin.size() - 1;
    std::vector<size_t>& base = parallel.cell_base;
    std::vector<int>& x0 = parallel.slab_x0;
    base.resize((size_t)slabs + 1);
    x0.resize((size_t)slabs + 1);
    base[0] = 0;
    for (int t = 0, x = 0; t < slabs; ++t) {
        x0[(size_t)t] = x;
        while (x < (int)side && parallel.slab_of_x[(size_t)x] == t)
            ++x;
        base[(size_t)t + 1] = base[(size_t)t] + rows * (size_t)(x - x0[(size_t)t]) + 1;
    }
    x0[(size_t)slabs] = (int)side;
    parallel.cells.resize(base[(size_t)slabs]);
    run_on_threads(s, threads, [&](int t) {
        for (int s = t; s < slabs; s += threads) {
            const SortItem* items = parallel.items.data();
            const size_t w = (size_t)(x0[(size_t)s + 1] - x0[(size_t)s]), cells = rows * w;
            int* first = parallel.cells.data() + base[(size_t)s];
            std::fill(first, first + cells + 1, 0);
            const size_t begin = (size_t)parallel.slab_begin[(size_t)s], end = (size_t)parallel.slab_begin[(size_t)s + 1];
            for (size_t r = begin; r < end; ++r) {
                CellCoord c = items[r].cell;
                first[cell_row(parallel, c.z, c.y) * w + (size_t)(c.x - x0[(size_t)s]) + 1]++;
            }
            int sum = (int)begin;
            for (size_t k = 0; k <= cells; ++k) {
                sum += first[k];
                first[k] = sum;
            }
        }
    });
}

// Builds the lists of slab s's cells in the thread's scratch, naming balls
// by their places in items, and notes each item's list there. A ball is in
// the list of every cell of the 3×3×3 block around the cell it is
// registered in, so the list of cell (x, y, z) holds the items of the nine
// rows (z + dz, y + dy), columns x - 1 .. x + 1: in each row one run of
// items per slab the columns fall in. The lists are built row by row, runs
// left to right; the walks find their entries, and their partners, close
// together. False when the memory for them cannot be had.
static bool build_slab_lists(const SimState* sim, int s, ThreadScratch* scratch)
{
    ParallelState& parallel = *sim->parallel;
    const SortItem* items = parallel.items.data();
    const int x0 = parallel.slab_x0[(size_t)s], x1 = parallel.slab_x0[(size_t)s + 1] - 1;
    const size_t w = (size_t)(x1 - x0 + 1);
    const int* first = parallel.cells.data() + parallel.cell_base[(size_t)s];
    // The last column of the slab on the left, the first of the one on the
    // right: a row's run there is one cell.
    const int* left = s > 0 ? parallel.cells.data() + parallel.cell_base[(size_t)s - 1] : nullptr;
    const size_t left_w = s > 0 ? (size_t)(x0 - parallel.slab_x0[(size_t)s - 1]) : 0;
    const bool has_right = s + 2 < (int)parallel.slab_x0.size();
    const int* right = has_right ? parallel.cells.data() + parallel.cell_base[(size_t)s + 1] : nullptr;
    const size_t right_w = has_right ? (size_t)(parallel.slab_x0[(size_t)s + 2] - x1 - 1) : 0;
    uint32_t* item_list = parallel.item_list.data();
    const size_t begin = (size_t)parallel.slab_begin[(size_t)s], end = (size_t)parallel.slab_begin[(size_t)s + 1];
    // Ints written at once: a run overshoots by less. Whole spans trade a few
    // ints written twice for no end test per entry; building these lists from
    // runs took 1,000,000 balls on 2 threads from about 255 to 225 ms a step
    // (8e6e3f0).
    const int SPAN = 8;
    size_t at = 0;
    for (size_t r = begin; r < end; ++r) {
        if (r > begin && items[r].key == items[r - 1].key) {
            item_list[r] = item_list[r - 1];
            continue;
        }
        const CellCoord c = items[r].cell;
        const bool at_left = c.x == x0 && left, at_right = c.x == x1 && right;
        const size_t xa = (size_t)(c.x > x0 ? c.x - 1 - x0 : 0), xb = (size_t)(c.x < x1 ? c.x + 1 - x0 : x1 - x0);
        int run[27][2];
        int runs = 0;
        size_t n = 0;
        // The items from index[a] up to index[b].
        auto add_run = [&](const int* index, size_t a, size_t b) {
            run[runs][0] = index[a];
            run[runs][1] = index[b];
            n += (size_t)(index[b] - index[a]);
            ++runs;
        };
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy) {
                const size_t row = cell_row(parallel, c.z + dz, c.y + dy);
                if (at_left)
                    add_run(left, row * left_w + left_w - 1, row * left_w + left_w);
                add_run(first, row * w + xa, row * w + xb + 1);
                if (at_right)
                    add_run(right, row * right_w, row * right_w + 1);
            }
        if (at + n + 1 + SPAN > scratch->lists_size) {
            size_t size = 2 * (at + n + 1 + SPAN);
            if (size > INT32_MAX || size > parallel.lists_limit)
                return false;
            int* grown = (int*)std::realloc(scratch->lists, size * sizeof(int));
            if (!grown)
                return false;
            scratch->lists = grown;
            scratch->lists_size = size;
        }
        int* to = scratch->lists + at;
        *to++ = (int)n;
        for (int k = 0; k < runs; ++k) {
            // Whole spans, the first one even for an empty run: the next
            // run's entries overwrite what lies past this one's end.
            int v = run[k][0];
            int* p = to;
            do {
                for (int m = 0; m < SPAN; ++m)
                    p[m] = v + m;
                p += SPAN;
                v += SPAN;
            } while (v < run[k][1]);
            to += run[k][1] - run[k][0];
        }
        item_list[r] = (uint32_t)at;
        at += n + 1;
    }
    return true;
}

bool check_parallel_lists(SimState* s, char* fault)
{
    ParallelState& parallel = parallel_state(s);
    auto report = [fault](const char* what, int ball) {
        if (fault)
            std::snprintf(fault, 256, "ball %d: %s", ball, what);
        return false;
    };
    if (s->ball_count <= 0)
        return true;
    sort_balls(s, 1);
    if (!std::is_sorted(parallel.items.begin(), parallel.items.end(), item_before))
        return report("the balls are out of cell order", -1);
    index_cells(s, 1);
    parallel.item_list.resize((size_t)s->ball_count);
    ThreadScratch scratch;
    bool ok = true;
    const int slabs = (int)parallel.slab_begin.size() - 1;
    for (int slab = 0; slab < slabs && ok; ++slab) {
        if (!build_slab_lists(s, slab, &scratch)) {
            ok = report("no memory for the lists", -1);
            break;
        }
        for (int r = parallel.slab_begin[(size_t)slab]; r < parallel.slab_begin[(size_t)slab + 1] && ok; ++r) {
            const SortItem& item = parallel.items[(size_t)r];
            const int* built = scratch.lists + parallel.item_list[(size_t)r];
            const int* own = cell_list(s, cell_index(s, item.cell.x, item.cell.y, item.cell.z));
            std::vector<int> a, b(own + 1, own + 1 + own[0]);
            for (int k = 1; k <= built[0]; ++k)
                a.push_back(parallel.items[(size_t)built[k]].ball);
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            if (a != b)
                ok = report("its cell's built list names other balls than its neighbour list", item.ball);
        }
    }
    free_wide_scratch(&scratch.wide);
    std::free(scratch.lists);
    return ok;
}

// The walk sequence of slab s. Its walks run in groups: the cells of one
// colour (their coordinates modulo 3), and of each cell the k-th ball, for
// k = 0, 1, ... The cells of a colour are three apart, so the walks of a
// group are independent of each other and run side by side without
// waiting; and a group sweeps the slab in cell order, finding lists and
// partners close together. With the slab's lists built (`built`), the
// walks name balls by their places in items and read those lists;
// otherwise they name balls and read the neighbour lists themselves.
static void order_slab(const SimState* sim, int s, std::vector<int>* bins, bool built)
{
    ParallelState& parallel = *sim->parallel;
    const std::vector<SortItem>& items = parallel.items;
    std::vector<int>& group = parallel.group;
    const size_t begin = (size_t)parallel.slab_begin[(size_t)s], end = (size_t)parallel.slab_begin[(size_t)s + 1];
    int depth = 1;
    for (size_t r = begin; r < end; ++r) {
        group[r] = r > begin && items[r].key == items[r - 1].key ? group[r - 1] + 1 : 0;
        depth = group[r] + 1 > depth ? group[r] + 1 : depth;
    }
    const size_t groups = 27 * (size_t)depth;
    std::vector<int>& at = *bins;
    at.assign(groups + 1, 0);
    for (size_t r = begin; r < end; ++r) {
        CellCoord c = items[r].cell;
        group[r] += ((c.x % 3 * 3 + c.y % 3) * 3 + c.z % 3) * depth;
        at[(size_t)group[r] + 1]++;
    }
    at[0] = (int)begin;
    for (size_t g = 0; g < groups; ++g)
        at[g + 1] += at[g];
    for (size_t r = begin; r < end; ++r) {
        size_t k = (size_t)at[(size_t)group[r]]++;
        CellCoord c = items[r].cell;
        parallel.order[k] = built ? (int)r : items[r].ball;
        parallel.cell[k] = c;
        // Read here, many at once, rather than by the walks one by one.
        parallel.list[k] = built ? parallel.item_list[r] : sim->cell_start[cell_index(sim, c.x, c.y, c.z)];
    }
}

// The repulsion pass; the positions it leaves are in parallel.packed.
static void repel_balls_parallel(SimState* s, const SimPlan* plan, int threads)
{
    ParallelState& parallel = parallel_state(s);
    const double coef = (double)s->repulsion_coef;
    const size_t total = (size_t)s->ball_count;
    const Vec3* const ball_pos = s->ball_pos;
    sort_balls(s, threads);
    index_cells(s, threads);
    int slabs = (int)parallel.slab_begin.size() - 1;
    // The walks work on a copy of the positions in cell order: balls of
    // slabs that run at once then never share a cache line, which would
    // otherwise pass back and forth between the threads at every push.
    parallel.rank.resize(total);
    parallel.packed.resize(4 * (total + 1));
    parallel.group.resize(total);
    parallel.order.resize(total);
    parallel.cell.resize(total);
    parallel.list.resize(total);
    parallel.item_list.resize(total);
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(total, t, threads, &begin, &end);
        for (size_t r = begin; r < end; ++r) {
            if (r + BALL_AHEAD < end) {
                int ahead = parallel.items[r + BALL_AHEAD].ball;
                __builtin_prefetch(&ball_pos[ahead]);
                __builtin_prefetch(&parallel.rank[(size_t)ahead], 1);
            }
            int ball = parallel.items[r].ball;
            parallel.rank[(size_t)ball] = (int)r;
            float* p = &parallel.packed[4 * r];
            p[0] = ball_pos[ball].x;
            p[1] = ball_pos[ball].y;
            p[2] = ball_pos[ball].z;
            p[3] = 0.0f;
        }
    });
    std::fill(parallel.packed.end() - 4, parallel.packed.end(), 0.0f);
    if (parallel.scratch.size() < (size_t)threads)
        parallel.scratch.resize((size_t)threads);
    // Even slabs are claimed first, then odd ones; an odd slab's walks
    // start once both its neighbours' are done. No thread waits for the
    // others at the turn from even to odd.
    std::atomic<int> next_task(0);
    std::atomic<bool> done[SLABS];
    for (std::atomic<bool>& d : done)
        d.store(false, std::memory_order_relaxed);
    const int evens = (slabs + 1) / 2;
    SimState* const sim = s;  // the slab at hand is s below
    run_on_threads(s, threads, [&](int t) {
        ThreadScratch& scratch = parallel.scratch[(size_t)t];
        for (;;) {
            int task = next_task.fetch_add(1);
            if (task >= slabs)
                break;
            int s = task < evens ? 2 * task : 2 * (task - evens) + 1;
            int begin = parallel.slab_begin[(size_t)s];
            int count = parallel.slab_begin[(size_t)s + 1] - begin;
            bool built = build_slab_lists(sim, s, &scratch);
            order_slab(sim, s, &scratch.bins, built);
            if (s & 1)
                while (!done[s - 1].load(std::memory_order_acquire) ||
                       (s + 1 < slabs && !done[s + 1].load(std::memory_order_acquire)))
                    std::this_thread::yield();
            const WalkSequence q = {parallel.order.data() + begin,
                                    parallel.cell.data() + begin,
                                    parallel.list.data() + begin,
                                    count,
                                    built ? scratch.lists : sim->cell_pool,
                                    0,
                                    cell_capacity_bound(sim),
                                    built ? scratch.lists_size : cell_lists_bytes(sim) / sizeof(int),
                                    nullptr, 0, 0, sim->partner_limit};
            // Idle lanes read the padding slot after the last ball.
            const WalkSpace space = {parallel.packed.data(), 4, built ? nullptr : parallel.rank.data(),
                                     4 * sim->ball_count, sim->ball_count};
            bool wide = plan_walks_in_lanes(plan, q);
            if (count > 0 && !(wide && repel_wide(plan, q, coef, &scratch.wide, space)))
                repel_plain(q, coef, space);
            done[s].store(true, std::memory_order_release);
        }
    });
}

// Balls whose positions come back from parallel.packed before they step.
// Trades a chunk that stays in the cache from its copy to its step against
// loop overhead per chunk: the chunked step in lanes took 100,000 balls on
// 2 threads from about 9.5 to 8.6 ms (f6c493f); other sizes not recorded.
static const size_t STEP_CHUNK = 512;

// The step, taking the positions from parallel.packed.
static bool step_balls_parallel(SimState* s, const MapHeader* header, const SimPlan* plan, int threads)
{
    ParallelState& parallel = *s->parallel;
    StepConstants k = step_constants(s, header);
    // Room for every ball of each part, so that no thread allocates.
    const size_t total = (size_t)s->ball_count;
    parallel.moved.resize((size_t)threads);
    for (int t = 0; t < threads; ++t) {
        size_t begin, end;
        share(total, t, threads, &begin, &end);
        parallel.moved[(size_t)t].reserve(t == 0 ? total : end - begin);  // part 0 gathers all
    }
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(total, t, threads, &begin, &end);
        std::vector<int>& moved = parallel.moved[(size_t)t];
        moved.clear();
        // A chunk of positions comes back from the packed copy, then steps
        // in lanes where the processor has them, the rest ball by ball.
        const bool lanes = plan->step_lanes == 16;
        Vec3* const ball_pos = k.pos;
        const float* const packed = parallel.packed.data();
        const int* const rank = parallel.rank.data();
        for (size_t chunk = begin; chunk < end; chunk += STEP_CHUNK) {
            size_t chunk_end = std::min(end, chunk + STEP_CHUNK);
            for (size_t i = chunk; i < chunk_end; ++i) {
                if (i + 2 * FIELD_AHEAD < end)
                    __builtin_prefetch(&packed[4 * (size_t)rank[i + 2 * FIELD_AHEAD]]);
                const float* p = &packed[4 * (size_t)rank[i]];
                ball_pos[i] = Vec3{p[0], p[1], p[2]};
            }
            size_t first = chunk;
            if (lanes)
                first = (size_t)advance_balls_wide(k, (int)chunk, (int)chunk_end, &moved);
            for (size_t i = first; i < chunk_end; ++i) {
                // Field cells fetched early, so that each is at hand when
                // its ball steps.
                if (i + FIELD_AHEAD < chunk_end)
                    __builtin_prefetch(field_normal_at(k, ball_pos[i + FIELD_AHEAD]));
                advance_ball(k, (int)i);
                if (leaves_cell(k, (int)i))
                    moved.push_back((int)i);
            }
        }
    });
    // The registrations move in ball order, as in the sequential step.
    std::vector<int>& moved = parallel.moved[0];
    for (int t = 1; t < threads; ++t)
        moved.insert(moved.end(), parallel.moved[(size_t)t].begin(), parallel.moved[(size_t)t].end());
    bool all_registered = move_registrations(s, moved.data(), moved.size());
    tidy_cell_lists(s);
    return all_registered;
}

bool simulate_step(SimState* s, const MapHeader* header)
{
    // The plan is chosen once a frame; parallel when s->sim_threads >= 1.
    const SimPlan* plan = choose_plan(s);
    if (plan->ordered) {
        bool ok = true;
        if (ordered_frame(s, header, plan, s->sim_threads, &ok))
            return ok;
        // No memory for the ordered engine: the slab engine's plan of the
        // same lanes serves.
        plan = plan->walk_lanes == 16 ? find_plan("threads_auto")
               : plan->walk_lanes == 8 ? find_plan("threads_auto8") : find_plan("threads_plain");
    }
    refresh_cell_lists(s);
    note_partner_limit(s);
    if (!plan->parallel) {
        repel_with_plan(s, plan);
        return step_with_plan(s, header, plan);
    }
    if (s->ball_count <= 0)
        return true;
    repel_balls_parallel(s, plan, s->sim_threads);
    return step_balls_parallel(s, header, plan, s->sim_threads);
}
