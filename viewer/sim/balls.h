// The ball simulation of the viewer: settings, per-ball state, neighbour cell
// lists, the repulsion pass and the integration step. One global instance,
// created by init_balls after the map is loaded and released by free_balls.
// No GL here: the renderer reads ball_count, ball_pos and ball_color.
#pragma once

#include <cstddef>

#include "map_format.h"
#include "vec3.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

// Settings file, its section, and the divisors of the settings (10000·π and
// 100·π as double constants).
extern const char* const BALL_SETTINGS_FILE;     // "config.ini"
extern const char* const BALL_SETTINGS_SECTION;  // "balls"
constexpr double SETTING_DIVISOR_SMALL = 31415.926535897932;  // 10000·π
constexpr double SETTING_DIVISOR_LARGE = 314.1592653589793;   // 100·π

// Slots per neighbour cell at start-up (slot 0 unused, so 99 entries). The
// table grows when a list would outgrow it, so this is only the first size.
constexpr int CELL_SLOTS_INITIAL = 100;

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

// Neighbour table: cell k's entries are cell_slots[k·cell_capacity + 1 ..
// k·cell_capacity + cell_counts[k]]; slot 0 of every cell is unused.
extern int* cell_counts;         // cell_side³ entry counts
extern int* cell_slots;          // cell_side³ × cell_capacity ball numbers
extern int cell_capacity;        // slots per cell, slot 0 included

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

// Reads the keys of section "balls" of "config.ini" in the working
// directory (token mode): the five simulation settings and the optional
// frame cap "fps"; derives gravity and the neighbour grid size.
// field_extent must be set first. A negative count is taken as 0.
void read_ball_settings();
// The same from another settings file (tests).
void read_ball_settings_from(const char* path);

// Start-up from a loaded map (field_size and grid_size at least 1): settings,
// arrays, random placement and registration in the neighbour lists. The
// caller seeds the generator first. Returns false, with nothing left
// allocated and ball_count 0, when memory cannot be had; the reason is
// written to `reason` (may be null) as a short English phrase.
bool init_balls(const MapHeader* header, const char** reason = nullptr);
// Like init_balls with a settings file given by path (tests, benchmarks).
bool init_balls_from(const MapHeader* header, const char* settings_path,
                     const char** reason = nullptr);
// Releases the six buffers; safe to call twice or without init_balls.
void free_balls();

// ---------------------------------------------------------------------------
// Neighbour cell lists
// ---------------------------------------------------------------------------

// Index of neighbour cell (x, y, z).
inline size_t cell_index(int x, int y, int z)
{
    return (size_t)x * cell_stride_x + (size_t)y * cell_stride_y + (size_t)z;
}

// Appends ball to the list of cell (x, y, z), growing the table when the
// list is full. False (nothing changed) when the table cannot grow.
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
// (x, y, z). False when the table cannot grow.
bool block_reserve(int x, int y, int z);

// Checks that every ball is in the list of every in-range cell of its block
// exactly once and in no other list, and that the margin is empty. On a
// fault writes a description to `fault` (may be null, 256 bytes).
bool check_cell_lists(char* fault = nullptr);

// ---------------------------------------------------------------------------
// Passes
// ---------------------------------------------------------------------------

// One repulsion pass between neighbouring balls, in ball order.
void repel_balls();
// Whether repel_balls may run independent walks side by side in vector
// lanes where the processor allows (same results; tests clear it to compare).
extern bool repel_wide_enabled;
// One damped Verlet step against the map's collision field. False when the
// neighbour table could not grow (the ball that needed it keeps its old
// registration, so the lists stay consistent).
bool step_balls(const MapHeader* header);
