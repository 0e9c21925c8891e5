// Reach lists: for each ball, the entries of its cell's list that can come
// within pushing distance, in the list's order. The repulsion pass walks
// these instead of the whole lists where it can show that every entry left
// out stays more than one unit away during the pass; it then gives the same
// bits as the walk over the whole lists, since an entry out of reach is
// rejected there without changing anything.
//
// Each ball has an anchor, a recent position of its own, and a
// budget. A ball's list keeps the entries whose anchors lie within 1 + both
// budgets of its own. During a pass every push also adds its length (and
// its rounding) to a running sum per ball, which starts at the ball's
// distance from its anchor; while each ball's sum stays below its budget
// (less a margin), two balls whose anchors are further apart than 1 + both
// budgets cannot come within one unit. A pass that breaks this bound is
// thrown away, the budgets it overran grow, and the whole lists are walked
// instead.
#pragma once

#include <cstddef>

#include "sim_state.h"

struct SimPlan;

// Runs the repulsion pass over the reach lists in the plan's walk lanes
// (sixteen AVX-512 lanes, which also build the lists, or eight AVX2 lanes).
// False, with the positions untouched, when the pass over the whole lists
// must run instead: no vector lanes, no memory, coordinates that are not
// finite, balls moving fast, a list too long for its slot, or a pass that
// broke its bound.
bool repel_reach(SimState* s, const SimPlan* plan, double coef);
// Called by the neighbour lists before a ball is entered in or removed from
// the lists of the block around cell (x, y, z): the balls walking those
// lists need new reach lists.
void note_block_change(SimState* s, int x, int y, int z);
// Every reach list must be built anew (the neighbour table was replaced).
void forget_reach_lists(SimState* s);
// Releases the reach lists and their working memory.
void free_reach_lists(SimState* s);
// Bytes the reach lists and their working memory take.
size_t reach_lists_bytes(const SimState* s);

// Checks that the reach list of every ball whose list is up to date holds
// the entries of its cell's list in their order, leaving out only entries out
// of reach. On a fault writes a description to `fault` (may be null, 256
// bytes).
bool check_reach_lists(const SimState* s, char* fault = nullptr);

