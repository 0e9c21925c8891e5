// The parallel engines' way onto the simulation's thread team, and the
// even share of a range each part takes.
#pragma once

#include <cstddef>

#include "sim_state.h"
#include "thread_team.h"

// Runs work(t) for t = 0 .. n - 1 on the simulation's thread team, the
// caller taking part 0. The team's threads spin only briefly between calls:
// a team that spins until the next call (an OpenMP team) was tried and
// collapsed to a tenth of the speed whenever another program held a core.
// An OpenMP `parallel for` with a static schedule for the ordered engine's
// step (100,000 settled balls, 2 threads, a busy machine) took 1.75-2.1 ms
// a frame against 0.6-0.7 ms on the team, and its spinning threads slowed
// the passes around it. Without memory for a team every part runs on the
// caller.
template <typename Work>
inline void run_on_threads(SimState* s, int n, Work work)
{
    if (!s->team)
        s->team = make_team();
    if (!s->team) {
        for (int t = 0; t < n; ++t)
            work(t);
        return;
    }
    run_team(s->team, n, [](void* ctx, int t) { (*(Work*)ctx)(t); }, &work);
}

// Part t of n of the range 0 .. total - 1.
inline void share(size_t total, int t, int n, size_t* begin, size_t* end)
{
    *begin = total * (size_t)t / (size_t)n;
    *end = total * (size_t)(t + 1) / (size_t)n;
}
