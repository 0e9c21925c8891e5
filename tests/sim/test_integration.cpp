// Integration step: gravity, floor and walls, field push, neighbour moves,
// and long crowded runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "repulsion_walk.h"
#include "sim_fixture.h"

using Integration = SimFixture;

TEST_F(Integration, FreeFallFromRest)
{
    start(20, 4, "count=1");
    unregister_all();
    place(0, Vec3{10.5f, 15.5f, 10.5f});
    ASSERT_TRUE(step_balls(&sim, &map));
    double a = -sim.gravity;
    EXPECT_NEAR(sim.ball_pos[0].y, 15.5 - a, 1e-6);
    EXPECT_EQ(sim.ball_prev[0].y, 15.5f);
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_NEAR(sim.ball_pos[0].y, 15.5 - a - a * (1 + sim.damping), 1e-6);
    EXPECT_EQ(sim.ball_pos[0].x, 10.5f);
    EXPECT_EQ(sim.ball_pos[0].z, 10.5f);
}

TEST_F(Integration, BallOnTheFloorStaysPut)
{
    start(20, 4, "count=1");
    unregister_all();
    place(0, Vec3{4.5f, 1.0f, 6.5f});
    for (int n = 0; n < 3; ++n) {
        ASSERT_TRUE(step_balls(&sim, &map));
        EXPECT_EQ(sim.ball_pos[0].y, 1.0f);
        EXPECT_EQ(sim.ball_prev[0].y, 1.0f);
    }
}

TEST_F(Integration, WallStopsTheNormalVelocityOnly)
{
    start(20, 4, "count=1 g=0 t=0");
    unregister_all();
    place(0, Vec3{1.05f, 8.0f, 8.0f});
    sim.ball_prev[0] = Vec3{1.15f, 7.9f, 8.0f};  // moving -0.1 in x, +0.1 in y
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_EQ(sim.ball_pos[0].x, 1.0f);
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_EQ(sim.ball_pos[0].x, 1.0f);  // still heading into the wall
    float y_before = sim.ball_pos[0].y;
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_EQ(sim.ball_pos[0].x, 1.0f);
    EXPECT_EQ(sim.ball_prev[0].x, 1.0f);
    EXPECT_NEAR(sim.ball_pos[0].y - y_before, 0.1, 1e-5);
}

TEST_F(Integration, KeepsVelocityWithoutDampingOrGravityUpToTheFarWall)
{
    start(10, 5, "count=1 g=0 t=0");
    unregister_all();
    place(0, Vec3{5.5f, 5.5f, 5.5f});
    sim.ball_prev[0] = Vec3{5.25f, 5.5f, 5.5f};
    for (int n = 1; n <= 17; ++n) {
        ASSERT_TRUE(step_balls(&sim, &map));
        EXPECT_EQ(sim.ball_pos[0].x, 5.5f + 0.25f * n);
    }
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_EQ(sim.ball_pos[0].x, 10.0f);
    EXPECT_EQ(sim.ball_cell[0].x, 10);
    EXPECT_TRUE(check_cell_lists(&sim));
}

TEST_F(Integration, FieldPushThenVerlet)
{
    start(16, 8, "count=1 g=0");
    unregister_all();
    // Field cells are two units wide: (6.5, 6.5, 9.5) lies in cell (3, 3, 4).
    int16_t* cell = field_cell_at(3, 3, 4);
    cell[2] = 5;
    place(0, Vec3{6.5f, 6.5f, 9.5f});
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_NEAR(sim.ball_prev[0].z, 9.5 - 0.047746, 1e-6);
    EXPECT_NEAR(sim.ball_pos[0].z, 9.5 - 0.095445, 1e-6);
    EXPECT_NEAR(sim.ball_pos[0].z - sim.ball_prev[0].z, -0.047698, 1e-6);
    EXPECT_EQ(sim.ball_pos[0].x, 6.5f);
    EXPECT_EQ(sim.ball_pos[0].y, 6.5f);
}

TEST_F(Integration, FieldCellOfOutsideCoordinatesIsClamped)
{
    start(16, 8, "count=2 g=0 t=0");
    unregister_all();
    field_cell_at(0, 3, 3)[0] = -100;  // pushes +x out of the low face
    field_cell_at(7, 3, 3)[0] = 100;  // pushes -x out of the high face
    place(0, Vec3{2.0f, 7.0f, 7.0f});
    place(1, Vec3{2.0f, 7.0f, 11.0f});
    // As the repulsion pass may leave them: just outside the field.
    sim.ball_pos[0].x = 0.75f;
    sim.ball_prev[0].x = 0.75f;
    sim.ball_pos[1] = Vec3{16.5f, 7.0f, 7.0f};
    sim.ball_prev[1] = sim.ball_pos[1];
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_GT(sim.ball_pos[0].x, 1.0f);
    EXPECT_NEAR(sim.ball_prev[0].x, 0.75 + 100 * (double)sim.field_push_coef, 1e-6);
    EXPECT_LT(sim.ball_pos[1].x, 16.0f);
    EXPECT_NEAR(sim.ball_prev[1].x, 16.5 - 100 * (double)sim.field_push_coef, 1e-6);
    EXPECT_TRUE(check_cell_lists(&sim));
}

TEST_F(Integration, ExactlyOnTheFarFaceReadsTheLastFieldCell)
{
    start(16, 8, "count=1 g=0");
    unregister_all();
    field_cell_at(7, 7, 7)[1] = 1;
    place(0, Vec3{16.0f, 16.0f, 16.0f});
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_NEAR(sim.ball_prev[0].y, 16.0 - sim.field_push_coef, 1e-6);
}

TEST_F(Integration, ListsMoveOnlyWhenTheCellChanges)
{
    start(10, 5, "count=2 g=0 t=0");
    unregister_all();
    place(0, Vec3{4.9f, 5.5f, 5.5f});
    place(1, Vec3{2.5f, 5.5f, 5.5f});
    sim.ball_prev[0].x = 4.8f;
    size_t k3 = cell_index(&sim, 3, 5, 5), k6 = cell_index(&sim, 6, 5, 5);
    ASSERT_EQ(cell_count(&sim, k3), 2);
    ASSERT_EQ(cell_count(&sim, k6), 0);
    ASSERT_TRUE(step_balls(&sim, &map));  // to about 5.0: still cell 4 or just 5
    ASSERT_TRUE(step_balls(&sim, &map));  // about 5.1
    EXPECT_EQ(sim.ball_cell[0].x, 5);
    EXPECT_EQ(cell_count(&sim, k3), 1);
    EXPECT_EQ(cell_count(&sim, k6), 1);
    EXPECT_EQ(cell_list(&sim, k3)[1], 1);
    EXPECT_TRUE(check_cell_lists(&sim));
    // Ball 1 rests: its lists stay as they are.
    EXPECT_EQ(sim.ball_cell[1].x, 2);
}

TEST_F(Integration, EmptyCountDoesNothing)
{
    start(10, 5, "count=0");
    repel_balls(&sim);
    EXPECT_TRUE(step_balls(&sim, &map));
    EXPECT_TRUE(check_cell_lists(&sim));
}

// Many balls in a small field settle into a dense heap: the lists grow far
// beyond their first size and stay consistent.
TEST_F(Integration, InvariantHoldsThroughALongCrowdedRun)
{
    start(10, 5, "count=3000", 4242);
    // A solid block in one corner of the field.
    for (int x = 0; x < 2; ++x)
        for (int y = 0; y < 2; ++y)
            for (int z = 0; z < 2; ++z)
                field_cell_at(x, y, z)[1] = -2;
    char fault[256] = "";
    int most = 0;
    for (int n = 1; n <= 1500; ++n) {
        repel_balls(&sim);
        ASSERT_TRUE(step_balls(&sim, &map));
        if (n % 250 == 0) {
            ASSERT_TRUE(check_cell_lists(&sim, fault)) << "after step " << n << ": " << fault;
            for (int k = 0; k < sim.cell_side * sim.cell_side * sim.cell_side; ++k)
                most = std::max(most, cell_count(&sim, k));
        }
    }
    EXPECT_GT(most, 99);  // beyond the first fixed size of a list
    for (int i = 0; i < sim.ball_count; ++i) {
        ASSERT_GE(sim.ball_pos[i].y, 1.0f);
        ASSERT_LE(sim.ball_pos[i].y, 10.0f);
    }
}

TEST_F(Integration, RunsAreReproducibleToTheBit)
{
    auto run = [&](std::vector<Vec3>* out) {
        free_balls(&sim);
        seed_ball_random(&sim, 8);
        ASSERT_TRUE(init_balls_from(&sim, &map, settings_path.c_str()));
        for (int n = 0; n < 300; ++n) {
            repel_balls(&sim);
            ASSERT_TRUE(step_balls(&sim, &map));
        }
        out->assign(sim.ball_pos, sim.ball_pos + sim.ball_count);
    };
    start(10, 10, "count=2000");
    std::vector<Vec3> first, second;
    run(&first);
    run(&second);
    ASSERT_EQ(first.size(), 2000u);
    EXPECT_EQ(std::memcmp(first.data(), second.data(), first.size() * sizeof(Vec3)), 0);
}

// The step in AVX-512 lanes gives the plain step's bits, on balls the field
// pushes with any strength, and on coordinates the repulsion pass may leave
// outside the field or not a number; 37 balls leave a part block.
TEST_F(Integration, LanesGiveThePlainStepsBits)
{
    struct Result {
        std::vector<Vec3> pos, prev;
        std::vector<CellCoord> cell;
    };
    const float odd[] = {NAN, -INFINITY, INFINITY, -0.0f, 0.5f, 1.0f, 0.9999999f, 16.0f, 16.5f, 1e30f, -3.0f};
    const int16_t strong[] = {-32768, 32767, 1, -1, 0};
    auto run = [&](const char* plan, Result* out) {
        free_balls(&sim);
        free_normal_field(&map.field);
        start(16, 8, "count=37 g=20 t=50", 99);
        for (size_t c = 0; c < 8 * 8 * 8 * 3; ++c)
            map.field.cells[c] = (c % 5 == 0) ? 0 : (int16_t)(ball_random(&sim) - 16384);
        for (int i = 0; i < 5; ++i)
            field_cell_at(i, 7 - i, 3)[i % 3] = strong[i];
        for (int i = 0; i < sim.ball_count; ++i) {
            sim.ball_prev[i] = Vec3{sim.ball_pos[i].x + 0.01f * (i % 7), sim.ball_pos[i].y - 0.02f, sim.ball_pos[i].z};
            if (i < 33)  // after the registration: as the repulsion pass may leave them
                (&sim.ball_pos[i].x)[i % 3] = odd[i % 11];
        }
        ScopedPlan forced(&sim, plan);
        for (int n = 0; n < 3; ++n)
            ASSERT_TRUE(step_balls(&sim, &map));
        EXPECT_TRUE(check_cell_lists(&sim));
        out->pos.assign(sim.ball_pos, sim.ball_pos + sim.ball_count);
        out->prev.assign(sim.ball_prev, sim.ball_prev + sim.ball_count);
        out->cell.assign(sim.ball_cell, sim.ball_cell + sim.ball_count);
    };
    if (!cpu_lanes().lanes16)
        GTEST_SKIP() << "no AVX-512 here";
    Result plain, lanes;
    run("plain", &plain);
    run("wide", &lanes);
    ASSERT_EQ(plain.pos.size(), 37u);
    EXPECT_EQ(std::memcmp(plain.pos.data(), lanes.pos.data(), 37 * sizeof(Vec3)), 0);
    EXPECT_EQ(std::memcmp(plain.prev.data(), lanes.prev.data(), 37 * sizeof(Vec3)), 0);
    EXPECT_EQ(std::memcmp(plain.cell.data(), lanes.cell.data(), 37 * sizeof(CellCoord)), 0);
}
