// Differential fuzz target: the collision field of a small random map by
// the exhaustive search and by the fast one (on one to three threads) must
// give the same cells, the same transcript and the same outcome. The input
// bytes choose the grid, the field size, geom1 and geom2, and one to three
// small meshes: triangle soups (open, degenerate, repeated corners), boxes
// and copies of the previous mesh, each with its own placement. Any
// difference aborts.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "map_format.h"
#include "phys_info.h"
#include "placement.h"
#include "../compiler/test_phys_meshes.h"

namespace {

// The input as a stream of small numbers; zeros once it runs out.
struct Bytes {
    const uint8_t* data;
    size_t size;
    size_t at;
};

int next_byte(Bytes* b)
{
    return b->at < b->size ? b->data[b->at++] : 0;
}

// A coordinate in -2..6: on a grid point, a half or a quarter, or a finer
// fraction, so that cell points fall on planes, edges and corners.
float next_coord(Bytes* b)
{
    int v = next_byte(b) | next_byte(b) << 8;
    float unit = (v & 3) == 0 ? 1.0f : (v & 3) == 1 ? 0.5f : (v & 3) == 2 ? 0.25f : 1.0f / 64.0f;
    return -2.0f + std::fmod((float)(v >> 2) * unit, 8.0f);
}

TestMesh next_mesh(Bytes* b, const TestMesh* previous)
{
    TestMesh m;
    int kind = next_byte(b) % 4;
    if (kind == 1 && previous && !previous->vertices.empty()) {  // a duplicate, maybe flipped
        m = *previous;
        if (next_byte(b) & 1)
            for (MapFace& f : m.faces)
                std::swap(f.v[0], f.v[2]);
        return m;
    }
    if (kind == 2) {  // a box between two corners, wound either way
        Vec3 lo{next_coord(b), next_coord(b), next_coord(b)};
        Vec3 hi{lo.x + next_coord(b) + 2.0f, lo.y + next_coord(b) + 2.0f, lo.z + next_coord(b) + 2.0f};
        return box_mesh(lo, hi, next_byte(b) & 1);
    }
    // A soup: open, with faces that repeat a corner or have no area.
    int nv = 1 + next_byte(b) % 9;
    for (int i = 0; i < nv; ++i)
        m.vertices.push_back(Vec3{next_coord(b), next_coord(b), next_coord(b)});
    int nf = next_byte(b) % 13;
    for (int j = 0; j < nf; ++j)
        m.faces.push_back(MapFace{{(uint32_t)(next_byte(b) % nv), (uint32_t)(next_byte(b) % nv),
                                   (uint32_t)(next_byte(b) % nv)}});
    return m;
}

// The mesh as a placed object (as the objects section leaves it); false
// when placement refuses it (the compile would stop there).
bool place(const TestMesh& m, Bytes* b, int field_size, MapObject* obj)
{
    *obj = MapObject{};
    obj->vertex_count = (uint32_t)m.vertices.size();
    obj->face_count = (uint32_t)m.faces.size();
    obj->vertices = (Vec3*)std::calloc(obj->vertex_count + 1, sizeof(Vec3));
    obj->faces = (MapFace*)std::calloc(obj->face_count + 1, sizeof(MapFace));
    if (!obj->vertices || !obj->faces)
        return false;
    std::memcpy(obj->vertices, m.vertices.data(), m.vertices.size() * sizeof(Vec3));
    if (!m.faces.empty())
        std::memcpy(obj->faces, m.faces.data(), m.faces.size() * sizeof(MapFace));
    float span = (float)field_size;
    float pos[3];
    for (float& p : pos)
        p = -0.25f * span + (float)next_byte(b) / 255.0f * span;
    float scale = 0.5f + (float)next_byte(b) / 255.0f * span;
    float angle = (float)next_byte(b) / 40.0f;
    Vec3 axis{(float)(next_byte(b) % 3), (float)(next_byte(b) % 3), 1.0f};
    return place_object(obj, pos[0], pos[1], pos[2], scale, angle, axis.x, axis.y, axis.z) == PLACE_OK &&
           calc_face_normals(obj) && calc_vertex_normals(obj);
}

// One object into `field`; the transcript is returned in `text`.
bool run(const MapHeader& h, const MapObject& obj, NormalField* field, PhysSearch search, int threads,
         std::string* text)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    if (!out)
        std::abort();
    PhysOptions options;
    options.search = search;
    options.threads = threads;
    bool ok = calc_phys_info(&h, &obj, field, &options, out);
    std::fclose(out);
    text->assign(buf, len);
    std::free(buf);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes b{data, size, 0};
    MapHeader h{};
    h.grid_size = (uint16_t)(1 + next_byte(&b) % 20);
    h.field_size = (uint16_t)(1 + next_byte(&b) % 24);
    int objects = 1 + next_byte(&b) % 3;
    int threads = 1 + next_byte(&b) % 3;
    NormalField slow{0, nullptr}, fast{0, nullptr};
    if (!alloc_normal_field(&slow, h.grid_size) || !alloc_normal_field(&fast, h.grid_size))
        std::abort();
    TestMesh previous;
    for (int n = 0; n < objects; ++n) {
        TestMesh m = next_mesh(&b, n ? &previous : nullptr);
        previous = m;
        h.geom1 = (uint16_t)(next_byte(&b) % 4);
        h.geom2 = (uint16_t)(next_byte(&b) % 4);
        MapObject obj;
        bool placed = place(m, &b, h.field_size, &obj);
        if (placed) {
            std::string text_slow, text_fast;
            bool ok_slow = run(h, obj, &slow, PHYS_SEARCH_EXHAUSTIVE, 1, &text_slow);
            bool ok_fast = run(h, obj, &fast, PHYS_SEARCH_FAST, threads, &text_fast);
            if (ok_slow != ok_fast || text_slow != text_fast) {
                std::fprintf(stderr, "searches differ on object %d:\nexhaustive:\n%s\nfast:\n%s\n", n,
                             text_slow.c_str(), text_fast.c_str());
                std::abort();
            }
            placed = ok_slow;
        }
        clear_object(&obj);
        if (!placed)
            break;
    }
    size_t bytes = (size_t)field_cell_count(h.grid_size) * 3 * sizeof(int16_t);
    if (std::memcmp(slow.cells, fast.cells, bytes) != 0) {
        std::fprintf(stderr, "searches differ in the field cells\n");
        std::abort();
    }
    free_normal_field(&slow);
    free_normal_field(&fast);
    return 0;
}
