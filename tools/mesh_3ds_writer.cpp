#include "mesh_3ds_writer.h"

#include "file_bytes.h"

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

// Chunk ids written here.
const uint16_t CHUNK_MAIN = 0x4D4D;
const uint16_t CHUNK_FILE_VERSION = 0x0002;
const uint16_t CHUNK_EDITOR = 0x3D3D;
const uint16_t CHUNK_MESH_VERSION = 0x3D3E;
const uint16_t CHUNK_MASTER_SCALE = 0x0100;
const uint16_t CHUNK_MATERIAL = 0xAFFF;
const uint16_t CHUNK_MATERIAL_NAME = 0xA000;
const uint16_t CHUNK_MATERIAL_DIFFUSE = 0xA020;
const uint16_t CHUNK_COLOR_24 = 0x0011;
const uint16_t CHUNK_OBJECT = 0x4000;
const uint16_t CHUNK_TRI_MESH = 0x4100;
const uint16_t CHUNK_VERTICES = 0x4110;
const uint16_t CHUNK_FACES = 0x4120;
const uint16_t CHUNK_FACE_MATERIAL = 0x4130;
const uint16_t CHUNK_MAPPING = 0x4140;
const uint16_t CHUNK_MESH_MATRIX = 0x4160;
const uint16_t CHUNK_LIGHT = 0x4600;
const uint16_t CHUNK_CAMERA = 0x4700;

static const char* const MATERIAL_NAME = "ksm_white";

// ---- byte buffer -----------------------------------------------------------

static void put_u8(std::vector<uint8_t>* b, uint8_t v) { b->push_back(v); }

static void put_u16(std::vector<uint8_t>* b, uint16_t v)
{
    uint8_t e[2];
    store_u16_le(e, v);
    b->insert(b->end(), e, e + 2);
}

static void put_u32(std::vector<uint8_t>* b, uint32_t v)
{
    uint8_t e[4];
    store_u32_le(e, v);
    b->insert(b->end(), e, e + 4);
}

static void put_f32(std::vector<uint8_t>* b, float v)
{
    uint8_t e[4];
    store_f32_le(e, v);
    b->insert(b->end(), e, e + 4);
}

static void put_vec3(std::vector<uint8_t>* b, Vec3 v)
{
    put_f32(b, v.x);
    put_f32(b, v.y);
    put_f32(b, v.z);
}

static void put_cstring(std::vector<uint8_t>* b, const std::string& s)
{
    b->insert(b->end(), s.begin(), s.end());
    b->push_back(0);
}

// Starts a chunk and returns its offset; `end_chunk` fills in its length.
static size_t begin_chunk(std::vector<uint8_t>* b, uint16_t id)
{
    size_t at = b->size();
    put_u16(b, id);
    put_u32(b, 0);
    return at;
}

static void end_chunk(std::vector<uint8_t>* b, size_t at)
{
    store_u32_le(b->data() + at + 2, (uint32_t)(b->size() - at));
}

// ---- chunks ----------------------------------------------------------------

static void put_material(std::vector<uint8_t>* b)
{
    size_t mat = begin_chunk(b, CHUNK_MATERIAL);
    size_t name = begin_chunk(b, CHUNK_MATERIAL_NAME);
    put_cstring(b, MATERIAL_NAME);
    end_chunk(b, name);
    size_t diffuse = begin_chunk(b, CHUNK_MATERIAL_DIFFUSE);
    size_t color = begin_chunk(b, CHUNK_COLOR_24);
    put_u8(b, 255);
    put_u8(b, 255);
    put_u8(b, 255);
    end_chunk(b, color);
    end_chunk(b, diffuse);
    end_chunk(b, mat);
}

static void put_tri_mesh(std::vector<uint8_t>* b, const Object3ds* obj, bool material)
{
    size_t mesh = begin_chunk(b, CHUNK_TRI_MESH);

    size_t verts = begin_chunk(b, CHUNK_VERTICES);
    put_u16(b, (uint16_t)obj->vertices.size());
    for (const Vec3& v : obj->vertices)
        put_vec3(b, v);
    end_chunk(b, verts);

    if (obj->has_mapping) {
        size_t map = begin_chunk(b, CHUNK_MAPPING);
        size_t n = obj->mapping.size() / 2;
        put_u16(b, (uint16_t)n);
        for (size_t i = 0; i < 2 * n; ++i)
            put_f32(b, obj->mapping[i]);
        end_chunk(b, map);
    }

    // Identity placement of the mesh data: the vertices are already where
    // they belong.
    size_t matrix = begin_chunk(b, CHUNK_MESH_MATRIX);
    static const float identity[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    for (float e : identity)
        put_f32(b, e);
    end_chunk(b, matrix);

    size_t faces = begin_chunk(b, CHUNK_FACES);
    put_u16(b, (uint16_t)obj->faces.size());
    for (const MapFace& f : obj->faces) {
        put_u16(b, (uint16_t)f.v[0]);
        put_u16(b, (uint16_t)f.v[1]);
        put_u16(b, (uint16_t)f.v[2]);
        put_u16(b, FACE_3DS_FLAGS);
    }
    if (material) {
        size_t group = begin_chunk(b, CHUNK_FACE_MATERIAL);
        put_cstring(b, MATERIAL_NAME);
        put_u16(b, (uint16_t)obj->faces.size());
        for (size_t i = 0; i < obj->faces.size(); ++i)
            put_u16(b, (uint16_t)i);
        end_chunk(b, group);
    }
    end_chunk(b, faces);

    end_chunk(b, mesh);
}

static void put_object(std::vector<uint8_t>* b, const Object3ds* obj, bool material)
{
    size_t block = begin_chunk(b, CHUNK_OBJECT);
    put_cstring(b, obj->name);
    if (obj->kind == OBJECT_3DS_MESH) {
        put_tri_mesh(b, obj, material);
    } else if (obj->kind == OBJECT_3DS_CAMERA) {
        size_t cam = begin_chunk(b, CHUNK_CAMERA);
        put_vec3(b, obj->position);
        put_vec3(b, obj->target);
        put_f32(b, 0.0f);   // roll (degrees)
        put_f32(b, 45.0f);  // lens (mm)
        end_chunk(b, cam);
    } else {
        size_t light = begin_chunk(b, CHUNK_LIGHT);
        put_vec3(b, obj->position);
        end_chunk(b, light);
    }
    end_chunk(b, block);
}

static bool fits_format(const Object3ds* obj)
{
    if (obj->kind != OBJECT_3DS_MESH)
        return true;
    if (obj->vertices.size() > 0xFFFF || obj->faces.size() > 0xFFFF ||
        obj->mapping.size() / 2 > 0xFFFF)
        return false;
    for (const MapFace& f : obj->faces)
        for (uint32_t v : f.v)
            if (v > 0xFFFF)
                return false;
    return true;
}

bool build_3ds_file(const Scene3ds* scene, std::vector<uint8_t>* out)
{
    for (const Object3ds& obj : scene->objects)
        if (!fits_format(&obj))
            return false;
    std::vector<uint8_t> b;
    size_t main_chunk = begin_chunk(&b, CHUNK_MAIN);
    if (scene->version_chunks) {
        size_t version = begin_chunk(&b, CHUNK_FILE_VERSION);
        put_u32(&b, 3);
        end_chunk(&b, version);
    }
    size_t editor = begin_chunk(&b, CHUNK_EDITOR);
    if (scene->version_chunks) {
        size_t version = begin_chunk(&b, CHUNK_MESH_VERSION);
        put_u32(&b, 3);
        end_chunk(&b, version);
    }
    if (scene->material)
        put_material(&b);
    if (scene->version_chunks) {
        size_t scale = begin_chunk(&b, CHUNK_MASTER_SCALE);
        put_f32(&b, 1.0f);
        end_chunk(&b, scale);
    }
    for (const Object3ds& obj : scene->objects)
        put_object(&b, &obj, scene->material);
    end_chunk(&b, editor);
    end_chunk(&b, main_chunk);
    out->swap(b);
    return true;
}

bool write_3ds_file(const char* path, const Scene3ds* scene)
{
    std::vector<uint8_t> bytes;
    if (!build_3ds_file(scene, &bytes))
        return false;
    FILE* f = std::fopen(path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}

// ---- shapes ----------------------------------------------------------------

Object3ds make_mesh_object(const char* name)
{
    Object3ds obj{};
    obj.kind = OBJECT_3DS_MESH;
    obj.name = name;
    obj.has_mapping = false;
    return obj;
}

Object3ds make_box_object(const char* name, Vec3 size, bool mapping)
{
    Object3ds obj = make_mesh_object(name);
    float hx = size.x / 2.0f, hy = size.y / 2.0f, hz = size.z / 2.0f;
    // Vertex i has x from bit 0, y from bit 1, z from bit 2.
    for (int i = 0; i < 8; ++i)
        obj.vertices.push_back(Vec3{(i & 1) ? hx : -hx, (i & 2) ? hy : -hy, (i & 4) ? hz : -hz});
    // Each side as a quad wound counter-clockwise seen from outside.
    static const uint32_t quads[6][4] = {
        {0, 2, 3, 1},  // z = -h
        {4, 5, 7, 6},  // z = +h
        {0, 1, 5, 4},  // y = -h
        {2, 6, 7, 3},  // y = +h
        {0, 4, 6, 2},  // x = -h
        {1, 3, 7, 5},  // x = +h
    };
    for (const auto& q : quads) {
        obj.faces.push_back(MapFace{{q[0], q[1], q[2]}});
        obj.faces.push_back(MapFace{{q[0], q[2], q[3]}});
    }
    if (mapping) {
        obj.has_mapping = true;
        for (int i = 0; i < 8; ++i) {
            obj.mapping.push_back((i & 1) ? 1.0f : 0.0f);
            obj.mapping.push_back((i & 2) ? 1.0f : 0.0f);
        }
    }
    return obj;
}

// Puts a point onto the unit sphere (double arithmetic, rounded once).
static Vec3 unit_double(double x, double y, double z)
{
    double inv = 1.0 / std::sqrt(x * x + y * y + z * z);
    return Vec3{(float)(x * inv), (float)(y * inv), (float)(z * inv)};
}

// Makes sure a face is wound counter-clockwise seen from outside a shape
// around the origin: its right-hand normal must point away from the origin.
static MapFace outward_face(const std::vector<Vec3>& v, uint32_t a, uint32_t b, uint32_t c)
{
    Vec3 n = vec3_cross(vec3_sub(v[b], v[a]), vec3_sub(v[c], v[a]));
    Vec3 centre = vec3_add(vec3_add(v[a], v[b]), v[c]);
    if (vec3_dot(n, centre) < 0.0f)
        return MapFace{{a, c, b}};
    return MapFace{{a, b, c}};
}

Object3ds make_sphere_object(const char* name, int subdivisions, bool mapping)
{
    Object3ds obj = make_mesh_object(name);
    if (subdivisions < 0)
        subdivisions = 0;
    if (subdivisions > 5)
        subdivisions = 5;
    const double phi = (1.0 + std::sqrt(5.0)) / 2.0;
    static const int corners[12][3] = {{-1, 1, 0}, {1, 1, 0}, {-1, -1, 0}, {1, -1, 0},
                                       {0, -1, 1}, {0, 1, 1}, {0, -1, -1}, {0, 1, -1},
                                       {1, 0, -1}, {1, 0, 1}, {-1, 0, -1}, {-1, 0, 1}};
    // The icosahedron's corners are the cyclic permutations of (0, ±1, ±phi);
    // the table gives the signs, the golden ratio replaces the second 1.
    for (const auto& c : corners) {
        double x = c[0], y = c[1], z = c[2];
        if (c[2] == 0)
            y *= phi;
        else if (c[0] == 0)
            z *= phi;
        else
            x *= phi;
        obj.vertices.push_back(unit_double(x, y, z));
    }
    static const uint32_t tris[20][3] = {
        {0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
        {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
        {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
    std::vector<MapFace> faces;
    for (const auto& t : tris)
        faces.push_back(outward_face(obj.vertices, t[0], t[1], t[2]));

    for (int level = 0; level < subdivisions; ++level) {
        std::map<std::pair<uint32_t, uint32_t>, uint32_t> midpoints;
        auto midpoint = [&](uint32_t a, uint32_t b) {
            std::pair<uint32_t, uint32_t> key(a < b ? a : b, a < b ? b : a);
            auto hit = midpoints.find(key);
            if (hit != midpoints.end())
                return hit->second;
            const Vec3& p = obj.vertices[a];
            const Vec3& q = obj.vertices[b];
            obj.vertices.push_back(unit_double((double)p.x + q.x, (double)p.y + q.y, (double)p.z + q.z));
            uint32_t index = (uint32_t)obj.vertices.size() - 1;
            midpoints[key] = index;
            return index;
        };
        std::vector<MapFace> finer;
        for (const MapFace& f : faces) {
            uint32_t a = f.v[0], b = f.v[1], c = f.v[2];
            uint32_t ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
            finer.push_back(MapFace{{a, ab, ca}});
            finer.push_back(MapFace{{b, bc, ab}});
            finer.push_back(MapFace{{c, ca, bc}});
            finer.push_back(MapFace{{ab, bc, ca}});
        }
        faces.swap(finer);
    }
    obj.faces = faces;

    if (mapping) {
        obj.has_mapping = true;
        const double pi = 3.14159265358979323846;
        for (const Vec3& v : obj.vertices) {
            obj.mapping.push_back((float)(0.5 + std::atan2((double)v.z, (double)v.x) / (2.0 * pi)));
            obj.mapping.push_back((float)(0.5 + std::asin((double)v.y) / pi));
        }
    }
    return obj;
}

void flip_object_faces(Object3ds* obj)
{
    for (MapFace& f : obj->faces) {
        uint32_t b = f.v[1];
        f.v[1] = f.v[2];
        f.v[2] = b;
    }
}

MapObject map_object_from(const Object3ds* src)
{
    MapObject obj{};
    obj.vertex_count = (uint32_t)src->vertices.size();
    obj.face_count = (uint32_t)src->faces.size();
    obj.vertices = (Vec3*)std::calloc(obj.vertex_count + 1, sizeof(Vec3));
    obj.faces = (MapFace*)std::calloc(obj.face_count + 1, sizeof(MapFace));
    if (!src->vertices.empty())
        std::memcpy(obj.vertices, src->vertices.data(), src->vertices.size() * sizeof(Vec3));
    if (!src->faces.empty())
        std::memcpy(obj.faces, src->faces.data(), src->faces.size() * sizeof(MapFace));
    return obj;
}
