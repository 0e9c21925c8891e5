// The demo map from description to simulation: the real compiler's
// transcript, the same bytes from both collision field searches, the loaded
// map, and a ball started inside an object leaving it.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

#include "../compiler/compiler_test_util.h"
#include "balls.h"
#include "map_format.h"

using ksm_test::read_bytes;
using ksm_test::RunResult;

namespace {

std::string source_dir() { return KSM_SOURCE_DIR; }

// Compiles the demo map once per test program, with either search.
struct DemoMaps {
    std::string fast_path, exhaustive_path, single_path;
    RunResult fast, exhaustive, single;
    DemoMaps()
    {
        // Test processes run side by side: each compiles into its own files.
        std::string tmp = ::testing::TempDir() + "e2e_" + std::to_string(getpid()) + "_";
        fast_path = tmp + "demo_fast.ksm";
        exhaustive_path = tmp + "demo_exhaustive.ksm";
        std::string desc = source_dir() + "/data/demo/demo.ksd";
        std::string src = source_dir() + "/data/demo/src";
        fast = ksm_test::run_compiler_in(::testing::TempDir(), {desc, fast_path, src});
        exhaustive = ksm_test::run_compiler_in(::testing::TempDir(), {"--exhaustive", desc, exhaustive_path, src});
        // The fast run above uses one thread per core; this one a single thread.
        single_path = tmp + "demo_single.ksm";
        single = ksm_test::run_compiler_in(::testing::TempDir(), {desc, single_path, src, "--threads", "1"});
    }
};

const DemoMaps& demo_maps()
{
    static DemoMaps maps;
    return maps;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool ends_with(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// The dots of a line "  Calc phys info #<stage>: ..... OK!", or -1.
int stage_dots(const std::string& line, int stage)
{
    std::string prefix = "  Calc phys info #" + std::to_string(stage) + ": ";
    if (!starts_with(line, prefix) || !ends_with(line, " OK!"))
        return -1;
    std::string dots = line.substr(prefix.size(), line.size() - prefix.size() - 4);
    return dots.find_first_not_of('.') == std::string::npos ? (int)dots.size() : -1;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

}  // namespace

TEST(DemoMap, CompilesWithTheTranscriptsShape)
{
    const DemoMaps& m = demo_maps();
    ASSERT_EQ(m.fast.status, 0) << m.fast.output;
    std::vector<std::string> lines = lines_of(m.fast.output);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Kestrion Map Compiler v 1.04c");
    EXPECT_TRUE(starts_with(lines[2], "Open output file (")) << lines[2];
    EXPECT_TRUE(ends_with(lines[2], "demo_fast.ksm) to write... OK!")) << lines[2];
    EXPECT_EQ(lines[3], "Read header... OK!");
    // Six objects, each with its reading, writing and three stages of dots.
    size_t i = 4;
    for (int obj = 0; obj < 6; ++obj) {
        ASSERT_LT(i + 6, lines.size());
        EXPECT_EQ(lines[i++], "Object #" + std::to_string(obj) + ":");
        EXPECT_EQ(lines[i++], "  Read and compile... OK!");
        EXPECT_EQ(lines[i++], "  Write... OK!");
        for (int s = 1; s <= 3; ++s) {
            int dots = stage_dots(lines[i], s);
            ASSERT_GE(dots, 0) << lines[i];
            EXPECT_LE(dots, 54);
            if (s < 3) {
                EXPECT_GE(dots, 50) << "the first two stages reach nearly all their dots";
            }
            ++i;
        }
        EXPECT_EQ(lines[i++], "OK!");
    }
    ASSERT_EQ(lines.size(), i + 3);
    EXPECT_EQ(lines[i], "Write phys info... OK!");
    EXPECT_EQ(lines[i + 1], "Read layers... OK!");
    EXPECT_EQ(lines[i + 2], "DONE!!!=)))");
}

TEST(DemoMap, BothSearchesGiveTheSameBytesAndTranscript)
{
    const DemoMaps& m = demo_maps();
    ASSERT_EQ(m.exhaustive.status, 0) << m.exhaustive.output;
    std::vector<uint8_t> fast = read_bytes(m.fast_path);
    ASSERT_GT(fast.size(), 1000u);
    EXPECT_TRUE(fast == read_bytes(m.exhaustive_path));
    // The transcripts differ only in the output file's name.
    std::string a = replace_all(m.fast.output, "demo_fast", "demo");
    std::string b = replace_all(m.exhaustive.output, "demo_exhaustive", "demo");
    EXPECT_EQ(a, b);
    ASSERT_EQ(m.single.status, 0) << m.single.output;
    EXPECT_TRUE(fast == read_bytes(m.single_path));
    EXPECT_EQ(a, replace_all(m.single.output, "demo_single", "demo"));
}

TEST(DemoMap, BallStartedInsideAnObjectIsPushedOut)
{
    SimState sim;
    const DemoMaps& m = demo_maps();
    ASSERT_EQ(m.fast.status, 0);
    LoadedMap map{};
    ASSERT_EQ(load_compiled_map_file(&map, m.fast_path.c_str()), MAP_LOADED);
    const MapHeader& header = map.header;
    EXPECT_EQ(header.objs_num, 6);
    ASSERT_EQ(map.object_count, 6u);
    const int g = header.grid_size;
    const float cell_width = (float)header.field_size / (float)g;

    // The deepest solid cell: the longest push vector of the field.
    int best = -1, best_len = 0;
    for (int i = 0; i < g * g * g; ++i) {
        const int16_t* c = header.field.cells + 3 * (size_t)i;
        int len = std::abs(c[0]) + std::abs(c[1]) + std::abs(c[2]);
        if (len > best_len) {
            best_len = len;
            best = i;
        }
    }
    ASSERT_GE(best, 0) << "the demo map has solid cells";
    ASSERT_GE(best_len, 2);

    std::string settings = ::testing::TempDir() + "one_ball_" + std::to_string(getpid()) + ".ini";
    FILE* f = std::fopen(settings.c_str(), "w");
    std::fputs("[balls]\ncount=1\ng=0\n", f);
    std::fclose(f);
    seed_ball_random(&sim, 7);
    ASSERT_TRUE(init_balls_from(&sim, &header, settings.c_str()));
    ASSERT_EQ(sim.ball_count, 1);

    // Move the ball to the middle of the deepest cell, at rest.
    int cx = best / (g * g), cy = (best / g) % g, cz = best % g;
    Vec3 p{(cx + 0.5f) * cell_width, (cy + 0.5f) * cell_width, (cz + 0.5f) * cell_width};
    block_remove(&sim, sim.ball_cell[0].x, sim.ball_cell[0].y, sim.ball_cell[0].z, 0);
    sim.ball_pos[0] = sim.ball_prev[0] = p;
    sim.ball_cell[0] = CellCoord{(int)p.x, (int)p.y, (int)p.z};
    ASSERT_TRUE(block_insert(&sim, sim.ball_cell[0].x, sim.ball_cell[0].y, sim.ball_cell[0].z, 0));

    auto push_at = [&](Vec3 q) {
        auto axis = [&](float v) {
            int k = (int)(v * ((float)g / (float)header.field_size));
            return k >= g ? g - 1 : (k < 0 ? 0 : k);
        };
        const int16_t* c = header.field.cells + 3 * (((size_t)axis(q.x) * g + axis(q.y)) * g + axis(q.z));
        return std::abs(c[0]) + std::abs(c[1]) + std::abs(c[2]);
    };
    ASSERT_EQ(push_at(sim.ball_pos[0]), best_len);
    int steps = 0;
    while (push_at(sim.ball_pos[0]) != 0 && steps < 500) {
        repel_balls(&sim);
        step_balls(&sim, &header);
        ++steps;
    }
    EXPECT_LT(steps, 500) << "the ball is still inside an object";
    EXPECT_GT(steps, 0);
    std::printf("pushed out after %d steps from a push of %d cells\n", steps, best_len);
    char fault[256];
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
    free_balls(&sim);
    free_loaded_map(&map);
}

TEST(FirstMap, CompilesWithoutWarningsAndRunsWithItsLayers)
{
    // As the README walks through it: no mesh folder given, the meshes are
    // found in src/ beside the description.
    const std::string dir = source_dir() + "/data/examples/first_map";
    const std::string out = ::testing::TempDir() + "first_map_" + std::to_string(getpid()) + ".ksm";
    RunResult r = ksm_test::run_compiler_in(::testing::TempDir(), {dir + "/first_map.ksd", out});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_TRUE(ends_with(r.output, "Read layers... OK!\nDONE!!!=)))\n")) << r.output;
    EXPECT_NE(r.errors.find("it was found in \"" + dir + "/src/\""), std::string::npos) << r.errors;
    EXPECT_EQ(r.errors.find("warning"), std::string::npos) << r.errors;
    LoadedMap map{};
    ASSERT_EQ(load_compiled_map_file(&map, out.c_str()), MAP_LOADED);
    EXPECT_EQ(map.header.field_size, 32);
    EXPECT_EQ(map.object_count, 2u);
    EXPECT_TRUE(map.layers.has_start);
    EXPECT_EQ(map.layers.teleport_count, 1);
    free_loaded_map(&map);

    // Its settings use the layers and fit the start box: no note.
    const std::string viewer = ksm_test::build_dir() + "/viewer/app/ksm_viewer";
    RunResult run = ksm_test::run_program(dir, viewer, {"--headless", "--frames", "20", out, "--config", "config.ini"});
    EXPECT_EQ(run.status, 0) << run.output << run.errors;
    EXPECT_NE(run.output.find("checksum: "), std::string::npos) << run.output;
    EXPECT_EQ(run.errors, "");
    // The description itself, given by mistake: the hint to compile it.
    RunResult wrong = ksm_test::run_program(dir, viewer, {"--headless", "first_map.ksd"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.errors.find("hint: \"first_map.ksd\" is a map description, which the viewer cannot open: "
                                "compile it first, as in ksm_compiler first_map.ksd first_map.ksm"),
              std::string::npos)
        << wrong.errors;
    std::remove(out.c_str());

    // The README shows the description as it is.
    std::vector<uint8_t> desc = read_bytes(dir + "/first_map.ksd"), readme = read_bytes(source_dir() + "/README.md");
    ASSERT_GT(desc.size(), 100u);
    std::string shown, line;
    std::istringstream lines(std::string(desc.begin(), desc.end()));
    while (std::getline(lines, line))
        shown += (line.empty() ? "" : "    ") + line + "\n";
    EXPECT_NE(std::string(readme.begin(), readme.end()).find(shown), std::string::npos);
}
