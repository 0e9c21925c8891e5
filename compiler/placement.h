// Object placement: rotate a read mesh about an axis, scale it so that the
// largest side of its box equals `scale`, move the box's lower corner to the
// given position, and give it face and vertex normals.
//
// Arithmetic, reproducible to the bit: every named quantity (c, s, t, each
// matrix element, min and max coordinates, sizes, L, k, the translation,
// each vertex, each normal, each running normal sum, the placement box) is a
// 32-bit float. The formula producing it is evaluated in double from its
// float inputs, left to right as written, and rounded once when stored.
// cos and sin come from the C library in double.
#pragma once

#include "map_format.h"
#include "vec3.h"

enum PlaceResult {
    PLACE_OK,
    PLACE_NO_EXTENT,   // the rotated box has no extent (L = 0)
    PLACE_NOT_FINITE,  // L, the scale factor, the box or a placed vertex is no finite number
    PLACE_NO_MEMORY    // the normal arrays could not be allocated
};

// M := R * M, R the rotation by `angle` (radians) about `axis` (not
// normalised): with c = cos, s = sin, t = 1 - c,
//   R0 = t*x*x + c    R4 = t*x*y - z*s  R8  = t*x*z + y*s
//   R1 = t*x*y + z*s  R5 = t*y*y + c    R9  = t*y*z - x*s
//   R2 = t*x*z - y*s  R6 = t*y*z + x*s  R10 = t*z*z + c
// and the rest as the identity.
void rotation_matrix(Mat4* m, Vec3 axis, float angle);

// Exchanges the first and third index of every face, rotates every vertex,
// then scales by k = scale / L (L the largest side of the rotated box) and
// moves the box's lower corner to pos. Stores the placement box (pos_x,
// size_x * k, pos_y, size_y * k, pos_z, size_z * k). Ties for the smallest
// and largest coordinates keep the lower vertex index. The object must have
// at least one vertex.
PlaceResult place_object(MapObject* obj, float pos_x, float pos_y, float pos_z, float scale,
                         float rt_angle, float rt_x, float rt_y, float rt_z);

// One normal per face: unit((b - a) x (c - a)) with a, b, c the stored
// corners, all in double and rounded at the end. A face of zero area gets
// not-a-number components. Replaces (and frees) the previous array; false
// when memory is short.
bool calc_face_normals(MapObject* obj);
// One normal per vertex: the float sum, in face order, of the normals of
// the faces using it (once per face), made unit in double. A vertex no face
// uses gets not-a-number components. Needs the face normals.
bool calc_vertex_normals(MapObject* obj);
