// Ball-ball repulsion: balls whose centres are at most one unit apart push
// each other apart along the line between them.
#include <cmath>

#include "balls.h"

// Squared distances below this count as this (the push then grows only
// linearly with the distance and vanishes when two balls coincide).
static const float MIN_SQUARED_DISTANCE = 0.2f;

void repel_balls()
{
    const double coef = (double)repulsion_coef;
    const size_t capacity = (size_t)cell_capacity;
    Vec3* pos = ball_pos;
    for (int i = 0; i < ball_count; ++i) {
        CellCoord c = ball_cell[i];
        size_t k = cell_index(c.x, c.y, c.z);
        const int* list = cell_slots + k * capacity;
        // Ball i is never its own partner, so its position can live in
        // locals for the walk: every pair still sees its latest value.
        float xi = pos[i].x, yi = pos[i].y, zi = pos[i].z;
        for (int s = cell_counts[k]; s >= 1; --s) {
            int j = list[s];
            if (j == i)
                continue;
            Vec3* pj = pos + j;
            // Each difference is one rounding of the exact value, the same
            // in float as in double. |trunc(d)| > 1 is |d| >= 2.
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
}
