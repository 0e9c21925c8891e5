// The parallel mode's ordered engine: the balls' state kept in the engine's
// own arrays in spatial order from frame to frame (ordered.cpp).
#pragma once

#include <cstddef>

#include "map_format.h"
#include "sim_state.h"

struct SimPlan;

// One frame (repulsion and step) of the ordered engine on `threads` threads.
// False, having changed nothing, when its memory cannot be had: the caller
// then runs the plan's sequential twin. *ok is false when a slab's lists
// could not be had (its balls were not pushed this frame; the next frame
// builds again).
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

// Sets the skin of the ordered engine's lists (ORDERED_SKIN by default,
// held to 0 .. ORDERED_SKIN_MOST); a new skin has the lists built again at
// the next frame (tests and bench_sim).
void set_ordered_skin(SimState* s, float skin);

// Frames the ordered engine ran and the times it built its lists, since it
// was set up (tests).
void ordered_build_counts(const SimState* s, long* frames, long* builds);

// Releases the ordered engine's state.
void free_ordered_state(SimState* s);
// The same, and ends the thread team's threads.
void free_parallel_scratch(SimState* s);
// Refuses the ordered engine more than `ints` ints for a slab's lists, as if
// their memory could not be had (tests); free_parallel_scratch lifts it.
void limit_parallel_lists(SimState* s, size_t ints);

// Bytes the ordered engine holds now, and at most since it was set up.
size_t ordered_bytes(const SimState* s);
size_t ordered_peak_bytes(const SimState* s);

// Where the ordered engine's frames spent their time since the last call
// (seconds, summed over frames), per stage; the stages' names. Returns the
// frames counted (and in *builds, when given, the builds among them) and
// clears the sums.
enum OrderedStage {
    ORDERED_IMPORT,   // taking the balls in from the ball arrays
    // At a build: the cells and keys, out-of-order balls sorted and merged
    // back; the arrays put physically in order; where each cell's balls lie;
    // the lists and walk orders.
    ORDERED_KEYS,
    ORDERED_RESORT,
    ORDERED_INDEX,
    ORDERED_BUILD,
    ORDERED_WALKS,    // the slabs' walks
    ORDERED_STEP,     // the step, the travel check, the write back
    // Within the walks, summed over the threads: walking, and waiting for a
    // neighbour slab.
    ORDERED_WALK,
    ORDERED_WAIT,
    ORDERED_STAGES
};
const char* ordered_stage_name(int stage);
long take_ordered_stage_times(SimState* s, double seconds[ORDERED_STAGES], long* builds = nullptr);

// Checks that the ordered engine's arrays hold the balls' state in order,
// and that each ball's list names no ball twice, not itself, none beyond
// its reach when built, and every ball within one unit of it now (building
// the lists first when a ball travelled too far). On a fault writes a
// description to `fault` (may be null, 256 bytes). Runs between ordered
// frames.
bool check_ordered_engine(SimState* s, char* fault = nullptr);
