// Settings, start-up placement and the start-up generator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "sim_fixture.h"

static float axis(Vec3 v, int a)
{
    return a == 0 ? v.x : a == 1 ? v.y : v.z;
}
static int axis(CellCoord c, int a)
{
    return a == 0 ? c.x : a == 1 ? c.y : c.z;
}
static float axis(BallColor c, int a)
{
    return a == 0 ? c.r : a == 1 ? c.g : c.b;
}

using BallSettings = SimFixture;

TEST_F(BallSettings, DefaultsWhenTheFileIsMissing)
{
    map.field_size = 20;
    map.grid_size = 10;
    ASSERT_TRUE(alloc_normal_field(&map.field, 10));
    seed_ball_random(&sim, 7);
    ASSERT_TRUE(init_balls_from(&sim, &map, "/nonexistent/config.ini"));
    EXPECT_EQ(sim.ball_count, 10000);
    EXPECT_NEAR(sim.gravity_setting, -0.00063662, 5e-9);
    EXPECT_EQ(sim.gravity, sim.gravity_setting);
    EXPECT_NEAR(sim.repulsion_coef, 0.063662, 5e-7);
    EXPECT_NEAR(sim.field_push_coef, 0.0095493, 5e-8);
    EXPECT_EQ(sim.damping, 0.999f);
    EXPECT_EQ(sim.field_extent, 20.0f);
    EXPECT_EQ(sim.field_scale, 0.5f);
    EXPECT_EQ(sim.cell_side, 22);
    EXPECT_EQ(sim.cell_stride_y, 22u);
    EXPECT_EQ(sim.cell_stride_x, 484u);
    EXPECT_EQ(sim.field_stride_y, 30u);
    EXPECT_EQ(sim.field_stride_x, 300u);
}

TEST_F(BallSettings, ConversionsOfGivenValues)
{
    start(10, 10, "count=3 g=31.415926535897932 cl=3.14159265358979 geom=0 t=2");
    EXPECT_EQ(sim.ball_count, 3);
    EXPECT_EQ(sim.gravity_setting, -0.001f);
    EXPECT_EQ(sim.gravity, -0.001f);
    EXPECT_EQ(sim.repulsion_coef, 0.01f);
    EXPECT_EQ(sim.field_push_coef, 0.0f);
    EXPECT_EQ(sim.damping, 0.5f);
}

TEST_F(BallSettings, DampingForZeroAndNegativeT)
{
    start(4, 4, "count=1 t=0");
    EXPECT_EQ(sim.damping, 1.0f);
    free_balls(&sim);
    ASSERT_TRUE(init_balls_from(&sim, &map, write_settings("[balls]\nt=-1\ncount=1\n").c_str()));
    EXPECT_EQ(sim.damping, 2.0f);
}

TEST_F(BallSettings, TokenModeSpacedEntryIsNotAKey)
{
    start(4, 4, "count = 5 g=0");
    EXPECT_EQ(sim.ball_count, 10000);
    EXPECT_EQ(sim.gravity, 0.0f);
}

TEST_F(BallSettings, NonNumericOrNegativeCountGivesNoBalls)
{
    for (const char* text : {"count=abc", "count=-5", "count=0"}) {
        SCOPED_TRACE(text);
        free_balls(&sim);
        ASSERT_TRUE(init_balls_from(&sim, &map, write_settings(std::string("[balls]\n") + text).c_str()));
        EXPECT_EQ(sim.ball_count, 0);
        repel_balls(&sim);
        EXPECT_TRUE(step_balls(&sim, &map));
        EXPECT_TRUE(check_cell_lists(&sim));
    }
}

TEST_F(BallSettings, UnallocatableCountIsRefusedCleanly)
{
    start(10, 10, "count=1");
    const char* reason = nullptr;
    std::string path = write_settings("[balls]\ncount=2000000000\n");
    EXPECT_FALSE(init_balls_from(&sim, &map, path.c_str(), &reason));
    ASSERT_NE(reason, nullptr);
    EXPECT_GT(std::strlen(reason), 10u);
    EXPECT_EQ(sim.ball_count, 0);
    EXPECT_EQ(sim.ball_pos, nullptr);
    EXPECT_EQ(sim.cell_start, nullptr);
    // Counts beyond the int range are held at its end rather than wrapping.
    path = write_settings("[balls]\ncount=99999999999999\n");
    EXPECT_FALSE(init_balls_from(&sim, &map, path.c_str(), &reason));
    std::remove(path.c_str());
}

TEST_F(BallSettings, StartPositionsColoursAndCells)
{
    const int F = 30;
    start(F, 16, "count=10000");
    float low_colour = 0.1f + 0.9f / F;
    for (int i = 0; i < sim.ball_count; ++i) {
        Vec3 p = sim.ball_pos[i];
        for (float c : {p.x, p.y, p.z}) {
            ASSERT_GE(c, 1.0f);
            ASSERT_LE(c, (float)F);
        }
        ASSERT_EQ(std::memcmp(&sim.ball_prev[i], &p, sizeof p), 0);
        ASSERT_EQ(sim.ball_cell[i].x, (int)p.x);
        ASSERT_EQ(sim.ball_cell[i].y, (int)p.y);
        ASSERT_EQ(sim.ball_cell[i].z, (int)p.z);
        const float rgb[3] = {sim.ball_color[i].r, sim.ball_color[i].g, sim.ball_color[i].b};
        const float xyz[3] = {p.x, p.y, p.z};
        for (int a = 0; a < 3; ++a) {
            ASSERT_GE(rgb[a], low_colour - 1e-6f);
            ASSERT_LE(rgb[a], 1.0f);
            // The formula on the coordinate as stored, to the bit.
            float expected = (float)((double)xyz[a] / F * (double)0.9f + (double)0.1f);
            ASSERT_EQ(rgb[a], expected) << "ball " << i << ", axis " << a;
        }
    }
    char fault[256] = "";
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
}

TEST_F(BallSettings, SameSeedSamePlacementOtherSeedOther)
{
    start(25, 5, "count=500", 99);
    std::vector<Vec3> first(sim.ball_pos, sim.ball_pos + sim.ball_count);
    free_balls(&sim);
    seed_ball_random(&sim, 99);
    ASSERT_TRUE(init_balls_from(&sim, &map, settings_path.c_str()));
    EXPECT_EQ(std::memcmp(first.data(), sim.ball_pos, first.size() * sizeof(Vec3)), 0);
    free_balls(&sim);
    seed_ball_random(&sim, 100);
    ASSERT_TRUE(init_balls_from(&sim, &map, settings_path.c_str()));
    EXPECT_NE(std::memcmp(first.data(), sim.ball_pos, first.size() * sizeof(Vec3)), 0);
}

TEST_F(BallSettings, FieldSizeOnePutsEveryBallAtOneOneOne)
{
    start(1, 1, "count=150");
    for (int i = 0; i < sim.ball_count; ++i) {
        ASSERT_EQ(sim.ball_pos[i].x, 1.0f);
        ASSERT_EQ(sim.ball_pos[i].y, 1.0f);
        ASSERT_EQ(sim.ball_pos[i].z, 1.0f);
        ASSERT_EQ(sim.ball_cell[i].x, 1);
    }
    // 150 balls in one list: more than the first 99 slots hold.
    size_t k = cell_index(&sim, 1, 1, 1);
    ASSERT_EQ(cell_count(&sim, k), 150);
    for (int s = 1; s <= 150; ++s)
        ASSERT_EQ(cell_list(&sim, k)[s], s - 1);
    EXPECT_TRUE(check_cell_lists(&sim));
}

TEST(BallRandom, RangeSpreadAndReproducibility)
{
    SimState sim;
    seed_ball_random(&sim, 2024);
    std::vector<int> draws;
    int lowest = 1 << 30, highest = -1;
    double sum = 0;
    for (int n = 0; n < 200000; ++n) {
        int r = ball_random(&sim);
        draws.push_back(r);
        lowest = std::min(lowest, r);
        highest = std::max(highest, r);
        sum += r;
    }
    EXPECT_EQ(lowest, 0);
    EXPECT_EQ(highest, BALL_RANDOM_MAX);
    EXPECT_NEAR(sum / draws.size(), BALL_RANDOM_MAX / 2.0, 150.0);
    EXPECT_GT(std::set<int>(draws.begin(), draws.end()).size(), 32000u);
    seed_ball_random(&sim, 2024);
    for (int n = 0; n < 1000; ++n)
        ASSERT_EQ(ball_random(&sim), draws[n]);
}

// A draw of 32767 lands exactly on F (and in neighbour cell F), a draw of
// 0 exactly on 1.
TEST_F(BallSettings, ExtremeDrawsLandOnTheFieldFaces)
{
    const unsigned seed = 5;
    const int balls = 4000;
    seed_ball_random(&sim, seed);
    int top = -1, bottom = -1;
    for (int n = 0; n < 3 * balls; ++n) {
        int r = ball_random(&sim);
        if (r == BALL_RANDOM_MAX && top < 0)
            top = n;
        if (r == 0 && bottom < 0)
            bottom = n;
    }
    ASSERT_GE(top, 0);
    ASSERT_GE(bottom, 0);
    start(64, 8, "count=4000", seed);
    EXPECT_EQ(axis(sim.ball_pos[top / 3], top % 3), 64.0f);
    EXPECT_EQ(axis(sim.ball_cell[top / 3], top % 3), 64);
    EXPECT_EQ(axis(sim.ball_color[top / 3], top % 3), 1.0f);
    EXPECT_EQ(axis(sim.ball_pos[bottom / 3], bottom % 3), 1.0f);
    EXPECT_TRUE(check_cell_lists(&sim));
}
