// The ordered engine's state, shared by its two files: ordered.cpp (the
// order of the balls) and ordered_frame.cpp (lists, walks, step, frame).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ordered.h"
#include "sim_state.h"

// Slabs the field is cut into, whatever the number of threads: as the slab
// engine's SLABS (parallel.cpp).
const int ORDERED_SLABS = 8;

// Balls that changed places in the logical order since the arrays were last
// put in order, as a part of all balls (one in this many), from which the
// arrays are put in order again before a frame's walks; 1 puts them in order
// only when every ball moved, a huge share at every frame with a change.
// Every frame: the cut lists and the lanes that sum each ball's travel read
// positions by place, without a slot per place. The re-sort costs about
// 4-6 ms of a 1,000,000-ball frame on two threads (a copy of 44 bytes a
// ball), less than the whole lists the walks would take instead.
const int ORDERED_RESORT_SHARE = 1000000000;

// A position as the walks read and write it: four floats, so that a ball is
// stored and loaded again as one 16-byte access (a load the store buffer can
// serve; three 4-byte stores then a 16-byte load of the same ball stall).
struct Quad {
    float x, y, z, w;
};
inline Vec3 vec_of(const Quad& q)
{
    return Vec3{q.x, q.y, q.z};
}
inline Quad quad_of(Vec3 p)
{
    return Quad{p.x, p.y, p.z, 0.0f};
}

// The reach of the cut lists: a ball's list keeps the entries within this
// distance when it is built. A pass over them holds while no ball travels
// ORDERED_TRAVEL (half the room beyond one unit, less a margin for the
// rounding of the distances compared).
const float ORDERED_REACH = 1.5f;
const float ORDERED_TRAVEL = 0.5f * (ORDERED_REACH - 1.0f) - 0.001f;
// Frames the cut lists rest after a pass that did not hold, doubling while
// they fail, up to the most.
const int ORDERED_CUT_REST_FIRST = 8;
const int ORDERED_CUT_REST_MOST = 256;

// A ball in the logical order: its key (slab, then the Morton code of its
// cell), its number, and its slot in the engine's arrays.
struct OrderItem {
    uint64_t key;
    int ball;
    int slot;
};

// Where one cell's balls lie among the items: places begin .. end - 1.
struct CellSpan {
    int begin, end;
};

// Working memory of one thread.
struct OrderedScratch {
    WideScratch wide;
    std::vector<int> bins;    // counting sort of a slab's walks
    std::vector<int> whole;   // a cell's whole list, cut for each of its balls
    std::vector<float> xyz;   // and its entries' x, then y, then z
    int* lists = nullptr;     // the lists of the slab at hand, entries as places
    size_t lists_size = 0;    // ints they have room for
    std::vector<int> moved;   // slots whose cell changed in this thread's step
    std::vector<int> per_x;   // change of the balls per cell column in its step
    bool limit_hit = false;   // a list longer than the partner limit
    bool refused = false;     // no memory for a slab's lists
    bool cut_failed = false;  // a slab's cut lists or their walks could not be had
};

struct OrderedState {
    // What was taken in, to see when the ball arrays changed under the engine.
    bool imported = false;
    int balls = 0, side = 0;
    const Vec3* pos_source = nullptr;
    const Vec3* prev_source = nullptr;
    // Per slot: position (two slots of padding after the last), previous
    // position, cell, ball number; per ball: its slot.
    std::vector<Quad> pos, pos_next;
    std::vector<Vec3> prev, prev_next;
    std::vector<CellCoord> cell, cell_next;
    std::vector<int> ball, ball_next;
    std::vector<int> slot_of_ball;
    // The logical order, and the balls that changed places in it since the
    // arrays were last put in order (lag).
    std::vector<OrderItem> items, moved_items;
    std::vector<uint8_t> changed;
    std::vector<int> item_slot;   // per place: its slot, while lag > 0
    size_t lag = 0;
    // Balls per cell column, each column's slab, each slab's first column
    // (then the side) and first place (then the count).
    std::vector<int> per_x, slab_of_x, slab_x0, slab_begin;
    // Per cell of the field: where its balls lie among the items; empty
    // between frames.
    CellSpan* spans = nullptr;
    size_t span_count = 0;
    // The walks, slab by slab: places, cells and list offsets; per place its
    // group of walks and its list's offset in its thread's lists.
    std::vector<int> group, order;
    std::vector<CellCoord> seq_cell;
    std::vector<uint32_t> list, item_list;
    std::vector<OrderedScratch> scratch;
    // Seconds per stage and frames since take_ordered_stage_times.
    double stage[ORDERED_STAGES] = {};
    int resort_share = ORDERED_RESORT_SHARE;
    // The cut lists' rest (frames left, and the next one), positions before
    // the pass to start again from, and the passes over them (tests).
    int cut_rest = 0, cut_rest_next = ORDERED_CUT_REST_FIRST;
    std::vector<Quad> pos_saved;
    long cut_passes = 0, cut_redone = 0;
    long frames = 0;
    size_t peak_bytes = 0;
};

// The neighbour cell of a position, held to the cells a position in the
// field [1, F] can have (1 .. side − 2): the same as the step's trunc there.
inline CellCoord ordered_cell_of(const SimState* s, Vec3 p)
{
    const int top = s->cell_side - 2;
    auto axis = [top](float c) {
        if (!(c >= 1.0f))
            return 1;
        int k = c < (float)top + 1.0f ? (int)c : top;
        return k < 1 ? 1 : k;
    };
    return CellCoord{axis(p.x), axis(p.y), axis(p.z)};
}


bool import_balls(SimState* s, OrderedState& o);
void take_written_balls(SimState* s, OrderedState& o);
void sort_items(SimState* s, OrderedState& o, int threads);
bool wants_resort(const OrderedState& o);
void resort_arrays(SimState* s, OrderedState& o, int threads);
void note_item_slots(SimState* s, OrderedState& o, int threads);
void index_cells(SimState* s, OrderedState& o, int threads, bool empty);
// The repulsion pass over the slabs (ordered_walks.cpp).
// The walks run over lists cut to each ball's reach (cut), summing each
// ball's travel in its position's fourth float, or over whole lists.
void walk_slabs(SimState* s, OrderedState& o, const SimPlan* plan, int threads, bool cut);
