// Preparation, per-feature measurements and progress dots shared by both
// searches.
#include "phys_geom.h"

#include <cmath>
#include <limits>

#include "compile_report.h"

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

Vec3 phys_face_normal(const MapObject* obj, uint32_t j)
{
    return obj->face_normals ? obj->face_normals[j] : not_a_vector();
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

// ---- progress -----------------------------------------------------------

void progress_start(PhysProgress* pr, FILE* out, uint64_t total)
{
    pr->out = out;
    pr->count = 0;
    pr->total = total;
    pr->printed = 0;
    ++pr->stage;
    if (pr->line)
        progress_line_stage(pr->line, pr->stage);
}

void progress_advance(PhysProgress* pr, uint64_t cells)
{
    pr->count += cells;
    // Never more than 55 even if the count ran past the total.
    float due = ((float)pr->count * 55.0f) / (float)pr->total;
    int due_dots = due < 55.0f ? (int)due : 55;
    if (pr->printed >= due_dots)
        return;
    while (pr->printed < due_dots) {
        std::fputs(".", pr->out);
        ++pr->printed;
    }
    if (pr->line)
        progress_line_update(pr->line, pr->count, pr->total);
}
