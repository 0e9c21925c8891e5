// The parts of the fast classification shared by its two files:
// phys_classify.cpp (whole blocks, the threads) and phys_cells.cpp (single
// cells and small blocks).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "phys_bounds.h"
#include "phys_bvh.h"
#include "phys_stages.h"

struct Classifier {
    const PhysMesh* mesh;
    MeshFeatures features;
    int64_t g;
    uint8_t* marks;     // threads write disjoint cells
    // Small blocks gather their candidates once; long ones too when
    // `long_small_blocks`.
    bool small_blocks, long_small_blocks;
    // The edges at each vertex: those of vertex i are
    // vertex_edges[edge_start[i] .. edge_start[i + 1]).
    std::vector<uint32_t> edge_start, vertex_edges;
};

// One feature of a small block's lists: its lower bound over the block and
// its id.
typedef std::pair<double, uint32_t> Ranked;

// One thread's scratch for small blocks: the gathered candidates of each
// kind; those that remain with their lower bounds over the block, nearest
// first, and their sides over it once worked out (`sides`, SIDE_UNKNOWN
// until then); the same lists for one of its parts (`part_*`), with the
// rounding part of each edge's bound.
struct Candidates {
    std::vector<uint32_t> vertices, edges, faces;
    std::vector<Ranked> ranked[3];  // vertices, edges, faces
    std::vector<uint8_t> sides[3];
    std::vector<Ranked> part[3];
    std::vector<double> part_edge_errors;
};

// One thread's share of the work: it counts the cells it has classified
// into `done` (shared by all threads, or none with one thread), a batch at
// a time; the thread that owns `pr` (or the only one) also prints the dots
// now due for them. The dots depend on the count alone.
struct Worker {
    const Classifier* c;
    PhysProgress* pr;
    std::atomic<uint64_t>* done;
    Candidates* candidates;  // this thread's scratch for small blocks
    uint64_t pending;        // cells counted here, not yet in `done`
};

// Cells a thread counts before it adds them to the shared count: fewer
// updates of the shared cache line.
const uint64_t COUNT_BATCH = 512;

inline void flush_count(Worker* w)
{
    uint64_t total = w->done->fetch_add(w->pending, std::memory_order_relaxed) + w->pending;
    w->pending = 0;
    if (w->pr && total > w->pr->count)
        progress_advance(w->pr, total - w->pr->count);
}

inline void count_cells(Worker* w, uint64_t cells)
{
    if (!w->done) {
        progress_advance(w->pr, cells);
        return;
    }
    w->pending += cells;
    if (w->pending >= COUNT_BATCH)
        flush_count(w);
}

// Inclusive cell bounds of one block.
struct Block {
    int64_t lo[3];
    int64_t hi[3];
};

inline uint64_t block_cells(const Block& b)
{
    return (uint64_t)(b.hi[0] - b.lo[0] + 1) * (uint64_t)(b.hi[1] - b.lo[1] + 1) * (uint64_t)(b.hi[2] - b.lo[2] + 1);
}

// The class a certain common side gives.
inline PhysSide side_of(RobustSide common)
{
    if (common == ROBUST_FRONT)
        return PHYS_SIDE_FRONT;
    if (common == ROBUST_BACK)
        return PHYS_SIDE_BACK;
    return PHYS_SIDE_NONE;
}

// A node's features all measure more than `limit`. Every node bound is at
// most the distance between the boxes: a node that near is in reach without
// working the bound out.
template <double (*NodeLower)(const Query&, const BvhNode&)>
inline bool node_beyond(const Query& q, const BvhNode& n, double limit)
{
    return box_box_dist2(q.box, n.box) > limit * limit && NodeLower(q, n) > limit;
}

// One feature is beyond `reach` of the block or has the common side.
template <typename Info, bool (*Beyond)(const Query&, const Info&, double),
          RobustSide (*SideOf)(const Query&, const Info&)>
inline bool one_agrees(const Query& q, const Info& f, double reach, RobustSide* common)
{
    // The side is the cheaper test: a feature already on the common side
    // agrees whether it is in reach or not.
    RobustSide s = SideOf(q, f);
    if (s == ROBUST_NOWHERE || (s != ROBUST_UNSURE && s == *common))
        return true;
    return Beyond(q, f, reach) || agree(s, common);
}

// In phys_classify.cpp.
bool vertex0_clear_of(const Classifier* c, const Query& q);
uint32_t vertex_nearest_centre(const Classifier* c, const Query& q, uint32_t hint);
double block_reach(const Classifier* c, const Query& q, uint32_t nearest);
// `reach`, or less where an edge at the `nearest` vertex is surely nearer to
// every cell of the block than `reach`: no cell's deciding feature is
// farther than that edge.
double edge_reach(const Classifier* c, const Query& q, uint32_t nearest, double reach);
// The class of every cell of the block when every feature within `reach`
// of it agrees on its side, else NONE.
PhysSide certify_within(const Classifier* c, const Query& q, double reach);
void mark_front(const Classifier* c, const Block& b);
// The blocks a failed block splits into, in x, y, z order: every axis
// longer than one cell halved. Returns their count (at most eight).
int split_block(const Block& b, Block children[8]);

// In phys_cells.cpp.
// One cell, its candidates found through the hierarchies.
PhysSide classify_cell_fast(const Classifier* c, int64_t x, int64_t y, int64_t z);
// The mean length (cells) of the edges that measure; 0 with none. It
// chooses whether small blocks, and long ones, gather their candidates
// (either way gives the same marks): gathering pays where features are
// sparse, while with edges about a cell long or shorter a block's lists
// grow longer than the walks of its cells are.
double mean_edge_length(const MeshFeatures& f);
const double SMALL_BLOCK_EDGE = 1.5;
const double LONG_SMALL_BLOCK_EDGE = 3.0;
// Small blocks are at most SMALL_BLOCK cells long on every axis; those up
// to LONG_SMALL_BLOCK cells long are small once their whole certificate
// has failed.
const int64_t SMALL_BLOCK = 4;
const int64_t LONG_SMALL_BLOCK = 8;
// At most `cells` long on every axis.
bool is_small(const Block& b, int64_t cells);
// Classifies, marks and counts a small block; `hint` is a vertex near it.
void classify_small_block(Worker* w, const Block& b, uint32_t hint);
