// The opt-in parallel mode: one frame of the simulation on several threads,
// with results that do not depend on how many.
//
// Repulsion. The field is cut along x into SLABS slabs, each between two
// others at least two neighbour cells thick. A walk reaches only balls
// registered within one cell of its own ball's cell, so the walks of balls in
// slabs s and s + 2 never touch a common ball: all even slabs can run at
// once, then the odd slabs, each as soon as its two neighbours are done.
// Inside a slab the walks follow the balls' cells rather than their numbers
// (order_slab), on a copy of the positions packed in cell order and on
// copies of the slab's lists that name balls by their places there: the walks
// find their partners close together, and the threads never write to a
// common cache line. The sequence depends only on the balls' cells, so which
// thread takes which slab changes nothing: the same pairs, the same formulas
// and the same order for every thread count, though not the order of the
// sequential pass.
//
// Step. The per-ball arithmetic is independent from ball to ball and runs in
// ranges of balls; the neighbour registrations then move in ball order on one
// thread, exactly as the sequential step moves them. The step's results are
// thus those of step_balls, bit for bit.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "integration_ball.h"
#include "repulsion_walk.h"
#include "thread_team.h"

int sim_threads = 0;

// Slabs the field is cut into, whatever the number of threads: several
// per thread, so that threads that finish early take another.
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
    std::vector<int> slab_begin;   // slab s: items and walks [slab_begin[s] .. slab_begin[s + 1])
    std::vector<int> group;        // per item: its group of walks in its slab
    std::vector<int> order;        // the walks: balls, slab by slab
    std::vector<CellCoord> cell;   // and their cells
    std::vector<uint32_t> list;    // and the offsets of their lists
    std::vector<uint32_t> item_list;  // per item: its list's offset in its thread's lists
    std::vector<int> rank;         // ball number to its place in items
    std::vector<float> packed;     // positions in the order of items, four floats each
    std::vector<ThreadScratch> scratch;
    std::vector<std::vector<int>> moved;  // per thread: balls whose cell changed
};
static ParallelState parallel;

void free_parallel_scratch()
{
    for (ThreadScratch& s : parallel.scratch) {
        free_wide_scratch(&s.wide);
        std::free(s.lists);
    }
    parallel = ParallelState();
    stop_team();
}

// Runs work(t) for t = 0 .. n - 1 on the thread team, the caller taking
// part 0. The team's threads spin only briefly between calls: a team that
// spins until the next call (an OpenMP team) was tried and collapsed to a
// tenth of the speed whenever another program held a core.
template <typename Work>
static void run_on_threads(int n, Work work)
{
    run_team(n, [](void* ctx, int t) { (*(Work*)ctx)(t); }, &work);
}

// Part t of n of the range 0 .. total - 1.
static void share(size_t total, int t, int n, size_t* begin, size_t* end)
{
    *begin = total * (size_t)t / (size_t)n;
    *end = total * (size_t)(t + 1) / (size_t)n;
}

static inline bool item_before(const SortItem& a, const SortItem& b)
{
    return a.key < b.key || (a.key == b.key && a.ball < b.ball);
}

// Puts the items in order by insertion, cheap when they nearly are (from
// one frame to the next few balls change cells); false, the order half
// made, once that took more than `budget` moves.
static bool insertion_sort(SortItem* v, size_t n, size_t budget)
{
    size_t moves = 0;
    for (size_t i = 1; i < n; ++i) {
        if (!item_before(v[i], v[i - 1]))
            continue;
        SortItem x = v[i];
        size_t j = i;
        do {
            v[j] = v[j - 1];
            --j;
        } while (j > 0 && item_before(x, v[j - 1]));
        v[j] = x;
        moves += i - j;
        if (moves > budget)
            return false;
    }
    return true;
}

// Cuts the field along x into slabs holding about as many balls each, so
// that the threads finish together. A slab between two others is
// at least two cells wide. Returns the number of slabs.
static int cut_slabs()
{
    const int side = cell_side;
    const size_t n = (size_t)ball_count;
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

// Merges the sorted runs [first, mid) and [mid, last) in place. Runs sorted
// from the last frame's order overlap little: only the overlap moves.
static void merge_runs(SortItem* first, SortItem* mid, SortItem* last)
{
    if (first == mid || mid == last || !item_before(*mid, *(mid - 1)))
        return;
    SortItem* from = std::upper_bound(first, mid, *mid, item_before);
    SortItem* to = std::lower_bound(mid, last, *(mid - 1), item_before);
    std::inplace_merge(from, mid, to, item_before);
}

// Sorts the balls by slab, then by cell, ties in ball order, starting from
// the last frame's order, and finds where each slab begins. Each thread
// sorts a part; the parts are then merged.
static void sort_balls(int threads)
{
    const uint64_t side = (uint64_t)cell_side;
    const int slabs = cut_slabs();
    const int* slab_of_x = parallel.slab_of_x.data();
    const size_t n = (size_t)ball_count;
    std::vector<SortItem>& items = parallel.items;
    if (items.size() != n) {
        items.resize(n);
        for (size_t i = 0; i < n; ++i)
            items[i].ball = (int)i;
    }
    std::atomic<bool> sorted(true);
    run_on_threads(threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        for (size_t r = begin; r < end; ++r) {
            CellCoord c = ball_cell[items[r].ball];
            items[r].cell = c;
            items[r].key =
                (((uint64_t)slab_of_x[c.x] * side + (uint64_t)c.z) * side + (uint64_t)c.y) * side + (uint64_t)c.x;
        }
        if (!insertion_sort(items.data() + begin, end - begin, 16 * (end - begin)))
            sorted = false;
    });
    if (sorted) {
        for (int t = 1; t < threads; ++t) {
            size_t begin, end;
            share(n, t, threads, &begin, &end);
            merge_runs(items.data(), items.data() + begin, items.data() + end);
        }
    } else {
        std::sort(items.begin(), items.end(), item_before);
    }

    std::vector<int>& slab_begin = parallel.slab_begin;
    slab_begin.assign((size_t)slabs + 1, (int)n);
    slab_begin[0] = 0;
    for (int s = 1; s < slabs; ++s) {
        SortItem first = {(uint64_t)s * side * side * side, -1, {0, 0, 0}};
        slab_begin[(size_t)s] = (int)(std::lower_bound(items.begin(), items.end(), first, item_before) - items.begin());
    }
}

// Copies the lists of slab s's cells into the thread's scratch, each entry
// turned into its ball's place in items, and notes each item's list there.
// A cell's list is then translated once for all its balls, and the walks
// read their entries close together and straight from the copy. False
// when the memory for the copy cannot be had.
static bool copy_slab_lists(int s, ThreadScratch* scratch)
{
    const SortItem* items = parallel.items.data();
    const int* rank = parallel.rank.data();
    uint32_t* item_list = parallel.item_list.data();
    const size_t begin = (size_t)parallel.slab_begin[(size_t)s], end = (size_t)parallel.slab_begin[(size_t)s + 1];
    const size_t ahead = 16;
    size_t at = 0;
    for (size_t r = begin; r < end; ++r) {
        if (r + ahead < end) {
            CellCoord c = items[r + ahead].cell;
            const char* list = (const char*)cell_list(cell_index(c.x, c.y, c.z));
            for (int k = 0; k < PREFETCH_LINES; ++k)
                __builtin_prefetch(list + 64 * k);
        }
        if (r > begin && items[r].key == items[r - 1].key) {
            item_list[r] = item_list[r - 1];
            continue;
        }
        CellCoord c = items[r].cell;
        const int* from = cell_list(cell_index(c.x, c.y, c.z));
        size_t n = (size_t)from[0];
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
        int* to = scratch->lists + at;
        to[0] = (int)n;
        for (size_t k = 1; k <= n; ++k)
            to[k] = rank[from[k]];
        item_list[r] = (uint32_t)at;
        at += n + 1;
    }
    return true;
}

// The walk sequence of slab s. Its walks run in groups: the cells of one
// colour (their coordinates modulo 3), and of each cell the k-th ball, for
// k = 0, 1, ... The cells of a colour are three apart, so the walks of a
// group are independent of each other and run side by side without
// waiting; and a group sweeps the slab in cell order, finding lists and
// partners close together. With the slab's lists copied (`copied`), the
// walks name balls by their places in items and read the copies;
// otherwise they name balls and read the lists themselves.
static void order_slab(int s, std::vector<int>* bins, bool copied)
{
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
        parallel.order[k] = copied ? (int)r : items[r].ball;
        parallel.cell[k] = c;
        // Read here, many at once, rather than by the walks one by one.
        parallel.list[k] = copied ? parallel.item_list[r] : cell_start[cell_index(c.x, c.y, c.z)];
    }
}

// The repulsion pass; the positions it leaves are in parallel.packed.
static void repel_balls_parallel(int threads)
{
    const double coef = (double)repulsion_coef;
    const size_t total = (size_t)ball_count;
    sort_balls(threads);
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
    run_on_threads(threads, [&](int t) {
        size_t begin, end;
        share(total, t, threads, &begin, &end);
        for (size_t r = begin; r < end; ++r) {
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
    run_on_threads(threads, [&](int t) {
        ThreadScratch& scratch = parallel.scratch[(size_t)t];
        for (;;) {
            int task = next_task.fetch_add(1);
            if (task >= slabs)
                break;
            int s = task < evens ? 2 * task : 2 * (task - evens) + 1;
            int begin = parallel.slab_begin[(size_t)s];
            int count = parallel.slab_begin[(size_t)s + 1] - begin;
            bool copied = copy_slab_lists(s, &scratch);
            order_slab(s, &scratch.bins, copied);
            if (s & 1)
                while (!done[s - 1].load(std::memory_order_acquire) ||
                       (s + 1 < slabs && !done[s + 1].load(std::memory_order_acquire)))
                    std::this_thread::yield();
            const WalkSequence q = {parallel.order.data() + begin, parallel.cell.data() + begin,
                                    parallel.list.data() + begin, count, copied ? scratch.lists : cell_pool};
            // Idle lanes read the padding slot after the last ball.
            const WalkSpace space = {parallel.packed.data(), 4, copied ? nullptr : parallel.rank.data(),
                                     4 * ball_count};
            bool wide = repel_path == REPEL_WIDE || repel_path == REPEL_WIDE8 ||
                        (repel_path == REPEL_AUTO && wide_walks_pay(q));
            if (count > 0 && !(wide && repel_wide_supported() && repel_wide(q, coef, &scratch.wide, space)))
                repel_plain(q, coef, space);
            done[s].store(true, std::memory_order_release);
        }
    });
}

// The step, taking the positions from parallel.packed.
static bool step_balls_parallel(const MapHeader* header, int threads)
{
    StepConstants k = step_constants(header);
    // Room for every ball of each part, so that no thread allocates.
    const size_t total = (size_t)ball_count;
    parallel.moved.resize((size_t)threads);
    for (int t = 0; t < threads; ++t) {
        size_t begin, end;
        share(total, t, threads, &begin, &end);
        parallel.moved[(size_t)t].reserve(t == 0 ? total : end - begin);  // part 0 gathers all
    }
    run_on_threads(threads, [&](int t) {
        size_t begin, end;
        share(total, t, threads, &begin, &end);
        std::vector<int>& moved = parallel.moved[(size_t)t];
        moved.clear();
        for (size_t i = begin; i < end; ++i) {
            // Positions two field fetches ahead, so that each field cell's
            // address is at hand when it is fetched.
            if (i + 2 * FIELD_AHEAD < end)
                __builtin_prefetch(&parallel.packed[4 * (size_t)parallel.rank[i + 2 * FIELD_AHEAD]]);
            if (i + FIELD_AHEAD < end) {
                const float* a = &parallel.packed[4 * (size_t)parallel.rank[i + FIELD_AHEAD]];
                __builtin_prefetch(field_normal_at(k, Vec3{a[0], a[1], a[2]}));
            }
            const float* p = &parallel.packed[4 * (size_t)parallel.rank[i]];
            ball_pos[i] = Vec3{p[0], p[1], p[2]};
            advance_ball(k, (int)i);
            if (leaves_cell((int)i))
                moved.push_back((int)i);
        }
    });
    // The registrations move in ball order, as in the sequential step.
    std::vector<int>& moved = parallel.moved[0];
    for (int t = 1; t < threads; ++t)
        moved.insert(moved.end(), parallel.moved[(size_t)t].begin(), parallel.moved[(size_t)t].end());
    bool all_registered = move_registrations(moved.data(), moved.size());
    tidy_cell_lists();
    return all_registered;
}

bool simulate_step(const MapHeader* header)
{
    if (sim_threads < 1) {
        repel_balls();
        return step_balls(header);
    }
    if (ball_count <= 0)
        return true;
    repel_balls_parallel(sim_threads);
    return step_balls_parallel(header, sim_threads);
}
