// End-to-end runs of the ksm_compiler binary: transcripts, exit statuses,
// output bytes and the path defaults.
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "compiler_test_util.h"
#include "driver.h"
#include "ksm_version.h"
#include "mesh_3ds.h"
#include "mesh_3ds_writer.h"
#include "placement.h"
#include "sections.h"

using namespace ksm_test;

namespace {

typedef std::vector<std::pair<std::string, std::string>> Keys;

struct Section {
    std::string name;
    Keys keys;
};

std::string render(const std::vector<Section>& sections)
{
    std::string text;
    for (const Section& s : sections) {
        text += "[" + s.name + "]\n";
        for (const auto& kv : s.keys)
            text += kv.first + " = " + kv.second + "\n";
    }
    return text;
}

Section main_section(int field, int grid, int objs)
{
    return Section{"main",
                   {{"field_size", std::to_string(field)},
                    {"grid_size", std::to_string(grid)},
                    {"objs_num", std::to_string(objs)}}};
}

const char* const OBJECT_KEYS[11] = {"file", "scale", "pos_x", "pos_y", "pos_z", "rt_angle",
                                     "rt_x", "rt_y", "rt_z", "geom1", "geom2"};

Section object_section(int n, const std::string& file)
{
    Section s{"obj_" + std::to_string(n), {}};
    const char* values[11] = {file.c_str(), "10", "5", "0", "5", "0", "0", "1", "0", "1", "0"};
    for (int i = 0; i < 11; ++i)
        s.keys.push_back({OBJECT_KEYS[i], values[i]});
    return s;
}

Section teleport_section(int n, int first)
{
    static const char* const keys[12] = {"from_from_x", "from_from_y", "from_from_z", "from_to_x",
                                         "from_to_y", "from_to_z", "to_from_x", "to_from_y",
                                         "to_from_z", "to_to_x", "to_to_y", "to_to_z"};
    Section s{"teleport_" + std::to_string(n), {}};
    for (int i = 0; i < 12; ++i)
        s.keys.push_back({keys[i], std::to_string(first + i)});
    return s;
}

void remove_key(Section* s, const std::string& key)
{
    for (size_t i = 0; i < s->keys.size(); ++i) {
        if (s->keys[i].first == key) {
            s->keys.erase(s->keys.begin() + (long)i);
            return;
        }
    }
}

std::string opened(const std::string& out) { return "Open output file (" + out + ") to write... OK!\n"; }

void write_box_mesh(const std::string& path)
{
    Scene3ds scene{};
    scene.objects.push_back(make_box_object("box", Vec3{2, 2, 2}, true));
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(write_3ds_file(path.c_str(), &scene));
}

}  // namespace

TEST(CompilerCli, EmptyMapIsFifteenBytesWithExactTranscript)
{
    ScratchDir dir;
    write_text(dir / "m.ksd", render({main_section(10, 2, 0)}));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.substr(0, 30), "Kestrion Map Compiler v 1.04c\n");
    EXPECT_EQ(r.output, banner() + opened("m.ksm") +
                            "Read header... OK!\nWrite phys info... OK!\nRead layers... OK!\nDONE!!!=)))\n");
    std::vector<uint8_t> want = {'K', 'S', 'M', 'P', 0x0A, 0, 0x02, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(read_bytes(dir / "m.ksm"), want);
}

TEST(CompilerCli, LayersBlockHoldsStartBoxAndTeleportsAsLowBytes)
{
    ScratchDir dir;
    // Start box with 300 (byte 44) and -1 (byte 0xFF); two teleports.
    Section start{"start", {{"gg", "yes"}, {"from_x", "1"}, {"from_y", "300"}, {"from_z", "-1"},
                            {"to_x", "4"}, {"to_y", "5"}, {"to_z", "6"}}};
    Section main = main_section(10, 2, 0);
    main.keys.push_back({"teleports", "2"});
    write_text(dir / "m.ksd", render({main, start, teleport_section(0, 10), teleport_section(1, 250)}));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<uint8_t> bytes = read_bytes(dir / "m.ksm");
    ASSERT_EQ(bytes.size(), 14u + 34u);
    std::vector<uint8_t> layers(bytes.begin() + 14, bytes.end());
    std::vector<uint8_t> want = {0, 1, 44, 0xFF, 4, 5, 6, 1};
    for (int i = 0; i < 12; ++i)
        want.push_back((uint8_t)(10 + i));
    want.push_back(2);
    for (int i = 0; i < 12; ++i)
        want.push_back((uint8_t)(250 + i));  // 256.. wrap to 0..
    want.push_back(0xFF);
    EXPECT_EQ(layers, want);
}

TEST(CompilerCli, OnlyTeleportsStartAtTagOneAndStartKeysNeedGg)
{
    ScratchDir dir;
    // A start section with every coordinate but no gg writes no start layer.
    Section start{"start", {{"from_x", "1"}, {"from_y", "2"}, {"from_z", "3"},
                            {"to_x", "4"}, {"to_y", "5"}, {"to_z", "6"}}};
    Section main = main_section(10, 2, 0);
    main.keys.push_back({"teleports", "1"});
    write_text(dir / "m.ksd", render({main, start, teleport_section(0, 20)}));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<uint8_t> bytes = read_bytes(dir / "m.ksm");
    ASSERT_EQ(bytes.size(), 14u + 14u);
    EXPECT_EQ(bytes[14], 1);
    EXPECT_EQ(bytes[15], 20);
    EXPECT_EQ(bytes[26], 31);
    EXPECT_EQ(bytes[27], 0xFF);
}

TEST(CompilerCli, HeaderNumbersAreReadAsWritten)
{
    ScratchDir dir;
    write_text(dir / "m.ksd", "[main]\nfield_size = 7000\ngrid_size=12abc\nobjs_num = +0x5\n");
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<uint8_t> bytes = read_bytes(dir / "m.ksm");
    ASSERT_EQ(bytes.size(), 15u);
    EXPECT_EQ(bytes[4] | (bytes[5] << 8), 7000);
    EXPECT_EQ(bytes[6] | (bytes[7] << 8), 12);
    EXPECT_EQ(bytes[8] | (bytes[9] << 8), 0);     // "+0x5" reads the 0 only
}

TEST(CompilerCli, MissingHeaderKeysAreReportedInLookupOrder)
{
    static const char* const keys[3] = {"field_size", "grid_size", "objs_num"};
    for (int first = 0; first < 3; ++first) {
        ScratchDir dir;
        Section main = main_section(10, 2, 0);
        for (int k = first; k < 3; ++k)
            remove_key(&main, keys[k]);
        write_text(dir / "m.ksd", render({main}));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, banner() + opened("m.ksm") + "Read header... ERROR IN MAP: [main][" + keys[first] + "]\n");
        EXPECT_FALSE(path_exists(dir / "m.ksm"));
    }
}

TEST(CompilerCli, MissingObjectKeysAreReportedInLookupOrder)
{
    for (int first = 0; first < 11; ++first) {
        // The key itself and every later one are missing: the first in the
        // order of lookups is named. The mesh file does not exist either.
        for (int all_later = 0; all_later < 2; ++all_later) {
            ScratchDir dir;
            Section obj = object_section(0, "none.3ds");
            for (int k = first; k < (all_later ? 11 : first + 1); ++k)
                remove_key(&obj, OBJECT_KEYS[k]);
            write_text(dir / "m.ksd", render({main_section(10, 2, 1), obj}));
            RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.output, banner() + opened("m.ksm") + "Read header... OK!\nObject #0:\n" +
                                    "  Read and compile... ERROR IN MAP: [obj_0][" + OBJECT_KEYS[first] + "]\n");
            EXPECT_FALSE(path_exists(dir / "m.ksm"));
        }
    }
}

TEST(CompilerCli, MissingMeshFileNamesItsPath)
{
    // An absent file, and a directory, which says what it is.
    for (int as_directory = 0; as_directory < 2; ++as_directory) {
        ScratchDir dir;
        write_box_mesh(dir / "src/box.3ds");
        if (as_directory)
            std::filesystem::create_directories(dir / "src/gone.3ds");
        write_text(dir / "m.ksd", render({main_section(10, 10, 2), object_section(0, "box.3ds"),
                                          object_section(1, "gone.3ds")}));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
        EXPECT_EQ(r.status, 1);
        std::string tail = std::string("Object #1:\n  Read and compile... ERROR! ") +
                           (as_directory ? "NOT A FILE: \"src/gone.3ds\" is a directory!\n"
                                         : "NO FILE \"src/gone.3ds\"!\n");
        ASSERT_GE(r.output.size(), tail.size());
        EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail);
        EXPECT_NE(r.output.find("Object #0:\n  Read and compile... OK!\n  Write... OK!\n"), std::string::npos);
        EXPECT_FALSE(path_exists(dir / "m.ksm"));
    }
}

TEST(CompilerCli, MissingLayerKeysEndTheRunWithoutLineBreak)
{
    static const char* const start_keys[6] = {"from_x", "from_y", "from_z", "to_x", "to_y", "to_z"};
    for (int missing = 0; missing < 6; ++missing) {
        ScratchDir dir;
        Section start{"start", {{"gg", "1"}}};
        for (int k = 0; k < 6; ++k)
            if (k != missing)
                start.keys.push_back({start_keys[k], "1"});
        write_text(dir / "m.ksd", render({main_section(10, 2, 0), start}));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
        EXPECT_EQ(r.status, 1);
        std::string want = std::string("Read layers... ERROR IN LAYER: [start][") + start_keys[missing] + "]";
        ASSERT_GE(r.output.size(), want.size());
        EXPECT_EQ(r.output.substr(r.output.size() - want.size()), want);
        EXPECT_FALSE(path_exists(dir / "m.ksm"));
    }
    // The second teleport lacks its last key: bytes were already written,
    // still no output is created.
    ScratchDir dir;
    Section main = main_section(10, 2, 0);
    main.keys.push_back({"teleports", "2"});
    Section second = teleport_section(1, 0);
    remove_key(&second, "to_to_z");
    write_text(dir / "m.ksd", render({main, teleport_section(0, 0), second}));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner() + opened("m.ksm") + "Read header... OK!\nWrite phys info... OK!\n" +
                            "Read layers... ERROR IN LAYER: [teleport_1][to_to_z]");
    EXPECT_FALSE(path_exists(dir / "m.ksm"));
}

TEST(CompilerCli, TeleportCountBeyondTheTagRangeIsRejected)
{
    ScratchDir dir;
    Section main = main_section(10, 2, 0);
    main.keys.push_back({"teleports", "255"});
    write_text(dir / "m.ksd", render({main}));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Read layers... ERROR IN LAYER: [main][teleports]"), std::string::npos) << r.output;
    EXPECT_FALSE(path_exists(dir / "m.ksm"));

    // 254 passes the count check and goes on to look for teleport_0.
    main.keys.back().second = "254";
    write_text(dir / "m.ksd", render({main}));
    r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("ERROR IN LAYER: [teleport_0][from_from_x]"), std::string::npos) << r.output;
}

TEST(CompilerCli, DescriptionMissingOrADirectory)
{
    ScratchDir dir;
    std::filesystem::create_directories(dir / "folder.ksd");
    for (const char* map : {"absent.ksd", "folder.ksd"}) {
        RunResult r = run_compiler_in(dir.path, {map, "m.ksm"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, banner() + opened("m.ksm") + "Read header... ERROR! " +
                                (map[0] == 'a' ? std::string("NO FILE!\n")
                                               : std::string("NOT A FILE: \"folder.ksd\" is a directory!\n")));
        EXPECT_FALSE(path_exists(dir / "m.ksm"));
    }
}

TEST(CompilerCli, UsageHelpAndVersion)
{
    ScratchDir dir;
    std::string usage =
        "ksm_compiler <map_file> [end_file] [src_dir]\n"
        "Examples:  ksm_compiler test.ksd\n"
        "           ksm_compiler test.ksd test.ksm\n"
        "           ksm_compiler test.ksd test.ksm src\n";
    RunResult r = run_compiler_in(dir.path, {});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, banner() + usage);
    for (const char* flag : {"--help", "-h"}) {
        r = run_compiler_in(dir.path, {flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output.substr(0, banner().size() + usage.size()), banner() + usage);
        for (const char* option : {"-v, --verbose", "--exhaustive", "--threads N", "--version", "-h, --help"})
            EXPECT_NE(r.output.find("\n  " + std::string(option) + " "), std::string::npos) << option;
    }
    // A word that looks like an option but is none stops before any file is
    // opened (it was taken for the output, and written).
    const std::vector<std::vector<std::string>> unknown = {
        {"--frobnicate", "pour.ksd"}, {"pour.ksd", "-x"}, {"-v", "pour.ksd", "out.ksm", "--src", "meshes"}};
    for (const std::vector<std::string>& args : unknown) {
        r = run_compiler_in(dir.path, args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.output, banner() + usage);
        EXPECT_NE(r.errors.find("is no option of ksm_compiler; --help lists them"), std::string::npos) << r.errors;
    }
    r = run_compiler_in(dir.path, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, std::string("Kestrion Map Compiler v 1.04c (ksm ") + KSM_VERSION + ")\n");
    // A thread count that is no whole number from 1 up stops before any file.
    for (const char* bad : {"0", "-2", "two", "3x", ""}) {
        r = run_compiler_in(dir.path, {"--threads", bad, "map.ksd"});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.errors.find("--threads"), std::string::npos) << bad;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(CompilerCli, DefaultOutputReplacesTheExtensionOfTheFileNameOnly)
{
    struct Case {
        const char* map;
        const char* out;
    };
    const Case cases[] = {{"level", "level.ksm"},         {"./level", "./level.ksm"},
                          {"maps.v2/level", "maps.v2/level.ksm"}, {"a.b.ksd", "a.b.ksm"},
                          {"maps/level.ksd", "maps/level.ksm"}};
    for (const Case& c : cases) {
        ScratchDir dir;
        write_text(dir / c.map, render({main_section(10, 2, 0)}));
        RunResult r = run_compiler_in(dir.path, {c.map});
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find(opened(c.out)), std::string::npos) << r.output;
        EXPECT_EQ(read_bytes(dir / c.out).size(), 15u) << c.map;
    }
}

TEST(CompilerCli, OutputThatCannotBeOpenedOrIsTheDescription)
{
    ScratchDir dir;
    std::string desc = render({main_section(10, 2, 0)});
    write_text(dir / "m.ksd", desc);
    std::filesystem::create_directories(dir / "taken");
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "taken"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, banner() + "Open output file (taken) to write... ERROR :(\n");

    // Writing over the description would destroy it before it is read.
    write_text(dir / "m.ksm", desc);
    for (auto args : {std::vector<std::string>{"m.ksd", "./m.ksd"}, std::vector<std::string>{"m.ksm"}}) {
        r = run_compiler_in(dir.path, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("to write... ERROR!"), std::string::npos) << r.output;
    }
    std::vector<uint8_t> want(desc.begin(), desc.end());
    EXPECT_EQ(read_bytes(dir / "m.ksd"), want);
    EXPECT_EQ(read_bytes(dir / "m.ksm"), want);
}

TEST(CompilerCli, PathsLongerThan255CharactersAreRejected)
{
    ScratchDir dir;
    write_text(dir / "m.ksd", render({main_section(10, 2, 1), object_section(0, std::string(200, 'f'))}));
    std::string long_name(256, 'a');
    // Too long map file, output file, derived output and source directory:
    // nothing is created.
    const std::vector<std::string> cases[] = {
        {long_name, "m.ksm"}, {"m.ksd", long_name}, {std::string(253, 'b') + ".k"}, {"m.ksd", "m.ksm", long_name}};
    for (const auto& args : cases) {
        RunResult r = run_compiler_in(dir.path, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("ERROR! PATH TOO LONG"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("Open output file"), std::string::npos);
    }
    EXPECT_FALSE(path_exists(dir / "m.ksm"));
    // A source directory of 100 characters and a file value of 200 make a
    // mesh path beyond the limit.
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", std::string(100, 'd')});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("  Read and compile... ERROR! PATH TOO LONG"), std::string::npos) << r.output;
    EXPECT_FALSE(path_exists(dir / "m.ksm"));
}

TEST(CompilerCli, SourceDirectoryDefaultsAndSeparators)
{
    ScratchDir dir;
    // The running program's own folder plus "src/": through a link, the
    // folder of the file linked to, not of the link.
    std::filesystem::create_directories(dir / "bin");
    ASSERT_EQ(symlink(compiler_binary().c_str(), (dir / "bin/ksm_compiler").c_str()), 0);
    write_box_mesh(dir / "bin/src/box.3ds");
    write_box_mesh(dir / "meshes/sub/box.3ds");
    write_text(dir / "m.ksd", render({main_section(10, 10, 1), object_section(0, "box.3ds")}));
    RunResult r = run_program(dir.path, "bin/ksm_compiler", {"m.ksd"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("ERROR! NO FILE \"" + build_dir() + "/compiler/src/box.3ds\"!\n"), std::string::npos)
        << r.output;

    // A given folder gets one '/', a trailing '\' counts as one, and a
    // Windows file value has its '\' turned into '/'.
    write_text(dir / "w.ksd", render({main_section(10, 10, 1), object_section(0, "sub\\box.3ds")}));
    for (const char* src : {"meshes", "meshes/", "meshes\\"}) {
        r = run_compiler_in(dir.path, {"w.ksd", "w.ksm", src});
        EXPECT_EQ(r.status, 0) << src << "\n" << r.output;
    }
    write_text(dir / "w.ksd", render({main_section(10, 10, 1), object_section(0, "sub\\none.3ds")}));
    r = run_compiler_in(dir.path, {"w.ksd", "w.ksm", "meshes\\"});
    EXPECT_NE(r.output.find("ERROR! NO FILE \"meshes/sub/none.3ds\"!\n"), std::string::npos) << r.output;
}

TEST(CompilerCli, ZeroFieldOrGridWithObjectsIsRejected)
{
    for (int zero_field = 0; zero_field < 2; ++zero_field) {
        ScratchDir dir;
        write_box_mesh(dir / "src/box.3ds");
        write_text(dir / "m.ksd", render({main_section(zero_field ? 0 : 10, zero_field ? 10 : 0, 1),
                                          object_section(0, "box.3ds")}));
        RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
        EXPECT_EQ(r.status, 1);
        std::string key = zero_field ? "[main][field_size]" : "[main][grid_size]";
        EXPECT_NE(r.output.find("Read header... OK!\nERROR IN MAP: " + key), std::string::npos) << r.output;
        EXPECT_FALSE(path_exists(dir / "m.ksm"));
    }
}

TEST(CompilerCli, GridBeyondTheCellIndexRangeIsRejected)
{
    ScratchDir dir;
    write_text(dir / "m.ksd", render({main_section(10, MAX_GRID_SIZE + 1, 0)}));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Read header... OK!\nERROR IN MAP: [main][grid_size] is 1291"), std::string::npos)
        << r.output;
    EXPECT_FALSE(path_exists(dir / "m.ksm"));
    // The largest grid whose indices fit still compiles (no objects: only the
    // terminator is written).
    write_text(dir / "m.ksd", render({main_section(10, MAX_GRID_SIZE, 0)}));
    r = run_compiler_in(dir.path, {"m.ksd", "m.ksm"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(read_bytes(dir / "m.ksm").size(), 15u);
}

TEST(CompilerCli, ObjectBlocksAreTheLibrarysPlacedMeshes)
{
    ScratchDir dir;
    Scene3ds box_scene{};
    box_scene.objects.push_back(make_box_object("box", Vec3{2, 1, 4}, true));
    Scene3ds ball_scene{};
    ball_scene.objects.push_back(make_sphere_object("ball", 2, false));
    std::filesystem::create_directories(dir / "src");
    ASSERT_TRUE(write_3ds_file((dir / "src/box.3ds").c_str(), &box_scene));
    ASSERT_TRUE(write_3ds_file((dir / "src/ball.3ds").c_str(), &ball_scene));
    Section obj0 = object_section(0, "box.3ds");
    obj0.keys[5].second = "0.7";   // rt_angle
    obj0.keys[6].second = "0.6";   // rt_x
    obj0.keys[8].second = "0.8";   // rt_z
    Section obj1 = object_section(1, "ball.3ds");
    obj1.keys[1].second = "3.5";
    write_text(dir / "m.ksd", render({main_section(20, 20, 2), obj0, obj1}));
    RunResult r = run_compiler_in(dir.path, {"m.ksd", "m.ksm", "src"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Object #0:\n  Read and compile... OK!\n  Write... OK!\n"), std::string::npos);
    EXPECT_NE(r.output.find("Object #1:\n  Read and compile... OK!\n  Write... OK!\n"), std::string::npos);

    // The same steps through the library give the same object blocks.
    char* expected_data = nullptr;
    size_t expected_size = 0;
    FILE* mem = open_memstream(&expected_data, &expected_size);
    ASSERT_NE(mem, nullptr);
    const float args[2][8] = {{5, 0, 5, 10, 0.7f, 0.6f, 1, 0.8f}, {5, 0, 5, 3.5f, 0, 0, 1, 0}};
    const char* meshes[2] = {"src/box.3ds", "src/ball.3ds"};
    for (int i = 0; i < 2; ++i) {
        MapObject obj{};
        ASSERT_EQ(read_3ds_mesh((dir / meshes[i]).c_str(), &obj).result, MESH_READ_OK);
        const float* a = args[i];
        ASSERT_EQ(place_object(&obj, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]), PLACE_OK);
        ASSERT_TRUE(calc_face_normals(&obj));
        ASSERT_TRUE(calc_vertex_normals(&obj));
        write_object_block(&obj, mem);
        clear_object(&obj);
    }
    std::fclose(mem);
    std::vector<uint8_t> bytes = read_bytes(dir / "m.ksm");
    ASSERT_GE(bytes.size(), 10 + expected_size);
    EXPECT_EQ(0, std::memcmp(bytes.data() + 10, expected_data, expected_size));
    std::free(expected_data);

    LoadedMap map{};
    ASSERT_EQ(load_compiled_map_file(&map, (dir / "m.ksm").c_str()), MAP_LOADED);
    ASSERT_EQ(map.object_count, 2u);
    EXPECT_EQ(map.objects[0].vertex_count, 8u);
    EXPECT_NE(map.objects[0].tex_coords, nullptr);
    EXPECT_EQ(map.objects[1].vertex_count, 162u);
    EXPECT_EQ(map.objects[1].tex_coords, nullptr);
    free_loaded_map(&map);
}

TEST(CompilerValues, IntegersAndNumbersAreReadAsWritten)
{
    EXPECT_EQ(parse_decimal_int("12abc"), 12);
    EXPECT_EQ(parse_decimal_int(" \t-42"), -42);
    EXPECT_EQ(parse_decimal_int("+7"), 7);
    EXPECT_EQ(parse_decimal_int("abc"), 0);
    EXPECT_EQ(parse_decimal_int("-"), 0);
    EXPECT_EQ(parse_decimal_int("0x1F"), 0);
    // Digits accumulate modulo 2^32.
    EXPECT_EQ(parse_decimal_int("4294967297"), 1);
    EXPECT_EQ(parse_decimal_int("2147483648"), INT32_MIN);
    // 10^26 - 1 = 3825205247 modulo 2^32, which is -469762049 as an s32.
    EXPECT_EQ(parse_decimal_int("99999999999999999999999999"), -469762049);

    EXPECT_EQ(parse_decimal_number("2.5"), 2.5f);
    EXPECT_EQ(parse_decimal_number("  -.5e1xyz"), -5.0f);
    EXPECT_EQ(parse_decimal_number("3e"), 3.0f);
    EXPECT_EQ(parse_decimal_number("3e+"), 3.0f);
    EXPECT_EQ(parse_decimal_number("1E2"), 100.0f);
    EXPECT_EQ(parse_decimal_number("7."), 7.0f);
    EXPECT_EQ(parse_decimal_number("."), 0.0f);
    EXPECT_EQ(parse_decimal_number("0x10"), 0.0f);
    EXPECT_EQ(parse_decimal_number("inf"), 0.0f);
    EXPECT_EQ(parse_decimal_number("nan"), 0.0f);
    EXPECT_EQ(parse_decimal_number("0.1"), (float)0.1);
    // Just above the midpoint of 1 and the next float: the double nearest to
    // it is the midpoint itself, which then rounds to even. A float parse of
    // the text would round up.
    EXPECT_EQ(parse_decimal_number("1.0000000596046447753906251"), 1.0f);
    EXPECT_TRUE(std::isinf(parse_decimal_number("1e39")));
}

TEST(CompilerPaths, DefaultsAndSuffixes)
{
    char out[256];
    EXPECT_TRUE(cut_after_last("bin/tools/ksm_compiler", out, '/'));
    EXPECT_STREQ(out, "bin/tools/");
    EXPECT_FALSE(cut_after_last("ksm_compiler", out, '/'));
    EXPECT_STREQ(out, "");

    ASSERT_TRUE(default_source_dir("ksm_compiler", out));
    EXPECT_STREQ(out, "src/");
    ASSERT_TRUE(default_source_dir("/opt/ksm/ksm_compiler", out));
    EXPECT_STREQ(out, "/opt/ksm/src/");

    ASSERT_TRUE(default_output_path(".ksd", out));
    EXPECT_STREQ(out, ".ksm");
    ASSERT_TRUE(default_output_path("level.", out));
    EXPECT_STREQ(out, "level.ksm");
    ASSERT_TRUE(default_output_path("/a.b/c", out));
    EXPECT_STREQ(out, "/a.b/c.ksm");
    EXPECT_FALSE(default_output_path(std::string(252, 'x').c_str(), out));  // 252 + ".ksm"
    ASSERT_TRUE(default_output_path(std::string(251, 'x').c_str(), out));
    EXPECT_EQ(std::strlen(out), 255u);

    ASSERT_TRUE(source_dir_prefix("", out));
    EXPECT_STREQ(out, "/");
    ASSERT_TRUE(source_dir_prefix("a\\b\\", out));
    EXPECT_STREQ(out, "a\\b/");
    EXPECT_FALSE(source_dir_prefix(std::string(255, 'd').c_str(), out));
    ASSERT_TRUE(source_dir_prefix((std::string(254, 'd') + "/").c_str(), out));
    EXPECT_EQ(std::strlen(out), 255u);
}
