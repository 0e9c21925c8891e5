// The ball simulation of the viewer: settings, per-ball state, neighbour cell
// lists, the repulsion pass and the integration step. One global instance,
// created by init_balls_from after the map is loaded and released by free_balls.
// No GL here: the renderer reads ball_count, ball_pos and ball_color.
#pragma once

#include <cstddef>
#include <cstdint>

#include "map_format.h"
#include "vec3.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

// Section of the settings file, and the divisors of the settings (10000·π
// and 100·π as double constants).
extern const char* const BALL_SETTINGS_SECTION;  // "balls"
constexpr double SETTING_DIVISOR_SMALL = 31415.926535897932;  // 10000·π
constexpr double SETTING_DIVISOR_LARGE = 314.1592653589793;   // 100·π

// Largest value of ball_random().
constexpr int BALL_RANDOM_MAX = 32767;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// Colour of a ball, each component in [0.1, 1]. 12 bytes.
struct BallColor {
    float r, g, b;
};

// Whole-unit neighbour cell coordinates. 12 bytes.
struct CellCoord {
    int x, y, z;
};

// ---------------------------------------------------------------------------
// Global state
// ---------------------------------------------------------------------------

// Settings.
extern int ball_count;           // number of balls (0 when the count is negative)
extern float gravity_setting;    // signed gravity per step (field units per step²)
extern float gravity;            // active gravity: gravity_setting, or 0 while lifted
extern float repulsion_coef;     // strength of the ball-ball push
extern float field_push_coef;    // push length per unit of a collision field vector
extern float damping;            // factor on the implicit velocity per step
extern bool layers_enabled;      // "layers": start box and teleports of the map in use
extern int frame_rate_cap;       // "fps": frames per second at most, 0 for no cap

// Derived from the map.
extern float field_extent;       // F as a float: positions live in [1, F]
extern float field_scale;        // G / F: position to collision field cell
extern size_t field_stride_y;    // 3·G, in 16-bit components
extern size_t field_stride_x;    // 3·G², in 16-bit components
extern int cell_side;            // trunc(F) + 2 neighbour cells per axis
extern size_t cell_stride_y;     // cell_side
extern size_t cell_stride_x;     // cell_side²

// Per-ball arrays, ball_count entries each.
extern Vec3* ball_pos;           // current position (field units); one float of padding follows
extern Vec3* ball_prev;          // position before the last step
extern CellCoord* ball_cell;     // neighbour cell the ball is registered around
extern BallColor* ball_color;    // colour fixed at start-up

// Neighbour lists, all in one pool of ints. The list of cell k starts at
// cell_pool + cell_start[k]: element 0 is its count n, elements 1 .. n its
// entries, and the element before it its capacity. Cells with no list share
// the empty list at offset 0 (count 0, capacity 0), so a fresh table is all
// zeros and the cells no ball ever reaches cost only their offset.
extern uint32_t* cell_start;     // cell_side³ offsets into cell_pool
extern int* cell_pool;           // the lists

// ---------------------------------------------------------------------------
// Pseudo-random numbers
// ---------------------------------------------------------------------------

// Seeds the start-up generator (a linear congruential generator, the
// classic next = next·1103515245 + 12345 taking bits 16..30).
void seed_ball_random(unsigned seed);
// Next integer, uniform in 0 .. BALL_RANDOM_MAX.
int ball_random();

// ---------------------------------------------------------------------------
// Settings and start-up
// ---------------------------------------------------------------------------

// Start-up from a loaded map (field_size and grid_size at least 1): reads
// the keys of section "balls" of the settings file at `settings_path` (token
// mode: the five simulation settings, the optional frame cap "fps", "layers"
// and "threads"; a negative count is taken as 0), derives gravity and the
// neighbour grid size, then sizes the arrays, places the balls at random and
// registers them in the neighbour lists. The caller seeds the generator
// first. Returns false, with nothing left allocated and ball_count 0, when
// memory cannot be had; the reason is written to `reason` (may be null) as a
// short English phrase. With `layers` given, the setting layers=1 and a
// start box that reaches into the field, the balls start at random inside
// that box instead of the whole field.
bool init_balls_from(const MapHeader* header, const char* settings_path,
                     const char** reason = nullptr, const MapLayers* layers = nullptr);
// Releases the six buffers; safe to call twice or without init_balls_from.
void free_balls();

// ---------------------------------------------------------------------------
// Neighbour cell lists
// ---------------------------------------------------------------------------

// Index of neighbour cell (x, y, z).
inline size_t cell_index(int x, int y, int z)
{
    return (size_t)x * cell_stride_x + (size_t)y * cell_stride_y + (size_t)z;
}

// The list of cell k: [0] the count, [1 .. count] the entries.
inline const int* cell_list(size_t k)
{
    return cell_pool + cell_start[k];
}
inline int cell_count(size_t k)
{
    return cell_pool[cell_start[k]];
}
// Entries the list of cell k holds before it must move to a larger block.
inline int cell_list_capacity(size_t k)
{
    return cell_pool[(ptrdiff_t)cell_start[k] - 1];
}

// Appends ball to the list of cell (x, y, z), moving the list to a larger
// block when it is full. False (nothing changed) when no memory is left.
bool cell_insert(int x, int y, int z, int ball);
// Removes ball from the list of cell (x, y, z): the last entry moves into
// its slot. False (nothing changed) when the ball is not in the list.
bool cell_remove(int x, int y, int z, int ball);
// cell_insert into every in-range cell of the 3×3×3 block around (x, y, z).
// False (nothing changed) when the table cannot grow to hold the ball.
bool block_insert(int x, int y, int z, int ball);
// cell_remove from every in-range cell of the 3×3×3 block around (x, y, z).
void block_remove(int x, int y, int z, int ball);
// Makes room for one more entry in every in-range cell of the block around
// (x, y, z). False when no memory is left.
bool block_reserve(int x, int y, int z);
// Gives the blocks of the empty lists around (x, y, z) back to the pool.
void block_release_empty(int x, int y, int z);
// Fetch early the offsets of the lists of the block around (x, y, z), and
// (once those are at hand) the lists themselves: their heads and first
// entries, where a registration's inserts and removals work.
void prefetch_block_offsets(int x, int y, int z);
void prefetch_block_lists(int x, int y, int z);
// Compacts the pool in place when a good part of it lies in blocks that
// lists have given back (as when a scattered start settles into a heap), and
// returns the room freed to the system. Lists keep their entries and order;
// without memory for its index of the lists nothing changes.
void tidy_cell_lists();
// Sets up an empty table for cell_side³ cells; false when out of memory.
bool alloc_cell_lists();
// Replaces the table by an empty one for side³ cells (cell_side and the
// strides follow); false, with the old table kept, when out of memory.
bool resize_cell_lists(int side);
// Releases the table.
void free_cell_lists();
// Bytes the table holds (offsets and pool).
size_t cell_lists_bytes();
// The most bytes of the table in use at once since it was set up: offsets
// and the part of the pool handed out (the rest of the pool is address space
// the lists have not touched yet).
size_t cell_lists_peak_bytes();
// No list has held more entries than this since the table was set up.
int cell_capacity_bound();

// Checks that every ball is in the list of every in-range cell of its block
// exactly once and in no other list, and that the margin is empty. On a
// fault writes a description to `fault` (may be null, 256 bytes).
bool check_cell_lists(char* fault = nullptr);
// Checks that the lists the parallel mode builds for its walks name the same
// balls as the neighbour lists, cell by cell. On a fault writes a
// description to `fault` (may be null, 256 bytes).
bool check_parallel_lists(char* fault = nullptr);

// ---------------------------------------------------------------------------
// Passes
// ---------------------------------------------------------------------------

// One repulsion pass between neighbouring balls, in ball order.
void repel_balls();
// How repel_balls runs its walks: all give the same results. By default it
// runs independent walks side by side in vector lanes where the processor
// allows and the lists leave enough of them; tests and benchmarks force one
// way to compare them. REPEL_WIDE takes the widest lanes the processor has
// (sixteen with AVX-512, else eight with AVX2) over the whole lists;
// REPEL_WIDE8 runs as the default does on a processor with AVX2 alone: eight
// lanes, over the reach lists where they hold.
enum RepelPath { REPEL_AUTO, REPEL_PLAIN, REPEL_WIDE, REPEL_WIDE8 };
extern RepelPath repel_path;
// Whether this processor can run the walks side by side: in any lanes
// (AVX-512 or AVX2), and in eight AVX2 lanes.
bool repel_wide_supported();
bool repel_wide8_supported();
// Releases the working memory of the repulsion pass.
void free_repel_scratch();
// Threads of the parallel mode ("threads" in the settings); below 1 the
// sequential mode. The parallel mode's results do not depend on the count.
extern int sim_threads;
// The most threads the parallel mode takes; more are held at this. More
// would only wait on each other; no figure was recorded for 256 (6c79b7a).
const int MAX_SIM_THREADS = 256;
// One frame of the simulation: the repulsion pass and the step, in the
// sequential mode or on sim_threads threads. False as for step_balls.
bool simulate_step(const MapHeader* header);
// One damped Verlet step against the map's collision field. False when the
// neighbour table could not grow (the ball that needed it keeps its old
// registration, so the lists stay consistent).
bool step_balls(const MapHeader* header);
