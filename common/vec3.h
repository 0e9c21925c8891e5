// Vec3 and Mat4: the small vector and matrix helpers both programs share.
// The Vec3 operations are plain 32-bit float arithmetic, evaluated left to
// right; callers that want double precision do their own arithmetic. The
// Mat4 operations evaluate in double and round each result once to float.
#pragma once

#include <cmath>

struct Vec3 {
    float x, y, z;
};

inline Vec3 vec3_make(float x, float y, float z) { return Vec3{x, y, z}; }
inline Vec3 vec3_add(Vec3 a, Vec3 b) { return Vec3{a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 vec3_sub(Vec3 a, Vec3 b) { return Vec3{a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 vec3_scale(Vec3 a, float s) { return Vec3{a.x * s, a.y * s, a.z * s}; }
// (x·x' + y·y') + z·z'
inline float vec3_dot(Vec3 a, Vec3 b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline Vec3 vec3_cross(Vec3 a, Vec3 b)
{
    return Vec3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float vec3_length(Vec3 a) { return std::sqrt(vec3_dot(a, a)); }
// Each component times the float reciprocal of the length; a zero vector
// gives not-a-number components, which callers' comparisons let fall through.
inline Vec3 vec3_unit(Vec3 a)
{
    float inv = 1.0f / vec3_length(a);
    return vec3_scale(a, inv);
}

// 4 x 4 float matrix, column by column: row i, column j at index 4*j + i.
struct Mat4 {
    float m[16];
};

Mat4 mat4_identity();
// A := B * A. Each element is one double sum of its four products,
// ((b(i,0)*a(0,j) + b(i,1)*a(1,j)) + b(i,2)*a(2,j)) + b(i,3)*a(3,j), rounded
// once to float. Products of two floats are exact in double, so only the
// sum rounds; zero terms are included (0 * infinity gives not-a-number).
void mat4_premultiply(Mat4* a, const Mat4* b);
// Transforms a point (fourth row unused, translation in 12, 13, 14): each
// coordinate is (float)(((M0*x + M4*y) + M8*z) + M12) evaluated in double,
// zero terms included.
Vec3 mat4_transform_point(const Mat4* m, Vec3 p);
