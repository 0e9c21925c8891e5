// The repulsion pass's walks, shared by its plain and wide forms. A walk is
// the visit of one ball to the entries of its cell's list, last entry first.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "balls.h"
#include "pair_push.h"

// Where the walks find the positions: ball b's x, y and z start at float
// base[stride * rank[b]], or base[stride * b] without a rank. The parallel
// mode packs the balls in the order of their cells, four floats to a ball so
// that a position is written and read back as one 16-byte access.
struct WalkSpace {
    float* base;        // positions, with one float of padding after the last
    int stride;         // floats per ball: 3 or 4
    const int* rank;    // ball number to slot; null: the same
    int idle;           // float offset that idle lanes read: a slot no walk writes
                        // while walks run on other threads
    int slots;          // slots the positions take: every offset is below stride · slots
};
// The balls' own positions.
inline WalkSpace ball_space(const SimState* s)
{
    return WalkSpace{&s->ball_pos[0].x, 3, nullptr, 0, s->ball_count};
}

// The walks of a pass in their order: the walking balls and their cells.
struct WalkSequence {
    const int* ball;        // the walking balls in turn; null: 0 .. count - 1
    const CellCoord* cell;  // the cell of each, in the same turn
    const uint32_t* list;   // the offset of each one's list in `lists`; null: from starts
    int count;
    const int* lists;       // where the lists are: cell_pool, or a copy under 2^31 ints
    // Walks ahead of the next one whose partners' positions are fetched
    // early (0: none); for walks whose partners lie far from the last walk's.
    int partner_ahead;
    // For the walks in lanes: no list holds more entries than `longest`, and
    // every list lies in the first `list_ints` ints of `lists`.
    int longest;
    size_t list_ints;
    // The neighbour table: each cell's list offset in `lists` (read without
    // `list`) and the strides of cell_index.
    const uint32_t* starts;
    size_t stride_x, stride_y;
    // A walk visits the last `limit` entries of its list at most (the
    // simulation's partner_limit; the reach lists are far shorter).
    int limit = INT32_MAX;
};
// Where a walk over `list` stops: it visits entries list[0] down to the one
// after this, at most q.limit of them.
inline int walk_stop(const WalkSequence& q, const int* list)
{
    return list[0] > q.limit ? list[0] - q.limit : 0;
}
inline int sequence_ball(const WalkSequence& q, int n)
{
    return q.ball ? q.ball[n] : n;
}
inline const int* sequence_list(const WalkSequence& q, int n)
{
    if (q.list)
        return q.lists + q.list[n];
    CellCoord c = q.cell[n];
    return q.lists + q.starts[(size_t)c.x * q.stride_x + (size_t)c.y * q.stride_y + (size_t)c.z];
}
// Fills in the neighbour table's part of q, whose lists are the table's.
inline void sequence_table(WalkSequence* q, const SimState* s)
{
    q->starts = s->cell_start;
    q->stride_x = s->cell_stride_x;
    q->stride_y = s->cell_stride_y;
    q->longest = cell_capacity_bound(s);
    q->list_ints = cell_lists_bytes(s) / sizeof(int);
    q->limit = s->partner_limit;
}
// All balls in ball order.
inline WalkSequence ball_sequence(const SimState* s)
{
    WalkSequence q{nullptr, s->ball_cell, nullptr, s->ball_count, s->cell_pool, 0, 0, 0, nullptr, 0, 0};
    sequence_table(&q, s);
    return q;
}

// Two walks whose cells are less than three apart on every axis may share a
// ball and must run in their order.
inline bool walks_conflict(CellCoord a, CellCoord b)
{
    return std::abs(a.x - b.x) < 3 && std::abs(a.y - b.y) < 3 && std::abs(a.z - b.z) < 3;
}

// Walks of the wide path that wait for a conflicting running walk to end, in
// ball order. Later walks independent of all of them (and of the running
// ones) may start first: that changes the order of independent walks only.
// A walk that conflicted with a running walk remembers its lane and that
// walk's serial number: until that walk ends it need not be looked at again.
// Trades more walks able to pass a blocked one for more conflict checks per
// walk handed out; no figure was recorded for 16 (3194aa5).
const int WAITING_MAX = 16;
struct WaitingWalks {
    int ball[WAITING_MAX];
    CellCoord cell[WAITING_MAX];
    const int* list[WAITING_MAX];
    int blocker[WAITING_MAX];            // lane of the running walk it waits for, or -1
    unsigned blocker_walk[WAITING_MAX];  // that walk's serial number
    int count = 0;
};
// Whether a walk at cell c conflicts with one of the first n waiting walks.
inline bool conflicts_waiting(const WaitingWalks& w, int n, CellCoord c)
{
    for (int q = 0; q < n; ++q)
        if (walks_conflict(w.cell[q], c))
            return true;
    return false;
}

// Walks ahead of the next one whose list is fetched early, and the cache
// lines fetched: a list of up to 60 entries.
// Trades time for the fetch to land against lines evicted before use; no
// figure was recorded for 32 and 4 (26caddc, 14f1eaf).
const int PREFETCH_AHEAD = 32;
const int PREFETCH_LINES = 4;

// One round of handing walks to free lanes: the waiting walks in their
// order, then (while a lane is free) the next balls of the sequence.
struct WalkRound {
    int examined = 0;  // waiting walks looked at
    int kept = 0;      // of those, and of new ones, the walks still waiting
    int ball = 0;      // the walk at hand
    CellCoord cell = {0, 0, 0};
    const int* list = nullptr;
    bool was_waiting = false;
    int blocker = -1;  // for a waiting walk: the lane it waits for, or -1
    unsigned blocker_walk = 0;
};

// Takes the next walk of the round into r; false when there is none.
__attribute__((always_inline)) inline bool next_walk(WalkRound* r, const WaitingWalks& w, bool lane_free, const WalkSequence& q, int next,
                                                     const WalkSpace& space)
{
    r->was_waiting = r->examined < w.count;
    if (r->was_waiting) {
        r->ball = w.ball[r->examined];
        r->cell = w.cell[r->examined];
        r->list = w.list[r->examined];
        r->blocker = w.blocker[r->examined];
        r->blocker_walk = w.blocker_walk[r->examined];
        ++r->examined;
        return true;
    }
    if (!lane_free || next >= q.count)
        return false;
    // The offset of a list further ahead, so that the list's own address is
    // at hand when its turn to be fetched comes.
    if (!q.list && next + 2 * PREFETCH_AHEAD < q.count) {
        CellCoord c = q.cell[next + 2 * PREFETCH_AHEAD];
        __builtin_prefetch(q.starts + (size_t)c.x * q.stride_x + (size_t)c.y * q.stride_y + (size_t)c.z);
    }
    if (next + PREFETCH_AHEAD < q.count) {
        const char* list = (const char*)sequence_list(q, next + PREFETCH_AHEAD);
        for (int k = 0; k < PREFETCH_LINES; ++k)
            __builtin_prefetch(list + 64 * k);
    }
    // Nearer (partner_ahead is less than PREFETCH_AHEAD, so the list is at
    // hand): the positions of the walking ball and of its partners, for
    // sequences whose lists name balls as the positions are laid out.
    if (q.partner_ahead > 0 && next + q.partner_ahead < q.count) {
        const int* list = sequence_list(q, next + q.partner_ahead);
        __builtin_prefetch(space.base + (size_t)space.stride * (size_t)sequence_ball(q, next + q.partner_ahead));
        for (int k = 1; k <= list[0]; ++k)
            __builtin_prefetch(space.base + (size_t)space.stride * (size_t)list[k]);
    }
    r->ball = sequence_ball(q, next);
    r->cell = q.cell[next];
    r->list = sequence_list(q, next);
    r->blocker = -1;
    return true;
}

// Whether the walk at hand waits for the running walk it waited for before,
// given the lanes still running and each lane's walk serial number.
inline bool still_blocked(const WalkRound& r, unsigned running, const unsigned* lane_walk)
{
    return r.blocker >= 0 && (running >> r.blocker & 1u) && lane_walk[r.blocker] == r.blocker_walk;
}

// The walk at hand cannot start: it waits, behind the walks kept before it,
// for the walk in lane `blocker` (-1: none in particular). False when it is
// a new walk and the queue is full: it then stays the next ball, and the
// round ends.
inline bool hold_walk(WalkRound* r, WaitingWalks* w, int* next, int blocker, const unsigned* lane_walk)
{
    if (!r->was_waiting && r->kept == WAITING_MAX)
        return false;
    w->ball[r->kept] = r->ball;
    w->cell[r->kept] = r->cell;
    w->list[r->kept] = r->list;
    w->blocker[r->kept] = blocker;
    w->blocker_walk[r->kept] = blocker >= 0 ? lane_walk[blocker] : 0;
    ++r->kept;
    *next += !r->was_waiting;
    return true;
}

// The stores of the wide walks once the lanes are laid out in memory: for
// each lane l of mask, in order, x[l], y[l] and z[l] at float offset
// offset[l] ...
inline void write_lane_positions(float* base, unsigned mask, const int* offset, const float* x, const float* y,
                                 const float* z)
{
    while (mask) {
        int l = __builtin_ctz(mask);
        mask &= mask - 1;
        float* p = base + offset[l];
        p[0] = x[l];
        p[1] = y[l];
        p[2] = z[l];
    }
}
// ... or lane l's four floats as one 16-byte store, taken from quad, where
// quad[m] of `lanes` floats holds lane 4k + m at 4k.
inline void write_lane_quads(float* base, unsigned mask, const int* offset, const float* quad, int lanes)
{
    while (mask) {
        int l = __builtin_ctz(mask);
        mask &= mask - 1;
        std::memcpy(base + offset[l], quad + lanes * (l & 3) + 4 * (l >> 2), 4 * sizeof(float));
    }
}

// Working memory of one runner of wide walks: WideScratch (sim_state.h).
// Ints per row of the ring: room for the widest lanes.
const int WIDE_ROW_INTS = 16;
// Makes the ring long enough for the longest list and a walk's start delay.
bool reserve_wide_rows(WideScratch* scratch, int longest);

// The walks of the sequence, one after the other.
void repel_plain(const WalkSequence& q, double coef, const WalkSpace& space);
// The same walks, independent ones side by side in vector lanes: the same
// bits as repel_plain. False, having done nothing, when the processor or the
// scratch memory does not allow it, or the positions or lists cannot be
// addressed by 32-bit offsets. repel_wide takes the plan's walk lanes
// (false for the plain walk); the plan must be one the processor runs
// (choose_plan). One kernel serves every width (repulsion_lanes.h).
bool repel_wide(const SimPlan* plan, const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space);
bool repel_wide16(const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space);
bool repel_wide8(const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space);
// The walks in a space of four floats a ball without rank, where each push
// also adds its length (|px| + |py|) + (|pz| + rounding) to the fourth
// float of both its balls; sixteen AVX-512 lanes, or eight AVX2
// lanes. False, having done nothing, without those lanes or scratch memory.
bool repel_wide16_travel(const WalkSequence& q, double coef, float rounding, WideScratch* scratch,
                         const WalkSpace& space);
bool repel_wide8_travel(const WalkSequence& q, double coef, float rounding, WideScratch* scratch,
                        const WalkSpace& space);
void free_wide_scratch(WideScratch* scratch);
// Whether running these walks side by side is worth it: enough of them
// independent of each other to keep several lanes busy. In crowded cells
// almost every walk waits for the one before, and the plain walk is faster.
bool wide_walks_pay(const WalkSequence& q);
// Whether the plan walks q in lanes: it has lanes, and either forces them
// or the sample says they pay.
bool plan_walks_in_lanes(const SimPlan* plan, const WalkSequence& q);
