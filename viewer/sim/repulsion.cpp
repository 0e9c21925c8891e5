// Ball-ball repulsion: balls whose centres are at most one unit apart push
// each other apart along the line between them.
//
// The pass is sequential by definition: ball after ball, each walking its
// neighbour list from the last entry down, every pair seeing the pushes of
// all pairs before it. Each accepted pair therefore sits on a long chain of
// dependent arithmetic (a division among it) through the position of the
// walking ball. Where the processor has AVX-512, independent walks run side
// by side in vector lanes (repulsion_wide.cpp); the plain walk serves
// everywhere else.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "repulsion_walk.h"

RepelPath repel_path = REPEL_AUTO;

static WideScratch main_scratch;

// The walk of ball i over the list of its cell.
static inline void repel_one(int i, double coef)
{
    Vec3* pos = ball_pos;
    CellCoord c = ball_cell[i];
    const int* list = cell_list(cell_index(c.x, c.y, c.z));
    // Ball i is never its own partner, so its position can live in locals
    // for the walk: every pair still sees its latest value.
    float xi = pos[i].x, yi = pos[i].y, zi = pos[i].z;
    for (int s = list[0]; s >= 1; --s) {
        int j = list[s];
        if (j == i)
            continue;
        Vec3* pj = pos + j;
        // A difference of two floats rounded once is the same in float as
        // in double. |trunc(d)| > 1 is |d| >= 2.
        float dx = xi - pj->x;
        if (std::fabs(dx) >= 2.0f)
            continue;
        float dy = yi - pj->y;
        if (std::fabs(dy) >= 2.0f)
            continue;
        float dz = zi - pj->z;
        if (std::fabs(dz) >= 2.0f)
            continue;
        float s2 = (float)(((double)dx * dx + (double)dy * dy) + (double)dz * dz);
        if (s2 > 1.0f)
            continue;
        if (s2 < MIN_SQUARED_DISTANCE)
            s2 = MIN_SQUARED_DISTANCE;
        float u = (float)(1.0 - 1.0 / (double)s2);
        float push_x = (float)(coef * ((double)dx * u));
        float push_y = (float)(coef * ((double)dy * u));
        float push_z = (float)(coef * ((double)dz * u));
        xi -= push_x;
        yi -= push_y;
        zi -= push_z;
        pj->x += push_x;
        pj->y += push_y;
        pj->z += push_z;
    }
    pos[i] = Vec3{xi, yi, zi};
}

void repel_plain(const int* order, int count, double coef)
{
    if (order) {
        for (int n = 0; n < count; ++n)
            repel_one(order[n], coef);
    } else {
        for (int i = 0; i < count; ++i)
            repel_one(i, coef);
    }
}

void free_repel_scratch()
{
    free_wide_scratch(&main_scratch);
}

bool repel_wide_supported()
{
    static const bool supported = wide_walks_supported();
    return supported;
}

void repel_balls()
{
    const double coef = (double)repulsion_coef;
    if (ball_count <= 0)
        return;
    if (repel_path != REPEL_PLAIN && repel_wide_supported() &&
        repel_wide(nullptr, ball_count, coef, &main_scratch))
        return;
    repel_plain(nullptr, ball_count, coef);
}
