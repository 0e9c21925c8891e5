// The integration step of one ball, shared by the sequential step and the
// parallel mode: the arithmetic of a ball, and the move of its registration.
#pragma once

#include <vector>

#include "balls.h"

// What the step reads, taken once per step: the field and the settings, and
// the per-ball arrays the lanes step.
struct StepConstants {
    int grid;
    const int16_t* field;
    double scale;
    size_t stride_x, stride_y;
    double push, damp, fall;
    float extent;
    Vec3* pos;
    Vec3* prev;
    const CellCoord* cell;
};

inline StepConstants step_constants(const SimState* s, const MapHeader* header)
{
    return StepConstants{header->grid_size, header->field.cells, (double)s->field_scale,
                         s->field_stride_x, s->field_stride_y, (double)s->field_push_coef,
                         (double)s->damping, (double)s->gravity, s->field_extent,
                         s->ball_pos, s->ball_prev, s->ball_cell};
}

// Collision field cell along one axis of a coordinate that may lie slightly
// outside [1, F] after the repulsion pass: trunc(coordinate · scale), held
// to 0 .. G − 1. Not-a-number lands in cell 0.
inline size_t field_cell(float coordinate, double scale, int grid)
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
inline float confine(float coordinate, float extent)
{
    if (!(coordinate >= 1.0f))
        return 1.0f;
    if (coordinate > extent)
        return extent;
    return coordinate;
}

// The collision field normal of the cell holding p.
inline const int16_t* field_normal_at(const StepConstants& k, Vec3 p)
{
    return k.field + field_cell(p.x, k.scale, k.grid) * k.stride_x + field_cell(p.y, k.scale, k.grid) * k.stride_y +
           field_cell(p.z, k.scale, k.grid) * 3;
}

// Balls ahead of the one at hand whose field cell the steps fetch early: in
// a large field the cells of successive balls lie far apart.
// Trades time for the fetch to land against lines evicted before use; no
// figure was recorded for 8 (e075d29).
const int FIELD_AHEAD = 8;

// Field push, damped Verlet update and confinement of ball i; touches only
// ball i's position and previous position. The one scalar home of the step:
// the lanes (advance_balls_wide, integration_wide.cpp) perform the same IEEE
// operations in the same order and must give the same bits
// (tests/sim/test_integration.cpp and test_golden.cpp compare them).
inline void advance_ball(const StepConstants& k, int i)
{
    Vec3 p = k.pos[i];
    Vec3 q = k.prev[i];

    const int16_t* n = field_normal_at(k, p);
    if (n[0] != 0 || n[1] != 0 || n[2] != 0) {
        p.x = (float)((double)p.x - n[0] * k.push);
        p.y = (float)((double)p.y - n[1] * k.push);
        p.z = (float)((double)p.z - n[2] * k.push);
    }

    Vec3 next;
    next.x = (float)((double)p.x + k.damp * ((double)p.x - q.x));
    next.y = (float)((double)p.y + (k.damp * ((double)p.y - q.y) + k.fall));
    next.z = (float)((double)p.z + k.damp * ((double)p.z - q.z));
    k.prev[i] = p;

    next.x = confine(next.x, k.extent);
    next.y = confine(next.y, k.extent);
    next.z = confine(next.z, k.extent);
    k.pos[i] = next;
}

// advance_ball for balls begin .. end - 1 of k's arrays, sixteen at a time
// in AVX-512 lanes, the same bits; the balls that leave their cells are
// appended to moved in ball order. Returns the first ball not stepped: begin
// when the processor lacks the lanes or the field is too large to index in
// 32 bits, else the balls of the last part block remain.
int advance_balls_wide(const StepConstants& k, int begin, int end, std::vector<int>* moved);

// The same for positions of four floats a ball at `quads` (k.pos and k.cell
// unused): the ordered engine's arrays. Instead of the balls that leave
// their cells, sets *far when a ball ends farther than sqrt(limit2) from its
// position in `built`, as travelled_far (ordered_state.h) decides.
int advance_quads_wide(const StepConstants& k, float* quads, int begin, int end, const Vec3* built, float limit2,
                       bool* far);

// Whether ball i's position lies outside the cell it is registered around.
inline bool leaves_cell(const StepConstants& k, int i)
{
    Vec3 p = k.pos[i];
    CellCoord old = k.cell[i];
    return (int)p.x != old.x || (int)p.y != old.y || (int)p.z != old.z;
}

// Moves ball i's registration to the cell of its position when that changed.
// False when the lists could not make room: the ball then stays registered
// where it was, so the lists stay consistent.
inline bool move_registration(SimState* s, int i)
{
    Vec3 p = s->ball_pos[i];
    CellCoord old = s->ball_cell[i];
    CellCoord now = {(int)p.x, (int)p.y, (int)p.z};
    if (now.x == old.x && now.y == old.y && now.z == old.z)
        return true;
    // Room in the new block before leaving the old one.
    if (!block_reserve(s, now.x, now.y, now.z))
        return false;
    block_remove(s, old.x, old.y, old.z, i);
    block_insert(s, now.x, now.y, now.z, i);
    // Lists the ball leaves empty give their memory back, now that the new
    // block no longer needs room.
    block_release_empty(s, old.x, old.y, old.z);
    s->ball_cell[i] = now;
    return true;
}

// Moves the registrations of `count` balls, in the order given (ball order
// in both modes). The lists a move touches lie far apart in a large field:
// those of the moves further on are fetched early. False as for
// move_registration when one of them could not make room.
bool move_registrations(SimState* s, const int* balls, size_t count);
