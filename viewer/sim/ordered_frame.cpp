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

void set_ordered_resort(SimState* s, int share)
{
    if (!s->ordered)
        s->ordered = new OrderedState();
    s->ordered->resort_share = share;
}

// The step over each thread's range of slots, the cells of the balls that
// left theirs, the write back of positions and previous positions to the
// ball arrays.
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

// The repulsion pass: over the cut lists where the plan walks in lanes and
// they are not resting, kept when no ball travelled ORDERED_TRAVEL, else
// walked again over the whole lists from the positions before it.
static void walk_with_cut_lists(SimState* s, OrderedState& o, const SimPlan* plan, int threads)
{
    const bool cut = plan->walk_lanes > 0 && o.lag == 0 && o.cut_rest == 0;
    if (o.cut_rest > 0)
        o.cut_rest--;
    if (!cut) {
        walk_slabs(s, o, plan, threads, false);
        return;
    }
    const size_t n = (size_t)o.balls;
    o.pos_saved.resize(n);
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        std::copy(o.pos.begin() + (ptrdiff_t)begin, o.pos.begin() + (ptrdiff_t)end, o.pos_saved.begin() + (ptrdiff_t)begin);
    });
    walk_slabs(s, o, plan, threads, true);
    std::vector<char> held((size_t)threads, 1);
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        bool within = !o.scratch[(size_t)t].cut_failed;
        for (size_t i = begin; i < end; ++i)
            within &= o.pos[i].w < ORDERED_TRAVEL;
        held[(size_t)t] = within;
    });
    bool all_held = true;
    for (int t = 0; t < threads; ++t) {
        all_held &= held[(size_t)t] != 0;
        o.scratch[(size_t)t].cut_failed = false;
    }
    if (all_held) {
        o.cut_passes++;
        o.cut_rest_next = ORDERED_CUT_REST_FIRST;
        return;
    }
    o.cut_redone++;
    o.cut_rest = o.cut_rest_next;
    o.cut_rest_next = std::min(2 * o.cut_rest_next, ORDERED_CUT_REST_MOST);
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        std::copy(o.pos_saved.begin() + (ptrdiff_t)begin, o.pos_saved.begin() + (ptrdiff_t)end, o.pos.begin() + (ptrdiff_t)begin);
    });
    walk_slabs(s, o, plan, threads, false);
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
    index_cells(s, o, threads, false);
    lap(ORDERED_INDEX);
    walk_with_cut_lists(s, o, plan, threads);
    // The index emptied for the next frame, before the step changes cells.
    index_cells(s, o, threads, true);
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

void ordered_cut_counts(const SimState* s, long* passes, long* redone)
{
    *passes = s->ordered ? s->ordered->cut_passes : 0;
    *redone = s->ordered ? s->ordered->cut_redone : 0;
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
    size_t total = bytes(o->pos_saved) + bytes(o->pos) + bytes(o->prev) + bytes(o->pos_next) + bytes(o->prev_next) + bytes(o->cell) +
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

