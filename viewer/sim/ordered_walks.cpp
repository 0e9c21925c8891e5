// The ordered engine's repulsion pass (see ordered.cpp for its order): the
// walks of the slabs over the lists kept from the last build.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "balls.h"
#include "ordered_state.h"
#include "repulsion_walk.h"
#include "sim_plan.h"
#include "sim_team.h"

// Even slabs first, then each odd one once both its neighbours are done; no
// thread waits for the others at the turn. A slab whose lists could not be
// had is not walked.
void walk_slabs(SimState* s, OrderedState& o, const SimPlan* plan, int threads)
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
    const WalkSpace space = {&o.pos[0].x, 4, nullptr, 4 * n, n + 1};
    std::vector<double> spent(2 * (size_t)threads, 0.0);
    run_on_threads(s, threads, [&](int t) {
        OrderedScratch& scratch = o.scratch[(size_t)t];
        typedef std::chrono::steady_clock Clock;
        Clock::time_point mark = Clock::now();
        auto lap = [&](int what) {
            Clock::time_point now = Clock::now();
            spent[2 * (size_t)t + (size_t)what] += std::chrono::duration<double>(now - mark).count();
            mark = now;
        };
        for (int task; (task = next_task.fetch_add(1)) < slabs;) {
            const int k = task < evens ? 2 * task : 2 * (task - evens) + 1;
            const int begin = o.slab_begin[(size_t)k];
            const int count = o.slab_begin[(size_t)k + 1] - begin;
            const SlabLists& l = o.slab_lists[k];
            lap(0);
            if (k & 1)
                while (!done[k - 1].load(std::memory_order_acquire) ||
                       (k + 1 < slabs && !done[k + 1].load(std::memory_order_acquire)))
                    std::this_thread::yield();
            lap(1);
            if (l.built && count > 0) {
                const WalkSequence q = {o.order.data() + begin, o.seq_cell.data() + begin, o.list.data() + begin,
                                        count, l.ints, 0, l.longest, l.size,
                                        nullptr, 0, 0, s->partner_limit};
                const bool wide = plan_walks_in_lanes(plan, q);
                if (!(wide && repel_wide(plan, q, coef, &scratch.wide, space)))
                    repel_plain(q, coef, space);
            }
            lap(0);
            done[k].store(true, std::memory_order_release);
        }
    });
    for (int t = 0; t < threads; ++t) {
        o.stage[ORDERED_WALK] += spent[2 * (size_t)t];
        o.stage[ORDERED_WAIT] += spent[2 * (size_t)t + 1];
    }
}
