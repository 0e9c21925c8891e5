// Hand-built objects for the collision field tests: MapObject records with
// vertices, faces as placement leaves them, face and vertex normals and the
// placement box, plus a runner that captures the transcript.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "map_format.h"
#include "phys_info.h"

struct TestMesh {
    std::vector<Vec3> vertices;
    std::vector<MapFace> faces;  // stored order: the normal is (b - a) x (c - a)
};

// Face normals unit((b - a) x (c - a)), vertex normals the unit sum of the
// normals of the faces using the vertex (once per face), box from the
// vertices' extent. The caller releases the result with clear_object.
inline MapObject make_object(const TestMesh& m)
{
    MapObject obj{};
    uint32_t nv = (uint32_t)m.vertices.size(), nf = (uint32_t)m.faces.size();
    obj.vertex_count = nv;
    obj.face_count = nf;
    obj.vertices = (Vec3*)std::calloc(nv ? nv : 1, sizeof(Vec3));
    obj.vertex_normals = (Vec3*)std::calloc(nv ? nv : 1, sizeof(Vec3));
    obj.face_normals = (Vec3*)std::calloc(nf ? nf : 1, sizeof(Vec3));
    obj.faces = (MapFace*)std::calloc(nf ? nf : 1, sizeof(MapFace));
    for (uint32_t i = 0; i < nv; ++i)
        obj.vertices[i] = m.vertices[i];
    for (uint32_t j = 0; j < nf; ++j) {
        obj.faces[j] = m.faces[j];
        Vec3 a = m.vertices[m.faces[j].v[0]], b = m.vertices[m.faces[j].v[1]], c = m.vertices[m.faces[j].v[2]];
        obj.face_normals[j] = vec3_unit(vec3_cross(vec3_sub(b, a), vec3_sub(c, a)));
    }
    for (uint32_t i = 0; i < nv; ++i) {
        Vec3 sum{0.0f, 0.0f, 0.0f};
        for (uint32_t j = 0; j < nf; ++j) {
            const uint32_t* v = m.faces[j].v;
            if (v[0] == i || v[1] == i || v[2] == i)
                sum = vec3_add(sum, obj.face_normals[j]);
        }
        obj.vertex_normals[i] = vec3_unit(sum);
    }
    Vec3 lo = nv ? m.vertices[0] : Vec3{0, 0, 0}, hi = lo;
    for (const Vec3& v : m.vertices) {
        lo = Vec3{std::fmin(lo.x, v.x), std::fmin(lo.y, v.y), std::fmin(lo.z, v.z)};
        hi = Vec3{std::fmax(hi.x, v.x), std::fmax(hi.y, v.y), std::fmax(hi.z, v.z)};
    }
    float box[6] = {lo.x, hi.x - lo.x, lo.y, hi.y - lo.y, lo.z, hi.z - lo.z};
    std::memcpy(obj.box, box, sizeof box);
    return obj;
}

// An axis-aligned box from lo to hi. With `inward` its faces are wound as
// placement leaves a model that was counter-clockwise seen from outside, so
// the normals point into the box; otherwise they point out.
inline TestMesh box_mesh(Vec3 lo, Vec3 hi, bool inward = true)
{
    TestMesh m;
    for (int i = 0; i < 8; ++i)
        m.vertices.push_back(Vec3{(i & 1) ? hi.x : lo.x, (i & 2) ? hi.y : lo.y, (i & 4) ? hi.z : lo.z});
    // Quads counter-clockwise seen from outside.
    static const uint32_t quads[6][4] = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4},
                                         {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};
    for (const auto& q : quads) {
        MapFace t1{{q[0], q[1], q[2]}}, t2{{q[0], q[2], q[3]}};
        if (inward) {
            std::swap(t1.v[0], t1.v[2]);
            std::swap(t2.v[0], t2.v[2]);
        }
        m.faces.push_back(t1);
        m.faces.push_back(t2);
    }
    return m;
}

// An icosahedron subdivided `levels` times, projected on a sphere; normals
// inward (as placement leaves an outward-wound model).
inline TestMesh sphere_mesh(Vec3 centre, float radius, int levels)
{
    const float t = (1.0f + std::sqrt(5.0f)) / 2.0f;
    std::vector<Vec3> v = {{-1, t, 0}, {1, t, 0},  {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                           {0, -1, -t}, {0, 1, -t}, {t, 0, -1},  {t, 0, 1},  {-t, 0, -1}, {-t, 0, 1}};
    std::vector<MapFace> f = {{{0, 11, 5}}, {{0, 5, 1}},  {{0, 1, 7}},   {{0, 7, 10}}, {{0, 10, 11}},
                              {{1, 5, 9}},  {{5, 11, 4}}, {{11, 10, 2}}, {{10, 7, 6}}, {{7, 1, 8}},
                              {{3, 9, 4}},  {{3, 4, 2}},  {{3, 2, 6}},   {{3, 6, 8}},  {{3, 8, 9}},
                              {{4, 9, 5}},  {{2, 4, 11}}, {{6, 2, 10}},  {{8, 6, 7}},  {{9, 8, 1}}};
    for (int l = 0; l < levels; ++l) {
        std::vector<MapFace> nf;
        std::vector<std::pair<uint64_t, uint32_t>> mids;
        auto midpoint = [&](uint32_t a, uint32_t b) {
            uint64_t key = a < b ? ((uint64_t)a << 32 | b) : ((uint64_t)b << 32 | a);
            for (auto& e : mids)
                if (e.first == key)
                    return e.second;
            v.push_back(vec3_scale(vec3_add(v[a], v[b]), 0.5f));
            mids.push_back({key, (uint32_t)v.size() - 1});
            return (uint32_t)v.size() - 1;
        };
        for (const MapFace& face : f) {
            uint32_t a = face.v[0], b = face.v[1], c = face.v[2];
            uint32_t ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
            nf.push_back({{a, ab, ca}});
            nf.push_back({{b, bc, ab}});
            nf.push_back({{c, ca, bc}});
            nf.push_back({{ab, bc, ca}});
        }
        f.swap(nf);
    }
    TestMesh m;
    for (const Vec3& p : v)
        m.vertices.push_back(vec3_add(centre, vec3_scale(vec3_unit(p), radius)));
    for (MapFace face : f) {
        std::swap(face.v[0], face.v[2]);
        m.faces.push_back(face);
    }
    return m;
}

// A map header for one object.
inline MapHeader phys_header(int field_size, int grid_size, int geom1, int geom2)
{
    MapHeader h{};
    h.field_size = (uint16_t)field_size;
    h.grid_size = (uint16_t)grid_size;
    h.objs_num = 1;
    h.geom1 = (uint16_t)geom1;
    h.geom2 = (uint16_t)geom2;
    return h;
}

// Runs the computation into `field` and returns the transcript; `ok`
// receives the result.
inline std::string run_phys(const MapHeader& h, const MapObject& obj, NormalField* field, PhysSearch search,
                            bool* ok = nullptr, int threads = 1)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    PhysOptions options;
    options.search = search;
    options.threads = threads;
    bool r = calc_phys_info(&h, &obj, field, &options, out);
    std::fclose(out);
    std::string s(buf, len);
    std::free(buf);
    if (ok)
        *ok = r;
    return s;
}

inline const int16_t* field_cell(const NormalField* f, int x, int y, int z)
{
    int g = f->grid_size;
    return f->cells + 3 * (((int64_t)x * g + y) * g + z);
}

inline bool cell_is_zero(const NormalField* f, int x, int y, int z)
{
    const int16_t* c = field_cell(f, x, y, z);
    return c[0] == 0 && c[1] == 0 && c[2] == 0;
}
