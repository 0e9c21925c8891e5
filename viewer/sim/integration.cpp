// Integration step: push out of solid cells, damped Verlet with gravity along
// y, confinement to the field and the move of the neighbour registration.
#include "balls.h"

// Collision field cell along one axis of a coordinate that may lie slightly
// outside [1, F] after the repulsion pass: trunc(coordinate · scale), held
// to 0 .. G − 1. Not-a-number lands in cell 0.
static inline size_t field_cell(float coordinate, double scale, int grid)
{
    double v = (double)coordinate * scale;
    if (v >= (double)grid)
        return (size_t)(grid - 1);
    if (v >= 0.0)
        return (size_t)v;
    return 0;
}

// Holds a coordinate to [1, F]. Written so that not-a-number becomes 1: a
// position must always name a neighbour cell.
static inline float confine(float coordinate, float extent)
{
    if (!(coordinate >= 1.0f))
        return 1.0f;
    if (coordinate > extent)
        return extent;
    return coordinate;
}

bool step_balls(const MapHeader* header)
{
    const int grid = header->grid_size;
    const int16_t* field = header->field.cells;
    const double scale = (double)field_scale;
    const size_t stride_x = field_stride_x;
    const size_t stride_y = field_stride_y;
    const double push = (double)field_push_coef;
    const double damp = (double)damping;
    const double fall = (double)gravity;
    const float extent = field_extent;
    bool all_registered = true;

    for (int i = 0; i < ball_count; ++i) {
        Vec3 p = ball_pos[i];
        Vec3 q = ball_prev[i];

        const int16_t* n = field + field_cell(p.x, scale, grid) * stride_x +
                           field_cell(p.y, scale, grid) * stride_y + field_cell(p.z, scale, grid) * 3;
        if (n[0] != 0 || n[1] != 0 || n[2] != 0) {
            p.x = (float)((double)p.x - n[0] * push);
            p.y = (float)((double)p.y - n[1] * push);
            p.z = (float)((double)p.z - n[2] * push);
        }

        Vec3 next;
        next.x = (float)((double)p.x + damp * ((double)p.x - q.x));
        next.y = (float)((double)p.y + (damp * ((double)p.y - q.y) + fall));
        next.z = (float)((double)p.z + damp * ((double)p.z - q.z));
        ball_prev[i] = p;

        next.x = confine(next.x, extent);
        next.y = confine(next.y, extent);
        next.z = confine(next.z, extent);
        ball_pos[i] = next;

        CellCoord old = ball_cell[i];
        CellCoord now = {(int)next.x, (int)next.y, (int)next.z};
        if (now.x == old.x && now.y == old.y && now.z == old.z)
            continue;
        // Room in the new block before leaving the old one: should the table
        // be unable to grow, the ball stays registered where it was.
        if (!block_reserve(now.x, now.y, now.z)) {
            all_registered = false;
            continue;
        }
        block_remove(old.x, old.y, old.z, i);
        block_insert(now.x, now.y, now.z, i);
        // Lists the ball leaves empty give their memory back, now that the
        // new block no longer needs room.
        block_release_empty(old.x, old.y, old.z);
        ball_cell[i] = now;
    }
    return all_registered;
}
