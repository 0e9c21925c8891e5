// Ball-ball repulsion: balls whose centres are at most one unit apart push
// each other apart along the line between them.
//
// The pass is sequential by definition: ball after ball, each walking its
// neighbour list from the last entry down, every pair seeing the pushes of
// all pairs before it. Each accepted pair therefore sits on a long chain of
// dependent arithmetic (a division among it) through the position of the
// walking ball. Independent walks run side by side in vector lanes: sixteen
// where the processor has AVX-512, eight where it has AVX2 (one kernel,
// repulsion_lanes.h); the plain walk serves everywhere else. Each pair's push
// is pair_push (pair_push.h) on every path.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "ordered.h"
#include "reach_lists.h"
#include "repulsion_walk.h"
#include "sim_plan.h"

// The walk of ball i over the list of its cell, from the last entry down to
// the one after `stop`, positions found through rank (slot = ball without
// one).
template <bool RANKED, int STRIDE>
static inline void repel_one(int i, const int* list, int stop, double coef, float* base, const int* rank)
{
    // Ball i is never its own partner, so its position can live in locals
    // for the walk: every pair still sees its latest value.
    float* self = base + (size_t)STRIDE * (size_t)(RANKED ? rank[i] : i);
    float xi = self[0], yi = self[1], zi = self[2];
    for (int s = list[0]; s > stop; --s) {
        int j = list[s];
        if (j == i)
            continue;
        float* pj = base + (size_t)STRIDE * (size_t)(RANKED ? rank[j] : j);
        PairPush push;
        if (!pair_push(xi, yi, zi, pj, coef, &push))
            continue;
        xi -= push.x;
        yi -= push.y;
        zi -= push.z;
        pj[0] += push.x;
        pj[1] += push.y;
        pj[2] += push.z;
    }
    self[0] = xi;
    self[1] = yi;
    self[2] = zi;
}

// Walks ahead of the one at hand whose list offset, and then whose list,
// is fetched early: in a large field both are far apart in memory.
// Trades time for the fetch to land against lines evicted before use; no
// figure was recorded for 16 and 8 (59138bf).
static const int PLAIN_OFFSET_AHEAD = 16;
static const int PLAIN_LIST_AHEAD = 8;

template <bool RANKED, int STRIDE>
static void repel_plain_in(const WalkSequence& q, double coef, float* base, const int* rank)
{
    for (int n = 0; n < q.count; ++n) {
        if (n + PLAIN_OFFSET_AHEAD < q.count && !q.list) {
            CellCoord c = q.cell[n + PLAIN_OFFSET_AHEAD];
            __builtin_prefetch(q.starts + (size_t)c.x * q.stride_x + (size_t)c.y * q.stride_y + (size_t)c.z);
        }
        if (n + PLAIN_LIST_AHEAD < q.count)
            __builtin_prefetch(sequence_list(q, n + PLAIN_LIST_AHEAD));
        const int* list = sequence_list(q, n);
        repel_one<RANKED, STRIDE>(sequence_ball(q, n), list, walk_stop(q, list), coef, base, rank);
    }
}

void repel_plain(const WalkSequence& q, double coef, const WalkSpace& space)
{
    if (space.rank && space.stride == 4)
        repel_plain_in<true, 4>(q, coef, space.base, space.rank);
    else if (space.rank)
        repel_plain_in<true, 3>(q, coef, space.base, space.rank);
    else if (space.stride == 4)
        repel_plain_in<false, 4>(q, coef, space.base, nullptr);
    else
        repel_plain_in<false, 3>(q, coef, space.base, nullptr);
}

void free_repel_scratch(SimState* s)
{
    free_wide_scratch(&s->main_scratch);
    free_parallel_scratch(s);
    free_reach_lists(s);
}

// Walks the lanes must keep going at once, on average, for the wide path to
// beat the plain one, the lanes counted as sixteen, estimated from the
// first WIDE_SAMPLE walks. A larger sample trades time every pass for a
// surer choice; no figure was recorded for 6 and 512 (6c79b7a).
static const int WIDE_MIN_LANES = 6;
static const int WIDE_LANE_COUNT = 16;
static const int WIDE_SAMPLE = 512;

bool wide_walks_pay(const WalkSequence& q)
{
    // Fill lanes with the first balls of the sequence as the wide path
    // does; a walk that conflicts with a running one makes the lanes drain
    // first. The mean number of walks per fill estimates the lanes in use.
    CellCoord running[WIDE_LANE_COUNT];
    int filled = 0, fills = 1;
    int sample = q.count < WIDE_SAMPLE ? q.count : WIDE_SAMPLE;
    for (int n = 0; n < sample; ++n) {
        CellCoord c = q.cell[n];
        bool conflict = filled == WIDE_LANE_COUNT;
        for (int l = 0; l < filled && !conflict; ++l)
            conflict = walks_conflict(running[l], c);
        if (conflict) {
            ++fills;
            filled = 0;
        }
        running[filled++] = c;
    }
    return sample >= WIDE_MIN_LANES * fills;
}

bool repel_wide(const SimPlan* plan, const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space)
{
    if (plan->walk_lanes == 16)
        return repel_wide16(q, coef, scratch, space);
    return plan->walk_lanes == 8 && repel_wide8(q, coef, scratch, space);
}

bool plan_walks_in_lanes(const SimPlan* plan, const WalkSequence& q)
{
    return plan->walk_lanes > 0 && (!plan->sampled || wide_walks_pay(q));
}

void repel_with_plan(SimState* s, const SimPlan* plan)
{
    const double coef = (double)s->repulsion_coef;
    if (s->ball_count <= 0)
        return;
    refresh_cell_lists(s);
    const WalkSequence all = ball_sequence(s);
    // The fallbacks in order: the reach lists, the whole lists in lanes,
    // the plain walk.
    bool wide = plan_walks_in_lanes(plan, all);
    if (wide && plan->reach && repel_reach(s, plan, coef))
        return;
    if (wide && repel_wide(plan, all, coef, &s->main_scratch, ball_space(s)))
        return;
    repel_plain(all, coef, ball_space(s));
}

void repel_balls(SimState* s)
{
    repel_with_plan(s, choose_plan_in_mode(s, false));
}
