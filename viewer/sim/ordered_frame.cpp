// One frame of the ordered engine (see ordered.cpp for its order): the
// build when a ball travelled too far, the slabs' walks, the step over the
// ordered arrays with its travel check, and the write back of the positions
// to the ball arrays.
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

void set_ordered_skin(SimState* s, float skin)
{
    if (!s->ordered)
        s->ordered = new OrderedState();
    const float held = skin > 0.0f ? std::min(skin, ORDERED_SKIN_MOST) : 0.0f;
    s->ordered->rebuild |= held != s->ordered->skin;
    s->ordered->skin = held;
}

// The step over each thread's range of slots, the check of how far each
// ball travelled since the build, the write back of positions and previous
// positions to the ball arrays.
static void step_slots(SimState* s, OrderedState& o, const MapHeader* header, const SimPlan* plan, int threads)
{
    StepConstants k = step_constants(s, header);
    float* const quads = &o.pos[0].x;
    k.pos = nullptr;
    k.prev = o.prev.data();
    k.cell = nullptr;
    const Vec3* const built = o.built.data();
    const float limit2 = travel_limit2(o);
    const size_t n = (size_t)o.balls;
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        size_t first = begin;
        bool far = false;
        if (plan->step_lanes == 16)
            first = (size_t)advance_quads_wide(k, quads, (int)begin, (int)end, built, limit2, &far);
        for (size_t i = first; i < end; ++i) {
            if (i + FIELD_AHEAD < end)
                __builtin_prefetch(field_normal_at(k, vec_of(o.pos[i + FIELD_AHEAD])));
            // advance_ball on this one ball, its position taken out of its quad.
            Vec3 p = vec_of(o.pos[i]);
            StepConstants one = k;
            one.pos = &p;
            one.prev = &o.prev[i];
            advance_ball(one, 0);
            o.pos[i] = quad_of(p);
            far |= travelled_far(p, built[i], limit2);
        }
        o.scratch[(size_t)t].far = far;
        Vec3* const ball_pos = s->ball_pos;
        Vec3* const ball_prev = s->ball_prev;
        for (size_t i = begin; i < end; ++i) {
            int b = o.ball[i];
            ball_pos[b] = vec_of(o.pos[i]);
            ball_prev[b] = o.prev[i];
        }
    });
    for (int t = 0; t < threads; ++t)
        o.rebuild |= o.scratch[(size_t)t].far;
}

// Whether the engine takes every ball in afresh: a new start, another plan's
// frames, a new count, field or arrays. (Balls written between frames are
// taken in as they are, take_written_balls.)
static bool needs_import(const SimState* s, const OrderedState& o)
{
    return !o.imported || !s->lists_stale || o.balls != s->ball_count || o.side != s->cell_side ||
           o.pos_source != s->ball_pos || o.prev_source != s->ball_prev;
}

// The build: cells, order, arrays, index, lists. A slab whose memory was
// refused is built again at the next frame.
template <class Lap>
static void build(SimState* s, OrderedState& o, int threads, const Lap& lap)
{
    find_cells(s, o, threads);
    sort_items(s, o, threads);
    lap(ORDERED_KEYS);
    resort_arrays(s, o, threads);
    lap(ORDERED_RESORT);
    index_cells(s, o, threads, false);
    lap(ORDERED_INDEX);
    o.rebuild = !build_lists(s, o, threads);
    index_cells(s, o, threads, true);
    lap(ORDERED_BUILD);
    o.builds++;
    o.all_builds++;
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
    if (o.rebuild)
        build(s, o, threads, lap);
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
    o.all_frames++;
    o.peak_bytes = std::max(o.peak_bytes, ordered_bytes(s));
    return true;
}

void ordered_build_counts(const SimState* s, long* frames, long* builds)
{
    *frames = s->ordered ? s->ordered->all_frames : 0;
    *builds = s->ordered ? s->ordered->all_builds : 0;
}

long take_ordered_stage_times(SimState* s, double seconds[ORDERED_STAGES], long* builds)
{
    long frames = 0;
    if (builds)
        *builds = s->ordered ? s->ordered->builds : 0;
    for (int k = 0; k < ORDERED_STAGES; ++k)
        seconds[k] = s->ordered ? s->ordered->stage[k] : 0.0;
    if (s->ordered) {
        frames = s->ordered->frames;
        s->ordered->frames = 0;
        s->ordered->builds = 0;
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
                   bytes(o->cell_next) + bytes(o->built) + bytes(o->ball) + bytes(o->ball_next) +
                   bytes(o->slot_of_ball) + bytes(o->items) + bytes(o->moved_items) + bytes(o->changed) +
                   bytes(o->group) + bytes(o->order) + bytes(o->seq_cell) + bytes(o->list) +
                   bytes(o->item_list) + o->span_count * sizeof(CellSpan);
    for (const SlabLists& l : o->slab_lists)
        total += l.size * sizeof(int);
    for (const OrderedScratch& t : o->scratch)
        total += bytes(t.near) + 3 * bytes(t.near_x) + bytes(t.per_x) + bytes(t.bins);
    return total;
}

size_t ordered_peak_bytes(const SimState* s)
{
    return s->ordered ? std::max(s->ordered->peak_bytes, ordered_bytes(s)) : 0;
}

