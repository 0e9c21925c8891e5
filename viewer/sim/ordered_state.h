// The ordered engine's state, shared by its two files: ordered.cpp (the
// order of the balls) and ordered_frame.cpp (lists, walks, step, frame).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ordered.h"
#include "sim_state.h"

// Slabs the field is cut into, whatever the number of threads: several per
// thread, so that threads that finish early take another. More slabs balance
// the threads better; fewer keep more walks of a slab independent, which the
// lanes need. Sixteen, four and eight were tried on the slab engine this
// engine replaced; no figure was recorded.
const int ORDERED_SLABS = 8;

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

// The skin of the lists: each ball's list holds the balls within 1 + skin
// of it when the lists are built (a push reaches one unit). The lists and
// the order of the arrays stay until some ball has travelled half the skin
// from where it was then, so no pair that comes within one unit is missing
// from them. A thicker skin rebuilds less often and walks longer lists (see
// set_ordered_skin for the figures). Below 1: the reach stays below 2, which
// the walks' independence needs (ordered.cpp).
const float ORDERED_SKIN = 0.3f;
const float ORDERED_SKIN_MOST = 0.95f;

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
    std::vector<int> bins;     // counting sort of a slab's walks
    std::vector<int> near;     // the balls around a cell, as places
    std::vector<float> near_x, near_y, near_z;  // and their coordinates
    std::vector<CellSpan> runs;  // the cells they come from
    std::vector<int> per_x;    // balls per cell column, at a rebuild
    bool limit_hit = false;    // a list longer than the partner limit
    bool refused = false;      // no memory for a slab's lists
    bool far = false;          // a ball travelled half the skin in its step
};

// The lists of one slab's balls, kept from one build to the next: per ball
// its length, then its entries (places).
struct SlabLists {
    int* ints = nullptr;
    size_t size = 0;           // ints there is room for
    int longest = 0;
    bool built = false;        // false: its memory was refused, its balls not walked
};

struct OrderedState {
    // What was taken in, to see when the ball arrays changed under the engine.
    bool imported = false;
    int balls = 0, side = 0;
    const Vec3* pos_source = nullptr;
    const Vec3* prev_source = nullptr;
    // Per slot: position (two slots of padding after the last), previous
    // position, cell and position at the last build, ball number; per ball:
    // its slot. At a build every ball's slot becomes its place.
    std::vector<Quad> pos, pos_next;
    std::vector<Vec3> prev, prev_next;
    std::vector<CellCoord> cell, cell_next;
    std::vector<Vec3> built;
    std::vector<int> ball, ball_next;
    std::vector<int> slot_of_ball;
    // The logical order, and the balls that changed places in it.
    std::vector<OrderItem> items, moved_items;
    std::vector<uint8_t> changed;
    // Balls per cell column, each column's slab, each slab's first column
    // (then the side) and first place (then the count).
    std::vector<int> per_x, slab_of_x, slab_x0, slab_begin;
    // Per cell of the field: where its balls lie among the items; empty
    // between builds.
    CellSpan* spans = nullptr;
    size_t span_count = 0;
    // The walks, slab by slab: places, cells the walks' independence is
    // judged by, and list offsets; per place its group of walks and its
    // list's offset in its slab's lists.
    std::vector<int> group, order;
    std::vector<CellCoord> seq_cell;
    std::vector<uint32_t> list, item_list;
    SlabLists slab_lists[ORDERED_SLABS];
    std::vector<OrderedScratch> scratch;
    float skin = ORDERED_SKIN;
    size_t lists_limit = SIZE_MAX;  // ints a slab's lists may take; beyond, refused (tests)
    // The lists are built again before the next walks.
    bool rebuild = true;
    // Seconds per stage, frames and builds since take_ordered_stage_times;
    // frames and builds since the engine was set up.
    double stage[ORDERED_STAGES] = {};
    long frames = 0, builds = 0;
    long all_frames = 0, all_builds = 0;
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


inline bool item_before(const OrderItem& a, const OrderItem& b)
{
    return a.key < b.key || (a.key == b.key && a.ball < b.ball);
}

bool import_balls(SimState* s, OrderedState& o);
void find_cells(SimState* s, OrderedState& o, int threads);
void take_written_balls(SimState* s, OrderedState& o);
void sort_items(SimState* s, OrderedState& o, int threads);
void resort_arrays(SimState* s, OrderedState& o, int threads);
void index_cells(SimState* s, OrderedState& o, int threads, bool empty);
// The reach of the lists, and the least width of a slab between two others
// in cell columns: more than twice the reach, so that the walks of slabs s
// and s + 2 never share a ball.
inline float ordered_reach(const OrderedState& o)
{
    return 1.0f + o.skin;
}
inline int slab_width(const OrderedState& o)
{
    return (int)(2.0f * ordered_reach(o)) + 1;
}
// Whether a ball at p has travelled half the skin from b: the same float
// operations as the step's lanes (advance_quads_wide), so that the decision
// does not depend on which balls the lanes take.
inline bool travelled_far(Vec3 p, Vec3 b, float limit2)
{
    const float dx = p.x - b.x, dy = p.y - b.y, dz = p.z - b.z;
    return !(dx * dx + dy * dy + dz * dz <= limit2);
}
inline float travel_limit2(const OrderedState& o)
{
    return 0.25f * o.skin * o.skin;
}
// Builds every slab's lists and walk order from the balls' places, in
// parallel (ordered_lists.cpp). False when a slab's memory was refused.
bool build_lists(SimState* s, OrderedState& o, int threads);
// The repulsion pass over the slabs' lists (ordered_walks.cpp).
void walk_slabs(SimState* s, OrderedState& o, const SimPlan* plan, int threads);
