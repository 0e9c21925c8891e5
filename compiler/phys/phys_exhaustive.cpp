// The exhaustive form of every step of the collision field: every cell
// measures every vertex, edge and face, the frontier list is searched for
// duplicates, and every push cell looks at every target. The fast forms
// must give exactly what these give.
#include <cmath>

#include "phys_geom.h"
#include "phys_stages.h"

// ---- edge table -----------------------------------------------------------

static bool edge_joins(const MeshEdge* e, uint32_t p, uint32_t q)
{
    return (e->a == p && e->b == q) || (e->a == q && e->b == p);
}

void build_edge_table_linear(const MapObject* obj, PhysMesh* mesh)
{
    std::vector<MeshEdge>& edges = mesh->edges;
    edges.clear();
    edges.reserve((size_t)obj->face_count * 3);
    for (uint32_t i = 0; i < obj->face_count; ++i) {
        uint32_t a = obj->faces[i].v[0], b = obj->faces[i].v[1], c = obj->faces[i].v[2];
        Vec3 n = phys_face_normal(obj, i);
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

// ---- one cell ---------------------------------------------------------------

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

// ---- stage 1 ------------------------------------------------------------

void classify_cells_exhaustive(const PhysMesh* mesh, const PhysBox* box, int64_t g, uint8_t* marks,
                               PhysProgress* pr)
{
    if (box_cell_count(box) == 0)
        return;
    for (int64_t x = box->lo[0]; x <= box->hi[0]; ++x) {
        for (int64_t y = box->lo[1]; y <= box->hi[1]; ++y) {
            for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z) {
                Vec3 p = {(float)x, (float)y, (float)z};
                if (!mesh->vertices.empty() && classify_cell_exhaustive(mesh, p) == PHYS_SIDE_FRONT)
                    marks[cell_index(x, y, z, g)] = CELL_PUSH | CELL_REGION;
                progress_advance(pr, 1);
            }
        }
    }
}

// ---- stage 2 ------------------------------------------------------------

static bool frontier_contains(const std::vector<FrontierCell>* list, int64_t x, int64_t y, int64_t z)
{
    for (const FrontierCell& c : *list) {
        if (c.x == x && c.y == y && c.z == z)
            return true;
    }
    return false;
}

void grow_region_exhaustive(PhysBox* box, int64_t g, uint8_t* marks, int64_t geom1, int64_t geom2,
                           std::vector<FrontierCell>* targets, PhysProgress* pr)
{
    std::vector<FrontierCell>* list = targets;
    list->clear();
    for (int64_t m = geom1 + geom2; m >= 0; --m) {
        if (box_cell_count(box) != 0) {
            for (int64_t x = box->lo[0]; x <= box->hi[0]; ++x) {
                for (int64_t y = box->lo[1]; y <= box->hi[1]; ++y) {
                    for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z) {
                        if (marks[cell_index(x, y, z, g)] & CELL_REGION) {
                            for (const int* d : NEIGHBOUR_STEPS) {
                                int64_t nx = x + d[0], ny = y + d[1], nz = z + d[2];
                                if (nx < 0 || ny < 0 || nz < 0 || nx >= g || ny >= g || nz >= g)
                                    continue;
                                if (marks[cell_index(nx, ny, nz, g)] & CELL_REGION)
                                    continue;
                                if (frontier_contains(list, nx, ny, nz))
                                    continue;
                                list->push_back(FrontierCell{(uint16_t)nx, (uint16_t)ny, (uint16_t)nz});
                            }
                        }
                        progress_advance(pr, 1);
                    }
                }
            }
        }
        if (m > 0) {
            uint8_t flags = m >= geom2 + 1 ? (CELL_PUSH | CELL_REGION) : CELL_REGION;
            for (const FrontierCell& c : *list)
                marks[cell_index(c.x, c.y, c.z, g)] |= flags;
            list->clear();
            grow_box(box, g);
            pr->total = pr->count + (uint64_t)m * box_cell_count(box) + 1;
        }
    }
}

// ---- stage 3 ------------------------------------------------------------

bool fill_vectors_exhaustive(const PhysBox* box, int64_t g, const uint8_t* marks,
                            const std::vector<FrontierCell>* targets, NormalField* field, PhysProgress* pr,
                            PushFault* fault)
{
    if (box_cell_count(box) == 0)
        return true;
    size_t nt = targets->size();
    return store_pushes(box, g, marks, targets, field, pr, fault, [&](int64_t x, int64_t y, int64_t z) {
        size_t best = 0;
        int64_t best_d2 = -1;
        for (size_t k = 0; k < nt; ++k) {
            const FrontierCell& t = (*targets)[k];
            int64_t dx = x - t.x, dy = y - t.y, dz = z - t.z;
            int64_t d2 = dx * dx + dy * dy + dz * dz;
            if (best_d2 < 0 || d2 < best_d2) {
                best_d2 = d2;
                best = k;
            }
        }
        return best;
    });
}
