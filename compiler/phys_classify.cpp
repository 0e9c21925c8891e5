// Accelerated classification (stage 1) of the collision field, giving the
// very class the exhaustive search gives for every cell.
//
// Two tools, both exact:
//  - Per cell, the nearest vertex, edge and face are found through bounding
//    volume hierarchies. A feature is left out only when a lower bound of the
//    float distance the shared measurement would compute for it exceeds the
//    threshold at which it could still matter (the nearest vertex distance
//    for edges, the nearest edge distance for faces). The bounds are worked
//    out in double with margins for every float rounding of the measurement;
//    candidates are compared by (distance, index) so that each kind keeps its
//    own tie rule whatever the visiting order.
//  - Whole blocks of cells are classified at once when every feature that
//    could decide any cell of the block (any vertex, edge or face whose
//    distance can be below the largest nearest-vertex distance in the block)
//    has the same side for every point of the block, with a margin that float
//    rounding cannot cross. The decision then gives that side whichever
//    feature decides. Blocks that fail are split down to single cells.
// Meshes with coordinates that are no finite numbers, or huge ones, are left
// to the exhaustive search.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "phys_stages.h"

namespace {

// One unit in the last place of 1.0f, halved: the float rounding unit.
const double FLOAT_UNIT = 1.0 / 16777216.0;
// Coordinates beyond this (grid units) are left to the exhaustive search.
const double COORD_LIMIT = 1e6;
// A face whose corner angles all have a sine above this, and whose inside-
// test normals agree with its exact normal within WELL_NORMAL_TOLERANCE, only
// passes the inside test for points whose projection lies in the triangle
// (up to FACE_MARGIN_PER_SIZE of its size).
const double WELL_SINE = 1e-3;
const double WELL_NORMAL_TOLERANCE = 1e-3;
const double FACE_MARGIN_PER_SIZE = 0.005;
const int LEAF_SIZE = 4;

enum RobustSide { ROBUST_FRONT, ROBUST_BACK, ROBUST_UNSURE };

struct DBox {
    double lo[3];
    double hi[3];
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
    int k_state;  // 0 usable, 1 always back (no number), 2 unsure (tiny)
};

struct EdgeInfo {
    double a[3];
    double b[3];
    double len;
    double m[3];
    int m_state;  // as k_state
    DBox box;
};

struct FaceInfo {
    double c[3][3];
    double n[3];
    double margin;  // how far from the triangle a passing projection may lie
    bool well;
    DBox box;
};

struct BvhNode {
    DBox box;
    uint32_t left, right;   // children when count == 0
    uint32_t start, count;  // items of a leaf
    double len_min, len_max;  // edges: shortest and longest length
    double margin_max;        // faces: largest margin
    uint32_t first, last;     // items of the whole subtree
    // Side summary of the subtree's usable features: their unit normals lie
    // within `spread` of the unit vector `dir`; `special` when some feature
    // has no usable normal; `coord_max` the largest coordinate magnitude.
    double dir[3];
    double spread;
    bool special;
    double coord_max;
};

struct Bvh {
    std::vector<BvhNode> nodes;
    std::vector<uint32_t> items;
};

inline double sq(double v)
{
    return v * v;
}

double dot3(const double a[3], const double b[3])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

double box_point_dist2(const DBox& b, const double p[3])
{
    double s = 0.0;
    for (int i = 0; i < 3; ++i) {
        double d = std::max(std::max(b.lo[i] - p[i], p[i] - b.hi[i]), 0.0);
        s += d * d;
    }
    return s;
}

double box_point_maxdist2(const DBox& b, const double p[3])
{
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += sq(std::max(std::fabs(p[i] - b.lo[i]), std::fabs(p[i] - b.hi[i])));
    return s;
}

double box_box_dist2(const DBox& a, const DBox& b)
{
    double s = 0.0;
    for (int i = 0; i < 3; ++i) {
        double d = std::max(std::max(a.lo[i] - b.hi[i], b.lo[i] - a.hi[i]), 0.0);
        s += d * d;
    }
    return s;
}

double box_box_maxdist2(const DBox& a, const DBox& b)
{
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += sq(std::max(std::fabs(a.hi[i] - b.lo[i]), std::fabs(b.hi[i] - a.lo[i])));
    return s;
}

double point_segment_dist(const double p[3], const double a[3], const double b[3])
{
    double ab[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    double ap[3] = {p[0] - a[0], p[1] - a[1], p[2] - a[2]};
    double l2 = dot3(ab, ab);
    double t = l2 > 0.0 ? std::min(std::max(dot3(ap, ab) / l2, 0.0), 1.0) : 0.0;
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += sq(a[i] + t * ab[i] - p[i]);
    return std::sqrt(s);
}

// Distance from p to the triangle abc (closest point by Voronoi regions).
double point_triangle_dist(const double p[3], const double a[3], const double b[3], const double c[3])
{
    double ab[3], ac[3], ap[3];
    for (int i = 0; i < 3; ++i) {
        ab[i] = b[i] - a[i];
        ac[i] = c[i] - a[i];
        ap[i] = p[i] - a[i];
    }
    double q[3];
    double d1 = dot3(ab, ap), d2 = dot3(ac, ap);
    double bp[3] = {p[0] - b[0], p[1] - b[1], p[2] - b[2]};
    double d3 = dot3(ab, bp), d4 = dot3(ac, bp);
    double cp[3] = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
    double d5 = dot3(ab, cp), d6 = dot3(ac, cp);
    double vc = d1 * d4 - d3 * d2, vb = d5 * d2 - d1 * d6, va = d3 * d6 - d5 * d4;
    if (d1 <= 0.0 && d2 <= 0.0) {
        for (int i = 0; i < 3; ++i)
            q[i] = a[i];
    } else if (d3 >= 0.0 && d4 <= d3) {
        for (int i = 0; i < 3; ++i)
            q[i] = b[i];
    } else if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) {
        double v = d1 / (d1 - d3);
        for (int i = 0; i < 3; ++i)
            q[i] = a[i] + v * ab[i];
    } else if (d6 >= 0.0 && d5 <= d6) {
        for (int i = 0; i < 3; ++i)
            q[i] = c[i];
    } else if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) {
        double w = d2 / (d2 - d6);
        for (int i = 0; i < 3; ++i)
            q[i] = a[i] + w * ac[i];
    } else if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
        double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
        for (int i = 0; i < 3; ++i)
            q[i] = b[i] + w * (c[i] - b[i]);
    } else {
        double denom = 1.0 / (va + vb + vc);
        double v = vb * denom, w = vc * denom;
        for (int i = 0; i < 3; ++i)
            q[i] = a[i] + ab[i] * v + ac[i] * w;
    }
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += sq(q[i] - p[i]);
    return std::sqrt(s);
}

Query make_query(const double lo[3], const double hi[3])
{
    Query q;
    double r2 = 0.0, n2 = 0.0;
    for (int i = 0; i < 3; ++i) {
        q.box.lo[i] = lo[i];
        q.box.hi[i] = hi[i];
        q.centre[i] = 0.5 * (lo[i] + hi[i]);
        q.half[i] = 0.5 * (hi[i] - lo[i]);
        r2 += sq(q.half[i]);
        q.abs_max[i] = std::max(std::fabs(lo[i]), std::fabs(hi[i]));
        n2 += sq(q.abs_max[i]);
    }
    q.radius = std::sqrt(r2);
    q.abs_norm = std::sqrt(n2);
    return q;
}

// ---- bounds of the float measurements -------------------------------------

// Lower bound of the float edge distance (when the edge measures at all)
// for points at true distance >= dist from the segment, with lengths up to
// len_max, at least len_min, and sum of squares L^2 + dA^2 + dB^2 <= s_max.
// The law of cosines in floats errs by about 12u s_max / L in t; since t is
// limited to 0..L the result is also at least sqrt(dB^2 - L^2).
double edge_lower_from(double dist, double dist_to_b, double len_min, double len_max, double s_max)
{
    double et = 12.0 * FLOAT_UNIT * s_max / (len_min * (1.0 - 8.0 * FLOAT_UNIT));
    double b1 = dist * dist - 48.0 * FLOAT_UNIT * s_max - 3.0 * et * et;
    double b2 = sq(dist_to_b) * (1.0 - 24.0 * FLOAT_UNIT) - sq(len_max) * (1.0 + 24.0 * FLOAT_UNIT);
    double b = std::max(0.0, std::max(b1, b2));
    return std::sqrt(b) * (1.0 - 4.0 * FLOAT_UNIT);
}

// True when the edge's float distance exceeds `limit` for every point of
// the query: the box distance first, the segment distance only if needed.
bool edge_beyond(const Query& q, const EdgeInfo& e, double limit)
{
    double s_max = sq(e.len) + box_point_maxdist2(q.box, e.a) + box_point_maxdist2(q.box, e.b);
    double to_b = std::sqrt(box_point_dist2(q.box, e.b));
    double d = std::sqrt(box_box_dist2(q.box, e.box));
    if (edge_lower_from(d, to_b, e.len, e.len, s_max) > limit)
        return true;
    d = std::max(d, point_segment_dist(q.centre, e.a, e.b) - q.radius);
    d = std::max(0.0, d - 1e-9 * (q.abs_norm + e.len + 1.0));
    return edge_lower_from(d, to_b, e.len, e.len, s_max) > limit;
}

double edge_node_lower(const Query& q, const BvhNode& n)
{
    double d = std::sqrt(box_box_dist2(q.box, n.box));
    double s_max = sq(n.len_max) + 2.0 * box_box_maxdist2(q.box, n.box);
    return edge_lower_from(d, d, n.len_min, n.len_max, s_max);
}

// Float error bound of s = n . p + d over the query.
double plane_error(const Query& q, const double n[3], const double a[3])
{
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += std::fabs(n[i]) * (q.abs_max[i] + std::fabs(a[i]));
    return 8.0 * FLOAT_UNIT * s + 1e-30;
}

// Range of the exact n . (p - a) over the query.
void plane_range(const Query& q, const double n[3], const double a[3], double* lo, double* hi)
{
    double mid = 0.0, spread = 0.0;
    for (int i = 0; i < 3; ++i) {
        mid += n[i] * (q.centre[i] - a[i]);
        spread += std::fabs(n[i]) * q.half[i];
    }
    *lo = mid - spread;
    *hi = mid + spread;
}

// Lower bound of the float face distance h of a face that passes the inside
// test: h is at least the plane distance less rounding, and for a well-shaped
// face at least the distance to the triangle less its margin.
// True when that bound exceeds `limit` (cheap bounds first).
bool face_beyond(const Query& q, const FaceInfo& f, double limit)
{
    double lo, hi;
    plane_range(q, f.n, f.c[0], &lo, &hi);
    double plane = (lo > 0.0 ? lo : (hi < 0.0 ? -hi : 0.0)) - plane_error(q, f.n, f.c[0]);
    if (plane > limit)
        return true;
    if (!f.well)
        return false;
    double slack = 4.0 * FLOAT_UNIT * q.abs_norm;
    double d = std::sqrt(box_box_dist2(q.box, f.box));
    if ((d - f.margin) / (1.0 + 8.0 * FLOAT_UNIT) - slack > limit)
        return true;
    d = std::max(d, point_triangle_dist(q.centre, f.c[0], f.c[1], f.c[2]) - q.radius);
    return (d - f.margin) / (1.0 + 8.0 * FLOAT_UNIT) - slack > limit;
}

double face_node_lower(const Query& q, const BvhNode& n)
{
    double d = std::sqrt(box_box_dist2(q.box, n.box));
    return (d - n.margin_max) / (1.0 + 8.0 * FLOAT_UNIT) - 4.0 * FLOAT_UNIT * q.abs_norm;
}

// ---- sides that hold for every point of a query ---------------------------

RobustSide vertex_robust_side(const Query& q, const VertexInfo& v)
{
    if (v.k_state == 1)
        return ROBUST_BACK;
    if (v.k_state == 2)
        return ROBUST_UNSURE;
    double lo, hi;
    plane_range(q, v.k, v.p, &lo, &hi);
    double margin = 2.0 * plane_error(q, v.k, v.p) + 1e-12;
    if (lo > margin)
        return ROBUST_FRONT;
    if (hi < -margin)
        return ROBUST_BACK;
    return ROBUST_UNSURE;
}

RobustSide edge_robust_side(const Query& q, const EdgeInfo& e)
{
    if (e.m_state == 1)
        return ROBUST_BACK;
    if (e.m_state == 2)
        return ROBUST_UNSURE;
    // m . (p - K) with K on the segment, up to the rounding of K.
    double mid = 0.0, spread = 0.0, m1 = 0.0, mn = 0.0, big = 0.0;
    for (int i = 0; i < 3; ++i) {
        mid += e.m[i] * q.centre[i];
        spread += std::fabs(e.m[i]) * q.half[i];
        m1 += std::fabs(e.m[i]);
        mn += sq(e.m[i]);
        big = std::max(big, std::max(std::fabs(e.a[i]), std::fabs(e.b[i])));
    }
    double foot_error = 8.0 * FLOAT_UNIT * (big + e.len) + 1e-30;
    double ma = dot3(e.m, e.a), mb = dot3(e.m, e.b);
    double lo = (mid - spread) - std::max(ma, mb) - m1 * foot_error;
    double hi = (mid + spread) - std::min(ma, mb) + m1 * foot_error;
    double round = 0.0;
    for (int i = 0; i < 3; ++i)
        round += std::fabs(e.m[i]) * (q.abs_max[i] + big + foot_error);
    double margin = 8.0 * FLOAT_UNIT * round + 1e-12 * std::sqrt(mn);
    if (lo > margin)
        return ROBUST_FRONT;
    if (hi < -margin)
        return ROBUST_BACK;
    return ROBUST_UNSURE;
}

// The side of a face comes from comparing |p + h n - a| with |p - h n - a|,
// whose squares differ by 4 h s: certain once s^2 clearly exceeds the
// rounding of those lengths.
RobustSide face_robust_side(const Query& q, const FaceInfo& f)
{
    double lo, hi;
    plane_range(q, f.n, f.c[0], &lo, &hi);
    double far = std::sqrt(box_point_maxdist2(q.box, f.c[0]));
    double sigma = 2.0 * std::sqrt(FLOAT_UNIT * (50.0 * far * far + 8.0 * far * (q.abs_norm + 1.0))) +
                   2.0 * plane_error(q, f.n, f.c[0]) + 1e-12;
    if (lo >= sigma)
        return ROBUST_FRONT;
    if (hi <= -sigma)
        return ROBUST_BACK;
    return ROBUST_UNSURE;
}

// ---- hierarchies ------------------------------------------------------------

struct BuildItem {
    DBox box;
    double centre[3];
    uint32_t id;
};

uint32_t build_node(Bvh* bvh, std::vector<BuildItem>* items, size_t begin, size_t end)
{
    uint32_t index = (uint32_t)bvh->nodes.size();
    bvh->nodes.push_back(BvhNode{});
    bvh->nodes[index].first = (uint32_t)bvh->items.size();
    DBox box = (*items)[begin].box;
    DBox cbox;
    for (int i = 0; i < 3; ++i)
        cbox.lo[i] = cbox.hi[i] = (*items)[begin].centre[i];
    for (size_t k = begin; k < end; ++k) {
        const BuildItem& it = (*items)[k];
        for (int i = 0; i < 3; ++i) {
            box.lo[i] = std::min(box.lo[i], it.box.lo[i]);
            box.hi[i] = std::max(box.hi[i], it.box.hi[i]);
            cbox.lo[i] = std::min(cbox.lo[i], it.centre[i]);
            cbox.hi[i] = std::max(cbox.hi[i], it.centre[i]);
        }
    }
    bvh->nodes[index].box = box;
    if (end - begin <= (size_t)LEAF_SIZE) {
        bvh->nodes[index].start = (uint32_t)bvh->items.size();
        bvh->nodes[index].count = (uint32_t)(end - begin);
        for (size_t k = begin; k < end; ++k)
            bvh->items.push_back((*items)[k].id);
        bvh->nodes[index].last = (uint32_t)bvh->items.size();
        return index;
    }
    int axis = 0;
    for (int i = 1; i < 3; ++i)
        if (cbox.hi[i] - cbox.lo[i] > cbox.hi[axis] - cbox.lo[axis])
            axis = i;
    size_t mid = (begin + end) / 2;
    std::nth_element(items->begin() + (long)begin, items->begin() + (long)mid, items->begin() + (long)end,
                     [axis](const BuildItem& a, const BuildItem& b) {
                         return a.centre[axis] < b.centre[axis] || (a.centre[axis] == b.centre[axis] && a.id < b.id);
                     });
    uint32_t left = build_node(bvh, items, begin, mid);
    uint32_t right = build_node(bvh, items, mid, end);
    bvh->nodes[index].left = left;
    bvh->nodes[index].right = right;
    bvh->nodes[index].count = 0;
    bvh->nodes[index].last = (uint32_t)bvh->items.size();
    return index;
}

void build_bvh(Bvh* bvh, std::vector<BuildItem>* items)
{
    bvh->nodes.clear();
    bvh->items.clear();
    if (!items->empty())
        build_node(bvh, items, 0, items->size());
}


// Fills the side summary of every node: leaves from their items' normals
// (`normal_of` false for a feature whose side does not follow its normal in
// the ordinary way), parents from their children (spread grows by how far a
// child's direction lies from the parent's: the triangle inequality).
template <typename NormalOf>
void summarise_sides(Bvh* bvh, NormalOf normal_of)
{
    std::vector<double> sums(bvh->nodes.size() * 3, 0.0);
    for (size_t index = bvh->nodes.size(); index-- > 0;) {
        BvhNode& n = bvh->nodes[index];
        double* sum = &sums[index * 3];
        n.coord_max = 0.0;
        for (int i = 0; i < 3; ++i)
            n.coord_max = std::max(n.coord_max, std::max(std::fabs(n.box.lo[i]), std::fabs(n.box.hi[i])));
        n.spread = INFINITY;
        if (n.count) {
            n.special = false;
            for (uint32_t k = n.first; k < n.last; ++k) {
                double v[3];
                if (!normal_of(bvh->items[k], v)) {
                    n.special = true;
                    continue;
                }
                double len = std::sqrt(dot3(v, v));
                for (int i = 0; i < 3; ++i)
                    sum[i] += v[i] / len;
            }
        } else {
            const BvhNode& l = bvh->nodes[n.left];
            const BvhNode& r = bvh->nodes[n.right];
            n.special = l.special || r.special;
            for (int i = 0; i < 3; ++i)
                sum[i] = sums[n.left * 3 + i] + sums[n.right * 3 + i];
        }
        double len = std::sqrt(dot3(sum, sum));
        if (!(len > 0.0))
            continue;
        for (int i = 0; i < 3; ++i)
            n.dir[i] = sum[i] / len;
        double spread = 0.0;
        if (n.count) {
            for (uint32_t k = n.first; k < n.last; ++k) {
                double v[3];
                if (!normal_of(bvh->items[k], v))
                    continue;
                double l = std::sqrt(dot3(v, v));
                spread = std::max(spread, std::sqrt(sq(v[0] / l - n.dir[0]) + sq(v[1] / l - n.dir[1]) +
                                                    sq(v[2] / l - n.dir[2])));
            }
        } else {
            for (uint32_t child : {n.left, n.right}) {
                const BvhNode& c = bvh->nodes[child];
                double gap = std::sqrt(sq(c.dir[0] - n.dir[0]) + sq(c.dir[1] - n.dir[1]) + sq(c.dir[2] - n.dir[2]));
                spread = std::max(spread, c.spread + gap);
            }
        }
        n.spread = spread * (1.0 + 1e-9) + 1e-12;
    }
}

// The side shared by every feature of a node over the query, from its
// summary: n . (p - x) for p in the query, x in the node's box and unit n
// within `spread` of `dir` lies in [lo, hi]; `margin` (per unit normal)
// is what the kind's rounding needs.
RobustSide node_robust_side(const Query& q, const BvhNode& n, double margin)
{
    if (n.special || !(n.spread < 2.0))
        return ROBUST_UNSURE;
    double qmin = 0.0, qmax = 0.0, nmin = 0.0, nmax = 0.0;
    for (int i = 0; i < 3; ++i) {
        double a = n.dir[i] * q.box.lo[i], b = n.dir[i] * q.box.hi[i];
        qmin += std::min(a, b);
        qmax += std::max(a, b);
        a = n.dir[i] * n.box.lo[i];
        b = n.dir[i] * n.box.hi[i];
        nmin += std::min(a, b);
        nmax += std::max(a, b);
    }
    double wobble = n.spread * std::sqrt(box_box_maxdist2(q.box, n.box));
    double lo = (qmin - nmax) - wobble;
    double hi = (qmax - nmin) + wobble;
    if (lo > margin)
        return ROBUST_FRONT;
    if (hi < -margin)
        return ROBUST_BACK;
    return ROBUST_UNSURE;
}

double query_abs_max(const Query& q)
{
    return std::max(q.abs_max[0], std::max(q.abs_max[1], q.abs_max[2]));
}

// Rounding margins per unit normal for a whole node (see the per-feature
// forms above; sqrt(3) bounds the sum of a unit vector's magnitudes).
double vertex_node_margin(const Query& q, const BvhNode& n)
{
    return 16.0 * FLOAT_UNIT * 1.7321 * 1.001 * (query_abs_max(q) + n.coord_max) + 1e-12;
}

double edge_node_margin(const Query& q, const BvhNode& n)
{
    double foot = 8.0 * FLOAT_UNIT * (n.coord_max + n.len_max) + 1e-30;
    return 8.0 * FLOAT_UNIT * 1.7321 * (query_abs_max(q) + n.coord_max + foot) + 1.7321 * foot + 1e-12;
}

double face_node_margin(const Query& q, const BvhNode& n)
{
    double far = std::sqrt(box_box_maxdist2(q.box, n.box));
    double err = 8.0 * FLOAT_UNIT * 1.7321 * 1.001 * (query_abs_max(q) + n.coord_max) + 1e-30;
    return (2.0 * std::sqrt(FLOAT_UNIT * (50.0 * far * far + 8.0 * far * (q.abs_norm + 1.0))) + 2.0 * err + 1e-12) *
           1.001;
}

// The node's features all have `common`'s side (or set it): true; false when
// the summary cannot tell or tells another side.
bool node_agrees(RobustSide s, RobustSide* common)
{
    if (s == ROBUST_UNSURE)
        return false;
    if (*common != ROBUST_UNSURE && *common != s)
        return false;
    *common = s;
    return true;
}

// ---- the classifier ----------------------------------------------------------

struct Classifier {
    const PhysMesh* mesh;
    std::vector<VertexInfo> vertices;
    std::vector<EdgeInfo> edges;   // one per edge table entry
    std::vector<FaceInfo> faces;   // one per face
    Bvh vertex_bvh, edge_bvh, face_bvh;
    std::vector<uint32_t> odd_faces;  // faces bounded by their plane only
    int64_t g;
    uint8_t* marks;
    PhysProgress* pr;
};

bool finite3(const double v[3])
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

void to_double(Vec3 v, double out[3])
{
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

// 0 usable, 1 no number or exactly zero (every side computed from it is
// back), 2 too short to trust its direction.
int normal_state(const double n[3])
{
    if (!finite3(n))
        return 1;
    double len = std::sqrt(dot3(n, n));
    if (len == 0.0)
        return 1;
    return len < 1e-6 ? 2 : 0;
}

bool prepare_classifier(Classifier* c, const PhysMesh* mesh)
{
    c->mesh = mesh;
    size_t nv = mesh->vertices.size();
    c->vertices.resize(nv);
    std::vector<BuildItem> items;
    for (size_t i = 0; i < nv; ++i) {
        VertexInfo* v = &c->vertices[i];
        to_double(mesh->vertices[i], v->p);
        if (!finite3(v->p) || std::fabs(v->p[0]) > COORD_LIMIT || std::fabs(v->p[1]) > COORD_LIMIT ||
            std::fabs(v->p[2]) > COORD_LIMIT)
            return false;
        to_double(mesh->vertex_normals[i], v->k);
        v->k_state = normal_state(v->k);
        BuildItem it;
        for (int k = 0; k < 3; ++k)
            it.box.lo[k] = it.box.hi[k] = it.centre[k] = v->p[k];
        it.id = (uint32_t)i;
        items.push_back(it);
    }
    build_bvh(&c->vertex_bvh, &items);

    // Edges that can measure a number: a float length above zero.
    items.clear();
    c->edges.resize(mesh->edge_geom.size());
    for (size_t k = 0; k < mesh->edge_geom.size(); ++k) {
        const PhysEdge* pe = &mesh->edge_geom[k];
        EdgeInfo* e = &c->edges[k];
        to_double(pe->a, e->a);
        to_double(pe->b, e->b);
        to_double(pe->normal, e->m);
        e->m_state = normal_state(e->m);
        double ab[3] = {e->b[0] - e->a[0], e->b[1] - e->a[1], e->b[2] - e->a[2]};
        e->len = std::sqrt(dot3(ab, ab));
        for (int i = 0; i < 3; ++i) {
            e->box.lo[i] = std::min(e->a[i], e->b[i]);
            e->box.hi[i] = std::max(e->a[i], e->b[i]);
        }
        if (!(pe->length > 0.0f) || !(e->len > 0.0))
            continue;
        BuildItem it;
        it.box = e->box;
        for (int i = 0; i < 3; ++i)
            it.centre[i] = 0.5 * (e->a[i] + e->b[i]);
        it.id = (uint32_t)k;
        items.push_back(it);
    }
    build_bvh(&c->edge_bvh, &items);
    for (BvhNode& n : c->edge_bvh.nodes) {
        n.len_min = INFINITY;
        n.len_max = 0.0;
    }
    // Lengths per node: leaves first, then parents (children follow parents).
    for (size_t i = c->edge_bvh.nodes.size(); i-- > 0;) {
        BvhNode& n = c->edge_bvh.nodes[i];
        if (n.count) {
            for (uint32_t k = 0; k < n.count; ++k) {
                double len = c->edges[c->edge_bvh.items[n.start + k]].len;
                n.len_min = std::min(n.len_min, len);
                n.len_max = std::max(n.len_max, len);
            }
        } else {
            const BvhNode& l = c->edge_bvh.nodes[n.left];
            const BvhNode& r = c->edge_bvh.nodes[n.right];
            n.len_min = std::min(l.len_min, r.len_min);
            n.len_max = std::max(l.len_max, r.len_max);
        }
    }

    // Faces that can pass the inside test: a normal and inside-test normals
    // that are numbers. Well-shaped ones go in the hierarchy.
    items.clear();
    c->odd_faces.clear();
    c->faces.resize(mesh->faces.size());
    for (size_t j = 0; j < mesh->faces.size(); ++j) {
        const PhysFace* pf = &mesh->faces[j];
        FaceInfo* f = &c->faces[j];
        for (int k = 0; k < 3; ++k)
            to_double(pf->corner[k], f->c[k]);
        to_double(pf->normal, f->n);
        bool usable = finite3(f->n);
        for (int k = 0; k < 3; ++k) {
            double w[3];
            to_double(pf->side_normal[k], w);
            usable = usable && finite3(w);
        }
        if (!usable)
            continue;
        double diam = 0.0;
        for (int k = 0; k < 3; ++k) {
            double d[3] = {f->c[(k + 1) % 3][0] - f->c[k][0], f->c[(k + 1) % 3][1] - f->c[k][1],
                           f->c[(k + 1) % 3][2] - f->c[k][2]};
            diam = std::max(diam, std::sqrt(dot3(d, d)));
        }
        // Exact normal and corner sines.
        bool well = true;
        double exact[3] = {0, 0, 0};
        for (int k = 0; k < 3 && well; ++k) {
            const double* p = f->c[k];
            const double* qq = f->c[(k + 1) % 3];
            const double* r = f->c[(k + 2) % 3];
            double e1[3] = {qq[0] - p[0], qq[1] - p[1], qq[2] - p[2]};
            double e2[3] = {r[0] - p[0], r[1] - p[1], r[2] - p[2]};
            double cr[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
            double lc = std::sqrt(dot3(cr, cr));
            double l1 = std::sqrt(dot3(e1, e1)), l2 = std::sqrt(dot3(e2, e2));
            if (!(lc > WELL_SINE * l1 * l2)) {
                well = false;
                break;
            }
            if (k == 0)
                for (int i = 0; i < 3; ++i)
                    exact[i] = cr[i] / lc;
        }
        for (int k = 0; k < 3 && well; ++k) {
            double w[3];
            to_double(pf->side_normal[k], w);
            double d2 = sq(w[0] - exact[0]) + sq(w[1] - exact[1]) + sq(w[2] - exact[2]);
            if (!(d2 < sq(WELL_NORMAL_TOLERANCE)))
                well = false;
        }
        f->well = well;
        f->margin = FACE_MARGIN_PER_SIZE * diam + 1e-6;
        for (int i = 0; i < 3; ++i) {
            f->box.lo[i] = std::min(f->c[0][i], std::min(f->c[1][i], f->c[2][i]));
            f->box.hi[i] = std::max(f->c[0][i], std::max(f->c[1][i], f->c[2][i]));
        }
        if (!well) {
            c->odd_faces.push_back((uint32_t)j);
            continue;
        }
        BuildItem it;
        it.box = f->box;
        for (int i = 0; i < 3; ++i)
            it.centre[i] = (f->c[0][i] + f->c[1][i] + f->c[2][i]) / 3.0;
        it.id = (uint32_t)j;
        items.push_back(it);
    }
    build_bvh(&c->face_bvh, &items);
    for (size_t i = c->face_bvh.nodes.size(); i-- > 0;) {
        BvhNode& n = c->face_bvh.nodes[i];
        n.margin_max = 0.0;
        if (n.count) {
            for (uint32_t k = 0; k < n.count; ++k)
                n.margin_max = std::max(n.margin_max, c->faces[c->face_bvh.items[n.start + k]].margin);
        } else {
            n.margin_max = std::max(c->face_bvh.nodes[n.left].margin_max, c->face_bvh.nodes[n.right].margin_max);
        }
    }
    summarise_sides(&c->vertex_bvh, [c](uint32_t id, double v[3]) {
        const VertexInfo& vi = c->vertices[id];
        for (int i = 0; i < 3; ++i)
            v[i] = vi.k[i];
        return vi.k_state == 0;
    });
    summarise_sides(&c->edge_bvh, [c](uint32_t id, double v[3]) {
        const EdgeInfo& e = c->edges[id];
        for (int i = 0; i < 3; ++i)
            v[i] = e.m[i];
        return e.m_state == 0;
    });
    summarise_sides(&c->face_bvh, [c](uint32_t id, double v[3]) {
        const FaceInfo& f = c->faces[id];
        for (int i = 0; i < 3; ++i)
            v[i] = f.n[i];
        return true;
    });
    return true;
}

// ---- walks over a hierarchy -------------------------------------------------

// Depth first: a node for which `skip` holds is passed over with its subtree;
// `visit` gets every item of the leaves reached and ends the walk by
// returning false (the walk then returns false). `left_first` tells whether
// an inner node's left child is taken before its right one.
template <typename LeftFirst, typename Skip, typename Visit>
inline bool walk_bvh(const Bvh& bvh, LeftFirst left_first, Skip skip, Visit visit)
{
    if (bvh.nodes.empty())
        return true;
    uint32_t stack[128];
    int top = 0;
    stack[top++] = 0;
    while (top) {
        const BvhNode& n = bvh.nodes[stack[--top]];
        if (skip(n))
            continue;
        if (n.count) {
            for (uint32_t k = 0; k < n.count; ++k)
                if (!visit(bvh.items[n.start + k]))
                    return false;
        } else {
            // The child taken first goes on the stack last.
            bool left = left_first(bvh.nodes[n.left], bvh.nodes[n.right]);
            stack[top++] = left ? n.right : n.left;
            stack[top++] = left ? n.left : n.right;
        }
    }
    return true;
}

// Child orders: the child nearer to a point first, or simply the right one.
struct NearerFirst {
    const double* p;
    bool operator()(const BvhNode& l, const BvhNode& r) const
    {
        return box_point_dist2(l.box, p) <= box_point_dist2(r.box, p);
    }
};

struct RightFirst {
    bool operator()(const BvhNode&, const BvhNode&) const
    {
        return false;
    }
};

// Lower bounds of the float vertex distance, as for edges and faces above.
double vertex_node_lower(const Query& q, const BvhNode& n)
{
    return std::sqrt(box_box_dist2(q.box, n.box)) * (1.0 - 8.0 * FLOAT_UNIT);
}

bool vertex_beyond(const Query& q, const VertexInfo& v, double limit)
{
    return std::sqrt(box_point_dist2(q.box, v.p)) * (1.0 - 8.0 * FLOAT_UNIT) > limit;
}

// ---- one cell, exactly ------------------------------------------------------

PhysSide classify_cell_fast(const Classifier* c, int64_t x, int64_t y, int64_t z)
{
    const PhysMesh* mesh = c->mesh;
    Vec3 p = {(float)x, (float)y, (float)z};
    double pd[3] = {(double)x, (double)y, (double)z};
    Query q = make_query(pd, pd);

    // Nearest vertex by (float distance, index).
    float d0 = vertex_distance(p, mesh->vertices[0]);
    float best_vertex = d0;
    uint32_t vertex = 0;
    walk_bvh(
        c->vertex_bvh, NearerFirst{pd}, [&](const BvhNode& n) { return vertex_node_lower(q, n) > best_vertex; },
        [&](uint32_t i) {
            float d = vertex_distance(p, mesh->vertices[i]);
            if (d < best_vertex || (d == best_vertex && i < vertex)) {
                best_vertex = d;
                vertex = i;
            }
            return true;
        });
    PhysSide vertex_sd = vertex_side(p, mesh->vertices[vertex], mesh->vertex_normals[vertex]);

    // Edges that can measure at most the vertex distance; ties to the later edge.
    float best_edge = 10.0f * d0;
    int64_t edge = -1;
    PhysSide edge_sd = PHYS_SIDE_NONE;
    walk_bvh(
        c->edge_bvh, RightFirst(), [&](const BvhNode& n) { return edge_node_lower(q, n) > best_vertex; },
        [&](uint32_t i) {
            if (edge_beyond(q, c->edges[i], best_vertex))
                return true;
            float dist;
            PhysSide sd;
            if (edge_measure(&mesh->edge_geom[i], p, &dist, &sd) &&
                (dist < best_edge || (dist == best_edge && (int64_t)i > edge))) {
                best_edge = dist;
                edge = i;
                edge_sd = sd;
            }
            return true;
        });
    if (best_edge > best_vertex)
        return vertex_sd;

    // Faces that can measure at most the edge distance; ties to the earlier face.
    float best_face = 10.0f * d0;
    int64_t face = -1;
    PhysSide face_sd = PHYS_SIDE_NONE;
    auto try_face = [&](uint32_t j) {
        if (face_beyond(q, c->faces[j], best_edge))
            return true;
        const PhysFace* f = &mesh->faces[j];
        float h = std::fabs(face_plane_value(f, p));
        if (!(h < best_face || (h == best_face && (int64_t)j < face)))
            return true;
        PhysSide sd;
        if (face_inside(f, p, h, &sd)) {
            best_face = h;
            face = j;
            face_sd = sd;
        }
        return true;
    };
    walk_bvh(c->face_bvh, RightFirst(), [&](const BvhNode& n) { return face_node_lower(q, n) > best_edge; },
             try_face);
    for (uint32_t j : c->odd_faces)
        try_face(j);
    return decide_class(best_vertex, vertex_sd, best_edge, edge_sd, best_face, face_sd);
}

// ---- whole blocks -------------------------------------------------------------

// Folds one feature's side into the block's common side; false when they
// differ or one is not certain.
bool agree(RobustSide s, RobustSide* common)
{
    if (s == ROBUST_UNSURE)
        return false;
    if (*common == ROBUST_UNSURE)
        *common = s;
    return *common == s;
}

// Every feature of one kind within `reach` of the block (those of the
// hierarchy, then the `loose` ones outside it) has the side `common`, which
// the first certain one sets. Subtrees out of reach, or whose summary agrees,
// are passed over. False at the first feature that differs or is not certain.
template <typename Info, double (*NodeLower)(const Query&, const BvhNode&),
          double (*NodeMargin)(const Query&, const BvhNode&), bool (*Beyond)(const Query&, const Info&, double),
          RobustSide (*SideOf)(const Query&, const Info&)>
bool kind_agrees(const Bvh& bvh, const std::vector<Info>& infos, const std::vector<uint32_t>* loose, const Query& q,
                 double reach, RobustSide* common)
{
    auto feature_agrees = [&](uint32_t id) {
        const Info& f = infos[id];
        return Beyond(q, f, reach) || agree(SideOf(q, f), common);
    };
    bool all = walk_bvh(
        bvh, RightFirst(),
        [&](const BvhNode& n) {
            return NodeLower(q, n) > reach || node_agrees(node_robust_side(q, n, NodeMargin(q, n)), common);
        },
        feature_agrees);
    if (all && loose) {
        for (uint32_t id : *loose)
            if (!feature_agrees(id))
                return false;
    }
    return all;
}

// The class of every cell of the block when it is certain, else NONE.
PhysSide certify_block(const Classifier* c, const Query& q)
{
    // Vertex 0 at a cell point would make d0 zero: leave such blocks to cells.
    const double* v0 = c->vertices[0].p;
    double near2 = 0.0;
    for (int i = 0; i < 3; ++i)
        near2 += sq(v0[i] - std::min(std::max(std::round(v0[i]), q.box.lo[i]), q.box.hi[i]));
    if (!(near2 > 1e-12))
        return PHYS_SIDE_NONE;

    // Largest possible nearest-vertex distance over the block, from the
    // vertex nearest to its centre.
    double best2 = INFINITY;
    uint32_t best = 0;
    walk_bvh(
        c->vertex_bvh, NearerFirst{q.centre},
        [&](const BvhNode& n) { return box_point_dist2(n.box, q.centre) > best2; },
        [&](uint32_t i) {
            const double* p = c->vertices[i].p;
            double d2 = sq(p[0] - q.centre[0]) + sq(p[1] - q.centre[1]) + sq(p[2] - q.centre[2]);
            if (d2 < best2) {
                best2 = d2;
                best = i;
            }
            return true;
        });
    double reach = std::sqrt(box_point_maxdist2(q.box, c->vertices[best].p)) * (1.0 + 8.0 * FLOAT_UNIT) + 1e-12;

    RobustSide common = ROBUST_UNSURE;
    if (!kind_agrees<VertexInfo, vertex_node_lower, vertex_node_margin, vertex_beyond, vertex_robust_side>(
            c->vertex_bvh, c->vertices, nullptr, q, reach, &common) ||
        !kind_agrees<EdgeInfo, edge_node_lower, edge_node_margin, edge_beyond, edge_robust_side>(
            c->edge_bvh, c->edges, nullptr, q, reach, &common) ||
        !kind_agrees<FaceInfo, face_node_lower, face_node_margin, face_beyond, face_robust_side>(
            c->face_bvh, c->faces, &c->odd_faces, q, reach, &common))
        return PHYS_SIDE_NONE;
    if (common == ROBUST_FRONT)
        return PHYS_SIDE_FRONT;
    if (common == ROBUST_BACK)
        return PHYS_SIDE_BACK;
    return PHYS_SIDE_NONE;
}

void classify_block(Classifier* c, const int64_t lo[3], const int64_t hi[3])
{
    uint64_t cells = (uint64_t)(hi[0] - lo[0] + 1) * (uint64_t)(hi[1] - lo[1] + 1) * (uint64_t)(hi[2] - lo[2] + 1);
    int64_t g = c->g;
    if (cells == 1) {
        if (classify_cell_fast(c, lo[0], lo[1], lo[2]) == PHYS_SIDE_FRONT)
            c->marks[cell_index(lo[0], lo[1], lo[2], g)] = CELL_PUSH | CELL_REGION;
        progress_advance(c->pr, 1);
        return;
    }
    double dlo[3] = {(double)lo[0], (double)lo[1], (double)lo[2]};
    double dhi[3] = {(double)hi[0], (double)hi[1], (double)hi[2]};
    PhysSide side = certify_block(c, make_query(dlo, dhi));
    if (side != PHYS_SIDE_NONE) {
        if (side == PHYS_SIDE_FRONT) {
            for (int64_t x = lo[0]; x <= hi[0]; ++x)
                for (int64_t y = lo[1]; y <= hi[1]; ++y)
                    for (int64_t z = lo[2]; z <= hi[2]; ++z)
                        c->marks[cell_index(x, y, z, g)] = CELL_PUSH | CELL_REGION;
        }
        progress_advance(c->pr, cells);
        return;
    }
    // Halve every axis longer than one cell.
    int64_t split_lo[3][2], split_hi[3][2];
    int parts[3];
    for (int a = 0; a < 3; ++a) {
        if (hi[a] > lo[a]) {
            int64_t mid = lo[a] + (hi[a] - lo[a]) / 2;
            split_lo[a][0] = lo[a];
            split_hi[a][0] = mid;
            split_lo[a][1] = mid + 1;
            split_hi[a][1] = hi[a];
            parts[a] = 2;
        } else {
            split_lo[a][0] = lo[a];
            split_hi[a][0] = hi[a];
            parts[a] = 1;
        }
    }
    for (int i = 0; i < parts[0]; ++i)
        for (int j = 0; j < parts[1]; ++j)
            for (int k = 0; k < parts[2]; ++k) {
                int64_t clo[3] = {split_lo[0][i], split_lo[1][j], split_lo[2][k]};
                int64_t chi[3] = {split_hi[0][i], split_hi[1][j], split_hi[2][k]};
                classify_block(c, clo, chi);
            }
}

}  // namespace

bool classify_cells_fast(const PhysMesh* mesh, const PhysBox* box, int64_t g, uint8_t* marks, PhysProgress* pr)
{
    uint64_t cells = box_cell_count(box);
    if (mesh->vertices.empty() || cells == 0) {
        progress_advance(pr, cells);
        return true;
    }
    Classifier c;
    if (!prepare_classifier(&c, mesh))
        return false;
    c.g = g;
    c.marks = marks;
    c.pr = pr;
    classify_block(&c, box->lo, box->hi);
    return true;
}
