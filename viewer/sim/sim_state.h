// The whole state of one ball simulation in one record: settings, the
// loaded field's view, the per-ball arrays, the neighbour table, the reach
// lists, the scratch of the walks and of the parallel mode, and its thread
// team. Functions of the simulation take it by pointer; init_balls_from
// sizes it and free_balls releases it. Records are independent: several
// simulations can run in one process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vec3.h"

// Colour of a ball, each component in [0.1, 1]. 12 bytes.
struct BallColor {
    float r, g, b;
};

// Whole-unit neighbour cell coordinates. 12 bytes.
struct CellCoord {
    int x, y, z;
};

struct SimPlan;

// Working memory of one runner of wide walks.
struct WideScratch {
    int* rows = nullptr;  // ring of rows of list entries, one entry per lane
    int row_mask = 0;     // rows - 1 (rows is a power of two)
};

// Ints of one ball's slot: the count, then up to REACH_SLOT - 1 entries.
// Lists longer than that (crowded cells) make the pass walk the whole lists.
// Trades 96 bytes a ball against crowded scenes served; the reach lists took
// 100,000 settled balls from about 10.4 to 6.4 ms a frame (d99cbe2).
static const int REACH_SLOT = 24;
// Rests of the reach lists, in frames (see reach_lists.cpp). They trade
// frames that could have served against passes thrown away: in a settled
// heap of 1,000,000 balls, where every pass was thrown away, a frame cost
// about 1 s against 0.3 s for the whole lists alone (2c44e5b).
static const int REACH_REST_FIRST = 8;
static const int REACH_REST_MOST = 256;

// The reach lists (reach_lists.h), shared by the pass (reach_lists.cpp) and
// the building and checking of the lists (reach_build.cpp).
struct ReachState {
    int balls = 0;                // balls the arrays are sized for
    int* pool = nullptr;          // balls × REACH_SLOT ints
    uint32_t* offset = nullptr;   // ball i's slot: i × REACH_SLOT
    float* anchor = nullptr;      // x, y, z of each ball's anchor, and its budget
    float* work = nullptr;        // x, y, z and the running sum of each ball
    unsigned char* marked = nullptr;
    int* dirty = nullptr;         // balls whose lists must be built, each once
    int dirty_count = 0;
    int* restarted = nullptr;     // balls given a new anchor before this pass
    int restarted_count = 0;
    bool all_dirty = true;        // every list must be built (and every anchor set)
    int overflowing = 0;          // balls whose entries in reach overflow their slot
    int rest = 0;                 // passes left to sit out
    int rest_next = REACH_REST_FIRST;
    bool redone_last = false;     // the last pass tried was thrown away
    WideScratch scratch;
    // Lists that would take more bytes than this are refused as if their
    // memory could not be had (tests); cleared with the rest of the state.
    size_t bytes_limit = SIZE_MAX;
    // The walk lanes of the running pass's plan; at sixteen the lists are
    // built in AVX-512 lanes too.
    int lanes = 0;
};

// What the reach passes did since the counts were last cleared (tests).
struct ReachCounts {
    long passes;    // passes run over the reach lists and kept
    long redone;    // passes thrown away for breaking the bound
    long rebuilt;   // reach lists built
};

// Entries of its cell's list that one ball's walk visits at most: the last
// PARTNER_LIMIT, on every path. A hostile field can herd every ball into a
// few cells, whose lists then hold nearly every ball and make the pass
// quadratic; the limit bounds a frame's cost per ball. Far above any real
// packing: a settled heap's lists hold a few dozen entries, the fullest
// list of any test or benchmark scene about 2,000 (2,000 balls in a field
// of side 2, where every list holds every ball).
static const int PARTNER_LIMIT = 4096;

// Sizes of the neighbour table's blocks: 2^c ints, c below this.
const int CELL_BLOCK_CLASSES = 32;

// The neighbour table's bookkeeping (cell_lists.cpp).
struct CellTable {
    int* pool_raw = nullptr;       // cell_pool - 1: the empty list's capacity
    size_t pool_ints = 0;          // ints in pool_raw
    size_t pool_used = 0;          // ints handed out from pool_raw
    uint32_t free_blocks[CELL_BLOCK_CLASSES] = {};  // per size: a free list's offset, 0 = none
    size_t cells_total = 0;
    int capacity_bound = 0;        // largest capacity handed out
    size_t pool_used_peak = 0;     // most ints ever handed out at once
    size_t free_ints = 0;          // ints in freed blocks
};

struct OrderedState;   // the ordered engine's state (ordered.cpp)
struct Team;           // a thread team (thread_team.cpp)

struct SimState {
    // Settings.
    int ball_count = 0;           // number of balls (0 when the count is negative)
    float gravity_setting = 0.0f; // signed gravity per step (field units per step²)
    float gravity = 0.0f;         // active gravity: gravity_setting, or 0 while lifted
    float repulsion_coef = 0.0f;  // strength of the ball-ball push
    float field_push_coef = 0.0f; // push length per unit of a collision field vector
    float damping = 1.0f;         // factor on the implicit velocity per step
    bool layers_enabled = false;  // "layers": start box and teleports of the map in use
    int frame_rate_cap = 0;       // "fps": frames per second at most, 0 for no cap
    // Threads of the parallel mode ("threads" in the settings); below 1 the
    // sequential mode. The parallel mode's results do not depend on the count.
    int sim_threads = 0;

    // Derived from the map.
    float field_extent = 0.0f;    // F as a float: positions live in [1, F]
    float field_scale = 0.0f;     // G / F: position to collision field cell
    size_t field_stride_y = 0;    // 3·G, in 16-bit components
    size_t field_stride_x = 0;    // 3·G², in 16-bit components
    int cell_side = 0;            // trunc(F) + 2 neighbour cells per axis
    size_t cell_stride_y = 0;     // cell_side
    size_t cell_stride_x = 0;     // cell_side²

    // Per-ball arrays, ball_count entries each.
    Vec3* ball_pos = nullptr;     // current position (field units); one float of padding follows
    Vec3* ball_prev = nullptr;    // position before the last step
    CellCoord* ball_cell = nullptr;   // neighbour cell the ball is registered around
    BallColor* ball_color = nullptr;  // colour fixed at start-up

    // Neighbour lists, all in one pool of ints. The list of cell k starts at
    // cell_pool + cell_start[k]: element 0 is its count n, elements 1 .. n
    // its entries, and the element before it its capacity. Cells with no
    // list share the empty list at offset 0 (count 0, capacity 0), so a
    // fresh table is all zeros and the cells no ball ever reaches cost only
    // their offset.
    uint32_t* cell_start = nullptr;   // cell_side³ offsets into cell_pool
    int* cell_pool = nullptr;         // the lists
    CellTable cells;

    // Reach lists and what their passes did.
    ReachState rs;
    ReachCounts reach_counts = {0, 0, 0};

    // The sequential pass's wide walks, and the balls that left their cells
    // in the sequential step.
    WideScratch main_scratch;
    std::vector<int> moved;

    // The parallel mode's ordered engine and its thread team; made when
    // first needed.
    OrderedState* ordered = nullptr;
    Team* team = nullptr;
    // While the ordered engine runs it keeps the balls' state in its own
    // order and leaves the neighbour lists and ball_cell behind (lists_stale);
    // refresh_cell_lists rebuilds them before any other plan runs. Writers of
    // the ball arrays from outside the simulation tell the engine, which
    // then takes them in at its next frame: every ball (balls_written) or
    // the balls named (written_balls).
    bool lists_stale = false;
    bool balls_written = false;
    std::vector<int> written_balls;

    // Forces a plan (sim_plan.h; tests and bench_sim through ScopedPlan);
    // null, as in the programs, lets choose_plan pick it.
    const SimPlan* forced_plan = nullptr;

    // The limit of entries a walk visits (PARTNER_LIMIT; tests lower it), and
    // whether a walk was cut short since the balls were set up.
    int partner_limit = PARTNER_LIMIT;
    bool partner_limit_hit = false;

    // The start-up generator (see seed_ball_random).
    uint32_t random_state = 1;
};
