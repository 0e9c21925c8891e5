// Compiled map writers and loader.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "../test_files.h"
#include "map_format.h"

namespace {

// CTest runs every test in its own process, several at once: names carry
// the process id so that they never share a file.
std::string temp_path(const char* name)
{
    return ::testing::TempDir() + "map_" + std::to_string(getpid()) + "_" + name;
}

// A small map: two objects (one with texture coordinates), a 4^3 field with
// three non-empty cells, a start layer and two teleports.
struct SampleMap {
    std::vector<Vec3> verts{{1, 2, 3}, {4, 5, 6}, {7, 8, 9.5f}, {-1, 0.25f, 3}};
    std::vector<Vec3> normals{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}};
    std::vector<Vec3> tex{{0.5f, 0.25f, 0}, {1, 0, 0}, {0, 1, 0}, {0.75f, 0.125f, 0}};
    std::vector<MapFace> faces{{{0, 1, 2}}, {{2, 3, 0}}};
    MapObject a{}, b{};
    NormalField field{};
    SampleMap()
    {
        a.vertices = verts.data();
        a.vertex_normals = normals.data();
        a.faces = faces.data();
        a.vertex_count = 4;
        a.face_count = 2;
        b = a;
        b.tex_coords = tex.data();
        b.face_count = 1;
        alloc_normal_field(&field, 4);
        int16_t* c = field.cells;
        c[3 * 0 + 2] = -7;
        c[3 * 21 + 0] = 200;
        c[3 * 21 + 1] = -200;
        c[3 * 63 + 1] = 1;
    }
    ~SampleMap() { free_normal_field(&field); }
    void write(const std::string& path, bool start, int teleports)
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        MapHeader h{};
        h.field_size = 12;
        h.grid_size = 4;
        h.objs_num = 2;
        write_map_header(f, &h);
        write_object_block(&a, f);
        write_object_block(&b, f);
        write_cell_stream(&field, f);
        if (start) {
            LayerRecord r{LAYER_TAG_START, {1, 2, 3, 4, 5, 6}};
            write_layer_record(&r, f);
        }
        for (int k = 0; k < teleports; ++k) {
            LayerRecord r{(uint8_t)(k + 1), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}};
            write_layer_record(&r, f);
        }
        LayerRecord end{LAYER_TAG_END, {}};
        write_layer_record(&end, f);
        std::fclose(f);
    }
};

struct LoaderTest : ::testing::Test {
    LoadedMap map{};
    const MapHeader& header = map.header;
    void TearDown() override { free_loaded_map(&map); }
};

}  // namespace

TEST(MapWriter, EmptyMapIsExactlyFifteenBytes)
{
    std::string path = temp_path("empty.ksm");
    FILE* f = std::fopen(path.c_str(), "wb");
    MapHeader h{};
    h.field_size = 10;
    h.grid_size = 2;
    NormalField field;
    ASSERT_TRUE(alloc_normal_field(&field, 2));
    write_map_header(f, &h);
    write_cell_stream(&field, f);
    LayerRecord end{LAYER_TAG_END, {}};
    write_layer_record(&end, f);
    std::fclose(f);
    free_normal_field(&field);
    std::vector<uint8_t> expect{'K', 'S', 'M', 'P', 0x0A, 0, 0x02, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ksm_test::read_bytes(path), expect);
}

TEST(MapWriter, SizeFormulaAndLayerTags)
{
    SampleMap m;
    struct Case { bool start; int teleports; uint8_t tag_after; } cases[] = {
        {false, 0, 0xFF}, {true, 0, 0x00}, {false, 2, 0x01}, {true, 3, 0x00}};
    for (const Case& c : cases) {
        std::string path = temp_path("sized.ksm");
        m.write(path, c.start, c.teleports);
        std::vector<uint8_t> bytes = ksm_test::read_bytes(path);
        // 10 + sum(16 + 24V + 12F + 8T) + 10 cells + 4 + 7 start + 13 per teleport + 1
        size_t objects = (16 + 24 * 4 + 12 * 2 + 0) + (16 + 24 * 4 + 12 * 1 + 8 * 4);
        size_t expect = 10 + objects + 10 * 3 + 4 + (c.start ? 7 : 0) + 13 * c.teleports + 1;
        ASSERT_EQ(bytes.size(), expect);
        size_t term = 10 + objects + 10 * 3;
        EXPECT_EQ(bytes[term], 0xFF);
        EXPECT_EQ(bytes[term + 3], 0xFF);
        EXPECT_EQ(bytes[term + 4], c.tag_after);
        EXPECT_EQ(bytes.back(), 0xFF);
    }
}

TEST_F(LoaderTest, RoundTripKeepsEveryField)
{
    SampleMap m;
    std::string path = temp_path("round.ksm");
    m.write(path, true, 1);
    ASSERT_EQ(load_compiled_map_file(&map, path.c_str()), MAP_LOADED);
    EXPECT_EQ(header.field_size, 12);
    EXPECT_EQ(header.grid_size, 4);
    EXPECT_EQ(header.objs_num, 2);
    ASSERT_EQ(map.object_count, 2u);
    const MapObject& a = map.objects[0];
    const MapObject& b = map.objects[1];
    ASSERT_EQ(a.vertex_count, 4u);
    ASSERT_EQ(a.face_count, 2u);
    EXPECT_EQ(std::memcmp(a.vertices, m.verts.data(), 4 * sizeof(Vec3)), 0);
    EXPECT_EQ(std::memcmp(a.vertex_normals, m.normals.data(), 4 * sizeof(Vec3)), 0);
    EXPECT_EQ(a.faces[1].v[0], 2u);
    EXPECT_EQ(a.faces[1].v[2], 0u);
    EXPECT_EQ(a.tex_coords, nullptr);  // no texture coordinates written
    EXPECT_EQ(a.face_normals, nullptr);
    ASSERT_NE(b.tex_coords, nullptr);
    EXPECT_EQ(b.tex_coords[3].x, 0.75f);
    EXPECT_EQ(b.tex_coords[3].y, 0.125f);
    EXPECT_EQ(b.tex_coords[3].z, 0.0f);
    EXPECT_EQ(b.face_count, 1u);
    EXPECT_EQ(std::memcmp(header.field.cells, m.field.cells, 64 * 3 * sizeof(int16_t)), 0);
    EXPECT_EQ(map.layers_fault, nullptr);
    EXPECT_TRUE(map.layers.has_start);
    EXPECT_EQ(map.layers.start.a[2], 3);
    EXPECT_EQ(map.layers.start.b[0], 4);
    ASSERT_EQ(map.layers.teleport_count, 1);
    EXPECT_EQ(map.layers.teleports[0].from.a[0], 1);
    EXPECT_EQ(map.layers.teleports[0].to.b[2], 12);
}

TEST_F(LoaderTest, BrokenLayersMeanNoLayersInAUsableMap)
{
    SampleMap m;
    std::string good = temp_path("layers.ksm");
    m.write(good, true, 2);
    std::vector<uint8_t> bytes = ksm_test::read_bytes(good);
    size_t layers_at = bytes.size() - (7 + 2 * 13 + 1);
    std::vector<uint8_t> none(bytes.begin(), bytes.begin() + layers_at);
    std::vector<uint8_t> short_start(bytes.begin(), bytes.begin() + layers_at + 4);
    std::vector<uint8_t> no_end(bytes.begin(), bytes.end() - 1);
    std::vector<uint8_t> skipped = bytes;
    skipped[layers_at + 7] = 2;  // teleport tags 2, 2
    std::vector<uint8_t> start_late = bytes;
    start_late[layers_at + 7 + 13] = 0;  // a start layer after teleport 1
    for (const auto& data : {none, short_start, no_end, skipped, start_late}) {
        std::string path = temp_path("broken_layers.ksm");
        ksm_test::write_bytes(path, data);
        ASSERT_EQ(load_compiled_map_file(&map, path.c_str()), MAP_LOADED) << data.size();
        EXPECT_NE(map.layers_fault, nullptr) << data.size();
        EXPECT_FALSE(map.layers.has_start);
        EXPECT_EQ(map.layers.teleport_count, 0);
        EXPECT_EQ(map.object_count, 2u);
    }
    ASSERT_EQ(load_compiled_map_file(&map, good.c_str()), MAP_LOADED);
    EXPECT_EQ(map.layers_fault, nullptr);
    EXPECT_EQ(map.layers.teleport_count, 2);
}

TEST_F(LoaderTest, SecondLoadReplacesTheFirst)
{
    SampleMap m;
    std::string first = temp_path("first.ksm");
    m.write(first, false, 0);
    ASSERT_EQ(load_compiled_map_file(&map, first.c_str()), MAP_LOADED);

    std::string second = temp_path("second.ksm");
    FILE* f = std::fopen(second.c_str(), "wb");
    MapHeader h{};
    h.field_size = 3;
    h.grid_size = 1;
    write_map_header(f, &h);
    write_s32(f, 0);
    write_s16(f, 1);
    write_s16(f, 2);
    write_s16(f, 3);
    write_s32(f, -1);
    std::fclose(f);
    ASSERT_EQ(load_compiled_map_file(&map, second.c_str()), MAP_LOADED);
    EXPECT_EQ(header.field_size, 3);
    EXPECT_EQ(header.grid_size, 1);
    EXPECT_EQ(header.objs_num, 0);
    EXPECT_EQ(map.object_count, 0u);
    EXPECT_EQ(header.field.cells[2], 3);
}

TEST_F(LoaderTest, CorruptFilesLeaveTheStateUntouched)
{
    SampleMap m;
    std::string good = temp_path("good.ksm");
    m.write(good, false, 0);
    ASSERT_EQ(load_compiled_map_file(&map, good.c_str()), MAP_LOADED);
    std::vector<uint8_t> bytes = ksm_test::read_bytes(good);
    const int16_t* field_before = header.field.cells;
    const MapObject* objs_before = map.objects;

    auto expect_rejected = [&](const std::vector<uint8_t>& data, const char* what) {
        std::string path = temp_path("bad.ksm");
        ksm_test::write_bytes(path, data);
        MapLoadResult r = load_compiled_map_file(&map, path.c_str());
        EXPECT_NE(r, MAP_LOADED) << what;
        EXPECT_NE(std::string(map_load_result_text(r)), "") << what;
        EXPECT_EQ(header.field.cells, field_before) << what;
        EXPECT_EQ(map.objects, objs_before) << what;
        EXPECT_EQ(header.grid_size, 4) << what;
        EXPECT_EQ(header.objs_num, 2) << what;
    };

    // Every prefix that ends before the cell terminator is complete.
    size_t terminator_end = bytes.size() - 1;
    for (size_t len = 0; len < terminator_end; ++len)
        expect_rejected(std::vector<uint8_t>(bytes.begin(), bytes.begin() + len),
                        ("prefix " + std::to_string(len)).c_str());

    std::vector<uint8_t> magic = bytes;
    magic[3] = 'Q';
    expect_rejected(magic, "magic");
    EXPECT_EQ(load_compiled_map_file(&map, "/nonexistent/map.ksm"), MAP_MISSING);

    // A cell index at grid_size^3 = 64 in place of the first record's 0.
    size_t cells_at = bytes.size() - 1 - 4 - 30;
    std::vector<uint8_t> index = bytes;
    index[cells_at] = 64;
    expect_rejected(index, "cell index");

    // A vertex count of 65535 with the rest of the file far too short.
    std::vector<uint8_t> count = bytes;
    count[10] = 0xFF;
    count[11] = 0xFF;
    expect_rejected(count, "vertex count");
    std::vector<uint8_t> huge = bytes;
    huge[10] = huge[11] = huge[12] = huge[13] = 0xFF;
    expect_rejected(huge, "4G vertex count");

    // A face naming vertex 4 of 4.
    std::vector<uint8_t> face = bytes;
    face[10 + 4 + 48 + 4] = 4;
    expect_rejected(face, "face index");

    // objs_num far beyond what the file holds.
    std::vector<uint8_t> objs = bytes;
    objs[8] = objs[9] = 0xFF;
    expect_rejected(objs, "object count");

    // A grid whose field cannot be allocated.
    std::vector<uint8_t> grid = bytes;
    grid[6] = grid[7] = 0xFF;
    expect_rejected(grid, "grid size");
}

TEST(ClearObject, ReleasesArraysKeepsCountsAndBox)
{
    MapObject obj{};
    obj.vertices = (Vec3*)std::calloc(3, sizeof(Vec3));
    obj.faces = (MapFace*)std::calloc(1, sizeof(MapFace));
    obj.vertex_count = 3;
    obj.face_count = 1;
    obj.box[1] = 2.5f;
    std::strcpy(obj.name, "cube");
    clear_object(&obj);
    EXPECT_EQ(obj.vertices, nullptr);
    EXPECT_EQ(obj.faces, nullptr);
    EXPECT_EQ(obj.vertex_count, 3u);
    EXPECT_EQ(obj.box[1], 2.5f);
    EXPECT_EQ(obj.name[0], 0);
    clear_object(&obj);  // a second release is harmless
}
