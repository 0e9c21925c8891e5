#include "phys_bounds.h"

#include "phys_threads.h"

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
double plane_error(const Query& q, const double n[3], const double a[3])
{
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += std::fabs(n[i]) * (q.abs_max[i] + std::fabs(a[i]));
    return FLOAT_SLACK * s + ERROR_FLOOR;
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

double query_abs_max(const Query& q)
{
    return std::max(q.abs_max[0], std::max(q.abs_max[1], q.abs_max[2]));
}

void to_double(Vec3 v, double out[3])
{
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
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

NormalState normal_state(const double n[3])
{
    if (!finite3(n))
        return NORMAL_ALWAYS_BACK;
    double len = std::sqrt(dot3(n, n));
    if (len == 0.0)
        return NORMAL_ALWAYS_BACK;
    return len < 1e-6 ? NORMAL_UNSURE : NORMAL_USABLE;
}

bool make_vertex_info(Vec3 p, Vec3 k, VertexInfo* v)
{
    to_double(p, v->p);
    to_double(k, v->k);
    v->k_state = normal_state(v->k);
    return finite3(v->p) && std::fabs(v->p[0]) <= COORD_LIMIT && std::fabs(v->p[1]) <= COORD_LIMIT &&
           std::fabs(v->p[2]) <= COORD_LIMIT;
}

void make_edge_info(const PhysEdge* pe, EdgeInfo* e)
{
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
    double mn = 0.0, big = 0.0;
    e->m1 = 0.0;
    for (int i = 0; i < 3; ++i) {
        e->m_abs[i] = std::fabs(e->m[i]);
        e->m1 += e->m_abs[i];
        mn += sq(e->m[i]);
        big = std::max(big, std::max(std::fabs(e->a[i]), std::fabs(e->b[i])));
    }
    e->foot_error = FLOAT_SLACK * (big + e->len) + ERROR_FLOOR;
    e->ma = dot3(e->m, e->a);
    e->mb = dot3(e->m, e->b);
    e->round_fixed = e->m1 * (big + e->foot_error);
    e->floor = MARGIN_FLOOR * std::sqrt(mn);
}

bool make_face_info(const PhysFace* pf, FaceInfo* f)
{
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
        return false;
    f->na = dot3(f->n, f->c[0]);
    f->na_abs = 0.0;
    for (int i = 0; i < 3; ++i) {
        f->n_abs[i] = std::fabs(f->n[i]);
        f->na_abs += f->n_abs[i] * std::fabs(f->c[0][i]);
    }
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
    return true;
}

// ---- lower bounds of the float distances -----------------------------------

// True when the edge's float distance exceeds `limit` for every point of
// the query: the box distance first, the segment distance only if needed.
double edge_lower(const Query& q, const EdgeInfo& e)
{
    double s_max = sq(e.len) + box_point_maxdist2(q.box, e.a) + box_point_maxdist2(q.box, e.b);
    double to_b = std::sqrt(box_point_dist2(q.box, e.b));
    return edge_lower_from(std::sqrt(box_box_dist2(q.box, e.box)), to_b, e.len, e.len, s_max);
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
    double inv = 1.0 / e.len, dir[3], c[3];
    for (int i = 0; i < 3; ++i) {
        dir[i] = (e.a[i] - e.b[i]) * inv;
        c[i] = q.centre[i] - e.b[i];
    }
    double mid = dot3(c, dir);
    double spread = std::fabs(dir[0]) * q.half[0] + std::fabs(dir[1]) * q.half[1] + std::fabs(dir[2]) * q.half[2];
    if (mid - spread <= 0.0 || mid + spread >= e.len)
        return INFINITY;
    double c2 = std::max(0.0, dot3(c, c) - mid * mid);
    if (c2 >= limit * limit)
        return INFINITY;
    double s_max = sq(e.len) + box_point_maxdist2(q.box, e.a) + box_point_maxdist2(q.box, e.b);
    double et = 12.0 * FLOAT_UNIT * s_max / (e.len * (1.0 - FLOAT_SLACK));
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

double edge_node_lower(const Query& q, const BvhNode& n)
{
    double d = std::sqrt(box_box_dist2(q.box, n.box));
    double s_max = sq(n.len_max) + 2.0 * box_box_maxdist2(q.box, n.box);
    return edge_lower_from(d, d, n.len_min, n.len_max, s_max);
}

// Lower bound of the float face distance h of a face that passes the inside
// test: h is at least the plane distance less rounding, and for a well-shaped
// face at least the distance to the triangle less its margin.
// True when that bound exceeds `limit` (cheap bounds first).
double face_lower(const Query& q, const FaceInfo& f)
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
    double mid = 0.0, spread = 0.0, round = e.round_fixed;
    for (int i = 0; i < 3; ++i) {
        mid += e.m[i] * q.centre[i];
        spread += e.m_abs[i] * q.half[i];
        round += e.m_abs[i] * q.abs_max[i];
    }
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
// rounding of those lengths.
RobustSide face_robust_side(const Query& q, const FaceInfo& f)
{
    double mid = -f.na, spread = 0.0, err = f.na_abs;
    for (int i = 0; i < 3; ++i) {
        mid += f.n[i] * q.centre[i];
        spread += f.n_abs[i] * q.half[i];
        err += f.n_abs[i] * q.abs_max[i];
    }
    double lo = mid - spread, hi = mid + spread;
    if (lo <= 0.0 && hi >= 0.0)
        return ROBUST_UNSURE;
    double far = std::sqrt(box_point_maxdist2(q.box, f.c[0]));
    double sigma = 2.0 * std::sqrt(FLOAT_UNIT * (50.0 * far * far + 8.0 * far * (q.abs_norm + 1.0))) +
                   2.0 * (FLOAT_SLACK * err + ERROR_FLOOR) + MARGIN_FLOOR;
    if (lo >= sigma)
        return ROBUST_FRONT;
    if (hi <= -sigma)
        return ROBUST_BACK;
    return ROBUST_UNSURE;
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

// ---- the features of a mesh ----------------------------------------------------

bool prepare_features(const PhysMesh* mesh, MeshFeatures* c, int threads)
{
    size_t nv = mesh->vertices.size();
    c->vertices.resize(nv);
    std::vector<BuildItem> items;
    for (size_t i = 0; i < nv; ++i) {
        VertexInfo* v = &c->vertices[i];
        if (!make_vertex_info(mesh->vertices[i], mesh->vertex_normals[i], v))
            return false;
        BuildItem it;
        for (int k = 0; k < 3; ++k)
            it.box.lo[k] = it.box.hi[k] = it.centre[k] = v->p[k];
        it.id = (uint32_t)i;
        items.push_back(it);
    }

    // The three hierarchies are independent: one job each.
    auto vertex_job = [&]() {
        build_bvh(&c->vertex_bvh, &items);
        summarise_sides(&c->vertex_bvh, [c](uint32_t id, double v[3]) {
            const VertexInfo& vi = c->vertices[id];
            for (int i = 0; i < 3; ++i)
                v[i] = vi.k[i];
            return vi.k_state == NORMAL_USABLE;
        });
    };
    auto edge_job = [&]() {
        // Edges that can measure a number: a float length above zero.
        std::vector<BuildItem> items;
        c->edges.resize(mesh->edge_geom.size());
        for (size_t k = 0; k < mesh->edge_geom.size(); ++k) {
            const PhysEdge* pe = &mesh->edge_geom[k];
            EdgeInfo* e = &c->edges[k];
            make_edge_info(pe, e);
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
        summarise_sides(&c->edge_bvh, [c](uint32_t id, double v[3]) {
            const EdgeInfo& e = c->edges[id];
            for (int i = 0; i < 3; ++i)
                v[i] = e.m[i];
            return e.m_state == NORMAL_USABLE;
        });
    };
    auto face_job = [&]() {
        // Faces that can pass the inside test: a normal and inside-test normals
        // that are numbers. Well-shaped ones go in the hierarchy.
        std::vector<BuildItem> items;
        c->odd_faces.clear();
        c->faces.resize(mesh->faces.size());
        for (size_t j = 0; j < mesh->faces.size(); ++j) {
            const PhysFace* pf = &mesh->faces[j];
            FaceInfo* f = &c->faces[j];
            if (!make_face_info(pf, f))
                continue;
            if (!f->well) {
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
        summarise_sides(&c->face_bvh, [c](uint32_t id, double v[3]) {
            const FaceInfo& f = c->faces[id];
            for (int i = 0; i < 3; ++i)
                v[i] = f.n[i];
            return true;
        });
    };
    parallel_chunks(threads, 3, 1, [&](int64_t begin, int64_t end) {
        for (int64_t job = begin; job < end; ++job) {
            if (job == 0)
                vertex_job();
            else if (job == 1)
                edge_job();
            else
                face_job();
        }
    });
    return true;
}
