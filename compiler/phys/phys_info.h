// Voxelising of one placed object into the shared collision field.
//
// Three stages, each printed with its progress dots:
//   1. every cell of the object's box is classified by the nearest vertex,
//      edge or face of the mesh; front cells become the seed region;
//   2. the region grows by geom1 + geom2 six-neighbour layers; the first
//      geom1 layers (and the seeds) are push cells, the layer after the last
//      one is the target surface;
//   3. every push cell gets the integer vector from its nearest target cell.
#pragma once

#include <cstdio>

#include "map_format.h"

// How the nearest features, the frontier and the target cells are found.
// Both give the same bytes and the same transcript; the exhaustive search
// measures everything and is the yardstick for the fast one.
enum PhysSearch {
    PHYS_SEARCH_FAST,
    PHYS_SEARCH_EXHAUSTIVE
};

// How a compile computes its collision field (the command line's
// --exhaustive and --threads). Neither changes the bytes or the transcript.
struct ProgressLine;

struct PhysOptions {
    PhysSearch search = PHYS_SEARCH_FAST;
    int threads = 1;  // threads of the fast search (1 or more)
    ProgressLine* progress = nullptr;  // the terminal's progress line, if any
};

// Seeds, grows and fills the push vectors of one object into `field`,
// printing the three stages and their progress dots to `out`. The object is
// not changed (its vertices are scaled to grid units in a copy). Returns
// false after printing the reason when the compile must stop (a push
// component beyond +-200, or no memory for the scratch data); the caller
// then leaves an empty output file.
bool calc_phys_info(const MapHeader* header, const MapObject* obj, NormalField* field, const PhysOptions* options,
                    FILE* out);
