// Layers in the simulation, a new map under running balls, repeatable runs
// and the file watch behind live reload.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../test_files.h"
#include "balls.h"
#include "sim_frame.h"
#include "viewer_run.h"

namespace {

std::string temp_path(const std::string& name)
{
    return ::testing::TempDir() + "live_" + std::to_string(getpid()) + "_" + name;
}

// An empty map (no objects, all-free field) with the given layer records.
std::string write_layers_map(const std::string& name, int field_size, const std::vector<LayerRecord>& layers)
{
    std::string path = temp_path(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    MapHeader h{};
    h.field_size = (uint16_t)field_size;
    h.grid_size = 4;
    write_map_header(f, &h);
    NormalField field{};
    alloc_normal_field(&field, 4);
    write_cell_stream(&field, f);
    free_normal_field(&field);
    for (const LayerRecord& r : layers)
        write_layer_record(&r, f);
    write_u8(f, LAYER_TAG_END);
    std::fclose(f);
    return path;
}

// Start box: x 2..5, y 10..12, z 4..3 (corners in either order). Teleport 1:
// the floor layer (y unit 1) to the lower corner y 14, 13 units up.
const LayerRecord START = {LAYER_TAG_START, {2, 10, 4, 5, 12, 3}};
const LayerRecord FLOOR_TO_TOP = {1, {1, 1, 1, 16, 1, 16, 1, 14, 1, 16, 15, 16}};

struct LiveMapTest : ::testing::Test {
    LoadedMap map{};
    SimState sim;
    void TearDown() override
    {
        free_balls(&sim);
        free_loaded_map(&map);
    }
    // Loads the map, starts the balls with `settings` and seed, runs frames.
    void run(const std::string& map_path, const std::string& settings, unsigned seed, int frames)
    {
        std::string config = temp_path("config.ini");
        ksm_test::write_text(config, "[balls]\n" + settings + "\n");
        ASSERT_TRUE(load_start_map(map_path, &map));
        ASSERT_TRUE(start_balls(&sim, &map, config.c_str(), true, seed));
        for (int i = 0; i < frames; ++i)
            simulate_frame(&sim, &map);
    }
    int balls_above(float y)
    {
        int n = 0;
        for (int i = 0; i < sim.ball_count; ++i)
            n += sim.ball_pos[i].y > y;
        return n;
    }
};

}  // namespace

TEST_F(LiveMapTest, StartBoxAndTeleportsOnlyWithLayersOn)
{
    std::string path = write_layers_map("layers.ksm", 16, {START, FLOOR_TO_TOP});
    run(path, "count=500 g=200 layers=1", 3, 0);
    ASSERT_EQ(sim.ball_count, 500);
    for (int i = 0; i < sim.ball_count; ++i) {
        Vec3 p = sim.ball_pos[i];
        ASSERT_TRUE(p.x >= 2 && p.x <= 6 && p.y >= 10 && p.y <= 13 && p.z >= 3 && p.z <= 5) << i;
    }
    for (int i = 0; i < 300; ++i)
        simulate_frame(&sim, &map);
    EXPECT_GT(balls_above(8.0f), 50) << "balls that reach the floor come back at the top";
    char fault[256];
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;

    // layers=0 is the run without the key: same bits, and the balls settle.
    TearDown();
    run(path, "count=500 g=200 layers=0", 3, 300);
    uint64_t off = ball_checksum(&sim);
    EXPECT_LT(balls_above(8.0f), 5);
    TearDown();
    run(path, "count=500 g=200", 3, 300);
    EXPECT_EQ(ball_checksum(&sim), off);
    TearDown();
    run(path, "count=500 g=200", 4, 300);
    EXPECT_NE(ball_checksum(&sim), off) << "another seed, another run";
}

TEST_F(LiveMapTest, TeleportKeepsVelocityAndStaysInTheField)
{
    // From the unit cube (4, 4, 4) to a box whose lower corner is beyond the
    // field's top: the ball lands on the top face.
    LayerRecord far = {1, {4, 4, 4, 4, 4, 4, 6, 250, 4, 6, 250, 4}};
    std::string path = write_layers_map("far.ksm", 16, {far});
    run(path, "count=1 g=0 layers=1", 1, 0);
    block_remove(&sim, sim.ball_cell[0].x, sim.ball_cell[0].y, sim.ball_cell[0].z, 0);
    sim.ball_pos[0] = Vec3{4.5f, 4.5f, 4.5f};
    sim.ball_prev[0] = Vec3{4.25f, 4.5f, 4.5f};
    sim.ball_cell[0] = CellCoord{4, 4, 4};
    ASSERT_TRUE(block_insert(&sim, 4, 4, 4, 0));
    ASSERT_TRUE(apply_teleports(&sim, &map.layers));
    EXPECT_FLOAT_EQ(sim.ball_pos[0].x, 6.5f);
    EXPECT_FLOAT_EQ(sim.ball_pos[0].y, 16.0f);
    EXPECT_FLOAT_EQ(sim.ball_pos[0].x - sim.ball_prev[0].x, 0.25f);
    EXPECT_FLOAT_EQ(sim.ball_pos[0].y - sim.ball_prev[0].y, 0.0f);
    char fault[256];
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
}

TEST_F(LiveMapTest, ReloadKeepsBallsAndRefusesBrokenFiles)
{
    std::string path = write_layers_map("reload.ksm", 16, {});
    run(path, "count=300", 5, 50);
    std::vector<Vec3> before(sim.ball_pos, sim.ball_pos + sim.ball_count);
    std::vector<BallColor> colors(sim.ball_color, sim.ball_color + sim.ball_count);

    // A broken file leaves everything as it was.
    std::vector<uint8_t> bytes = ksm_test::read_bytes(path);
    ksm_test::write_bytes(path, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 12));
    EXPECT_FALSE(reload_map(&sim, path, &map));
    EXPECT_EQ(map.header.field_size, 16);
    EXPECT_EQ(std::memcmp(sim.ball_pos, before.data(), before.size() * sizeof(Vec3)), 0);

    // A smaller field: balls are moved into it, colours stay, lists rebuilt.
    write_layers_map("reload.ksm", 8, {});
    ASSERT_TRUE(reload_map(&sim, path, &map));
    EXPECT_EQ(map.header.field_size, 8);
    EXPECT_EQ(sim.cell_side, 10);
    for (int i = 0; i < sim.ball_count; ++i) {
        Vec3 p = sim.ball_pos[i], b = before[(size_t)i];
        ASSERT_TRUE(p.x >= 1 && p.x <= 8 && p.y >= 1 && p.y <= 8 && p.z >= 1 && p.z <= 8) << i;
        if (b.x <= 8 && b.y <= 8 && b.z <= 8) {
            EXPECT_EQ(std::memcmp(&p, &b, sizeof p), 0) << i;
        }
    }
    EXPECT_EQ(std::memcmp(sim.ball_color, colors.data(), colors.size() * sizeof(BallColor)), 0);
    char fault[256];
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
    simulate_frame(&sim, &map);
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
}

TEST(FileWatch, ReportsAChangeOnceItHasSettled)
{
    std::string path = temp_path("watched.ksm");
    ksm_test::write_text(path, "one");
    FileWatch w;
    start_file_watch(&w, path, 0);
    EXPECT_FALSE(poll_file_watch(&w, 1000));  // unchanged
    ksm_test::write_text(path, "two, longer");
    EXPECT_FALSE(poll_file_watch(&w, 1100));  // within the interval: not looked at
    EXPECT_FALSE(poll_file_watch(&w, 1300));  // seen, not yet settled
    ksm_test::write_text(path, "three, longer still");
    EXPECT_FALSE(poll_file_watch(&w, 1600));  // changed again while settling
    EXPECT_TRUE(poll_file_watch(&w, 1900));
    EXPECT_FALSE(poll_file_watch(&w, 2200));  // reported once
    std::remove(path.c_str());
    EXPECT_FALSE(poll_file_watch(&w, 2500));
    EXPECT_TRUE(poll_file_watch(&w, 2800));   // a removed file is a change too
}
