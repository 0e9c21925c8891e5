// Golden results: checksums of positions and previous positions after a few
// hundred frames from a fixed seed, recorded from the sequential pass. Any
// change to the walks, the lists or the step that drifts a single bit of the
// default mode shows here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "integration_ball.h"
#include "ordered.h"
#include "sim_frame.h"
#include "reach_lists.h"
#include "reach_state.h"
#include "repulsion_walk.h"
#include "sim_fixture.h"

struct GoldenScene {
    const char* name;
    int field, grid, balls, frames;
    const char* settings;
    bool solid;           // a solid block in the collision field
    uint64_t checksum;    // of ball_pos and ball_prev after the frames
    uint64_t ordered;     // the same in the parallel mode, the ordered engine (any thread count)
};

// FNV-1a over the bytes of the position arrays.
static uint64_t state_checksum(const SimState& sim)
{
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](const void* data, size_t bytes) {
        const unsigned char* b = (const unsigned char*)data;
        for (size_t i = 0; i < bytes; ++i)
            h = (h ^ b[i]) * 1099511628211ull;
    };
    mix(sim.ball_pos, sizeof(Vec3) * (size_t)sim.ball_count);
    mix(sim.ball_prev, sizeof(Vec3) * (size_t)sim.ball_count);
    return h;
}

// The solid cells of a scene with `solid`: a slab pushing up, with a sloped
// face.
static void lay_solid_slab(MapHeader* map)
{
    const int g = map->grid_size;
    for (int x = 0; x < g; ++x)
        for (int z = 0; z < g / 2; ++z)
            for (int y = 0; y <= z / 2; ++y) {
                int16_t* c = map->field.cells + 3 * (((size_t)x * g + y) * g + z);
                c[1] = (int16_t)(-(z / 2 - y + 1));
                c[2] = 1;
            }
}

static const unsigned GOLDEN_SEED = 20260101;

struct Golden : SimFixture {
    // Runs a scene with the given pass and returns the checksum.
    uint64_t run(const GoldenScene& s, void (*frame)(SimState*, MapHeader*), int threads = 0)
    {
        free_balls(&sim);
        free_normal_field(&map.field);
        start(s.field, s.grid, "count=" + std::to_string(s.balls) + " " + s.settings, GOLDEN_SEED);
        if (s.solid)
            lay_solid_slab(&map);
        sim.sim_threads = threads;
        for (int n = 0; n < s.frames; ++n)
            frame(&sim, &map);
        sim.sim_threads = 0;
        char fault[256] = "";
        EXPECT_TRUE(refresh_cell_lists(&sim));
        EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
        return state_checksum(sim);
    }

    // A heap of `balls` balls laid out as a loose lattice, side 31, its sites
    // in a shuffled order, so that neighbours are far apart in ball order and
    // the walks run side by side.
    void lay_lattice(int balls, const std::string& settings)
    {
        const int side = 31;
        free_balls(&sim);
        free_normal_field(&map.field);
        start(32, 32, "count=" + std::to_string(balls) + " " + settings, 5);
        unregister_all();
        std::vector<int> site(balls);
        for (int k = 0; k < balls; ++k)
            site[k] = k;
        for (int k = balls - 1; k > 0; --k)
            std::swap(site[k], site[(ball_random(&sim) * 32768 + ball_random(&sim)) % (k + 1)]);
        for (int k = 0; k < balls; ++k)
            place(site[k], Vec3{1.25f + 0.97f * (k % side) + 0.01f * (k % 7), 1.25f + 0.97f * (k / side / side),
                                1.25f + 0.97f * (k / side % side) + 0.01f * (k % 5)});
    }
};

static const GoldenScene GOLDEN_SCENES[] = {
    {"small field, crowded heap", 10, 10, 2000, 300, "", false, 0xadbf15cd4db3ecb3ull, 0x903a58a6b6f80debull},
    {"one crowded cell", 2, 2, 300, 200, "cl=40", false, 0xb5bc71b20c02bd57ull, 0x83ca2ff424c09452ull},
    {"collision field", 16, 8, 3000, 300, "", true, 0x28cc678b0a9d2013ull, 0x42af0e951512f462ull},
    {"sparse, strong gravity", 40, 20, 4000, 300, "g=200", true, 0xa97b5916736ee608ull, 0xd4beadfcd80a4b95ull},
};

static void sequential_frame(SimState* s, MapHeader* map)
{
    repel_balls(s);
    ASSERT_TRUE(step_balls(s, map));
}

static void parallel_frame(SimState* s, MapHeader* map)
{
    ASSERT_TRUE(simulate_step(s, map));
}

// Every plan this processor runs gives the pinned bits of its mode on every
// scene: the sequential plans those of the plain walk, the parallel ones
// those of their engine (on one thread: ...GivesTheSameBitsForAnyThreadCount
// holds the thread counts equal).
TEST_F(Golden, EveryPlanKeepsItsModesBits)
{
    int count = 0;
    const SimPlan* plans = sim_plans(&count);
    ASSERT_EQ(find_plan("auto"), &plans[0]);
    for (const GoldenScene& s : GOLDEN_SCENES) {
        SCOPED_TRACE(s.name);
        for (int p = 0; p < count; ++p) {
            if (!plan_supported(&plans[p], cpu_lanes()))
                continue;
            ScopedPlan forced(&sim, plans[p].name);
            ASSERT_EQ(choose_plan_in_mode(&sim, plans[p].parallel), &plans[p]);
            uint64_t sum = run(s, parallel_frame, plans[p].parallel ? 1 : 0);
            EXPECT_EQ(sum, plans[p].parallel ? s.ordered : s.checksum)
                << std::hex << "0x" << sum << " (" << plans[p].name << ")";
        }
        EXPECT_EQ(sim.forced_plan, nullptr);
    }
}

// The choice: the default in the mode the threads ask for, a forced plan in
// the other mode as its twin, and plans the processor lacks the lanes for
// narrowed down to ones it runs, the plain walk last.
TEST_F(Golden, ChoosePlanFollowsModeAndProcessor)
{
    EXPECT_STREQ(choose_plan(&sim)->name, cpu_lanes().lanes16 ? "auto" : cpu_lanes().lanes8 ? "auto8" : "plain");
    sim.sim_threads = 2;
    EXPECT_TRUE(choose_plan(&sim)->parallel);
    {
        ScopedPlan forced(&sim, "plain");
        EXPECT_STREQ(choose_plan(&sim)->name, "ordered_plain");
        sim.sim_threads = 0;
        EXPECT_STREQ(choose_plan(&sim)->name, "plain");
    }
    EXPECT_EQ(sim.forced_plan, nullptr);
    EXPECT_EQ(ScopedPlan(&sim, "no such plan").plan, nullptr);
    int count = 0;
    const SimPlan* plans = sim_plans(&count);
    const CpuLanes none = {false, false}, avx2 = {false, true};
    for (int p = 0; p < count; ++p) {
        SCOPED_TRACE(plans[p].name);
        ASSERT_NE(find_plan(plans[p].twin), nullptr);
        EXPECT_NE(find_plan(plans[p].twin)->parallel, plans[p].parallel);
        EXPECT_EQ(plan_supported(&plans[p], none), plans[p].walk_lanes == 0 && plans[p].step_lanes == 0);
        // Each narrowing step takes fewer lanes, down to a plan that runs
        // anywhere, in the same mode.
        const SimPlan* q = &plans[p];
        while (!plan_supported(q, avx2)) {
            const SimPlan* next = find_plan(q->narrower);
            ASSERT_NE(next, nullptr);
            EXPECT_EQ(next->parallel, q->parallel);
            EXPECT_LE(next->walk_lanes, q->walk_lanes);
            EXPECT_EQ(next->step_lanes, 0);
            q = next;
        }
        EXPECT_TRUE(plan_supported(q, avx2));
    }
}

// The reach lists leave out entries only while a pass can show that they
// stay out of reach. A heap laid out as a loose lattice jostles and crosses
// cells slowly enough for them to serve; stronger pushes overrun the
// balls' budgets, and those passes are thrown away and walked again over the
// whole lists.
TEST_F(Golden, ReachListsKeepTheBits)
{
    if (!cpu_lanes().lanes8 && !cpu_lanes().lanes16)
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    const int balls = 2700, frames = 200;
    auto lattice_run = [&](const char* plan, const char* settings) {
        lay_lattice(balls, settings);
        ScopedPlan forced(&sim, plan);
        sim.reach_counts = ReachCounts{0, 0, 0};
        for (int n = 0; n < frames; ++n) {
            sequential_frame(&sim, &map);
            char fault[256] = "";
            EXPECT_TRUE(check_reach_lists(&sim, fault)) << "frame " << n << ": " << fault;
        }
        return state_checksum(sim);
    };
    for (const char* settings : {"", "cl=60"}) {
        const uint64_t plain = lattice_run("plain", settings);
        // The default's lanes, and eight lanes as without AVX-512.
        for (const char* plan : {"auto", "wide8"}) {
            if (!plan_supported(find_plan(plan), cpu_lanes()))
                continue;
            SCOPED_TRACE(testing::Message() << "\"" << settings << "\", " << plan);
            EXPECT_EQ(lattice_run(plan, settings), plain);
            EXPECT_GT(sim.reach_counts.passes, frames / 10);
            if (*settings) {
                EXPECT_GT(sim.reach_counts.redone, 0);
            }
            char fault[256] = "";
            EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
        }
    }
}

// In a deep heap the balls low down take strong pushes that cancel out:
// their sums come near their budgets, and passes that overrun one are
// thrown away and walked again over the whole lists. The budgets widen and
// the lists keep serving, with the whole lists' bits.
TEST_F(Golden, ReachListsHoldInADeepHeap)
{
    if (!cpu_lanes().lanes8 && !cpu_lanes().lanes16)
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    auto heap_run = [&](const char* plan) {
        lay_lattice(31 * 31 * 10, "t=10 g=100");
        {
            ScopedPlan forced(&sim, "plain");
            for (int n = 0; n < 100; ++n)  // settles
                sequential_frame(&sim, &map);
        }
        ScopedPlan forced(&sim, plan);
        sim.reach_counts = ReachCounts{0, 0, 0};
        for (int n = 0; n < 40; ++n) {
            sequential_frame(&sim, &map);
            char fault[256] = "";
            if (n % 10 == 9) {
                EXPECT_TRUE(check_reach_lists(&sim, fault)) << "frame " << n << ": " << fault;
            }
        }
        return state_checksum(sim);
    };
    const uint64_t plain = heap_run("plain");
    EXPECT_EQ(heap_run("auto"), plain);
    EXPECT_GT(sim.reach_counts.passes, 0);
    EXPECT_GT(sim.reach_counts.redone, 0);
}

// Runs one reach pass from the positions at hand and the plain walk from
// the same positions: the pass must serve and give the plain walk's bits.
static void expect_reach_pass_as_plain(SimState& sim)
{
    const size_t n = (size_t)sim.ball_count;
    const std::vector<Vec3> start(sim.ball_pos, sim.ball_pos + n);
    ASSERT_TRUE(repel_reach(&sim, choose_plan_in_mode(&sim, false), (double)sim.repulsion_coef));
    char fault[256] = "";
    EXPECT_TRUE(check_reach_lists(&sim, fault)) << fault;
    const std::vector<Vec3> reach(sim.ball_pos, sim.ball_pos + n);
    std::copy(start.begin(), start.end(), sim.ball_pos);
    ScopedPlan forced(&sim, "plain");
    repel_balls(&sim);
    EXPECT_EQ(std::memcmp(reach.data(), sim.ball_pos, n * sizeof(Vec3)), 0);
}

// A coordinate that is not a number stops a reach pass before any ball
// moves, whether the lists are still to be built or already serve; every
// list is then built anew, since anchors given before the stop were never
// made known to the lists around them. With the coordinate a number again
// the lists serve, exact.
TEST_F(Golden, ReachPassStopsAtACoordinateThatIsNotANumber)
{
    if (!cpu_lanes().lanes8 && !cpu_lanes().lanes16)
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    for (float bad : {NAN, INFINITY})
        for (int frames : {0, 12}) {
            SCOPED_TRACE(testing::Message() << bad << " after " << frames << " frames");
            lay_lattice(2700, "");
            for (int n = 0; n < frames; ++n)
                sequential_frame(&sim, &map);
            ASSERT_EQ(sim.rs.rest, 0);
            // Late in ball order, so that the pass first gives anchors to the
            // balls before it, and not among the balls sampled for speed.
            const int b = sim.ball_count - 7;
            const Vec3 keep = sim.ball_pos[b];
            sim.ball_pos[b].y = bad;
            const std::vector<Vec3> before(sim.ball_pos, sim.ball_pos + sim.ball_count);
            EXPECT_FALSE(repel_reach(&sim, choose_plan_in_mode(&sim, false), (double)sim.repulsion_coef));
            EXPECT_EQ(std::memcmp(before.data(), sim.ball_pos, before.size() * sizeof(Vec3)), 0) << "a ball moved";
            EXPECT_TRUE(sim.rs.all_dirty);
            sim.ball_pos[b] = keep;
            expect_reach_pass_as_plain(sim);
        }
}

// Memory refused for the reach lists: the passes walk the whole lists with
// the same bits, and ask again only after a rest, not every frame; once the
// memory is there the lists serve.
TEST_F(Golden, ReachListsWithoutMemoryWalkTheWholeLists)
{
    if (!cpu_lanes().lanes8 && !cpu_lanes().lanes16)
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    const int balls = 2700, frames = 60;
    lay_lattice(balls, "");
    {
        ScopedPlan forced(&sim, "plain");
        for (int n = 0; n < frames; ++n)
            sequential_frame(&sim, &map);
    }
    const uint64_t plain = state_checksum(sim);

    lay_lattice(balls, "");
    sim.reach_counts = ReachCounts{0, 0, 0};
    sim.rs.bytes_limit = 1;
    sequential_frame(&sim, &map);
    EXPECT_EQ(sim.rs.pool, nullptr);
    EXPECT_EQ(sim.rs.rest, REACH_REST_FIRST);
    for (int n = 1; n < 10; ++n)
        sequential_frame(&sim, &map);
    EXPECT_EQ(sim.reach_counts.passes, 0);
    sim.rs.bytes_limit = SIZE_MAX;
    for (int n = 10; n < frames; ++n)
        sequential_frame(&sim, &map);
    EXPECT_GT(sim.reach_counts.passes, 0);
    EXPECT_EQ(state_checksum(sim), plain);
}

// The parallel mode's order depends neither on the number of threads, nor on
// how each thread walks (lanes of either width, or the plain walk).
TEST_F(Golden, ParallelModeGivesTheSameBitsForAnyThreadCount)
{
    struct Run {
        int threads;
        const char* plan;
    } runs[] = {{1, "ordered"}, {2, "ordered"}, {3, "ordered8"}, {4, "ordered_plain"}};
    long frames = 0, builds = 0, runs_done = 0;
    for (const GoldenScene& s : GOLDEN_SCENES) {
        SCOPED_TRACE(s.name);
        for (const Run& r : runs) {
            ScopedPlan forced(&sim, r.plan);
            const uint64_t sum = run(s, parallel_frame, r.threads);
            EXPECT_EQ(sum, s.ordered) << std::hex << "0x" << sum << ", " << r.threads << " threads, " << r.plan;
            long f = 0, b = 0;
            ordered_build_counts(&sim, &f, &b);
            frames += f;
            builds += b;
            runs_done++;
        }
        // Not the sequential order: the mode really ran.
        if (s.field > 2) {
            EXPECT_NE(s.ordered, s.checksum);
        }
    }
    // The lists were kept across frames, and built again when balls travelled
    // (most frames of these scenes: the balls are falling).
    EXPECT_LT(builds, frames);
    EXPECT_GT(builds, runs_done);
}

// Balls written from outside between ordered frames, told one by one (the
// teleports, and any writer through note_ball_written), are taken in as a
// fresh start of the engine takes in every ball.
TEST_F(Golden, OrderedEngineTakesInBallsWrittenBetweenFrames)
{
    const GoldenScene& s = GOLDEN_SCENES[3];
    MapLayers layers = {};
    layers.teleport_count = 1;
    // The lowest units on the left, moved up and to the right.
    layers.teleports[0] = Teleport{LayerBox{{0, 0, 0}, {9, 3, 39}}, LayerBox{{25, 20, 0}, {34, 23, 39}}};
    auto teleported = [&](bool told, bool teleports) {
        free_balls(&sim);
        free_normal_field(&map.field);
        start(s.field, s.grid, "count=" + std::to_string(s.balls) + " " + s.settings, GOLDEN_SEED);
        lay_solid_slab(&map);
        ScopedPlan forced(&sim, "ordered");
        sim.sim_threads = 2;
        for (int n = 0; n < 80; ++n) {
            parallel_frame(&sim, &map);
            if (teleports) {
                EXPECT_TRUE(apply_teleports(&sim, &layers));
            }
            // A writer of one ball's position, at every tenth frame.
            if (n % 10 == 9) {
                const int i = (n * 97) % sim.ball_count;
                sim.ball_pos[i].y = std::min(sim.ball_pos[i].y + 3.0f, sim.field_extent);
                note_ball_written(&sim, i);
            }
            if (!told)
                note_balls_written(&sim);
        }
        parallel_frame(&sim, &map);
        char fault[256] = "";
        EXPECT_TRUE(check_ordered_engine(&sim, fault)) << fault;
        sim.sim_threads = 0;
        return state_checksum(sim);
    };
    const uint64_t fresh = teleported(false, true);
    EXPECT_EQ(teleported(true, true), fresh);
    EXPECT_NE(teleported(true, false), fresh) << "no ball was teleported";
}

// Without memory for its lists, the parallel mode ends the frame with an
// error (the balls of the slabs concerned are not pushed) and builds them
// again at the next frame; once the memory is there the frames serve.
TEST_F(Golden, ParallelModeWithoutMemoryForItsListsEndsTheFrameWithAnError)
{
    start(20, 20, "count=6000", 4242);
    ScopedPlan forced(&sim, "ordered");
    sim.sim_threads = 2;
    limit_parallel_lists(&sim, 0);
    for (int n = 0; n < 3; ++n)
        EXPECT_FALSE(simulate_step(&sim, &map)) << "frame " << n;
    limit_parallel_lists(&sim, SIZE_MAX);
    for (int n = 0; n < 3; ++n)
        EXPECT_TRUE(simulate_step(&sim, &map)) << "frame " << n;
    sim.sim_threads = 0;
    char fault[256] = "";
    EXPECT_TRUE(check_ordered_engine(&sim, fault)) << fault;
}

TEST_F(Golden, ThreadsSettingSelectsTheParallelMode)
{
    start(10, 10, "count=10 threads=3");
    EXPECT_EQ(sim.sim_threads, 3);
    free_balls(&sim);
    free_normal_field(&map.field);
    std::remove(settings_path.c_str());
    start(10, 10, "count=10");
    EXPECT_EQ(sim.sim_threads, 0);
}

// The parallel mode pushes the same pairs with the same formulas, in another
// order: one frame from the same state moves every ball nearly as the
// sequential frame does. A walk left out would lose about half of a ball's
// push; the order alone changes it far less.
TEST_F(Golden, ParallelModePushesTheSamePairs)
{
    start(40, 20, "count=6000 g=0", 777);
    const size_t n = (size_t)sim.ball_count;
    std::vector<Vec3> pos(sim.ball_pos, sim.ball_pos + n), prev(sim.ball_prev, sim.ball_prev + n);
    ASSERT_TRUE(simulate_step(&sim, &map));
    std::vector<Vec3> sequential(sim.ball_pos, sim.ball_pos + n);
    // Back to the start: the registrations that moved move back.
    for (size_t i = 0; i < n; ++i) {
        sim.ball_pos[i] = pos[i];
        sim.ball_prev[i] = prev[i];
        ASSERT_TRUE(move_registration(&sim, (int)i));
    }
    sim.sim_threads = 2;
    ASSERT_TRUE(simulate_step(&sim, &map));
    sim.sim_threads = 0;
    double moved = 0.0, differ = 0.0;
    for (size_t i = 0; i < n; ++i) {
        Vec3 d = vec3_sub(sequential[i], pos[i]), e = vec3_sub(sim.ball_pos[i], sequential[i]);
        moved += std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z);
        differ += std::fabs(e.x) + std::fabs(e.y) + std::fabs(e.z);
    }
    EXPECT_GT(moved, 0.0);
    EXPECT_LT(differ, 0.1 * moved) << differ / moved;
}

// The lists the parallel mode builds name every ball within one unit, none
// twice and none beyond its reach: across slab borders, in crowded cells, in
// fields narrower than the slabs, scattered and piled (checked after its
// frames, at least one, so that it holds the balls).
TEST_F(Golden, ParallelListsNameTheNeighbours)
{
    struct Case {
        int field, balls, frames, threads;
    } cases[] = {{20, 6000, 1, 1}, {20, 6000, 40, 2}, {3, 500, 5, 1}, {9, 2000, 30, 3}, {40, 1, 1, 1}};
    for (const Case& c : cases) {
        free_balls(&sim);
        free_normal_field(&map.field);
        start(c.field, c.field, "count=" + std::to_string(c.balls), 4242);
        sim.sim_threads = c.threads;
        for (int n = 0; n < c.frames; ++n)
            ASSERT_TRUE(simulate_step(&sim, &map));
        sim.sim_threads = 0;
        char fault[256] = "";
        EXPECT_TRUE(check_ordered_engine(&sim, fault)) << "field " << c.field << ": " << fault;
    }
}

// A scene's map and balls in a simulation of their own, released at the end.
struct OwnScene {
    SimState sim;
    MapHeader map = {};
    ~OwnScene()
    {
        free_balls(&sim);
        free_normal_field(&map.field);
    }
    // The balls come from the generator as the caller seeded it.
    void start(const GoldenScene& s)
    {
        map.field_size = (uint16_t)s.field;
        map.grid_size = (uint16_t)s.grid;
        ASSERT_TRUE(alloc_normal_field(&map.field, map.grid_size));
        std::string path = write_settings("[balls]\ncount=" + std::to_string(s.balls) + " " + s.settings + "\n");
        const char* reason = nullptr;
        bool ok = init_balls_from(&sim, &map, path.c_str(), &reason);
        std::remove(path.c_str());
        ASSERT_TRUE(ok) << reason;
        if (s.solid)
            lay_solid_slab(&map);
    }
};

// Two simulations in one process share nothing: seeded both before either
// starts, then stepped frame by frame in turn, one in the sequential mode and
// one in the parallel mode on another map, each ends as it does alone.
TEST_F(Golden, TwoSimulationsRunIndependently)
{
    const GoldenScene& a = GOLDEN_SCENES[2];
    const GoldenScene& b = GOLDEN_SCENES[3];
    const uint64_t b_alone = run(b, parallel_frame, 2);
    OwnScene one, two;
    seed_ball_random(&one.sim, GOLDEN_SEED);
    seed_ball_random(&two.sim, GOLDEN_SEED);
    one.start(a);
    two.start(b);
    two.sim.sim_threads = 2;
    for (int n = 0; n < std::max(a.frames, b.frames); ++n) {
        if (n < a.frames)
            sequential_frame(&one.sim, &one.map);
        if (n < b.frames)
            parallel_frame(&two.sim, &two.map);
    }
    EXPECT_EQ(state_checksum(one.sim), a.checksum) << "sequential";
    EXPECT_EQ(state_checksum(two.sim), b_alone) << "parallel";
}
