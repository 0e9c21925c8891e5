// The three stages of the collision field computation, each in its
// exhaustive form (phys_exhaustive.cpp) and its fast form (phys_classify.cpp
// and phys_cells.cpp, phys_fast.cpp, phys_vectors.cpp). Both forms of a stage
// leave the same marks, the same frontier order, the same field cells and
// print the same dots.
#pragma once

#include <cstdint>
#include <vector>

#include "phys_geom.h"

// Grid coordinates of one cell of the frontier list.
struct FrontierCell {
    uint16_t x, y, z;
};

// The six neighbour steps, in the order the frontier is built.
const int NEIGHBOUR_STEPS[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};

// The cell a stage-3 stop was found at and the vector stored there.
struct PushFault {
    int64_t x, y, z;
    int dx, dy, dz;
};

inline int64_t cell_index(int64_t x, int64_t y, int64_t z, int64_t g)
{
    return (x * g + y) * g + z;
}

// Classifies one cell point by measuring every vertex, face and edge.
PhysSide classify_cell_exhaustive(const PhysMesh* mesh, Vec3 p);

// Stage 1: every cell of `box` (clamped) whose class is front gets both
// flags. One progress step per cell.
void classify_cells_exhaustive(const PhysMesh* mesh, const PhysBox* box, int64_t g, uint8_t* marks,
                               PhysProgress* pr);
// Fast form, on `threads` threads; false when it cannot give a certain
// answer for this mesh (then the caller runs the exhaustive form; nothing
// has been marked or printed).
bool classify_cells_fast(const PhysMesh* mesh, const PhysBox* box, int64_t g, uint8_t* marks, PhysProgress* pr,
                         int threads);

// Stage 2: geom1 + geom2 + 1 growth passes from the region flags. Grows
// `box` and leaves the last frontier (the target surface) in `targets`.
// Updates pr->total after each pass.
void grow_region_exhaustive(PhysBox* box, int64_t g, uint8_t* marks, int64_t geom1, int64_t geom2,
                            std::vector<FrontierCell>* targets, PhysProgress* pr);
// Fast form; its scans run on `threads` threads.
void grow_region_fast(PhysBox* box, int64_t g, uint8_t* marks, int64_t geom1, int64_t geom2,
                      std::vector<FrontierCell>* targets, PhysProgress* pr, int threads);

// Stage 3: the push cells of `box` get the vector from their nearest target
// (ties to the earlier list entry). False, with `fault` filled, at the first
// stored component beyond +-PUSH_LIMIT. With no targets nothing is stored.
bool fill_vectors_exhaustive(const PhysBox* box, int64_t g, const uint8_t* marks,
                             const std::vector<FrontierCell>* targets, NormalField* field, PhysProgress* pr,
                             PushFault* fault);
// Fast form; its distance transform runs plane by plane on `threads`
// threads.
bool fill_vectors_fast(const PhysBox* box, int64_t g, const uint8_t* marks, const std::vector<FrontierCell>* targets,
                       NormalField* field, PhysProgress* pr, PushFault* fault, int threads);

// Stores (dx, dy, dz) as three s16 into cell `index`; false when a stored
// component's magnitude is above PUSH_LIMIT.
inline bool store_push(NormalField* field, int64_t index, int64_t dx, int64_t dy, int64_t dz)
{
    int16_t* c = field->cells + 3 * index;
    c[0] = (int16_t)dx;
    c[1] = (int16_t)dy;
    c[2] = (int16_t)dz;
    for (int k = 0; k < 3; ++k) {
        if (c[k] > PUSH_LIMIT || c[k] < -PUSH_LIMIT)
            return false;
    }
    return true;
}

// Stage 3's walk shared by both forms: every push cell of `box`, in scan
// order, gets the vector to the target at list position `nearest(x, y, z)`
// (nothing is stored when there are no targets), one progress step each.
// False, with `fault` filled, at the first stored component beyond
// +-PUSH_LIMIT.
template <typename Nearest>
inline bool store_pushes(const PhysBox* box, int64_t g, const uint8_t* marks, const std::vector<FrontierCell>* targets,
                         NormalField* field, PhysProgress* pr, PushFault* fault, Nearest nearest)
{
    bool any = !targets->empty();
    for (int64_t x = box->lo[0]; x <= box->hi[0]; ++x) {
        for (int64_t y = box->lo[1]; y <= box->hi[1]; ++y) {
            for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z) {
                int64_t index = cell_index(x, y, z, g);
                if (!(marks[index] & CELL_PUSH))
                    continue;
                if (any) {
                    const FrontierCell& t = (*targets)[nearest(x, y, z)];
                    if (!store_push(field, index, x - t.x, y - t.y, z - t.z)) {
                        *fault = PushFault{x, y, z, (int)(x - t.x), (int)(y - t.y), (int)(z - t.z)};
                        return false;
                    }
                }
                progress_advance(pr, 1);
            }
        }
    }
    return true;
}
