#include "phys_bounds.h"

namespace {

// Lower bound of the float edge distance (when the edge measures at all)
// for points at true distance >= dist from the segment, with lengths up to
// len_max, at least len_min, and sum of squares L^2 + dA^2 + dB^2 <= s_max.
// The law of cosines in floats errs by about 12u s_max / L in t; since t is
// limited to 0..L the result is also at least sqrt(dB^2 - L^2).
double edge_lower_from(double dist, double dist_to_b, double len_min, double len_max, double s_max)
{
    double et = 12.0 * FLOAT_UNIT * s_max / (len_min * (1.0 - FLOAT_SLACK));
    double b1 = dist * dist - 48.0 * FLOAT_UNIT * s_max - 3.0 * et * et;
    double b2 = sq(dist_to_b) * (1.0 - 24.0 * FLOAT_UNIT) - sq(len_max) * (1.0 + 24.0 * FLOAT_UNIT);
    double b = std::max(0.0, std::max(b1, b2));
    return std::sqrt(b) * (1.0 - 4.0 * FLOAT_UNIT);
}

// Float error bound of s = n . p + d over the query.
// (The sums below take the x and y terms as one pair of doubles: the same
// terms, added in the same order.)
double plane_error(const Query& q, const double n[3], const double a[3])
{
    Double2 t = abs2(load2(n)) * (load2(q.abs_max) + abs2(load2(a)));
    double s = (t[0] + t[1]) + std::fabs(n[2]) * (q.abs_max[2] + std::fabs(a[2]));
    return FLOAT_SLACK * s + ERROR_FLOOR;
}

// Range of the exact n . (p - a) over the query.
void plane_range(const Query& q, const double n[3], const double a[3], double* lo, double* hi)
{
    Double2 nn = load2(n);
    Double2 t = nn * (load2(q.centre) - load2(a));
    Double2 w = abs2(nn) * load2(q.half);
    double mid = (t[0] + t[1]) + n[2] * (q.centre[2] - a[2]);
    double spread = (w[0] + w[1]) + std::fabs(n[2]) * q.half[2];
    *lo = mid - spread;
    *hi = mid + spread;
}

double query_abs_max(const Query& q)
{
    return std::max(q.abs_max[0], std::max(q.abs_max[1], q.abs_max[2]));
}

}  // namespace

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

// ---- lower bounds of the float distances -----------------------------------

// From the box distance alone; infinite where the edge measures nowhere.
double edge_lower(const Query& q, const EdgeInfo& e)
{
    if (edge_outside_slab(q, e))
        return INFINITY;
    return edge_lower_in_slab(q, e);
}

double edge_lower_in_slab(const Query& q, const EdgeInfo& e)
{
    double d2 = box_box_dist2(q.box, e.box);
    if (d2 == 0.0)
        return 0.0;
    return std::sqrt(std::max(0.0, d2 - edge_error(q, e))) * (1.0 - 4.0 * FLOAT_UNIT);
}

// The float foot parameter t lies within `et` (the rounding of the law of
// cosines) of the exact one, which is linear over the query: where it stays
// clearly below 0 or above L the edge measures nowhere.
bool edge_outside_slab(const Query& q, const EdgeInfo& e)
{
    if (!(e.len > 0.0))
        return false;
    double mid, spread;
    slab_range(q, e, &mid, &spread);
    if (mid + spread >= 0.0 && mid - spread <= e.len)
        return false;
    double s_max = sq(e.len) + 2.0 * box_box_maxdist2(q.box, e.box);
    double et = s_max * e.et_per_s;
    double keep = 2.0 * et + 1e-9 * (q.abs_norm + e.len + 1.0);
    return mid + spread < -keep || mid - spread > e.len * (1.0 + FLOAT_SLACK) + keep;
}

double slab_keep_bound(const Query& q, const BvhNode& root)
{
    // s_max / len = len + 2 maxdist^2 / len, and every edge's box lies in
    // the root's; widened past the double rounding.
    if (!(root.len_min > 0.0))
        return INFINITY;
    double s_per_len = root.len_max + 2.0 * box_box_maxdist2(q.box, root.box) / root.len_min;
    double et = 12.0 * FLOAT_UNIT * s_per_len / (1.0 - FLOAT_SLACK);
    return (2.0 * et + 1e-9 * (q.abs_norm + root.len_max + 1.0)) * (1.0 + 1e-6);
}

bool edge_beyond(const Query& q, const EdgeInfo& e, double limit)
{
    if (edge_lower(q, e) > limit)
        return true;
    double s_max = sq(e.len) + box_point_maxdist2(q.box, e.a) + box_point_maxdist2(q.box, e.b);
    double to_b = std::sqrt(box_point_dist2(q.box, e.b));
    double d = std::sqrt(box_box_dist2(q.box, e.box));
    d = std::max(d, point_segment_dist(q.centre, e.a, e.b) - q.radius);
    // Less the double rounding of the segment distance (about 1e-16 relative
    // to the magnitudes involved; 1e-9 is far above it).
    d = std::max(0.0, d - 1e-9 * (q.abs_norm + e.len + 1.0));
    return edge_lower_from(d, to_b, e.len, e.len, s_max) > limit;
}

double edge_upper(const Query& q, const EdgeInfo& e, double limit)
{
    if (!(e.len > 0.0))
        return INFINITY;
    // The foot parameter is linear in the point: over the box it spans
    // mid +- spread. Cheap tests first: the foot on the edge, the line
    // nearer than `limit` to the centre (the bound is no smaller).
    const double* dir = e.dir;
    double mid, spread;
    slab_range(q, e, &mid, &spread);
    if (mid - spread <= 0.0 || mid + spread >= e.len)
        return INFINITY;
    double c[3] = {q.centre[0] - e.b[0], q.centre[1] - e.b[1], q.centre[2] - e.b[2]};
    double c2 = std::max(0.0, dot3(c, c) - mid * mid);
    if (c2 >= limit * limit)
        return INFINITY;
    double s_max = sq(e.len) + box_point_maxdist2(q.box, e.a) + box_point_maxdist2(q.box, e.b);
    double et = s_max * e.et_per_s;
    // Double rounding of the values here, far under the float terms.
    double slack = 1e-9 * (q.abs_norm + e.len + 1.0);
    // Float rounding moves the foot by at most et: twice that is kept clear
    // of both ends of the float length.
    double keep = 2.0 * et + slack;
    if (mid - spread < keep || mid + spread > e.len * (1.0 - FLOAT_SLACK) - keep)
        return INFINITY;
    // The float square db^2 - t^2 errs by less than `err`; it must stay
    // positive (a negative one gives no number, and the edge is not taken).
    double err = 2.0 * (48.0 * FLOAT_UNIT * s_max + 3.0 * et * et) + slack;
    double near = std::sqrt(c2) - q.radius - slack;
    if (near <= 0.0 || near * near <= 2.0 * err)
        return INFINITY;
    // Distance from a line is convex: its largest value over the box is at
    // a corner.
    double worst2 = 0.0;
    for (int k = 0; k < 8; ++k) {
        double r[3];
        for (int i = 0; i < 3; ++i)
            r[i] = ((k >> i) & 1 ? q.box.hi[i] : q.box.lo[i]) - e.b[i];
        double pr = dot3(r, dir);
        worst2 = std::max(worst2, dot3(r, r) - pr * pr);
    }
    return std::sqrt(worst2 + err) * (1.0 + 4.0 * FLOAT_UNIT) + slack + MARGIN_FLOOR;
}

double edge_error(const Query& q, const EdgeInfo& e)
{
    // The rounding terms of edge_lower_from over the query.
    if (!(e.len > 0.0))
        return INFINITY;
    double s_max = sq(e.len) + 2.0 * box_box_maxdist2(q.box, e.box);
    double et = s_max * e.et_per_s;
    return 48.0 * FLOAT_UNIT * s_max + 3.0 * et * et;
}

double edge_node_lower(const Query& q, const BvhNode& n)
{
    double d = std::sqrt(box_box_dist2(q.box, n.box));
    double s_max = sq(n.len_max) + 2.0 * box_box_maxdist2(q.box, n.box);
    return edge_lower_from(d, d, n.len_min, n.len_max, s_max);
}

// See prism_excludes in the header.
bool face_outside_prism(const Query& q, const FaceInfo& f)
{
    return f.well && prism_excludes(q, f);
}

// Lower bound of the float face distance h of a face that passes the inside
// test: h is at least the plane distance less rounding, and for a well-shaped
// face at least the distance to the triangle less its margin.
// True when that bound exceeds `limit` (cheap bounds first).
double face_lower(const Query& q, const FaceInfo& f)
{
    if (face_outside_prism(q, f))
        return INFINITY;
    return face_lower_in_prism(q, f);
}

double face_lower_in_prism(const Query& q, const FaceInfo& f)
{
    double lo, hi;
    plane_range(q, f.n, f.c[0], &lo, &hi);
    double plane = (lo > 0.0 ? lo : (hi < 0.0 ? -hi : 0.0)) - plane_error(q, f.n, f.c[0]);
    if (!f.well)
        return plane;
    double d = std::sqrt(box_box_dist2(q.box, f.box));
    return std::max(plane, (d - f.margin) / (1.0 + FLOAT_SLACK) - 4.0 * FLOAT_UNIT * q.abs_norm);
}

bool face_beyond(const Query& q, const FaceInfo& f, double limit)
{
    if (face_lower(q, f) > limit)
        return true;
    if (!f.well)
        return false;
    double slack = 4.0 * FLOAT_UNIT * q.abs_norm;
    double d = std::sqrt(box_box_dist2(q.box, f.box));
    d = std::max(d, point_triangle_dist(q.centre, f.c[0], f.c[1], f.c[2]) - q.radius);
    return (d - f.margin) / (1.0 + FLOAT_SLACK) - slack > limit;
}

double face_node_lower(const Query& q, const BvhNode& n)
{
    double d = std::sqrt(box_box_dist2(q.box, n.box));
    return (d - n.margin_max) / (1.0 + FLOAT_SLACK) - 4.0 * FLOAT_UNIT * q.abs_norm;
}

// ---- sides that hold for every point of a query ---------------------------

RobustSide vertex_robust_side(const Query& q, const VertexInfo& v)
{
    if (v.k_state == NORMAL_ALWAYS_BACK)
        return ROBUST_BACK;
    if (v.k_state == NORMAL_UNSURE)
        return ROBUST_UNSURE;
    double lo, hi;
    plane_range(q, v.k, v.p, &lo, &hi);
    double margin = 2.0 * plane_error(q, v.k, v.p) + MARGIN_FLOOR;
    if (lo > margin)
        return ROBUST_FRONT;
    if (hi < -margin)
        return ROBUST_BACK;
    return ROBUST_UNSURE;
}

RobustSide edge_robust_side(const Query& q, const EdgeInfo& e)
{
    if (e.m_state == NORMAL_ALWAYS_BACK)
        return ROBUST_BACK;
    if (e.m_state == NORMAL_UNSURE)
        return ROBUST_UNSURE;
    // m . (p - K) with K on the segment, up to the rounding of K.
    Double2 ma = load2(e.m_abs);
    Double2 t = load2(e.m) * load2(q.centre), w = ma * load2(q.half), r = ma * load2(q.abs_max);
    double mid = (t[0] + t[1]) + e.m[2] * q.centre[2];
    double spread = (w[0] + w[1]) + e.m_abs[2] * q.half[2];
    double round = ((e.round_fixed + r[0]) + r[1]) + e.m_abs[2] * q.abs_max[2];
    double lo = (mid - spread) - std::max(e.ma, e.mb) - e.m1 * e.foot_error;
    double hi = (mid + spread) - std::min(e.ma, e.mb) + e.m1 * e.foot_error;
    double margin = FLOAT_SLACK * round + e.floor;
    if (lo > margin)
        return ROBUST_FRONT;
    if (hi < -margin)
        return ROBUST_BACK;
    return ROBUST_UNSURE;
}

// The side of a face comes from comparing |p + h n - a| with |p - h n - a|,
// whose squares differ by 4 h s: certain once s^2 clearly exceeds the
// rounding of those lengths. Where the plane passes through the query, a
// well-shaped face still has one side wherever it passes the inside test
// when that side of the plane is too near for its prism to reach the query:
// it passes only where |s| is about the distance to the triangle or more.
RobustSide face_robust_side(const Query& q, const FaceInfo& f)
{
    Double2 na = load2(f.n_abs);
    Double2 t = load2(f.n) * load2(q.centre), w = na * load2(q.half), r = na * load2(q.abs_max);
    double mid = ((-f.na + t[0]) + t[1]) + f.n[2] * q.centre[2];
    double spread = (w[0] + w[1]) + f.n_abs[2] * q.half[2];
    double err = ((f.na_abs + r[0]) + r[1]) + f.n_abs[2] * q.abs_max[2];
    double lo = mid - spread, hi = mid + spread;
    double plane_err = FLOAT_SLACK * err + ERROR_FLOOR;
    double far = std::sqrt(box_point_maxdist2(q.box, f.c[0]));
    double sigma = 2.0 * std::sqrt(FLOAT_UNIT * (50.0 * far * far + 8.0 * far * (q.abs_norm + 1.0))) +
                   2.0 * plane_err + MARGIN_FLOOR;
    if (lo >= sigma)
        return ROBUST_FRONT;
    if (hi <= -sigma)
        return ROBUST_BACK;
    if (!f.well)
        return ROBUST_UNSURE;
    // Where the face passes, |s| >= `least` (the lower bound of face_lower
    // from the triangle, less the rounding of s).
    double slack = 4.0 * FLOAT_UNIT * q.abs_norm + plane_err;
    double d = std::sqrt(box_box_dist2(q.box, f.box));
    double least = (d - f.margin) / (1.0 + FLOAT_SLACK) - slack;
    if (!(least > sigma) || (hi >= least && lo <= -least)) {
        d = std::max(d, point_triangle_dist(q.centre, f.c[0], f.c[1], f.c[2]) - q.radius);
        least = (d - f.margin) / (1.0 + FLOAT_SLACK) - slack;
        if (!(least > sigma))
            return ROBUST_UNSURE;
    }
    bool front = hi >= least, back = lo <= -least;
    if (front && back)
        return ROBUST_UNSURE;
    return front ? ROBUST_FRONT : (back ? ROBUST_BACK : ROBUST_NOWHERE);
}

// Lower bounds of the float vertex distance, as for edges and faces above.
double vertex_node_lower(const Query& q, const BvhNode& n)
{
    return std::sqrt(box_box_dist2(q.box, n.box)) * (1.0 - FLOAT_SLACK);
}

bool vertex_beyond(const Query& q, const VertexInfo& v, double limit)
{
    return std::sqrt(box_point_dist2(q.box, v.p)) * (1.0 - FLOAT_SLACK) > limit;
}

// The side shared by every feature of a node over the query, from its
// summary: n . (p - x) for p in the query, x in the node's box and unit n
// within `spread` of `dir` lies in [lo, hi]; `margin` (per unit normal)
// is what the kind's rounding needs.
RobustSide node_robust_side(const Query& q, const BvhNode& n, double margin)
{
    if (n.special || !(n.spread < 2.0))
        return ROBUST_UNSURE;
    double qmin = 0.0, qmax = 0.0, nmin = n.dir_lo, nmax = n.dir_hi;
    for (int i = 0; i < 3; ++i) {
        double a = n.dir[i] * q.box.lo[i], b = n.dir[i] * q.box.hi[i];
        qmin += std::min(a, b);
        qmax += std::max(a, b);
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

// Rounding margins per unit normal for a whole node (see the per-feature
// forms above; sqrt(3) bounds the sum of a unit vector's magnitudes).
double vertex_node_margin(const Query& q, const BvhNode& n)
{
    return 2.0 * FLOAT_SLACK * SQRT3_UP * UNIT_LENGTH_SLACK * (query_abs_max(q) + n.coord_max) + MARGIN_FLOOR;
}

double edge_node_margin(const Query& q, const BvhNode& n)
{
    double foot = FLOAT_SLACK * (n.coord_max + n.len_max) + ERROR_FLOOR;
    return FLOAT_SLACK * SQRT3_UP * (query_abs_max(q) + n.coord_max + foot) + SQRT3_UP * foot + MARGIN_FLOOR;
}

double face_node_margin(const Query& q, const BvhNode& n)
{
    double far = std::sqrt(box_box_maxdist2(q.box, n.box));
    double err = FLOAT_SLACK * SQRT3_UP * UNIT_LENGTH_SLACK * (query_abs_max(q) + n.coord_max) + ERROR_FLOOR;
    double sigma = 2.0 * std::sqrt(FLOAT_UNIT * (50.0 * far * far + 8.0 * far * (q.abs_norm + 1.0))) + 2.0 * err;
    return (sigma + MARGIN_FLOOR) * UNIT_LENGTH_SLACK;
}
