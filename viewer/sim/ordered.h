// The parallel mode's ordered engine: the balls' state kept in the engine's
// own arrays in spatial order from frame to frame (ordered.cpp).
#pragma once

#include <cstddef>

#include "map_format.h"
#include "sim_state.h"

struct SimPlan;

// One frame (repulsion and step) of the ordered engine on `threads` threads.
// False, having changed nothing, when its memory cannot be had: the caller
// then runs the slab engine. *ok is false when a slab's lists could not be
// had (its balls were not pushed this frame).
bool ordered_frame(SimState* s, const MapHeader* header, const SimPlan* plan, int threads, bool* ok);

// Rebuilds the neighbour lists (and ball_cell) from the balls' positions when
// the ordered engine left them behind; the reach lists start afresh. Every
// other plan calls it first. False when the table's memory cannot be had
// (the lists then hold the balls that fitted).
bool refresh_cell_lists(SimState* s);

// Tell the ordered engine that ball_pos and ball_prev were written from
// outside the simulation: every ball, or ball i alone (a teleport). Needed
// only between frames of the ordered engine; cheap otherwise.
void note_balls_written(SimState* s);
void note_ball_written(SimState* s, int i);

// Puts the arrays physically in order again once one ball in `share` has
// changed places since the last time (tests and bench_sim; the default is
// ORDERED_RESORT_SHARE in ordered_state.h).
void set_ordered_resort(SimState* s, int share);

// Passes over the lists cut to each ball's reach that held, and that were
// walked again over the whole lists, since the engine was set up (tests).
void ordered_cut_counts(const SimState* s, long* passes, long* redone);

// Releases the ordered engine's state.
void free_ordered_state(SimState* s);

// Bytes the ordered engine holds now, and at most since it was set up.
size_t ordered_bytes(const SimState* s);
size_t ordered_peak_bytes(const SimState* s);

// Where the ordered engine's frames spent their time since the last call
// (seconds, summed over frames), per stage; the stages' names. Returns the
// frames counted and clears the sums.
enum OrderedStage {
    ORDERED_IMPORT,   // taking the balls in from the ball arrays
    ORDERED_KEYS,     // new keys, out-of-order balls sorted and merged back
    ORDERED_RESORT,   // the arrays put physically in the new order
    ORDERED_INDEX,    // where each cell's balls lie
    ORDERED_WALKS,    // the slabs' lists and walks
    ORDERED_STEP,     // the step, the cells, the write back
    // Within the walks, summed over the threads: building the slabs' lists
    // and orders, walking them, and waiting for a neighbour slab.
    ORDERED_BUILD,
    ORDERED_WALK,
    ORDERED_WAIT,
    ORDERED_STAGES
};
const char* ordered_stage_name(int stage);
long take_ordered_stage_times(SimState* s, double seconds[ORDERED_STAGES]);

// Checks that the lists the ordered engine builds name, cell by cell, the
// balls within one cell of it (the neighbour lists' content), and that its
// arrays hold the balls' state. On a fault writes a description to `fault`
// (may be null, 256 bytes). Runs between ordered frames.
bool check_ordered_engine(SimState* s, char* fault = nullptr);
