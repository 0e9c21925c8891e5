// The reach lists' state, shared by the pass (reach_lists.cpp) and the
// building and checking of the lists (reach_build.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "repulsion_walk.h"

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
};
extern ReachState rs;

// Builds ball i's reach list from its cell's list and the anchors.
void build_reach_list(int i);
// Builds every ball's list.
void build_all_reach_lists();
// Builds the lists of the marked balls, and clears the marks.
void build_dirty_reach_lists();
