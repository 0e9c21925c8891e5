// Building the reach lists (reach_build.cpp), shared with the pass over them
// (reach_lists.cpp). Their state is SimState::rs (sim_state.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "repulsion_walk.h"

// Builds ball i's reach list from its cell's list and the anchors.
void build_reach_list(SimState* s, int i);
// Builds every ball's list.
void build_all_reach_lists(SimState* s);
// Builds the lists of the marked balls, and clears the marks.
void build_dirty_reach_lists(SimState* s);
