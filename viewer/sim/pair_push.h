// The push between two balls of the repulsion pass: its one scalar home.
// The plain walk (repel_one in repulsion.cpp) calls it; the walks in vector
// lanes (repulsion_lanes.h) perform the same IEEE operations in the same
// order lane by lane and must give the same bits (tests/sim/test_golden.cpp
// and test_repulsion.cpp compare them).
#pragma once

#include <cmath>

// Squared distances below this count as this (the push then grows only
// linearly with the distance and vanishes when two balls coincide).
constexpr float MIN_SQUARED_DISTANCE = 0.2f;

// The push of a pair, in float: the walking ball moves by −push, its partner
// by +push.
struct PairPush {
    float x, y, z;
};

// The push between the walking ball at (xi, yi, zi) and its partner at
// partner[0 .. 2]; false when they are out of reach (more than one unit
// apart, or a difference that is not a number). The partner's y and z are
// read only once x is in reach.
inline bool pair_push(float xi, float yi, float zi, const float* partner, double coef, PairPush* push)
{
    // A difference of two floats rounded once is the same in float as in
    // double. |trunc(d)| > 1 is |d| >= 2.
    float dx = xi - partner[0];
    if (std::fabs(dx) >= 2.0f)
        return false;
    float dy = yi - partner[1];
    if (std::fabs(dy) >= 2.0f)
        return false;
    float dz = zi - partner[2];
    if (std::fabs(dz) >= 2.0f)
        return false;
    float s2 = (float)(((double)dx * dx + (double)dy * dy) + (double)dz * dz);
    if (s2 > 1.0f)
        return false;
    if (s2 < MIN_SQUARED_DISTANCE)
        s2 = MIN_SQUARED_DISTANCE;
    float u = (float)(1.0 - 1.0 / (double)s2);
    push->x = (float)(coef * ((double)dx * u));
    push->y = (float)(coef * ((double)dy * u));
    push->z = (float)(coef * ((double)dz * u));
    return true;
}
