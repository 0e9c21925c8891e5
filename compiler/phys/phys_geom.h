// The preparation and the per-feature measurements of the collision field
// computation, shared by the exhaustive search and the fast one so that both
// take every decision from the very same float operations.
//
// Arithmetic: 32-bit floats, each expression left to right as written, no
// fused operations. A dot product is (x*x' + y*y') + z*z', a length the float
// sqrt of it, unit(v) each component times the float reciprocal of the
// length (a zero vector gives not-a-number components, which fail every
// comparison below).
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "map_format.h"
#include "vec3.h"

enum PhysSide : uint8_t {
    PHYS_SIDE_NONE = 0,
    PHYS_SIDE_FRONT = 1,
    PHYS_SIDE_BACK = 2
};

// Flags of one cell of the scratch `CellMarks` array.
const uint8_t CELL_PUSH = 1;    // receives a vector in stage 3
const uint8_t CELL_REGION = 2;  // seed region as grown so far

// The largest magnitude a stored push component may have.
const int PUSH_LIMIT = 200;

// Tolerance of the inside test, compared as a double.
const double INSIDE_TOLERANCE = 0.001;

// A face with the values that do not depend on the cell: corners a, b, c in
// grid units (stored order), the unit normal, the plane offset -(n . a), and
// for the corner triples (P, Q, R) = (a, b, c), (b, c, a), (c, a, b) the side
// Q - P and w = unit((Q - P) x (R - P)).
struct PhysFace {
    Vec3 corner[3];
    Vec3 normal;
    float offset;
    Vec3 side[3];
    Vec3 side_normal[3];
};

// An undirected edge of the mesh: its vertex indices and the sum, not
// normalised, of the normals of every face that has it.
struct MeshEdge {
    uint32_t a;
    uint32_t b;
    Vec3 normal;
};

// An edge with the values that do not depend on the cell: A, B in grid
// units, L = |B - A|, unit(A - B) and the length of the edge normal.
struct PhysEdge {
    Vec3 a;
    Vec3 b;
    float length;
    Vec3 toward_a;
    Vec3 normal;
    float normal_length;
};

// One object in grid units, ready for classification.
struct PhysMesh {
    std::vector<Vec3> vertices;
    std::vector<Vec3> vertex_normals;  // one per vertex
    std::vector<PhysFace> faces;
    std::vector<MeshEdge> edges;       // the edge table, in its order
    std::vector<PhysEdge> edge_geom;   // one per edge table entry
};

// Inclusive cell bounds; an axis whose lower bound is above its upper bound
// makes the box empty. 64-bit so that no bound can overflow while growing.
struct PhysBox {
    int64_t lo[3];
    int64_t hi[3];
};

// Progress dots of one stage: after each processed cell the count rises by
// one and trunc(((float)count * 55) / (float)total) dots are due.
struct ProgressLine;

struct PhysProgress {
    FILE* out;
    uint64_t count;
    uint64_t total;
    int printed;
    ProgressLine* line = nullptr;  // the terminal's progress line, or null
    int stage = 0;                 // counted by progress_start
};

// ---- preparation --------------------------------------------------------

// g / field_size in float.
float phys_field_scale(uint16_t grid_size, uint16_t field_size);
// The object's box in cells: trunc(pos * scale) to trunc((pos + size) *
// scale) per axis, not yet clamped.
PhysBox phys_working_box(const float box[6], float field_scale);
// Lower bounds below 0 become 0, upper bounds above g - 1 become g - 1.
void clamp_box(PhysBox* box, int64_t grid_size);
// One cell more on every side, then clamped.
void grow_box(PhysBox* box, int64_t grid_size);
uint64_t box_cell_count(const PhysBox* box);

// The normal of face j, or not-a-number components when the object has no
// face normals.
Vec3 phys_face_normal(const MapObject* obj, uint32_t j);
// Vertices times field_scale, faces with their plane offsets and inside-test
// constants, vertex normals copied. The edge table is left empty.
void prepare_phys_mesh(const MapObject* obj, float field_scale, PhysMesh* mesh);
// The edge table, exhaustively (phys_exhaustive.cpp): for each face, every
// entry already in the table is compared with its three edges.
void build_edge_table_linear(const MapObject* obj, PhysMesh* mesh);
// The same table from a hash of vertex pairs (phys_fast.cpp; same entries,
// same order, same float sums).
void build_edge_table_hashed(const MapObject* obj, PhysMesh* mesh);
// Fills mesh->edge_geom from the table.
void prepare_edge_geometry(PhysMesh* mesh);

// ---- per-feature measurements ---------------------------------------------

inline float vertex_distance(Vec3 p, Vec3 v)
{
    return vec3_length(vec3_sub(p, v));
}

// s = n . p + d of a face; its magnitude is the face distance h.
inline float face_plane_value(const PhysFace* f, Vec3 p)
{
    return vec3_dot(f->normal, p) + f->offset;
}

// The rest of the face test for distance h = |s|: the nearer of p -+ h*n to
// corner a gives the side, then the three inside tests. True when all pass.
bool face_inside(const PhysFace* f, Vec3 p, float h, PhysSide* side);

// The edge test: false when the foot of the perpendicular from p lies
// outside the edge (t < 0 or t > L); otherwise the distance and the side.
bool edge_measure(const PhysEdge* e, Vec3 p, float* dist, PhysSide* side);

// Front when (k . r) / (|k| |r|) > 0 with r = p - v, k the vertex normal.
PhysSide vertex_side(Vec3 p, Vec3 v, Vec3 k);

// The fixed order of the decision between the nearest vertex, edge and face.
inline PhysSide decide_class(float vertex_dist, PhysSide vertex_sd, float edge_dist, PhysSide edge_sd,
                             float face_dist, PhysSide face_sd)
{
    if (edge_dist > vertex_dist)
        return vertex_sd;
    if (face_dist > edge_dist)
        return edge_sd;
    return face_sd;
}

// ---- progress -----------------------------------------------------------

void progress_start(PhysProgress* pr, FILE* out, uint64_t total);
// Counts `cells` more processed cells and prints the dots now due.
void progress_advance(PhysProgress* pr, uint64_t cells);
