// Ball-ball repulsion: the worked pairs and a bit-exact comparison with a
// pair-at-a-time evaluation of the same formulas in double.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "repulsion_walk.h"
#include "sim_fixture.h"

using Repulsion = SimFixture;

TEST_F(Repulsion, TwoBallsPushEachOtherOnBothVisits)
{
    start(40, 8, "count=2");
    unregister_all();
    place(0, Vec3{10.5f, 20.25f, 30.25f});
    place(1, Vec3{10.0f, 20.25f, 30.25f});
    repel_balls(&sim);
    EXPECT_NEAR(sim.ball_pos[0].x, 10.643636, 1e-6);
    EXPECT_NEAR(sim.ball_pos[1].x, 9.856364, 1e-6);
    for (int i : {0, 1}) {
        EXPECT_EQ(sim.ball_pos[i].y, 20.25f);
        EXPECT_EQ(sim.ball_pos[i].z, 30.25f);
        EXPECT_EQ(sim.ball_prev[i].x, i == 0 ? 10.5f : 10.0f);
    }
}

// With ball 1 alone in ball 0's list, only ball 0's visit happens, which
// shows the first of the two pushes.
TEST_F(Repulsion, FirstVisitAlone)
{
    start(40, 8, "count=2");
    unregister_all();
    place(0, Vec3{10.5f, 20.25f, 30.25f});
    place(1, Vec3{10.0f, 20.25f, 30.25f});
    // Ball 1 is looked up around a far cell, so it makes no visit of its own.
    // Such lists break the invariant that side-by-side walks rely on: the
    // plain walk only.
    sim.ball_cell[1] = CellCoord{20, 20, 30};
    ASSERT_TRUE(block_insert(&sim, 20, 20, 30, 1));
    {
        ScopedPlan forced(&sim, "plain");
        repel_balls(&sim);
    }
    EXPECT_NEAR(sim.ball_pos[0].x, 10.595493, 1e-6);
    EXPECT_NEAR(sim.ball_pos[1].x, 9.904507, 1e-6);
}

TEST_F(Repulsion, CloseBallsUseTheSmallestSquaredDistance)
{
    start(20, 4, "count=2");
    unregister_all();
    place(0, Vec3{5.5f, 5.5f, 5.5f});
    place(1, Vec3{5.8f, 5.5f, 5.5f});
    // Only ball 0's visit: take ball 1 out of the lists.
    block_remove(&sim, 5, 5, 5, 1);
    ASSERT_TRUE(cell_insert(&sim, 5, 5, 5, 1));
    sim.ball_cell[1] = CellCoord{15, 15, 15};
    {
        ScopedPlan forced(&sim, "plain");  // lists off the invariant: plain walk only
        repel_balls(&sim);
    }
    double shift = 4.0 * sim.repulsion_coef * 0.3;
    EXPECT_NEAR(shift, 0.076394, 1e-6);
    EXPECT_NEAR(sim.ball_pos[0].x, 5.5 - shift, 1e-6);
    EXPECT_NEAR(sim.ball_pos[1].x, 5.8 + shift, 1e-6);
}

TEST_F(Repulsion, NoPushAtOneUnitOrAtTheSamePointOrFurther)
{
    struct Case {
        Vec3 a, b;
    } cases[] = {
        {{5.25f, 5.5f, 5.5f}, {6.25f, 5.5f, 5.5f}},   // exactly 1 apart: s = 1 passes, no push
        {{5.5f, 5.5f, 5.5f}, {5.5f, 5.5f, 5.5f}},     // same point
        {{5.0f, 5.5f, 5.5f}, {6.5f, 5.5f, 5.5f}},     // 1.5 apart
        {{5.0f, 5.5f, 5.5f}, {5.9f, 6.4f, 5.5f}},     // 1.27 apart diagonally
        {{4.1f, 5.5f, 5.5f}, {6.1f, 5.5f, 5.5f}},     // 2 apart on x
        {{5.5f, 5.1f, 5.5f}, {5.5f, 7.0f, 5.5f}},     // 1.9 apart on y
    };
    start(20, 4, "count=2");
    for (const Case& c : cases) {
        unregister_all();
        place(0, c.a);
        place(1, c.b);
        repel_balls(&sim);
        EXPECT_EQ(std::memcmp(&sim.ball_pos[0], &c.a, sizeof(Vec3)), 0);
        EXPECT_EQ(std::memcmp(&sim.ball_pos[1], &c.b, sizeof(Vec3)), 0);
    }
}

TEST_F(Repulsion, DistantBallsStayPut)
{
    start(30, 4, "count=27");
    unregister_all();
    for (int i = 0; i < 27; ++i)
        place(i, Vec3{2.0f + 3.1f * (i % 3), 2.5f + 3.3f * (i / 3 % 3), 2.25f + 1.2f * (i / 9)});
    std::vector<Vec3> before(sim.ball_pos, sim.ball_pos + 27);
    repel_balls(&sim);
    EXPECT_EQ(std::memcmp(before.data(), sim.ball_pos, sizeof(Vec3) * 27), 0);
}

// The formulas as written, one pair at a time: every value formed in double
// and rounded to float when stored, positions read from the array each time.
static void repel_reference(SimState& sim)
{
    for (int i = 0; i < sim.ball_count; ++i) {
        size_t k = cell_index(&sim, sim.ball_cell[i].x, sim.ball_cell[i].y, sim.ball_cell[i].z);
        for (int s = cell_count(&sim, k); s >= 1; --s) {
            int j = cell_list(&sim, k)[s];
            if (j == i)
                continue;
            float dx = (float)((double)sim.ball_pos[i].x - (double)sim.ball_pos[j].x);
            if (std::abs((long long)std::trunc(dx)) > 1)
                continue;
            float dy = (float)((double)sim.ball_pos[i].y - (double)sim.ball_pos[j].y);
            if (std::abs((long long)std::trunc(dy)) > 1)
                continue;
            float dz = (float)((double)sim.ball_pos[i].z - (double)sim.ball_pos[j].z);
            if (std::abs((long long)std::trunc(dz)) > 1)
                continue;
            float sq = (float)(((double)dx * dx + (double)dy * dy) + (double)dz * dz);
            if (sq > 1.0f)
                continue;
            if (sq < 0.2f)
                sq = 0.2f;
            float u = (float)(1.0 - 1.0 / (double)sq);
            double c = sim.repulsion_coef;
            float d[3] = {(float)(c * ((double)dx * u)), (float)(c * ((double)dy * u)),
                          (float)(c * ((double)dz * u))};
            sim.ball_pos[i].x = (float)((double)sim.ball_pos[i].x - d[0]);
            sim.ball_pos[i].y = (float)((double)sim.ball_pos[i].y - d[1]);
            sim.ball_pos[i].z = (float)((double)sim.ball_pos[i].z - d[2]);
            sim.ball_pos[j].x = (float)((double)sim.ball_pos[j].x + d[0]);
            sim.ball_pos[j].y = (float)((double)sim.ball_pos[j].y + d[1]);
            sim.ball_pos[j].z = (float)((double)sim.ball_pos[j].z + d[2]);
        }
    }
}

// One way of running the pass against the pair-at-a-time formulas, to the
// bit, over a few steps of scenes from sparse to a single crowded cell.
static void expect_pass_matches_formulas(SimFixture* fixture, const char* plan)
{
    SimState& sim = fixture->sim;
    struct Scene {
        int field, balls;
        const char* settings;
    } scenes[] = {
        {8, 3000, "cl=60"},   // crowded, lists beyond their first size
        {40, 6000, ""},       // sparse: many independent walks
        {24, 20000, "g=0"},   // dense, no gravity
        {1, 120, ""},         // one cell holds every ball
        {3, 1, ""},           // a single ball
    };
    for (const Scene& scene : scenes) {
        SCOPED_TRACE(testing::Message() << "field " << scene.field << ", " << scene.balls << " balls");
        free_balls(&sim);
        free_normal_field(&fixture->map.field);
        fixture->start(scene.field, scene.field,
                       "count=" + std::to_string(scene.balls) + " " + scene.settings, 31);
        for (int round = 0; round < 4; ++round) {
            std::vector<Vec3> before(sim.ball_pos, sim.ball_pos + sim.ball_count);
            repel_reference(sim);
            std::vector<Vec3> expected(sim.ball_pos, sim.ball_pos + sim.ball_count);
            std::memcpy(sim.ball_pos, before.data(), sizeof(Vec3) * sim.ball_count);
            {
                ScopedPlan forced(&sim, plan);
                repel_balls(&sim);
            }
            ASSERT_EQ(std::memcmp(expected.data(), sim.ball_pos, sizeof(Vec3) * sim.ball_count), 0)
                << "round " << round;
            // (Balls that share one point never separate.)
            if (scene.balls > 1 && scene.field > 1) {
                EXPECT_NE(std::memcmp(before.data(), sim.ball_pos, sizeof(Vec3) * sim.ball_count), 0);
            }
            ASSERT_TRUE(step_balls(&sim, &fixture->map));
        }
    }
}

TEST_F(Repulsion, PlainPassMatchesThePairAtATimeFormulasToTheBit)
{
    expect_pass_matches_formulas(this, "plain");
}

// Independent walks side by side in vector lanes, whatever the lists.
TEST_F(Repulsion, WidePassMatchesThePairAtATimeFormulasToTheBit)
{
    if (!cpu_lanes().lanes16 && !cpu_lanes().lanes8)
        GTEST_SKIP() << "this processor has neither AVX-512 nor AVX2: the wide walk cannot run here";
    expect_pass_matches_formulas(this, "wide");
}

TEST_F(Repulsion, EightLanePassMatchesThePairAtATimeFormulasToTheBit)
{
    if (!cpu_lanes().lanes8)
        GTEST_SKIP() << "this processor has no AVX2: the eight-lane walk cannot run here";
    expect_pass_matches_formulas(this, "wide8");
}

// The lanes that sum each ball's pushes: the same positions as the plain
// walk, and in the fourth float of every ball its start plus, per push it
// took part in, (|px| + |py|) + (|pz| + rounding), in the order of the pushes.
TEST_F(Repulsion, LanesSumEachBallsPushes)
{
    start(8, 8, "count=400 cl=60", 77);
    const int n = sim.ball_count;
    const float rounding = 1.0f / 1024;
    // The neighbour lists copied out, each ball's at its own offset.
    std::vector<int> lists;
    std::vector<uint32_t> offset(n);
    for (int i = 0; i < n; ++i) {
        const int* l = cell_list(&sim, cell_index(&sim, sim.ball_cell[i].x, sim.ball_cell[i].y, sim.ball_cell[i].z));
        offset[i] = (uint32_t)lists.size();
        lists.insert(lists.end(), l, l + l[0] + 1);
    }
    std::vector<float> start_space(4 * (size_t)(n + 1), 0.0f);
    for (int i = 0; i < n; ++i) {
        std::memcpy(&start_space[4 * (size_t)i], &sim.ball_pos[i], sizeof(Vec3));
        start_space[4 * (size_t)i + 3] = 0.001f * (float)(i % 13);
    }
    // Reference: the plain walk, ball after ball.
    std::vector<float> expected = start_space;
    for (int i = 0; i < n; ++i) {
        float* a = &expected[4 * (size_t)i];
        const int* l = lists.data() + offset[i];
        for (int s = l[0]; s >= 1; --s) {
            float* b = &expected[4 * (size_t)l[s]];
            if (l[s] == i)
                continue;
            float dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
            if (std::fabs(dx) >= 2.0f || std::fabs(dy) >= 2.0f || std::fabs(dz) >= 2.0f)
                continue;
            float s2 = (float)(((double)dx * dx + (double)dy * dy) + (double)dz * dz);
            if (s2 > 1.0f)
                continue;
            float u = (float)(1.0 - 1.0 / (double)(s2 < 0.2f ? 0.2f : s2));
            double c = sim.repulsion_coef;
            float p[3] = {(float)(c * ((double)dx * u)), (float)(c * ((double)dy * u)), (float)(c * ((double)dz * u))};
            float length = (std::fabs(p[0]) + std::fabs(p[1])) + (std::fabs(p[2]) + rounding);
            for (int k = 0; k < 3; ++k) {
                a[k] -= p[k];
                b[k] += p[k];
            }
            a[3] += length;
            b[3] += length;
        }
    }
    const WalkSequence q{nullptr, sim.ball_cell, offset.data(), n, lists.data(), 0, n, lists.size(), nullptr, 0, 0};
    bool (*lanes[])(const WalkSequence&, double, float, WideScratch*, const WalkSpace&) = {repel_wide16_travel,
                                                                                          repel_wide8_travel};
    const bool runs[] = {cpu_lanes().lanes16, cpu_lanes().lanes8};
    for (int k = 0; k < 2; ++k) {
        if (!runs[k])
            continue;
        std::vector<float> space = start_space;
        WideScratch scratch;
        ASSERT_TRUE(lanes[k](q, (double)sim.repulsion_coef, rounding, &scratch, WalkSpace{space.data(), 4, nullptr, 0, n}));
        free_wide_scratch(&scratch);
        EXPECT_EQ(std::memcmp(space.data(), expected.data(), sizeof(float) * 4 * (size_t)n), 0)
            << (k ? "eight" : "sixteen") << " lanes";
    }
}
