#include "phys_geom.h"

#include <cmath>
#include <limits>
#include <unordered_map>

// ---- preparation --------------------------------------------------------

float phys_field_scale(uint16_t grid_size, uint16_t field_size)
{
    return (float)grid_size / (float)field_size;
}

// trunc toward zero of a float bound, kept far inside the 64-bit range; a
// not-a-number bound gives `nan_value`.
static int64_t trunc_bound(float v, int64_t nan_value)
{
    const float limit = 1e15f;
    if (!(v == v))
        return nan_value;
    if (v > limit)
        v = limit;
    if (v < -limit)
        v = -limit;
    return (int64_t)v;
}

PhysBox phys_working_box(const float box[6], float field_scale)
{
    PhysBox r;
    for (int axis = 0; axis < 3; ++axis) {
        float pos = box[2 * axis];
        float size = box[2 * axis + 1];
        // A bound that is no number leaves the axis empty.
        r.lo[axis] = trunc_bound(pos * field_scale, std::numeric_limits<int32_t>::max());
        r.hi[axis] = trunc_bound((pos + size) * field_scale, std::numeric_limits<int32_t>::min());
    }
    return r;
}

void clamp_box(PhysBox* box, int64_t grid_size)
{
    for (int axis = 0; axis < 3; ++axis) {
        if (box->lo[axis] < 0)
            box->lo[axis] = 0;
        if (box->hi[axis] > grid_size - 1)
            box->hi[axis] = grid_size - 1;
    }
}

void grow_box(PhysBox* box, int64_t grid_size)
{
    for (int axis = 0; axis < 3; ++axis) {
        box->lo[axis] -= 1;
        box->hi[axis] += 1;
    }
    clamp_box(box, grid_size);
}

uint64_t box_cell_count(const PhysBox* box)
{
    uint64_t n = 1;
    for (int axis = 0; axis < 3; ++axis) {
        if (box->lo[axis] > box->hi[axis])
            return 0;
        n *= (uint64_t)(box->hi[axis] - box->lo[axis] + 1);
    }
    return n;
}

static Vec3 not_a_vector()
{
    float nan = std::numeric_limits<float>::quiet_NaN();
    return Vec3{nan, nan, nan};
}

void prepare_phys_mesh(const MapObject* obj, float field_scale, PhysMesh* mesh)
{
    uint32_t nv = obj->vertex_count;
    uint32_t nf = obj->face_count;
    mesh->vertices.resize(nv);
    mesh->vertex_normals.resize(nv);
    for (uint32_t i = 0; i < nv; ++i) {
        Vec3 v = obj->vertices[i];
        mesh->vertices[i] = Vec3{v.x * field_scale, v.y * field_scale, v.z * field_scale};
        mesh->vertex_normals[i] = obj->vertex_normals ? obj->vertex_normals[i] : not_a_vector();
    }
    mesh->faces.resize(nf);
    for (uint32_t j = 0; j < nf; ++j) {
        PhysFace* f = &mesh->faces[j];
        for (int k = 0; k < 3; ++k)
            f->corner[k] = mesh->vertices[obj->faces[j].v[k]];
        f->normal = obj->face_normals ? obj->face_normals[j] : not_a_vector();
        f->offset = -vec3_dot(f->normal, f->corner[0]);
        for (int k = 0; k < 3; ++k) {
            Vec3 p = f->corner[k];
            Vec3 q = f->corner[(k + 1) % 3];
            Vec3 r = f->corner[(k + 2) % 3];
            f->side[k] = vec3_sub(q, p);
            f->side_normal[k] = vec3_unit(vec3_cross(f->side[k], vec3_sub(r, p)));
        }
    }
    mesh->edges.clear();
    mesh->edge_geom.clear();
}

static bool edge_joins(const MeshEdge* e, uint32_t p, uint32_t q)
{
    return (e->a == p && e->b == q) || (e->a == q && e->b == p);
}

static Vec3 face_normal_of(const MapObject* obj, uint32_t j)
{
    return obj->face_normals ? obj->face_normals[j] : not_a_vector();
}

void build_edge_table_linear(const MapObject* obj, PhysMesh* mesh)
{
    std::vector<MeshEdge>& edges = mesh->edges;
    edges.clear();
    edges.reserve((size_t)obj->face_count * 3);
    for (uint32_t i = 0; i < obj->face_count; ++i) {
        uint32_t a = obj->faces[i].v[0], b = obj->faces[i].v[1], c = obj->faces[i].v[2];
        Vec3 n = face_normal_of(obj, i);
        bool ab = true, bc = true, ca = true;
        size_t existing = edges.size();
        for (size_t k = 0; k < existing; ++k) {
            MeshEdge* e = &edges[k];
            if (edge_joins(e, a, b)) {
                ab = false;
                e->normal = vec3_add(e->normal, n);
            }
            if (edge_joins(e, b, c)) {
                bc = false;
                e->normal = vec3_add(e->normal, n);
            }
            if (edge_joins(e, c, a)) {
                ca = false;
                e->normal = vec3_add(e->normal, n);
            }
        }
        if (ab)
            edges.push_back(MeshEdge{a, b, n});
        if (bc)
            edges.push_back(MeshEdge{b, c, n});
        if (ca)
            edges.push_back(MeshEdge{c, a, n});
    }
}

static uint64_t edge_key(uint32_t p, uint32_t q)
{
    uint32_t lo = p < q ? p : q;
    uint32_t hi = p < q ? q : p;
    return ((uint64_t)hi << 32) | lo;
}

void build_edge_table_hashed(const MapObject* obj, PhysMesh* mesh)
{
    std::vector<MeshEdge>& edges = mesh->edges;
    edges.clear();
    edges.reserve((size_t)obj->face_count * 3);
    // Entries with the same vertex pair are chained: first entry per pair,
    // then the next entry of the same pair (a face naming one vertex twice
    // can add a pair twice).
    std::unordered_map<uint64_t, uint32_t> first;
    first.reserve((size_t)obj->face_count * 2);
    std::vector<uint32_t> next;
    next.reserve((size_t)obj->face_count * 3);
    const uint32_t none = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < obj->face_count; ++i) {
        uint32_t v[3] = {obj->faces[i].v[0], obj->faces[i].v[1], obj->faces[i].v[2]};
        Vec3 n = face_normal_of(obj, i);
        bool fresh[3];
        // The three edges ab, bc, ca in this order: for each entry, the
        // normal additions happen in the same order as in the linear build.
        for (int k = 0; k < 3; ++k) {
            fresh[k] = true;
            auto it = first.find(edge_key(v[k], v[(k + 1) % 3]));
            for (uint32_t e = it == first.end() ? none : it->second; e != none; e = next[e]) {
                fresh[k] = false;
                edges[e].normal = vec3_add(edges[e].normal, n);
            }
        }
        for (int k = 0; k < 3; ++k) {
            if (!fresh[k])
                continue;
            uint32_t p = v[k], q = v[(k + 1) % 3];
            uint32_t index = (uint32_t)edges.size();
            edges.push_back(MeshEdge{p, q, n});
            // Append at the end of the pair's chain.
            auto it = first.find(edge_key(p, q));
            next.push_back(none);
            if (it == first.end()) {
                first.emplace(edge_key(p, q), index);
            } else {
                uint32_t e = it->second;
                while (next[e] != none)
                    e = next[e];
                next[e] = index;
            }
        }
    }
}

void prepare_edge_geometry(PhysMesh* mesh)
{
    mesh->edge_geom.resize(mesh->edges.size());
    for (size_t k = 0; k < mesh->edges.size(); ++k) {
        const MeshEdge* e = &mesh->edges[k];
        PhysEdge* g = &mesh->edge_geom[k];
        g->a = mesh->vertices[e->a];
        g->b = mesh->vertices[e->b];
        g->length = vec3_length(vec3_sub(g->b, g->a));
        g->toward_a = vec3_unit(vec3_sub(g->a, g->b));
        g->normal = e->normal;
        g->normal_length = vec3_length(e->normal);
    }
}

// ---- per-feature measurements ---------------------------------------------

bool face_inside(const PhysFace* f, Vec3 p, float h, PhysSide* side)
{
    Vec3 hn = vec3_scale(f->normal, h);
    Vec3 q1 = vec3_sub(p, hn);
    Vec3 q2 = vec3_add(p, hn);
    Vec3 a = f->corner[0];
    Vec3 q;
    if (vec3_length(vec3_sub(q2, a)) < vec3_length(vec3_sub(q1, a))) {
        q = q2;
        *side = PHYS_SIDE_BACK;
    } else {
        q = q1;
        *side = PHYS_SIDE_FRONT;
    }
    for (int k = 0; k < 3; ++k) {
        Vec3 u = vec3_unit(vec3_cross(f->side[k], vec3_sub(q, f->corner[k])));
        Vec3 w = f->side_normal[k];
        // Written so that a not-a-number component fails the triple.
        if (!((double)std::fabs(u.x - w.x) < INSIDE_TOLERANCE && (double)std::fabs(u.y - w.y) < INSIDE_TOLERANCE &&
              (double)std::fabs(u.z - w.z) < INSIDE_TOLERANCE))
            return false;
    }
    return true;
}

bool edge_measure(const PhysEdge* e, Vec3 p, float* dist, PhysSide* side)
{
    float len = e->length;
    float da = vec3_length(vec3_sub(e->a, p));
    float db = vec3_length(vec3_sub(e->b, p));
    float t = ((len * len + db * db) - da * da) / (2.0f * len);
    if (t < 0.0f || t > len)
        return false;
    *dist = std::sqrt(db * db - t * t);
    Vec3 foot = vec3_add(e->b, vec3_scale(e->toward_a, t));
    Vec3 r = vec3_sub(p, foot);
    float ratio = vec3_dot(e->normal, r) / (e->normal_length * vec3_length(r));
    *side = ratio >= 0.0f ? PHYS_SIDE_FRONT : PHYS_SIDE_BACK;
    return true;
}

PhysSide vertex_side(Vec3 p, Vec3 v, Vec3 k)
{
    Vec3 r = vec3_sub(p, v);
    float ratio = vec3_dot(k, r) / (vec3_length(k) * vec3_length(r));
    return ratio > 0.0f ? PHYS_SIDE_FRONT : PHYS_SIDE_BACK;
}

PhysSide classify_cell_exhaustive(const PhysMesh* mesh, Vec3 p)
{
    const Vec3* verts = mesh->vertices.data();
    size_t nv = mesh->vertices.size();
    float d0 = vertex_distance(p, verts[0]);
    float best_vertex = d0;
    size_t vertex = 0;
    for (size_t i = 1; i < nv; ++i) {
        float d = vertex_distance(p, verts[i]);
        if (d < best_vertex) {
            best_vertex = d;
            vertex = i;
        }
    }
    float best_face = 10.0f * d0;
    float best_edge = 10.0f * d0;
    PhysSide face_sd = PHYS_SIDE_NONE;
    PhysSide edge_sd = PHYS_SIDE_NONE;
    for (const PhysFace& f : mesh->faces) {
        float h = std::fabs(face_plane_value(&f, p));
        PhysSide sd;
        if (face_inside(&f, p, h, &sd) && best_face > h) {
            best_face = h;
            face_sd = sd;
        }
    }
    for (const PhysEdge& e : mesh->edge_geom) {
        float dist;
        PhysSide sd;
        if (edge_measure(&e, p, &dist, &sd) && best_edge >= dist) {
            best_edge = dist;
            edge_sd = sd;
        }
    }
    PhysSide vertex_sd = vertex_side(p, verts[vertex], mesh->vertex_normals[vertex]);
    return decide_class(best_vertex, vertex_sd, best_edge, edge_sd, best_face, face_sd);
}

// ---- progress -----------------------------------------------------------

void progress_start(PhysProgress* pr, FILE* out, uint64_t total)
{
    pr->out = out;
    pr->count = 0;
    pr->total = total;
    pr->printed = 0;
}

void progress_advance(PhysProgress* pr, uint64_t cells)
{
    pr->count += cells;
    // Never more than 55 even if the count ran past the total.
    float due = ((float)pr->count * 55.0f) / (float)pr->total;
    int due_dots = due < 55.0f ? (int)due : 55;
    while (pr->printed < due_dots) {
        std::fputs(".", pr->out);
        ++pr->printed;
    }
}
