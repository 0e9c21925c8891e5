// Bounds of the shared float measurements over a set of cell points, for
// the fast classification. Everything here is worked out in double with
// margins for every float rounding of the measurement it bounds, so a
// feature is only ever left out, or a side only ever certified, when the
// float measurement cannot say otherwise.
#pragma once

#include <cstdint>
#include <vector>

#include "phys_bvh.h"
#include "phys_geom.h"

// One unit in the last place of 1.0f, halved: the float rounding unit u.
const double FLOAT_UNIT = 1.0 / 16777216.0;
// Relative error allowed for one short float chain (a length, a three-term
// dot product, a plane value n . p + d): such a chain rounds a handful of
// times, each by at most u, and up to seven roundings compound to less than
// 8u ((1 + u)^7 - 1 < 8u).
const double FLOAT_SLACK = 8.0 * FLOAT_UNIT;
// Just above sqrt(3) = 1.73205...: bounds |x| + |y| + |z| of a unit vector.
const double SQRT3_UP = 1.7321;
// A float unit normal, and a node's summary direction, have a length within
// a few u (about 1e-7) of 1; a factor 1.001 covers that ten thousand times.
const double UNIT_LENGTH_SLACK = 1.001;
// Floor under the absolute margins. The double arithmetic of a bound errs
// by about 1e-16 relative, which the FLOAT_SLACK terms (about 5e-7
// relative) cover; the floor keeps a margin strictly positive where those
// terms vanish (every value involved at the origin).
const double MARGIN_FLOOR = 1e-12;
// Floor under a rounding error bound, so that it is never exactly zero.
const double ERROR_FLOOR = 1e-30;
// Coordinates beyond this (grid units) are left to the exhaustive search:
// the bounds below stay far from double overflow and cancellation.
const double COORD_LIMIT = 1e6;
// A face whose corner angles all have a sine above WELL_SINE, and whose
// inside-test normals agree with its exact normal within
// WELL_NORMAL_TOLERANCE, only passes the inside test for points whose
// projection lies in the triangle (up to FACE_MARGIN_PER_SIZE of its size).
const double WELL_SINE = 1e-3;
const double WELL_NORMAL_TOLERANCE = 1e-3;
const double FACE_MARGIN_PER_SIZE = 0.005;

// The side a feature gives every point of a query where it measures; NOWHERE
// when it measures at no point of it.
enum RobustSide { ROBUST_FRONT, ROBUST_BACK, ROBUST_UNSURE, ROBUST_NOWHERE };

// What the side measured from a normal can be.
enum NormalState : uint8_t {
    NORMAL_USABLE,       // follows the sign of n . (p - x)
    NORMAL_ALWAYS_BACK,  // no number, or exactly zero: every side is back
    NORMAL_UNSURE        // too short to trust its direction
};

// A set of points (one cell point or a block of them) and the values the
// bounds need: centre, radius, and per axis the largest magnitude.
struct Query {
    DBox box;
    double centre[3];
    double half[3];
    double radius;
    double abs_max[3];
    double abs_norm;
};

struct VertexInfo {
    double p[3];
    double k[3];
    NormalState k_state;
};

struct EdgeInfo {
    double a[3];
    double b[3];
    double len;
    double m[3];
    NormalState m_state;
    DBox box;
    // Parts of the side bound that depend on the edge alone: |m| per axis,
    // m . a and m . b, the rounding of the foot, and the margin's fixed part.
    double m_abs[3];
    double ma, mb, m1, foot_error, round_fixed, floor;
    // Unit vector from b toward a (zero for an edge of no length).
    double dir[3];
    // 12u / (len (1 - FLOAT_SLACK)), rounded up: the rounding of the foot
    // parameter is at most s_max times this.
    double et_per_s;
};

struct FaceInfo {
    double c[3][3];
    double n[3];
    double margin;  // how far from the triangle a passing projection may lie
    bool well;
    DBox box;
    // For the plane value n . (p - c0): |n| per axis, n . c0, |n| . |c0|.
    double n_abs[3], na, na_abs;
    // Well-shaped faces: the inward unit normal of each side within the
    // plane and its value at the side's first corner; how far outside the
    // sides a point may project where the face passes: prism_fixed +
    // prism_per_norm |p|.
    double inward[3][3], inward_at[3], prism_fixed, prism_per_norm;
};

// What the foot test of an edge reads (edge_slab_test), and the side planes
// of a well-shaped face (face_prism_excludes), kept in the order of their
// hierarchy's items: the items of a leaf lie together.
struct EdgeSlab {
    double b[3];
    double dir[3];
    double dir_abs[3];  // |dir| per axis
    double len;
};

// Side k's inward normal is (x[k], y[k], z[k]), with magnitudes (ax[k],
// ay[k], az[k]) and value at[k] at the side's first corner: the first two
// sides are tested as one pair of doubles.
struct FacePrism {
    double x[3], y[3], z[3], ax[3], ay[3], az[3], at[3];
    double prism_fixed, prism_per_norm;
};

// The features of one mesh in double, with a hierarchy per kind. Edges of
// zero length are left out of theirs (they never measure); so are faces that
// can never pass the inside test. Faces that are not well shaped are bounded
// by their plane only and are kept apart in `odd_faces`.
struct MeshFeatures {
    std::vector<VertexInfo> vertices;
    std::vector<EdgeInfo> edges;  // one per edge table entry
    std::vector<FaceInfo> faces;  // one per face
    Bvh vertex_bvh, edge_bvh, face_bvh;
    std::vector<uint32_t> odd_faces;
    std::vector<EdgeSlab> edge_slabs;    // per slot of edge_bvh.items
    std::vector<FacePrism> face_prisms;  // per slot of face_bvh.items
};

// False when the mesh is left to the exhaustive search (a vertex whose
// coordinates are no numbers or beyond COORD_LIMIT). The hierarchies are
// built on up to `threads` threads.
bool prepare_features(const PhysMesh* mesh, MeshFeatures* features, int threads);

Query make_query(const double lo[3], const double hi[3]);
NormalState normal_state(const double n[3]);

// The double forms of one feature. A vertex: false when its coordinates are
// no numbers or beyond COORD_LIMIT (the mesh is then left to the exhaustive
// search). A face: false when it can never pass the inside test (its normal
// or an inside-test normal is no number).
bool make_vertex_info(Vec3 p, Vec3 k, VertexInfo* v);
void make_edge_info(const PhysEdge* pe, EdgeInfo* e);
bool make_face_info(const PhysFace* pf, FaceInfo* f);

// Lower bounds of the float distance a feature (or every feature of a node)
// measures for any point of the query; `*_beyond` is true when that bound
// (or a finer one) exceeds `limit`; `edge_lower` and `face_lower` give the
// cheaper bound of one feature. For faces the bound holds for faces that
// pass the inside test; for edges, for edges whose foot lies on the edge.
double vertex_node_lower(const Query& q, const BvhNode& n);
bool vertex_beyond(const Query& q, const VertexInfo& v, double limit);
double edge_node_lower(const Query& q, const BvhNode& n);
double edge_lower(const Query& q, const EdgeInfo& e);
// The foot of the perpendicular surely lies beyond an end of the edge for
// every point of the query: it measures nowhere in it.
bool edge_outside_slab(const Query& q, const EdgeInfo& e);
// The same test from the compact copy, with `keep` (slab_keep_bound) no
// less than the edge's own rounding margin: SLAB_OUTSIDE or SLAB_MEETS when
// that settles it, else SLAB_UNSURE (then edge_outside_slab decides).
enum SlabTest { SLAB_MEETS, SLAB_OUTSIDE, SLAB_UNSURE };
inline SlabTest edge_slab_test(const Query& q, const EdgeSlab& s, double keep);
// A margin no less than the rounding margin of edge_outside_slab for any
// edge of the hierarchy whose root is `root` over the query.
double slab_keep_bound(const Query& q, const BvhNode& root);
// edge_lower of an edge for which edge_outside_slab is false.
double edge_lower_in_slab(const Query& q, const EdgeInfo& e);
bool edge_beyond(const Query& q, const EdgeInfo& e, double limit);
double face_node_lower(const Query& q, const BvhNode& n);
// Per point of a query, at the cost of a box distance: `edge_error` (for
// the query) is the rounding part of the edge's bound; `edge_point_beyond`
// is true when the edge surely measures more than `limit` at point p of
// that query (or does not measure). `face_point_outside`: face_outside_prism
// for the single point p of magnitude `norm`.
double edge_error(const Query& q, const EdgeInfo& e);
inline bool edge_point_beyond(const EdgeInfo& e, const double p[3], double error, double limit);
inline bool face_point_outside(const FaceInfo& f, const double p[3], double norm);
// Upper bound of the float distance the edge measures for every point of
// the query, when its foot surely lies on the edge for all of them (and the
// distance is surely a number); infinity otherwise, or when the bound
// cannot be below `limit`.
double edge_upper(const Query& q, const EdgeInfo& e, double limit);
double face_lower(const Query& q, const FaceInfo& f);
// No point of the query projects near enough to the face for it to pass
// the inside test (always false for faces that are not well shaped).
bool face_outside_prism(const Query& q, const FaceInfo& f);
// The same test of a well-shaped face from its compact copy.
inline bool face_prism_excludes(const Query& q, const FacePrism& p);
// face_lower of a face for which face_outside_prism is false.
double face_lower_in_prism(const Query& q, const FaceInfo& f);
bool face_beyond(const Query& q, const FaceInfo& f, double limit);

// The side a feature gives every point of the query where it measures (a
// face: passes the inside test), when float rounding cannot change it.
RobustSide vertex_robust_side(const Query& q, const VertexInfo& v);
RobustSide edge_robust_side(const Query& q, const EdgeInfo& e);
RobustSide face_robust_side(const Query& q, const FaceInfo& f);

// The same from a node's side summary, with `margin` (per unit normal) the
// rounding the kind needs: the `*_node_margin` functions.
RobustSide node_robust_side(const Query& q, const BvhNode& n, double margin);
double vertex_node_margin(const Query& q, const BvhNode& n);
double edge_node_margin(const Query& q, const BvhNode& n);
double face_node_margin(const Query& q, const BvhNode& n);

// Folds one side into the common side of a block (set by the first certain
// one); false when it is not certain or differs.
inline bool agree(RobustSide s, RobustSide* common)
{
    if (s == ROBUST_NOWHERE)
        return true;
    if (s == ROBUST_UNSURE)
        return false;
    if (*common == ROBUST_UNSURE)
        *common = s;
    return *common == s;
}

// ---- the per-feature tests of the inner loops, inline ------------------------

// The exact foot parameter of an edge (an EdgeSlab or an EdgeInfo) over the
// query: mid +- spread.
template <typename Slab>
inline void slab_range(const Query& q, const Slab& s, double* mid, double* spread)
{
    *mid = 0.0;
    *spread = 0.0;
    for (int i = 0; i < 3; ++i) {
        *mid += (q.centre[i] - s.b[i]) * s.dir[i];
        *spread += std::fabs(s.dir[i]) * q.half[i];
    }
}

inline SlabTest edge_slab_test(const Query& q, const EdgeSlab& s, double keep)
{
    // The operations of edge_outside_slab (x and y as a pair, then z).
    Double2 t = (load2(q.centre) - load2(s.b)) * load2(s.dir);
    Double2 w = load2(s.dir_abs) * load2(q.half);
    double mid = (t[0] + t[1]) + (q.centre[2] - s.b[2]) * s.dir[2];
    double spread = (w[0] + w[1]) + s.dir_abs[2] * q.half[2];
    if (mid + spread >= 0.0 && mid - spread <= s.len)
        return SLAB_MEETS;
    if (mid + spread < -keep || mid - spread > s.len * (1.0 + FLOAT_SLACK) + keep)
        return SLAB_OUTSIDE;
    return SLAB_UNSURE;
}

// 1 / (1 - 4u), rounded up: the float distance is at least (1 - 4u) times
// the exact one.
const double INV_DISTANCE_SHRINK = (1.0 / (1.0 - 4.0 * FLOAT_UNIT)) * (1.0 + 1e-15);

inline bool edge_point_beyond(const EdgeInfo& e, const double p[3], double error, double limit)
{
    return box_point_dist2(e.box, p) - error > sq(limit * INV_DISTANCE_SHRINK);
}

inline bool face_point_outside(const FaceInfo& f, const double p[3], double norm)
{
    if (!f.well)
        return false;
    double slack = f.prism_fixed + f.prism_per_norm * norm;
    for (int k = 0; k < 3; ++k)
        if (dot3(f.inward[k], p) - f.inward_at[k] < -slack)
            return true;
    return false;
}

// A well-shaped face passes the inside test only where the float foot
// p -+ h n lies within its margin of the triangle; that foot lies within h
// times the lean of the float normal (and rounding) of the exact
// projection. True when no point of the query projects near enough to the
// triangle (its side planes in `f`): then the face passes nowhere in it.
template <typename Planes>
inline bool prism_excludes(const Query& q, const Planes& f)
{
    double slack = f.prism_fixed + f.prism_per_norm * q.abs_norm;
    for (int k = 0; k < 3; ++k) {
        const double* e = f.inward[k];
        double top = e[0] * q.centre[0] + e[1] * q.centre[1] + e[2] * q.centre[2] - f.inward_at[k] +
                     std::fabs(e[0]) * q.half[0] + std::fabs(e[1]) * q.half[1] + std::fabs(e[2]) * q.half[2];
        if (top < -slack)
            return true;
    }
    return false;
}

inline bool face_prism_excludes(const Query& q, const FacePrism& p)
{
    // The operations of prism_excludes: sides 0 and 1 as a pair, then 2.
    double slack = p.prism_fixed + p.prism_per_norm * q.abs_norm;
    const double* c = q.centre;
    const double* h = q.half;
    Double2 top = load2(p.x) * Double2{c[0], c[0]} + load2(p.y) * Double2{c[1], c[1]};
    top = top + load2(p.z) * Double2{c[2], c[2]};
    top = top - load2(p.at);
    top = top + load2(p.ax) * Double2{h[0], h[0]};
    top = top + load2(p.ay) * Double2{h[1], h[1]};
    top = top + load2(p.az) * Double2{h[2], h[2]};
    if (top[0] < -slack || top[1] < -slack)
        return true;
    double last = p.x[2] * c[0] + p.y[2] * c[1] + p.z[2] * c[2] - p.at[2] + p.ax[2] * h[0] + p.ay[2] * h[1] +
                  p.az[2] * h[2];
    return last < -slack;
}
