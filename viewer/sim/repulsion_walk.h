// The repulsion pass's walks, shared by its plain and wide forms. A walk is
// the visit of one ball to the entries of its cell's list, last entry first.
#pragma once

#include <cstdlib>

#include "balls.h"

// Squared distances below this count as this (the push then grows only
// linearly with the distance and vanishes when two balls coincide).
constexpr float MIN_SQUARED_DISTANCE = 0.2f;

// Where the walks find the positions: ball b's is pos[rank[b]], or pos[b]
// without a rank. The parallel mode packs each slab's balls together so that
// threads never write to the same cache lines.
struct WalkSpace {
    Vec3* pos;          // positions, with one float of padding after the last
    const int* rank;    // ball number to slot in pos; null: the same
};
// The balls' own positions.
inline WalkSpace ball_space()
{
    return WalkSpace{ball_pos, nullptr};
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
const int WAITING_MAX = 16;
struct WaitingWalks {
    int ball[WAITING_MAX];
    CellCoord cell[WAITING_MAX];
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

// Balls ahead of the next walk whose list is prefetched.
const int PREFETCH_AHEAD = 32;

// One round of handing walks to free lanes: the waiting walks in their
// order, then (while a lane is free) the next balls of the sequence.
struct WalkRound {
    int examined = 0;  // waiting walks looked at
    int kept = 0;      // of those, and of new ones, the walks still waiting
    int ball = 0;      // the walk at hand
    CellCoord cell = {0, 0, 0};
    bool was_waiting = false;
};

// Takes the next walk of the round into r; false when there is none.
inline bool next_walk(WalkRound* r, const WaitingWalks& w, bool lane_free, const int* order, int count,
                      int next)
{
    r->was_waiting = r->examined < w.count;
    if (r->was_waiting) {
        r->ball = w.ball[r->examined];
        r->cell = w.cell[r->examined];
        ++r->examined;
        return true;
    }
    if (!lane_free || next >= count)
        return false;
    if (next + PREFETCH_AHEAD < count) {
        CellCoord ahead = ball_cell[order ? order[next + PREFETCH_AHEAD] : next + PREFETCH_AHEAD];
        const char* list = (const char*)cell_list(cell_index(ahead.x, ahead.y, ahead.z));
        __builtin_prefetch(list);
        __builtin_prefetch(list + 64);
    }
    r->ball = order ? order[next] : next;
    r->cell = ball_cell[r->ball];
    return true;
}

// The walk at hand cannot start: it waits, behind the walks kept before it.
// False when it is a new walk and the queue is full: it then stays the next
// ball, and the round ends.
inline bool hold_walk(WalkRound* r, WaitingWalks* w, int* next)
{
    if (!r->was_waiting && r->kept == WAITING_MAX)
        return false;
    w->ball[r->kept] = r->ball;
    w->cell[r->kept] = r->cell;
    ++r->kept;
    *next += !r->was_waiting;
    return true;
}

// Working memory of one runner of wide walks.
struct WideScratch {
    int* rows = nullptr;  // ring of rows of list entries, one entry per lane
    int row_mask = 0;     // rows - 1 (rows is a power of two)
};
// Ints per row of the ring: room for the widest lanes.
const int WIDE_ROW_INTS = 16;
// Makes the ring long enough for the longest list and a walk's start delay.
bool reserve_wide_rows(WideScratch* scratch, int longest);

// The walks of balls order[0 .. count - 1] (order null: balls 0 .. count - 1),
// one after the other.
void repel_plain(const int* order, int count, double coef, const WalkSpace& space);
// Whether this processor runs the sixteen-lane (AVX-512) and the eight-lane
// (AVX2) wide walks.
bool wide_walks_supported();
bool wide8_walks_supported();
// The same walks, independent ones side by side in vector lanes: the same
// bits as repel_plain. False, having done nothing, when the processor or the
// scratch memory does not allow it. repel_wide takes the widest lanes the
// processor has, or eight when repel_path is REPEL_WIDE8.
bool repel_wide(const int* order, int count, double coef, WideScratch* scratch, const WalkSpace& space);
bool repel_wide16(const int* order, int count, double coef, WideScratch* scratch, const WalkSpace& space);
bool repel_wide8(const int* order, int count, double coef, WideScratch* scratch, const WalkSpace& space);
void free_wide_scratch(WideScratch* scratch);
// Whether running these walks side by side is worth it: enough of them
// independent of each other to keep several lanes busy. In crowded cells
// almost every walk waits for the one before, and the plain walk is faster.
bool wide_walks_pay(const int* order, int count);
// Releases the parallel mode's working memory.
void free_parallel_scratch();
