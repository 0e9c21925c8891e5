// The ball simulation of the viewer: settings, per-ball state, neighbour cell
// lists, the repulsion pass and the integration step. Its state lives in a
// SimState (sim_state.h), sized by init_balls_from after the map is loaded
// and released by free_balls. No GL here: the renderer reads ball_count,
// ball_pos and ball_color.
#pragma once

#include <cstddef>
#include <cstdint>

#include "map_format.h"
#include "sim_plan.h"
#include "sim_state.h"
#include "vec3.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

// Section of the settings file, and the divisors of the settings (10000·π
// and 100·π as double constants).
inline constexpr const char* BALL_SETTINGS_SECTION = "balls";
constexpr double SETTING_DIVISOR_SMALL = 31415.926535897932;  // 10000·π
constexpr double SETTING_DIVISOR_LARGE = 314.1592653589793;   // 100·π

// Largest value of ball_random().
constexpr int BALL_RANDOM_MAX = 32767;

// ---------------------------------------------------------------------------
// Pseudo-random numbers
// ---------------------------------------------------------------------------

// Seeds the start-up generator (a linear congruential generator, the
// classic next = next·1103515245 + 12345 taking bits 16..30).
// Each simulation has its own.
void seed_ball_random(SimState* s, unsigned seed);
// Next integer, uniform in 0 .. BALL_RANDOM_MAX.
int ball_random(SimState* s);

// ---------------------------------------------------------------------------
// Settings and start-up
// ---------------------------------------------------------------------------

// Start-up from a loaded map (field_size and grid_size at least 1): reads
// the keys of section "balls" of the settings file at `settings_path` (token
// mode: the five simulation settings, the optional frame cap "fps", "layers"
// and "threads"; a negative count is taken as 0), derives gravity and the
// neighbour grid size, then sizes the arrays, places the balls at random and
// registers them in the neighbour lists. The caller seeds the generator
// first. Whatever s held is released first. Returns false, with nothing left
// allocated and ball_count 0, when
// memory cannot be had; the reason is written to `reason` (may be null) as a
// short English phrase. With `layers` given, the setting layers=1 and a
// start box that reaches into the field, the balls start at random inside
// that box instead of the whole field.
bool init_balls_from(SimState* s, const MapHeader* header, const char* settings_path,
                     const char** reason = nullptr, const MapLayers* layers = nullptr);
// Releases everything s holds, its team's threads too; safe to call twice
// or without init_balls_from. Settings and the generator are kept.
void free_balls(SimState* s);

// ---------------------------------------------------------------------------
// Neighbour cell lists
// ---------------------------------------------------------------------------

// Index of neighbour cell (x, y, z).
inline size_t cell_index(const SimState* s, int x, int y, int z)
{
    return (size_t)x * s->cell_stride_x + (size_t)y * s->cell_stride_y + (size_t)z;
}

// The list of cell k: [0] the count, [1 .. count] the entries.
inline const int* cell_list(const SimState* s, size_t k)
{
    return s->cell_pool + s->cell_start[k];
}
inline int cell_count(const SimState* s, size_t k)
{
    return s->cell_pool[s->cell_start[k]];
}
// Entries the list of cell k holds before it must move to a larger block.
inline int cell_list_capacity(const SimState* s, size_t k)
{
    return s->cell_pool[(ptrdiff_t)s->cell_start[k] - 1];
}

// Appends ball to the list of cell (x, y, z), moving the list to a larger
// block when it is full. False (nothing changed) when no memory is left.
bool cell_insert(SimState* s, int x, int y, int z, int ball);
// Removes ball from the list of cell (x, y, z): the last entry moves into
// its slot. False (nothing changed) when the ball is not in the list.
bool cell_remove(SimState* s, int x, int y, int z, int ball);
// cell_insert into every in-range cell of the 3×3×3 block around (x, y, z).
// False (nothing changed) when the table cannot grow to hold the ball.
bool block_insert(SimState* s, int x, int y, int z, int ball);
// cell_remove from every in-range cell of the 3×3×3 block around (x, y, z).
void block_remove(SimState* s, int x, int y, int z, int ball);
// Makes room for one more entry in every in-range cell of the block around
// (x, y, z). False when no memory is left.
bool block_reserve(SimState* s, int x, int y, int z);
// Gives the blocks of the empty lists around (x, y, z) back to the pool.
void block_release_empty(SimState* s, int x, int y, int z);
// Fetch early the offsets of the lists of the block around (x, y, z), and
// (once those are at hand) the lists themselves: their heads and first
// entries, where a registration's inserts and removals work.
void prefetch_block_offsets(const SimState* s, int x, int y, int z);
void prefetch_block_lists(const SimState* s, int x, int y, int z);
// Compacts the pool in place when a good part of it lies in blocks that
// lists have given back (as when a scattered start settles into a heap), and
// returns the room freed to the system. Lists keep their entries and order;
// without memory for its index of the lists nothing changes.
void tidy_cell_lists(SimState* s);
// Sets up an empty table for cell_side³ cells; false when out of memory.
bool alloc_cell_lists(SimState* s);
// Replaces the table by an empty one for side³ cells (cell_side and the
// strides follow); false, with the old table kept, when out of memory.
bool resize_cell_lists(SimState* s, int side);
// Releases the table.
void free_cell_lists(SimState* s);
// Bytes the table holds (offsets and pool).
size_t cell_lists_bytes(const SimState* s);
// The most bytes of the table in use at once since it was set up: offsets
// and the part of the pool handed out (the rest of the pool is address space
// the lists have not touched yet).
size_t cell_lists_peak_bytes(const SimState* s);
// No list has held more entries than this since the table was set up.
int cell_capacity_bound(const SimState* s);
// Sets s->partner_limit_hit when the list of some ball's cell holds more
// than s->partner_limit entries, so that its walk will be cut short. Costs
// nothing while no list has ever grown past the limit.
void note_partner_limit(SimState* s);

// Checks that every ball is in the list of every in-range cell of its block
// exactly once and in no other list, and that the margin is empty. On a
// fault writes a description to `fault` (may be null, 256 bytes).
bool check_cell_lists(const SimState* s, char* fault = nullptr);

// ---------------------------------------------------------------------------
// Passes
// ---------------------------------------------------------------------------

// One repulsion pass between neighbouring balls, in ball order.
void repel_balls(SimState* s);
// It runs the plan choose_plan_in_mode gives for the sequential mode
// (sim_plan.h); repel_with_plan runs a given one.
void repel_with_plan(SimState* s, const SimPlan* plan);
// Releases the working memory of the repulsion pass.
void free_repel_scratch(SimState* s);
// The most threads the parallel mode takes; more are held at this. More
// would only wait on each other; no figure was recorded for 256 (6c79b7a).
const int MAX_SIM_THREADS = 256;
// One frame of the simulation: the repulsion pass and the step, in the
// sequential mode or on s->sim_threads threads (the ordered engine). False as
// for step_balls, or when the ordered engine's lists could not be had.
bool simulate_step(SimState* s, const MapHeader* header);
// One damped Verlet step against the map's collision field. False when the
// neighbour table could not grow (the ball that needed it keeps its old
// registration, so the lists stay consistent).
bool step_balls(SimState* s, const MapHeader* header);
// The same with the plan given: the AVX-512 lanes when its step_lanes is 16.
bool step_with_plan(SimState* s, const MapHeader* header, const SimPlan* plan);
