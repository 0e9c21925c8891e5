// The opt-in parallel mode: one frame of the simulation on several threads,
// with results that do not depend on how many.
//
// Repulsion. The field is cut along x into about SLABS slabs, each at least
// two neighbour cells thick. A walk reaches only balls registered within one
// cell of its own ball's cell, so the walks of balls in slabs s and s + 2
// never touch a common ball: all even slabs can run at once, then all odd
// slabs. Inside a slab the walks run in ball order (side by side where that
// pays, which thick slabs favour), on a copy of the positions packed slab by
// slab so that the threads never write to a common cache line. Which thread takes which slab therefore changes
// nothing: the same pairs, the same formulas and the same order for every
// thread count, though not the order of the sequential pass.
//
// Step. The per-ball arithmetic is independent from ball to ball and runs in
// ranges of balls; the neighbour registrations then move in ball order on one
// thread, exactly as the sequential step moves them. The step's results are
// thus those of step_balls, bit for bit.
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "integration_ball.h"
#include "repulsion_walk.h"

int sim_threads = 0;

// Slabs the field is cut into, whatever the number of threads: two per
// phase. Few thick slabs keep the walks inside a slab spread over a wide
// area, so that many of them are independent and run side by side in vector
// lanes; thin slabs would leave the lanes waiting on each other.
static const int SLABS = 4;

// Neighbour cells per slab along x: at least two.
static int slab_width()
{
    int width = (cell_side + SLABS - 1) / SLABS;
    return width < 2 ? 2 : width;
}

struct ParallelState {
    std::vector<int> order;        // balls grouped by slab, ball order inside
    std::vector<int> slab_begin;   // slab s: order[slab_begin[s] .. slab_begin[s + 1])
    std::vector<int> rank;         // ball number to its place in order
    std::vector<Vec3> packed;      // positions in the order of `order`, and padding
    std::vector<WideScratch> scratch;  // one per thread
};
static ParallelState parallel;

void free_parallel_scratch()
{
    for (WideScratch& s : parallel.scratch)
        free_wide_scratch(&s);
    parallel = ParallelState();
}

// Runs work(t) for t = 0 .. n - 1, each on a thread of its own, the caller
// taking part 0. Parts whose thread cannot be started run on the caller
// afterwards. Threads are started per call and joined: a spinning pool that
// outlives the call (an OpenMP team) was tried and collapsed to a tenth of
// the speed whenever another program held a core.
template <typename Work>
static void run_on_threads(int n, Work work)
{
    std::vector<std::thread> helpers;
    std::vector<int> left_over;
    helpers.reserve((size_t)n);
    left_over.reserve((size_t)n);
    for (int t = 1; t < n; ++t) {
        try {
            helpers.emplace_back(work, t);
        } catch (const std::system_error&) {
            left_over.push_back(t);
        }
    }
    work(0);
    for (int t : left_over)
        work(t);
    for (std::thread& h : helpers)
        h.join();
}

// Counting sort of the balls by slab, stable in ball order.
static void group_by_slab()
{
    const int width = slab_width();
    auto slab_of = [width](int x) { return x / width; };
    int slabs = slab_of(cell_side - 1) + 1;
    parallel.slab_begin.assign((size_t)slabs + 1, 0);
    for (int i = 0; i < ball_count; ++i)
        parallel.slab_begin[(size_t)slab_of(ball_cell[i].x) + 1]++;
    for (int s = 0; s < slabs; ++s)
        parallel.slab_begin[(size_t)s + 1] += parallel.slab_begin[(size_t)s];
    std::vector<int> at(parallel.slab_begin.begin(), parallel.slab_begin.end() - 1);
    parallel.order.resize((size_t)ball_count);
    for (int i = 0; i < ball_count; ++i)
        parallel.order[(size_t)at[(size_t)slab_of(ball_cell[i].x)]++] = i;
}

static void repel_balls_parallel(int threads)
{
    const double coef = (double)repulsion_coef;
    group_by_slab();
    int slabs = (int)parallel.slab_begin.size() - 1;
    // The walks work on a copy of the positions packed slab by slab: balls
    // of slabs that run at once then never share a cache line, which would
    // otherwise pass back and forth between the threads at every push.
    const size_t total = (size_t)ball_count;
    parallel.rank.resize(total);
    parallel.packed.resize(total + 1);
    run_on_threads(threads, [&](int t) {
        size_t begin = total * (size_t)t / (size_t)threads, end = total * (size_t)(t + 1) / (size_t)threads;
        for (size_t r = begin; r < end; ++r) {
            int ball = parallel.order[r];
            parallel.rank[(size_t)ball] = (int)r;
            parallel.packed[r] = ball_pos[ball];
        }
    });
    parallel.packed[total] = Vec3{0.0f, 0.0f, 0.0f};
    const WalkSpace space = {parallel.packed.data(), parallel.rank.data()};
    if (parallel.scratch.size() < (size_t)threads)
        parallel.scratch.resize((size_t)threads);
    for (int phase = 0; phase < 2; ++phase) {
        std::atomic<int> next_slab(phase);
        run_on_threads(threads, [&](int t) {
            for (;;) {
                int s = next_slab.fetch_add(2);
                if (s >= slabs)
                    break;
                int begin = parallel.slab_begin[(size_t)s];
                int count = parallel.slab_begin[(size_t)s + 1] - begin;
                if (count == 0)
                    continue;
                const int* order = parallel.order.data() + begin;
                bool wide = repel_path == REPEL_WIDE || repel_path == REPEL_WIDE8 ||
                            (repel_path == REPEL_AUTO && wide_walks_pay(order, count));
                if (!(wide && repel_wide_supported() &&
                      repel_wide(order, count, coef, &parallel.scratch[(size_t)t], space)))
                    repel_plain(order, count, coef, space);
            }
        });
    }
    run_on_threads(threads, [&](int t) {
        size_t begin = total * (size_t)t / (size_t)threads, end = total * (size_t)(t + 1) / (size_t)threads;
        for (size_t r = begin; r < end; ++r)
            ball_pos[parallel.order[r]] = parallel.packed[r];
    });
}

static bool step_balls_parallel(const MapHeader* header, int threads)
{
    StepConstants k = step_constants(header);
    int per_thread = (ball_count + threads - 1) / threads;
    run_on_threads(threads, [&](int t) {
        int begin = t * per_thread;
        int end = begin + per_thread < ball_count ? begin + per_thread : ball_count;
        for (int i = begin; i < end; ++i)
            advance_ball(k, i);
    });
    bool all_registered = true;
    for (int i = 0; i < ball_count; ++i)
        all_registered &= move_registration(i);
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
