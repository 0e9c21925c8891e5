// The features of a mesh in double for the bounds of phys_bounds.cpp, and
// their hierarchies.
#include "phys_bounds.h"

#include "phys_threads.h"

namespace {

void to_double(Vec3 v, double out[3])
{
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

}  // namespace

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
    e->et_per_s = 12.0 * FLOAT_UNIT / (e->len * (1.0 - FLOAT_SLACK)) * (1.0 + 1e-15);
    for (int i = 0; i < 3; ++i)
        e->dir[i] = e->len > 0.0 ? -ab[i] / e->len : 0.0;
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
    if (well) {
        // Inward unit normals of the sides within the plane, and how far the
        // float normal leans out of the exact one (either orientation).
        double lean = std::min(std::sqrt(sq(f->n[0] - exact[0]) + sq(f->n[1] - exact[1]) + sq(f->n[2] - exact[2])),
                               std::sqrt(sq(f->n[0] + exact[0]) + sq(f->n[1] + exact[1]) + sq(f->n[2] + exact[2])));
        double cnorm = std::sqrt(dot3(f->c[0], f->c[0])) + 2.0 * diam;
        for (int k = 0; k < 3; ++k) {
            const double* p = f->c[k];
            const double* qq = f->c[(k + 1) % 3];
            double e[3] = {qq[0] - p[0], qq[1] - p[1], qq[2] - p[2]};
            double in[3] = {exact[1] * e[2] - exact[2] * e[1], exact[2] * e[0] - exact[0] * e[2],
                            exact[0] * e[1] - exact[1] * e[0]};
            double len = std::sqrt(dot3(in, in));
            for (int i = 0; i < 3; ++i)
                f->inward[k][i] = in[i] / len;
            f->inward_at[k] = dot3(f->inward[k], p);
        }
        f->prism_fixed = f->margin + (lean + 8.0 * FLOAT_UNIT) * cnorm + MARGIN_FLOOR;
        f->prism_per_norm = 2.0 * (lean + 8.0 * FLOAT_UNIT);
    }
    for (int i = 0; i < 3; ++i) {
        f->box.lo[i] = std::min(f->c[0][i], std::min(f->c[1][i], f->c[2][i]));
        f->box.hi[i] = std::max(f->c[0][i], std::max(f->c[1][i], f->c[2][i]));
    }
    return true;
}

// ---- the features of a mesh ----------------------------------------------------

bool prepare_features(const PhysMesh* mesh, MeshFeatures* c, int threads)
{
    size_t nv = mesh->vertices.size();
    c->vertices.resize(nv);
    std::vector<BuildItem> items;
    items.reserve(nv);
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
        items.reserve(mesh->edge_geom.size());
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
        c->edge_slabs.resize(c->edge_bvh.items.size());
        for (size_t slot = 0; slot < c->edge_slabs.size(); ++slot) {
            const EdgeInfo& e = c->edges[c->edge_bvh.items[slot]];
            EdgeSlab& s = c->edge_slabs[slot];
            for (int i = 0; i < 3; ++i) {
                s.b[i] = e.b[i];
                s.dir[i] = e.dir[i];
                s.dir_abs[i] = std::fabs(e.dir[i]);
            }
            s.len = e.len;
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
        items.reserve(mesh->faces.size());
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
        c->face_prisms.resize(c->face_bvh.items.size());
        for (size_t slot = 0; slot < c->face_prisms.size(); ++slot) {
            const FaceInfo& f = c->faces[c->face_bvh.items[slot]];
            FacePrism& p = c->face_prisms[slot];
            for (int k = 0; k < 3; ++k) {
                const double* e = f.inward[k];
                p.x[k] = e[0];
                p.y[k] = e[1];
                p.z[k] = e[2];
                p.ax[k] = std::fabs(e[0]);
                p.ay[k] = std::fabs(e[1]);
                p.az[k] = std::fabs(e[2]);
                p.at[k] = f.inward_at[k];
            }
            p.prism_fixed = f.prism_fixed;
            p.prism_per_norm = f.prism_per_norm;
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
