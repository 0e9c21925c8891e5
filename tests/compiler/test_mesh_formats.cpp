// Meshes in other formats (through assimp), objects picked by name, the
// output kept after a failed compile, and the notes on standard error.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compiler_test_util.h"
#include "mesh_3ds.h"
#include "mesh_obj_stl_writer.h"

using namespace ksm_test;

namespace {

const std::string MODELS = "/usr/share/assimp/models/";

// One object section placing `file`, with any extra keys appended.
std::string object_text(int n, const std::string& file, const std::string& place, const std::string& extra = "")
{
    return "[obj_" + std::to_string(n) + "]\nfile=" + file + "\n" + place + "geom1=1\ngeom2=1\n" + extra;
}

std::string map_text(int field, int grid, const std::vector<std::string>& objects)
{
    std::string text = "[main]\nfield_size=" + std::to_string(field) + "\ngrid_size=" + std::to_string(grid) +
                       "\nobjs_num=" + std::to_string(objects.size()) + "\n";
    for (const std::string& o : objects)
        text += o;
    return text;
}

const std::string TILTED = "scale=8\npos_x=2\npos_y=2\npos_z=2\nrt_angle=0.3\nrt_x=1\nrt_y=1\nrt_z=0\n";
const std::string TURNED = "scale=6\npos_x=11\npos_y=3\npos_z=10\nrt_angle=0.5\nrt_x=0\nrt_y=1\nrt_z=0\n";

// A compiled map loaded back: its objects' vertex counts and its field.
struct Loaded {
    bool ok;
    std::vector<uint32_t> vertex_counts;
    std::vector<int16_t> cells;
};

Loaded load_map(const std::string& path)
{
    Loaded l{false, {}, {}};
    LoadedMap map{};
    if (load_compiled_map_file(&map, path.c_str()) != MAP_LOADED)
        return l;
    l.ok = true;
    for (uint32_t i = 0; i < map.object_count; ++i)
        l.vertex_counts.push_back(map.objects[i].vertex_count);
    const MapHeader& h = map.header;
    l.cells.assign(h.field.cells, h.field.cells + 3 * field_cell_count(h.grid_size));
    free_loaded_map(&map);
    return l;
}

size_t filled_cells(const Loaded& l)
{
    size_t n = 0;
    for (size_t i = 0; i < l.cells.size(); i += 3)
        n += (l.cells[i] || l.cells[i + 1] || l.cells[i + 2]) ? 1 : 0;
    return n;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

void write_unit_box(const std::string& path)
{
    Scene3ds box{};
    box.objects.push_back(make_box_object("box", Vec3{1, 1, 1}, false));
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(write_3ds_file(path.c_str(), &box));
}

bool have_models()
{
    return std::filesystem::exists(MODELS + "3DS/cubes_with_alpha.3DS");
}

}  // namespace

TEST(MeshFormats, SameTrianglesInEveryFormatGiveTheSameField)
{
    ScratchDir dir;
    Scene3ds sphere{}, box{};
    sphere.objects.push_back(make_sphere_object("ball", 2, true));
    box.objects.push_back(make_box_object("box", Vec3{2, 3, 4}, false));
    std::vector<Loaded> maps;
    std::vector<std::string> transcripts;
    for (std::string ext : {"3ds", "obj", "stl"}) {
        std::string s = dir / ("src/ball." + ext), b = dir / ("src/box." + ext);
        std::filesystem::create_directories(dir / "src");
        bool written = ext == "3ds"   ? write_3ds_file(s.c_str(), &sphere) && write_3ds_file(b.c_str(), &box)
                       : ext == "obj" ? write_obj_file(s.c_str(), &sphere) && write_obj_file(b.c_str(), &box)
                                      : write_stl_file(s.c_str(), &sphere) && write_stl_file(b.c_str(), &box);
        ASSERT_TRUE(written) << ext;
        write_text(dir / (ext + ".ksd"),
                   map_text(20, 24, {object_text(0, "ball." + ext, TILTED), object_text(1, "box." + ext, TURNED)}));
        RunResult r = run_compiler_in(dir.path, {ext + ".ksd", ext + ".ksm", "src"});
        ASSERT_EQ(r.status, 0) << r.output << r.errors;
        transcripts.push_back(replace_all(r.output, ext + ".ksm", "X"));
        maps.push_back(load_map(dir / (ext + ".ksm")));
        ASSERT_TRUE(maps.back().ok) << ext;
    }
    EXPECT_GT(filled_cells(maps[0]), 100u);
    for (size_t i = 1; i < maps.size(); ++i) {
        EXPECT_TRUE(maps[i].cells == maps[0].cells) << "format " << i;
        EXPECT_EQ(transcripts[i], transcripts[0]);
    }
    // Joined vertices: the STL's corners become the sphere's 162 vertices.
    EXPECT_EQ(maps[2].vertex_counts, maps[0].vertex_counts);
}

TEST(MeshFormats, RealFilesOfOtherFormatsCompile)
{
    if (!have_models())
        GTEST_SKIP() << "assimp's test models (assimp-testmodels) are not installed";
    const char* const files[] = {"OBJ/box.obj", "OBJ/spider.obj", "STL/Spider_binary.stl", "STL/sphereWithHole.stl",
                                 "PLY/cube.ply", "PLY/cube_binary.ply", "glTF2/BoxTextured-glTF/BoxTextured.gltf",
                                 "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb"};
    for (const char* file : files) {
        ScratchDir dir;
        write_text(dir / "m.ksd", map_text(16, 16, {object_text(0, file, TILTED)}));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", MODELS});
        ASSERT_EQ(r.status, 0) << file << "\n" << r.output << r.errors;
        Loaded l = load_map(dir / "m.ksm");
        ASSERT_TRUE(l.ok) << file;
        EXPECT_GT(filled_cells(l), 10u) << file;
    }
    // A file assimp cannot read is a bad mesh, like a corrupt 3DS file.
    ScratchDir dir;
    write_text(dir / "src/broken.obj", "v 1 2\nf 1 2 9\nthis is no mesh\n");
    write_text(dir / "src/points.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\np 1 2 3\nl 1 2\n");
    for (const char* file : {"broken.obj", "points.obj", "none.xyz_unknown"}) {
        write_text(dir / "src/none.xyz_unknown", "nothing");
        write_text(dir / "m.ksd", map_text(16, 16, {object_text(0, file, TILTED)}));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
        EXPECT_EQ(r.status, 1) << file << "\n" << r.output;
        EXPECT_NE(r.output.find("  Read and compile... ERROR! BAD MESH \"src/" + std::string(file) + "\": "),
                  std::string::npos)
            << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - 2), "!\n");
    }
}

TEST(MeshFormats, ObjectKeyPicksOneObjectIn3dsAndObj)
{
    if (!have_models())
        GTEST_SKIP() << "assimp's test models (assimp-testmodels) are not installed";
    // The reader itself: the named block, not the first.
    const std::string cubes = MODELS + "3DS/cubes_with_alpha.3DS";
    MapObject first{}, third{};
    ASSERT_EQ(read_3ds_mesh(cubes.c_str(), &first).result, MESH_READ_OK);
    ASSERT_EQ(read_3ds_mesh(cubes.c_str(), &third, "Quader03").result, MESH_READ_OK);
    EXPECT_STREQ(first.name, "Quader01");
    EXPECT_STREQ(third.name, "Quader03");
    EXPECT_NE(std::memcmp(first.vertices, third.vertices, sizeof(Vec3)), 0);
    EXPECT_EQ(read_3ds_mesh(cubes.c_str(), &third, "Quader9").result, MESH_NO_NAMED_OBJECT);
    clear_object(&first);
    clear_object(&third);

    ScratchDir dir;
    std::filesystem::create_directories(dir / "src");
    std::filesystem::copy_file(cubes, dir / "src/cubes.3ds");
    Scene3ds two{};
    two.objects.push_back(make_box_object("left", Vec3{1, 1, 1}, false));
    two.objects.push_back(make_sphere_object("right", 2, false));
    ASSERT_TRUE(write_obj_file((dir / "src/two.obj").c_str(), &two));
    struct Case {
        std::string file, key, note;  // note: expected on standard error
        uint32_t vertices;            // of the compiled object, 0 for a failure
    };
    const Case cases[] = {
        {"cubes.3ds", "", "holds 5 mesh objects: only \"Quader01\" is read, not \"Quader02\", \"Quader03\"", 26},
        {"cubes.3ds", "object=Quader04\n", "", 26},
        {"cubes.3ds", "object=Quader9\n", "are \"Quader01\", \"Quader02\"", 0},
        {"two.obj", "", "2 meshes merged into one object", 8 + 162},
        {"two.obj", "object=right\n", "", 162},
        {"two.obj", "object=left\n", "", 8},
        {"two.obj", "object=middle\n", "\"left\"", 0},
    };
    for (const Case& c : cases) {
        write_text(dir / "m.ksd", map_text(16, 16, {object_text(0, c.file, TILTED, c.key)}));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
        std::string label = c.file + " " + c.key;
        if (c.vertices == 0) {
            EXPECT_EQ(r.status, 1) << label;
            EXPECT_NE(r.output.find("ERROR! BAD MESH"), std::string::npos) << r.output;
        } else {
            ASSERT_EQ(r.status, 0) << label << r.output << r.errors;
            Loaded l = load_map(dir / "m.ksm");
            EXPECT_EQ(l.vertex_counts, std::vector<uint32_t>{c.vertices}) << label;
        }
        if (c.note.empty())
            EXPECT_EQ(r.errors.find("note:"), std::string::npos) << r.errors;
        else
            EXPECT_NE(r.errors.find(c.note), std::string::npos) << label << "\n" << r.errors;
    }
}

TEST(MeshFormats, FailedCompileKeepsTheOutputAndLeavesNoFileBehind)
{
    ScratchDir dir;
    write_unit_box(dir / "src/box.3ds");
    write_text(dir / "good.ksd", map_text(10, 10, {object_text(0, "box.3ds", TILTED)}));
    ASSERT_EQ(run_compiler_in(dir.path, {"good.ksd", "m.ksm", "src"}).status, 0);
    std::vector<uint8_t> good = read_bytes(dir / "m.ksm");
    ASSERT_GT(good.size(), 15u);
    // Late failures, after object blocks and cells were written.
    write_text(dir / "late.ksd", map_text(10, 10, {object_text(0, "box.3ds", TILTED)}) + "[start]\ngg=1\n");
    write_text(dir / "gone.ksd", map_text(10, 10, {object_text(0, "box.3ds", TILTED), object_text(1, "no.3ds", TILTED)}));
    for (const char* desc : {"late.ksd", "gone.ksd", "absent.ksd"}) {
        for (const char* out : {"m.ksm", "new.ksm"}) {
            RunResult r = run_compiler_in(dir.path, {desc, out, "src"});
            EXPECT_EQ(r.status, 1) << desc;
            EXPECT_EQ(r.output.find("DONE"), std::string::npos);
            EXPECT_NE(r.errors.find("the output \"" + std::string(out) + "\" was left unchanged"), std::string::npos)
                << r.errors;
        }
        EXPECT_EQ(read_bytes(dir / "m.ksm"), good) << desc;
        EXPECT_FALSE(path_exists(dir / "new.ksm")) << desc;
    }
    // A write error is a failure, not a success.
    if (path_exists("/dev/full")) {
        RunResult full = run_compiler_in(dir.path, {"good.ksd", "/dev/full", "src"});
        EXPECT_EQ(full.status, 1);
        EXPECT_NE(full.output.find("ERROR! CANNOT WRITE THE OUTPUT FILE!\n"), std::string::npos) << full.output;
    }
    // Nothing else appeared beside the output: no temporary file is left.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
        entries += e.path().filename().string()[0] == '.' ? 100 : 1;
    EXPECT_EQ(entries, 5u);  // src, good.ksd, late.ksd, gone.ksd, m.ksm
}

TEST(MeshFormats, NotesGoToStandardErrorAndLeaveTheTranscript)
{
    ScratchDir dir;
    write_unit_box(dir / "src/box.3ds");
    const std::string outside = "scale=2\npos_x=3\npos_y=12\npos_z=3\nrt_angle=0\nrt_x=0\nrt_y=1\nrt_z=0\n";
    write_text(dir / "m.ksd", map_text(10, 10, {object_text(0, "box.3ds", outside)}));
    RunResult plain = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
    std::vector<uint8_t> plain_bytes = read_bytes(dir / "m.ksm");
    RunResult verbose = run_compiler_in(dir.path, {"--verbose", "m.ksd", "m.ksm", "src"});
    ASSERT_EQ(plain.status, 0) << plain.output;
    ASSERT_EQ(verbose.status, 0) << verbose.output;
    EXPECT_EQ(verbose.output, plain.output);
    EXPECT_EQ(read_bytes(dir / "m.ksm"), plain_bytes);
    const std::string head = banner() + "Open output file (m.ksm) to write... OK!\nRead header... OK!\nObject #0:\n" +
                             "  Read and compile... OK!\n  Write... OK!\n  Calc phys info #1: ";
    const std::string tail = "OK!\nOK!\nWrite phys info... OK!\nRead layers... OK!\nDONE!!!=)))\n";
    EXPECT_EQ(plain.output.substr(0, head.size()), head);
    EXPECT_EQ(plain.output.substr(plain.output.size() - tail.size()), tail);
    EXPECT_NE(plain.errors.find("warning: [obj_0] \"src/box.3ds\" is placed wholly outside the field"),
              std::string::npos)
        << plain.errors;
    EXPECT_NE(plain.errors.find("it adds no collision cells"), std::string::npos);
    const std::string details[] = {
        "(3DS, object \"box\"): 8 vertices, 12 faces, placed in x 3..5, y 12..14, z 3..5; 0 collision cells newly filled",
        "0 collision cells written, " + std::to_string(plain_bytes.size()) + " bytes", "time: meshes read "};
    for (const std::string& detail : details)
        EXPECT_NE(verbose.errors.find(detail), std::string::npos) << detail << "\n" << verbose.errors;

    // A mesh missing from the default folder says where it was looked for
    // and how to name another folder.
    ScratchDir other;
    write_text(other / "m.ksd", map_text(10, 10, {object_text(0, "box.3ds", outside)}));
    RunResult missing = run_compiler_in(other.path, {"m.ksd"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.errors.find("the mesh \"box.3ds\" of [obj_0] was looked for in the folders \"" + build_dir() +
                                  "/compiler/src/\", \"./\" and \"src/\""),
              std::string::npos)
        << missing.errors;
    EXPECT_NE(missing.errors.find("third argument"), std::string::npos) << missing.errors;
}

TEST(MeshFormats, MeshesAreFoundBesideTheProgramThenBesideTheDescription)
{
    // Run from PATH in a folder that has a src/ of its own: the default
    // folder is the one beside the running program, not ./src; a mesh not
    // there is found beside the description or in its src/.
    ScratchDir dir;
    Scene3ds decoy{}, box{};
    decoy.objects.push_back(make_sphere_object("decoy", 2, false));
    box.objects.push_back(make_box_object("box", Vec3{1, 1, 1}, false));
    std::filesystem::create_directories(dir / "src");
    std::filesystem::create_directories(dir / "mymap/src");
    for (const char* path : {"src/box.3ds", "src/flat.3ds"})
        ASSERT_TRUE(write_3ds_file((dir / path).c_str(), &decoy));
    ASSERT_TRUE(write_3ds_file((dir / "mymap/src/box.3ds").c_str(), &box));
    ASSERT_TRUE(write_3ds_file((dir / "mymap/flat.3ds").c_str(), &box));
    write_text(dir / "mymap/pour.ksd",
               map_text(16, 16, {object_text(0, "box.3ds", TILTED), object_text(1, "flat.3ds", TURNED)}));
    const std::string path_env = "PATH=" + build_dir() + "/compiler:/usr/bin:/bin";
    RunResult r = run_program(dir.path, "env", {path_env, "ksm_compiler", "mymap/pour.ksd", "out.ksm"});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_EQ(load_map(dir / "out.ksm").vertex_counts, (std::vector<uint32_t>{8, 8}));
    EXPECT_NE(r.errors.find("[obj_0] the mesh \"box.3ds\" is not in \"" + build_dir() +
                            "/compiler/src/\"; it was found in \"mymap/src/\""),
              std::string::npos)
        << r.errors;
    EXPECT_NE(r.errors.find("[obj_1] the mesh \"flat.3ds\" is not in"), std::string::npos) << r.errors;
    EXPECT_NE(r.errors.find("it was found in \"mymap/\""), std::string::npos) << r.errors;
    // A folder given on the command line is the only one searched.
    RunResult given = run_program(dir.path, "env", {path_env, "ksm_compiler", "mymap/pour.ksd", "out.ksm", "src"});
    ASSERT_EQ(given.status, 0) << given.output;
    EXPECT_EQ(load_map(dir / "out.ksm").vertex_counts[0], 162u);
    EXPECT_EQ(given.errors.find("found in"), std::string::npos) << given.errors;
    std::filesystem::remove(dir / "mymap/flat.3ds");
    RunResult only = run_program(dir.path, "env", {path_env, "ksm_compiler", "mymap/pour.ksd", "out.ksm", "mymap/src"});
    EXPECT_EQ(only.status, 1);
    EXPECT_NE(only.errors.find("was looked for in the folder \"mymap/src/\"\n"), std::string::npos) << only.errors;
}

TEST(MeshFormats, ObjObjectIsPickedWithAllItsGroups)
{
    // As a modelling tool writes it: each object's faces in groups of its own.
    const std::string obj =
        "o Ramp\nv 0 0 0\nv 4 0 0\nv 4 2 0\nv 0 0 2\nv 4 0 2\nv 4 2 2\n"
        "g Ramp_body\nf 1 2 3\nf 4 6 5\nf 1 4 5\nf 1 5 2\nf 2 5 6\nf 2 6 3\nf 1 3 6\nf 1 6 4\n"
        "o Bowl\nv 10 0 0\nv 12 0 0\nv 12 0 2\nv 10 0 2\nv 10 1 0\nv 12 1 0\n"
        "g Bowl_floor\nf 7 8 9\nf 7 9 10\ng Bowl_wall\nf 7 11 12\nf 7 12 8\ng Bowl_rim\nf 11 12 8\n";
    ScratchDir dir;
    write_text(dir / "src/scene.obj", obj);
    const std::string both = "\"Ramp\" (with \"Ramp_body\"), \"Bowl\" (with \"Bowl_floor\", \"Bowl_wall\", \"Bowl_rim\")";
    struct Case {
        std::string key, note;  // note: expected on standard error
        uint32_t vertices;      // of the compiled object, 0 for a failure
    };
    const Case cases[] = {
        {"object=Ramp\n", "(OBJ, object \"Ramp\"): 6 vertices, 8 faces", 6},
        {"object=Bowl\n", "(OBJ, object \"Bowl\"): 11 vertices, 5 faces", 11},
        {"object=Bowl_wall\n", "(OBJ, object \"Bowl_wall\"): 4 vertices, 2 faces", 4},
        {"object=Bowl_lid\n", "hint: the objects of \"src/scene.obj\" are " + both + "\n", 0},
        {"", "4 meshes merged into one object, from " + both + "; pick one object with object = NAME", 17},
        {"", "(OBJ, object \"Ramp + Bowl\"): 17 vertices, 13 faces", 17},
    };
    for (const Case& c : cases) {
        write_text(dir / "m.ksd", map_text(16, 16, {object_text(0, "scene.obj", TILTED, c.key)}));
        RunResult r = run_compiler_in(dir.path, {"-v", "m.ksd", "m.ksm", "src"});
        if (c.vertices == 0) {
            EXPECT_EQ(r.status, 1) << c.key;
        } else {
            ASSERT_EQ(r.status, 0) << c.key << r.output << r.errors;
            EXPECT_EQ(load_map(dir / "m.ksm").vertex_counts, std::vector<uint32_t>{c.vertices}) << c.key;
        }
        EXPECT_NE(r.errors.find(c.note), std::string::npos) << c.key << "\n" << r.errors;
    }
}
