// The 3DS reader against files of our own writer, hand-corrupted files,
// lib3ds as an independent reader, and real files no one here wrote.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compiler_test_util.h"
#include "mesh_3ds.h"
#include "mesh_3ds_writer.h"

#ifdef KSM_HAVE_LIB3DS
#include <lib3ds/file.h>
#include <lib3ds/mesh.h>
#endif

using namespace ksm_test;

namespace {

uint16_t get_u16(const std::vector<uint8_t>& b, size_t at) { return (uint16_t)(b[at] | (b[at + 1] << 8)); }

uint32_t get_u32(const std::vector<uint8_t>& b, size_t at)
{
    return (uint32_t)b[at] | ((uint32_t)b[at + 1] << 8) | ((uint32_t)b[at + 2] << 16) | ((uint32_t)b[at + 3] << 24);
}

void set_u16(std::vector<uint8_t>* b, size_t at, uint16_t v)
{
    (*b)[at] = (uint8_t)v;
    (*b)[at + 1] = (uint8_t)(v >> 8);
}

void set_u32(std::vector<uint8_t>* b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = (uint8_t)(v >> (8 * i));
}

struct ChunkAt {
    uint16_t id;
    size_t offset;
};

// Walks the chunk tree the way the format nests it (independently of the
// reader's sibling scan), listing every chunk in file order.
void walk_chunks(const std::vector<uint8_t>& b, size_t pos, size_t end, std::vector<ChunkAt>* out)
{
    while (pos + 6 <= end) {
        uint16_t id = get_u16(b, pos);
        uint32_t len = get_u32(b, pos + 2);
        out->push_back(ChunkAt{id, pos});
        size_t body = pos + 6;
        if (id == 0x4D4D || id == 0x3D3D || id == 0x4100 || id == 0xAFFF || id == 0xA020) {
            walk_chunks(b, body, pos + len, out);
        } else if (id == 0x4000) {
            size_t p = body;
            while (b[p])
                ++p;
            walk_chunks(b, p + 1, pos + len, out);
        } else if (id == 0x4120) {
            walk_chunks(b, body + 2 + 8 * (size_t)get_u16(b, body), pos + len, out);
        }
        if (len < 6)
            return;
        pos += len;
    }
}

// Offset of the `nth` chunk with `id` in file order.
size_t chunk_offset(const std::vector<uint8_t>& b, uint16_t id, int nth = 0)
{
    std::vector<ChunkAt> chunks;
    walk_chunks(b, 0, b.size(), &chunks);
    for (const ChunkAt& c : chunks)
        if (c.id == id && nth-- == 0)
            return c.offset;
    ADD_FAILURE() << "no chunk " << std::hex << id;
    return 0;
}

std::vector<uint8_t> build(const Scene3ds& scene)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(build_3ds_file(&scene, &bytes));
    return bytes;
}

Scene3ds scene_of(const Object3ds& obj, bool extras = true)
{
    Scene3ds scene{};
    scene.version_chunks = extras;
    scene.material = extras;
    scene.objects.push_back(obj);
    return scene;
}

Mesh3dsStatus read_mesh(const std::vector<uint8_t>& bytes, MapObject* obj)
{
    Mesh3dsFile file{bytes.data(), bytes.size()};
    return read_3ds_mesh_bytes(&file, obj);
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, 4) == 0; }

// The object holds exactly the writer's mesh.
void expect_mesh(const MapObject& obj, const Object3ds& src)
{
    EXPECT_STREQ(obj.name, src.name.c_str());
    ASSERT_EQ(obj.vertex_count, src.vertices.size());
    ASSERT_EQ(obj.face_count, src.faces.size());
    for (size_t i = 0; i < src.vertices.size(); ++i) {
        EXPECT_TRUE(same_bits(obj.vertices[i].x, src.vertices[i].x));
        EXPECT_TRUE(same_bits(obj.vertices[i].y, src.vertices[i].y));
        EXPECT_TRUE(same_bits(obj.vertices[i].z, src.vertices[i].z));
    }
    for (size_t i = 0; i < src.faces.size(); ++i)
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(obj.faces[i].v[k], src.faces[i].v[k]);
    if (!src.has_mapping) {
        EXPECT_EQ(obj.tex_coords, nullptr);
        return;
    }
    ASSERT_NE(obj.tex_coords, nullptr);
    size_t listed = src.mapping.size() / 2;
    for (size_t i = 0; i < src.vertices.size(); ++i) {
        float u = i < listed ? src.mapping[2 * i] : 0.0f;
        float v = i < listed ? src.mapping[2 * i + 1] : 0.0f;
        EXPECT_TRUE(same_bits(obj.tex_coords[i].x, u)) << i;
        EXPECT_TRUE(same_bits(obj.tex_coords[i].y, v)) << i;
        EXPECT_EQ(obj.tex_coords[i].z, 0.0f);
    }
}

}  // namespace

TEST(Mesh3dsReader, ReadsTheWritersMeshes)
{
    const Object3ds meshes[] = {make_box_object("box", Vec3{2, 3, 4}, true), make_box_object("plain", Vec3{1, 1, 1}, false),
                                make_sphere_object("ball", 3, true)};
    for (const Object3ds& src : meshes) {
        for (int extras = 0; extras < 2; ++extras) {
            MapObject obj{};
            Mesh3dsStatus s = read_mesh(build(scene_of(src, extras != 0)), &obj);
            ASSERT_EQ(s.result, MESH_READ_OK);
            expect_mesh(obj, src);
            clear_object(&obj);
        }
    }
}

TEST(Mesh3dsReader, FacesAreWidenedUnsignedAndFlagsDropped)
{
    Object3ds src = make_mesh_object("wide");
    for (int i = 0; i < 40000; ++i)
        src.vertices.push_back(Vec3{(float)i, 0.0f, (float)(i % 7)});
    src.faces.push_back(MapFace{{39999, 32768, 0}});
    src.faces.push_back(MapFace{{65535 - 25536, 1, 2}});
    std::vector<uint8_t> bytes = build(scene_of(src, false));
    // Odd flags words must not leak into the indices.
    size_t faces = chunk_offset(bytes, CHUNK_3DS_FACES);
    set_u16(&bytes, faces + 8 + 6, 0xFFFF);
    set_u16(&bytes, faces + 8 + 8 + 6, 0x8001);
    MapObject obj{};
    ASSERT_EQ(read_mesh(bytes, &obj).result, MESH_READ_OK);
    expect_mesh(obj, src);
    clear_object(&obj);
}

TEST(Mesh3dsReader, MappingListIsPaddedOrCutToTheVertexCount)
{
    // 3 entries for 8 vertices, none, and 12.
    for (int listed : {3, 0, 12}) {
        Object3ds src = make_box_object("box", Vec3{1, 1, 1}, false);
        src.has_mapping = true;
        for (int i = 0; i < 2 * listed; ++i)
            src.mapping.push_back(0.25f * (float)(i + 1));
        MapObject obj{};
        ASSERT_EQ(read_mesh(build(scene_of(src)), &obj).result, MESH_READ_OK);
        expect_mesh(obj, src);
        clear_object(&obj);
    }
}

TEST(Mesh3dsReader, OnlyTheFirstObjectIsReadAndTheScanPassesItsEnd)
{
    Scene3ds scene = scene_of(make_box_object("first", Vec3{1, 1, 1}, false));
    scene.objects.push_back(make_sphere_object("second", 1, true));
    const std::vector<uint8_t> base = build(scene);
    MapObject obj{};
    ASSERT_EQ(read_mesh(base, &obj).result, MESH_READ_OK);
    expect_mesh(obj, scene.objects[0]);  // the second object's mapping lies inside it, unseen

    // The scans for the mesh's lists go on past the end of the first object
    // through the chunks that follow it: a mapping list placed after the
    // objects, at the level of the object blocks, is taken as the first
    // object's.
    std::vector<uint8_t> b = base;
    const float uv[4] = {0.5f, 0.25f, 0.75f, 1.0f};
    std::vector<uint8_t> chunk = {0x40, 0x41, 0, 0, 0, 0, 2, 0};
    for (float f : uv) {
        uint8_t raw[4];
        std::memcpy(raw, &f, 4);
        chunk.insert(chunk.end(), raw, raw + 4);
    }
    set_u32(&chunk, 2, (uint32_t)chunk.size());
    b.insert(b.end(), chunk.begin(), chunk.end());
    for (uint16_t id : {(uint16_t)0x4D4D, CHUNK_3DS_EDITOR}) {
        size_t at = chunk_offset(b, id);
        set_u32(&b, at + 2, get_u32(b, at + 2) + (uint32_t)chunk.size());
    }
    ASSERT_EQ(read_mesh(b, &obj).result, MESH_READ_OK);
    ASSERT_NE(obj.tex_coords, nullptr);
    EXPECT_EQ(obj.tex_coords[1].x, 0.75f);
    EXPECT_EQ(obj.tex_coords[1].y, 1.0f);
    EXPECT_EQ(obj.tex_coords[2].x, 0.0f);

    // So does a broken length there: the second object's block of length 0
    // stops the search for the first object's mapping list.
    b = base;
    set_u32(&b, chunk_offset(b, CHUNK_3DS_OBJECT, 1) + 2, 0);
    Mesh3dsStatus s = read_mesh(b, &obj);
    EXPECT_EQ(s.result, MESH_BAD_CHUNK_LENGTH);
    EXPECT_EQ(s.offset, chunk_offset(base, CHUNK_3DS_OBJECT, 1));
    clear_object(&obj);
}

TEST(Mesh3dsReader, CameraOrLightAsFirstObjectHasNoTriangularMesh)
{
    for (Object3dsKind kind : {OBJECT_3DS_CAMERA, OBJECT_3DS_LIGHT}) {
        Object3ds first{};
        first.kind = kind;
        first.name = kind == OBJECT_3DS_CAMERA ? "cam" : "lamp";
        first.position = Vec3{1, 2, 3};
        Scene3ds scene{};
        scene.objects.push_back(first);
        scene.objects.push_back(make_box_object("box", Vec3{1, 1, 1}, false));
        std::vector<uint8_t> bytes = build(scene);
        MapObject obj{};
        EXPECT_EQ(read_mesh(bytes, &obj).result, MESH_NO_TRI_MESH);
        EXPECT_EQ(obj.vertices, nullptr);
        EXPECT_EQ(obj.vertex_count, 0u);
        EXPECT_EQ(obj.name[0], '\0');
#ifdef KSM_HAVE_LIB3DS
        // lib3ds reads the mesh that follows; we do not.
        ScratchDir dir;
        write_bytes(dir / "cam.3ds", bytes);
        Lib3dsFile* file = lib3ds_file_load((dir / "cam.3ds").c_str());
        ASSERT_NE(file, nullptr);
        Lib3dsMesh* mesh = lib3ds_file_mesh_by_name(file, "box");
        ASSERT_NE(mesh, nullptr);
        EXPECT_EQ(mesh->points, 8u);
        lib3ds_file_free(file);
#endif
    }
}

TEST(Mesh3dsReader, ObjectNamesKeep255CharactersAndTheScanGoesOnAfterThem)
{
    // read_chunk_name on its own: terminated, cut at 255, cut by the end.
    std::vector<uint8_t> bytes = {'a', 'b', 0, 'z'};
    Mesh3dsFile file{bytes.data(), bytes.size()};
    char name[256];
    EXPECT_EQ(read_chunk_name(&file, 0, name), 3u);
    EXPECT_STREQ(name, "ab");
    EXPECT_EQ(read_chunk_name(&file, 3, name), 4u);
    EXPECT_STREQ(name, "z");
    std::vector<uint8_t> long_name(300, 'n');
    file = Mesh3dsFile{long_name.data(), long_name.size()};
    EXPECT_EQ(read_chunk_name(&file, 10, name), 265u);
    EXPECT_EQ(std::strlen(name), 255u);

    MapObject obj{};
    // 254 characters and the zero byte: an ordinary name.
    ASSERT_EQ(read_mesh(build(scene_of(make_box_object(std::string(254, 'A').c_str(), Vec3{1, 1, 1}, false))), &obj)
                  .result,
              MESH_READ_OK);
    EXPECT_EQ(std::strlen(obj.name), 254u);

    // 255 characters: the scan starts at the zero byte, inside the name's
    // chunk bytes, and finds garbage instead of the mesh.
    std::vector<uint8_t> b255 = build(scene_of(make_box_object(std::string(255, 'A').c_str(), Vec3{1, 1, 1}, false)));
    EXPECT_EQ(read_mesh(b255, &obj).result, MESH_NO_TRI_MESH);

    // Drop that zero byte: the mesh chunk (whose id starts with a zero
    // byte) now begins right after the 255 characters read, and is found.
    size_t object = chunk_offset(b255, CHUNK_3DS_OBJECT);
    b255.erase(b255.begin() + (long)(object + 6 + 255));
    for (uint16_t id : {(uint16_t)0x4D4D, CHUNK_3DS_EDITOR}) {
        size_t at = chunk_offset(b255, id);
        set_u32(&b255, at + 2, get_u32(b255, at + 2) - 1);
    }
    set_u32(&b255, object + 2, get_u32(b255, object + 2) - 1);
    ASSERT_EQ(read_mesh(b255, &obj).result, MESH_READ_OK);
    EXPECT_EQ(std::string(obj.name), std::string(255, 'A'));
    EXPECT_EQ(obj.vertex_count, 8u);
    clear_object(&obj);
}

TEST(Mesh3dsReader, CorruptFilesAreRejectedWithTheirReason)
{
    const Scene3ds good = scene_of(make_box_object("box", Vec3{1, 1, 1}, true));
    const std::vector<uint8_t> base = build(good);
    struct Case {
        const char* what;
        Mesh3dsResult want;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    auto with = [&](const char* what, Mesh3dsResult want, auto change) {
        std::vector<uint8_t> b = base;
        change(&b);
        cases.push_back(Case{what, want, b});
    };
    with("zero length ahead of the object", MESH_BAD_CHUNK_LENGTH,
         [](std::vector<uint8_t>* b) { set_u32(b, chunk_offset(*b, 0x3D3E) + 2, 0); });
    with("length shorter than a header", MESH_BAD_CHUNK_LENGTH,
         [](std::vector<uint8_t>* b) { set_u32(b, chunk_offset(*b, 0xAFFF) + 2, 5); });
    with("no 3D editor chunk", MESH_NO_EDITOR,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_EDITOR), 0x3D3C); });
    with("no object block", MESH_NO_OBJECT,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_OBJECT), 0x4001); });
    with("no triangular mesh", MESH_NO_TRI_MESH,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_TRI_MESH), 0x4101); });
    with("no vertices list", MESH_NO_VERTICES_LIST,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_VERTICES), 0x4111); });
    with("no faces description", MESH_NO_FACES_LIST,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_FACES), 0x4121); });
    with("vertex count beyond the file", MESH_LIST_TRUNCATED,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_VERTICES) + 6, 60000); });
    with("face count beyond the file", MESH_LIST_TRUNCATED,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_FACES) + 6, 60000); });
    with("mapping count beyond the file", MESH_LIST_TRUNCATED,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_MAPPING) + 6, 60000); });
    with("face index equal to the vertex count", MESH_BAD_FACE_INDEX,
         [](std::vector<uint8_t>* b) { set_u16(b, chunk_offset(*b, CHUNK_3DS_FACES) + 8 + 5 * 8 + 2, 8); });
    with("no vertices", MESH_NO_VERTICES, [](std::vector<uint8_t>* b) {
        set_u16(b, chunk_offset(*b, CHUNK_3DS_VERTICES) + 6, 0);
    });
    with("file cut inside the faces list", MESH_LIST_TRUNCATED,
         [](std::vector<uint8_t>* b) { b->resize(chunk_offset(*b, CHUNK_3DS_FACES) + 20); });

    for (const Case& c : cases) {
        MapObject obj{};
        Mesh3dsStatus s = read_mesh(c.bytes, &obj);
        EXPECT_EQ(s.result, c.want) << c.what;
        EXPECT_EQ(obj.vertices, nullptr) << c.what;
        EXPECT_EQ(obj.faces, nullptr) << c.what;
        EXPECT_EQ(obj.tex_coords, nullptr) << c.what;
        EXPECT_EQ(obj.vertex_count, 0u) << c.what;
        char text[160];
        format_mesh_3ds_status(&s, text, sizeof text);
        EXPECT_GT(std::strlen(text), 10u) << c.what;
        if (c.want == MESH_BAD_FACE_INDEX) {
            EXPECT_EQ(s.face, 5u);
            EXPECT_EQ(s.index, 8u);
            EXPECT_EQ(s.count, 8u);
        }
        if (c.want == MESH_BAD_CHUNK_LENGTH) {
            EXPECT_EQ(s.offset, std::string(c.what).find("zero") == 0 ? chunk_offset(base, 0x3D3E)
                                                                       : chunk_offset(base, 0xAFFF));
        }
    }
}

TEST(Mesh3dsReader, NoPrefixOrSingleByteCorruptionReadsOutOfBounds)
{
    // Every cut of the file and every byte set to 0x00, 0x7F and 0xFF: the
    // reader may fail but only ever returns a consistent mesh. Run under
    // AddressSanitizer this also proves no read leaves the file image.
    const std::vector<uint8_t> base = build(scene_of(make_box_object("b", Vec3{1, 1, 1}, true)));
    auto check = [](const std::vector<uint8_t>& bytes) {
        // A heap copy of exactly the file's size, so a sanitizer sees any
        // read past its end.
        uint8_t* data = (uint8_t*)std::malloc(bytes.size() ? bytes.size() : 1);
        if (!bytes.empty())
            std::memcpy(data, bytes.data(), bytes.size());
        Mesh3dsFile file{data, bytes.size()};
        MapObject obj{};
        if (read_3ds_mesh_bytes(&file, &obj).result == MESH_READ_OK) {
            EXPECT_GT(obj.vertex_count, 0u);
            for (uint32_t i = 0; i < obj.face_count; ++i)
                for (int k = 0; k < 3; ++k)
                    EXPECT_LT(obj.faces[i].v[k], obj.vertex_count);
        }
        clear_object(&obj);
        std::free(data);
    };
    for (size_t n = 0; n < base.size(); ++n)
        check(std::vector<uint8_t>(base.begin(), base.begin() + (long)n));
    for (size_t i = 0; i < base.size(); ++i) {
        for (uint8_t v : {(uint8_t)0x00, (uint8_t)0x7F, (uint8_t)0xFF}) {
            std::vector<uint8_t> b = base;
            b[i] = v;
            check(b);
        }
    }
}

TEST(Mesh3dsReader, UnreadableFileIsReported)
{
    ScratchDir dir;
    MapObject obj{};
    EXPECT_EQ(read_3ds_mesh((dir / "absent.3ds").c_str(), &obj).result, MESH_CANNOT_READ);
    write_bytes(dir / "empty.3ds", {});
    EXPECT_EQ(read_3ds_mesh((dir / "empty.3ds").c_str(), &obj).result, MESH_NO_EDITOR);
}

TEST(Mesh3dsWriter, SpheresAreClosedAndWoundOutward)
{
    for (int n = 0; n <= 3; ++n) {
        Object3ds s = make_sphere_object("s", n, false);
        size_t faces = 20;
        for (int i = 0; i < n; ++i)
            faces *= 4;
        ASSERT_EQ(s.faces.size(), faces);
        EXPECT_EQ(s.vertices.size(), faces / 2 + 2);  // Euler: V - E + F = 2
        for (const Vec3& v : s.vertices)
            EXPECT_NEAR(vec3_length(v), 1.0f, 1e-6f);
        for (const MapFace& f : s.faces) {
            Vec3 a = s.vertices[f.v[0]], b = s.vertices[f.v[1]], c = s.vertices[f.v[2]];
            Vec3 normal = vec3_cross(vec3_sub(b, a), vec3_sub(c, a));
            EXPECT_GT(vec3_dot(normal, vec3_add(vec3_add(a, b), c)), 0.0f);
        }
    }
    Object3ds too_many = make_mesh_object("big");
    too_many.vertices.resize(70000);
    Scene3ds scene = scene_of(too_many);
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(build_3ds_file(&scene, &bytes));
}

#ifdef KSM_HAVE_LIB3DS

namespace {

// Our reader and lib3ds agree on the first object of the file at `path`.
void expect_same_as_lib3ds(const std::string& path)
{
    SCOPED_TRACE(path);
    MapObject ours{};
    Mesh3dsStatus s = read_3ds_mesh(path.c_str(), &ours);
    char reason[160];
    format_mesh_3ds_status(&s, reason, sizeof reason);
    ASSERT_EQ(s.result, MESH_READ_OK) << reason;
    Lib3dsFile* file = lib3ds_file_load(path.c_str());
    ASSERT_NE(file, nullptr);
    Lib3dsMesh* mesh = lib3ds_file_mesh_by_name(file, ours.name);
    ASSERT_NE(mesh, nullptr) << ours.name;
    ASSERT_EQ(ours.vertex_count, mesh->points);
    ASSERT_EQ(ours.face_count, mesh->faces);
    for (uint32_t i = 0; i < ours.vertex_count; ++i) {
        EXPECT_TRUE(same_bits(ours.vertices[i].x, mesh->pointL[i].pos[0])) << i;
        EXPECT_TRUE(same_bits(ours.vertices[i].y, mesh->pointL[i].pos[1])) << i;
        EXPECT_TRUE(same_bits(ours.vertices[i].z, mesh->pointL[i].pos[2])) << i;
    }
    for (uint32_t i = 0; i < ours.face_count; ++i)
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(ours.faces[i].v[k], mesh->faceL[i].points[k]) << i;
    if (mesh->texels == 0) {
        EXPECT_EQ(ours.tex_coords, nullptr);
    } else {
        ASSERT_NE(ours.tex_coords, nullptr);
        for (uint32_t i = 0; i < ours.vertex_count; ++i) {
            float u = i < mesh->texels ? mesh->texelL[i][0] : 0.0f;
            float v = i < mesh->texels ? mesh->texelL[i][1] : 0.0f;
            EXPECT_TRUE(same_bits(ours.tex_coords[i].x, u)) << i;
            EXPECT_TRUE(same_bits(ours.tex_coords[i].y, v)) << i;
        }
    }
    lib3ds_file_free(file);
    clear_object(&ours);
}

}  // namespace

TEST(Mesh3dsLib3ds, RealFilesReadAsLib3dsReadsThem)
{
    const std::filesystem::path models = "/usr/share/assimp/models/3DS";
    if (!std::filesystem::is_directory(models))
        GTEST_SKIP() << "the Debian package assimp-testmodels is not installed";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(models)) {
        std::string ext = entry.path().extension().string();
        if (ext != ".3ds" && ext != ".3DS")
            continue;
        expect_same_as_lib3ds(entry.path().string());
        ++files;
    }
    EXPECT_GE(files, 5);
}

TEST(Mesh3dsLib3ds, WriterFilesReadAsLib3dsReadsThem)
{
    ScratchDir dir;
    Object3ds flipped = make_sphere_object("flipped", 2, false);
    flip_object_faces(&flipped);
    const Object3ds meshes[] = {make_box_object("box", Vec3{2, 3, 4}, true), make_sphere_object("ball", 3, true),
                                flipped};
    int n = 0;
    for (const Object3ds& src : meshes) {
        for (int extras = 0; extras < 2; ++extras) {
            std::string path = dir / ("m" + std::to_string(n++) + ".3ds");
            Scene3ds scene = scene_of(src, extras != 0);
            ASSERT_TRUE(write_3ds_file(path.c_str(), &scene));
            expect_same_as_lib3ds(path);
            MapObject obj{};
            ASSERT_EQ(read_3ds_mesh(path.c_str(), &obj).result, MESH_READ_OK);
            expect_mesh(obj, src);
            clear_object(&obj);
        }
    }
}

#else

TEST(Mesh3dsLib3ds, RealFilesReadAsLib3dsReadsThem)
{
    GTEST_SKIP() << "lib3ds (Debian lib3ds-dev) was not found when the tests were configured";
}

#endif

TEST(Mesh3dsCompile, CorruptMeshesEndTheRunWithoutOutput)
{
    ScratchDir dir;
    std::vector<uint8_t> base = build(scene_of(make_box_object("box", Vec3{1, 1, 1}, true)));
    struct Case {
        std::string file;
        std::vector<uint8_t> bytes;
        std::string reason;
    };
    std::vector<Case> cases;
    std::vector<uint8_t> b = base;
    set_u32(&b, chunk_offset(b, 0x3D3E) + 2, 0);
    cases.push_back({"zero.3ds", b, "the chunk at byte "});
    b = base;
    set_u16(&b, chunk_offset(b, CHUNK_3DS_FACES) + 8, 9);
    cases.push_back({"index.3ds", b, "face 0 names vertex 9 of only 8"});
    b = base;
    set_u16(&b, chunk_offset(b, CHUNK_3DS_VERTICES) + 6, 60000);
    cases.push_back({"count.3ds", b, "the list of chunk 0x4110 at byte "});
    b = base;
    b.resize(chunk_offset(b, CHUNK_3DS_VERTICES) + 30);
    cases.push_back({"cut.3ds", b, "no faces description (chunk 0x4120)"});
    // A mesh whose vertices all coincide has a box without extent.
    Object3ds point = make_mesh_object("point");
    point.vertices = {Vec3{1, 2, 3}, Vec3{1, 2, 3}, Vec3{1, 2, 3}};
    point.faces = {MapFace{{0, 1, 2}}};
    cases.push_back({"point.3ds", build(scene_of(point)), "its rotated box has no extent"});
    cases.push_back({"text.3ds", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}, "no 3D editor chunk (0x3D3D)"});

    for (const Case& c : cases) {
        write_bytes(dir / ("src/" + c.file), c.bytes);
        std::string desc = "[main]\nfield_size=10\ngrid_size=10\nobjs_num=1\n[obj_0]\nfile=" + c.file +
                           "\nscale=5\npos_x=1\npos_y=1\npos_z=1\nrt_angle=0\nrt_x=0\nrt_y=1\nrt_z=0\ngeom1=1\ngeom2=0\n";
        write_text(dir / "m.ksd", desc);
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
        EXPECT_EQ(r.status, 1) << r.output;
        std::string head = "Object #0:\n  Read and compile... ERROR! BAD MESH \"src/" + c.file + "\": " + c.reason;
        EXPECT_NE(r.output.find(head), std::string::npos) << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - 2), "!\n");
        EXPECT_FALSE(path_exists(dir / "m.ksm")) << c.file;
    }
}
