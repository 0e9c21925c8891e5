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
};

// FNV-1a over the bytes of the position arrays.
static uint64_t state_checksum()
{
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](const void* data, size_t bytes) {
        const unsigned char* b = (const unsigned char*)data;
        for (size_t i = 0; i < bytes; ++i)
            h = (h ^ b[i]) * 1099511628211ull;
    };
    mix(ball_pos, sizeof(Vec3) * (size_t)ball_count);
    mix(ball_prev, sizeof(Vec3) * (size_t)ball_count);
    return h;
}

struct Golden : SimFixture {
    // Runs a scene with the given pass and returns the checksum.
    uint64_t run(const GoldenScene& s, void (*frame)(MapHeader*), int threads = 0)
    {
        free_balls();
        free_normal_field(&map.field);
        start(s.field, s.grid, "count=" + std::to_string(s.balls) + " " + s.settings, 20260101);
        if (s.solid) {
            // A slab of solid cells pushing up, with a sloped face.
            for (int x = 0; x < s.grid; ++x)
                for (int z = 0; z < s.grid / 2; ++z)
                    for (int y = 0; y <= z / 2; ++y) {
                        int16_t* c = field_cell_at(x, y, z);
                        c[1] = (int16_t)(-(z / 2 - y + 1));
                        c[2] = 1;
                    }
        }
        sim_threads = threads;
        for (int n = 0; n < s.frames; ++n)
            frame(&map);
        sim_threads = 0;
        char fault[256] = "";
        EXPECT_TRUE(check_cell_lists(fault)) << fault;
        return state_checksum();
    }

    // A heap of `balls` balls laid out as a loose lattice, side 31, its sites
    // in a shuffled order, so that neighbours are far apart in ball order and
    // the walks run side by side.
    void lay_lattice(int balls, const std::string& settings)
    {
        const int side = 31;
        free_balls();
        free_normal_field(&map.field);
        start(32, 32, "count=" + std::to_string(balls) + " " + settings, 5);
        unregister_all();
        std::vector<int> site(balls);
        for (int k = 0; k < balls; ++k)
            site[k] = k;
        for (int k = balls - 1; k > 0; --k)
            std::swap(site[k], site[(ball_random() * 32768 + ball_random()) % (k + 1)]);
        for (int k = 0; k < balls; ++k)
            place(site[k], Vec3{1.25f + 0.97f * (k % side) + 0.01f * (k % 7), 1.25f + 0.97f * (k / side / side),
                                1.25f + 0.97f * (k / side % side) + 0.01f * (k % 5)});
    }
};

static const GoldenScene GOLDEN_SCENES[] = {
    {"small field, crowded heap", 10, 10, 2000, 300, "", false, 0xadbf15cd4db3ecb3ull},
    {"one crowded cell", 2, 2, 300, 200, "cl=40", false, 0xb5bc71b20c02bd57ull},
    {"collision field", 16, 8, 3000, 300, "", true, 0x28cc678b0a9d2013ull},
    {"sparse, strong gravity", 40, 20, 4000, 300, "g=200", true, 0xa97b5916736ee608ull},
};

static void sequential_frame(MapHeader* map)
{
    repel_balls();
    ASSERT_TRUE(step_balls(map));
}

TEST_F(Golden, SequentialModeKeepsItsBits)
{
    // The default may walk reach lists; the others walk the whole lists.
    const RepelPath paths[] = {REPEL_AUTO, REPEL_PLAIN, REPEL_WIDE, REPEL_WIDE8};
    const char* names[] = {"default", "plain", "wide", "eight lanes"};
    const bool runs[] = {true, true, repel_wide_supported(), repel_wide8_supported()};
    for (const GoldenScene& s : GOLDEN_SCENES) {
        SCOPED_TRACE(s.name);
        for (int p = 0; p < 4; ++p) {
            if (!runs[p])
                continue;
            repel_path = paths[p];
            uint64_t sum = run(s, sequential_frame);
            repel_path = REPEL_AUTO;
            EXPECT_EQ(sum, s.checksum) << std::hex << "0x" << sum << " (" << names[p] << ")";
        }
    }
}

// The reach lists leave out entries only while a pass can show that they
// stay out of reach. A heap laid out as a loose lattice jostles and crosses
// cells slowly enough for them to serve; stronger pushes overrun the
// balls' budgets, and those passes are thrown away and walked again over the
// whole lists.
TEST_F(Golden, ReachListsKeepTheBits)
{
    if (!repel_wide_supported())
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    const int balls = 2700, frames = 200;
    auto lattice_run = [&](RepelPath path, const char* settings) {
        lay_lattice(balls, settings);
        repel_path = path;
        reach_counts = ReachCounts{0, 0, 0};
        for (int n = 0; n < frames; ++n) {
            sequential_frame(&map);
            char fault[256] = "";
            EXPECT_TRUE(check_reach_lists(fault)) << "frame " << n << ": " << fault;
        }
        repel_path = REPEL_AUTO;
        return state_checksum();
    };
    for (const char* settings : {"", "cl=60"}) {
        const uint64_t plain = lattice_run(REPEL_PLAIN, settings);
        // The default's lanes, and eight lanes as without AVX-512.
        for (RepelPath path : {REPEL_AUTO, REPEL_WIDE8}) {
            if (path == REPEL_WIDE8 && !repel_wide8_supported())
                continue;
            SCOPED_TRACE(testing::Message() << "\"" << settings << "\", " << (path == REPEL_AUTO ? "default" : "eight lanes"));
            EXPECT_EQ(lattice_run(path, settings), plain);
            EXPECT_GT(reach_counts.passes, frames / 10);
            if (*settings) {
                EXPECT_GT(reach_counts.redone, 0);
            }
            char fault[256] = "";
            EXPECT_TRUE(check_cell_lists(fault)) << fault;
        }
    }
}

// In a deep heap the balls low down take strong pushes that cancel out:
// their sums come near their budgets, and passes that overrun one are
// thrown away and walked again over the whole lists. The budgets widen and
// the lists keep serving, with the whole lists' bits.
TEST_F(Golden, ReachListsHoldInADeepHeap)
{
    if (!repel_wide_supported())
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    auto heap_run = [&](RepelPath path) {
        lay_lattice(31 * 31 * 10, "t=10 g=100");
        repel_path = REPEL_PLAIN;
        for (int n = 0; n < 100; ++n)  // settles
            sequential_frame(&map);
        repel_path = path;
        reach_counts = ReachCounts{0, 0, 0};
        for (int n = 0; n < 40; ++n) {
            sequential_frame(&map);
            char fault[256] = "";
            if (n % 10 == 9) {
                EXPECT_TRUE(check_reach_lists(fault)) << "frame " << n << ": " << fault;
            }
        }
        repel_path = REPEL_AUTO;
        return state_checksum();
    };
    const uint64_t plain = heap_run(REPEL_PLAIN);
    EXPECT_EQ(heap_run(REPEL_AUTO), plain);
    EXPECT_GT(reach_counts.passes, 0);
    EXPECT_GT(reach_counts.redone, 0);
}

// Runs one reach pass from the positions at hand and the plain walk from
// the same positions: the pass must serve and give the plain walk's bits.
static void expect_reach_pass_as_plain()
{
    const size_t n = (size_t)ball_count;
    const std::vector<Vec3> start(ball_pos, ball_pos + n);
    ASSERT_TRUE(repel_reach((double)repulsion_coef));
    char fault[256] = "";
    EXPECT_TRUE(check_reach_lists(fault)) << fault;
    const std::vector<Vec3> reach(ball_pos, ball_pos + n);
    std::copy(start.begin(), start.end(), ball_pos);
    repel_path = REPEL_PLAIN;
    repel_balls();
    repel_path = REPEL_AUTO;
    EXPECT_EQ(std::memcmp(reach.data(), ball_pos, n * sizeof(Vec3)), 0);
}

// A coordinate that is not a number stops a reach pass before any ball
// moves, whether the lists are still to be built or already serve; every
// list is then built anew, since anchors given before the stop were never
// made known to the lists around them. With the coordinate a number again
// the lists serve, exact.
TEST_F(Golden, ReachPassStopsAtACoordinateThatIsNotANumber)
{
    if (!repel_wide_supported())
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    for (float bad : {NAN, INFINITY})
        for (int frames : {0, 12}) {
            SCOPED_TRACE(testing::Message() << bad << " after " << frames << " frames");
            lay_lattice(2700, "");
            for (int n = 0; n < frames; ++n)
                sequential_frame(&map);
            ASSERT_EQ(rs.rest, 0);
            // Late in ball order, so that the pass first gives anchors to the
            // balls before it, and not among the balls sampled for speed.
            const int b = ball_count - 7;
            const Vec3 keep = ball_pos[b];
            ball_pos[b].y = bad;
            const std::vector<Vec3> before(ball_pos, ball_pos + ball_count);
            EXPECT_FALSE(repel_reach((double)repulsion_coef));
            EXPECT_EQ(std::memcmp(before.data(), ball_pos, before.size() * sizeof(Vec3)), 0) << "a ball moved";
            EXPECT_TRUE(rs.all_dirty);
            ball_pos[b] = keep;
            expect_reach_pass_as_plain();
        }
}

// Memory refused for the reach lists: the passes walk the whole lists with
// the same bits, and ask again only after a rest, not every frame; once the
// memory is there the lists serve.
TEST_F(Golden, ReachListsWithoutMemoryWalkTheWholeLists)
{
    if (!repel_wide_supported())
        GTEST_SKIP() << "no vector lanes: the reach lists are not used here";
    const int balls = 2700, frames = 60;
    lay_lattice(balls, "");
    repel_path = REPEL_PLAIN;
    for (int n = 0; n < frames; ++n)
        sequential_frame(&map);
    repel_path = REPEL_AUTO;
    const uint64_t plain = state_checksum();

    lay_lattice(balls, "");
    reach_counts = ReachCounts{0, 0, 0};
    rs.bytes_limit = 1;
    sequential_frame(&map);
    EXPECT_EQ(rs.pool, nullptr);
    EXPECT_EQ(rs.rest, REACH_REST_FIRST);
    for (int n = 1; n < 10; ++n)
        sequential_frame(&map);
    EXPECT_EQ(reach_counts.passes, 0);
    rs.bytes_limit = SIZE_MAX;
    for (int n = 10; n < frames; ++n)
        sequential_frame(&map);
    EXPECT_GT(reach_counts.passes, 0);
    EXPECT_EQ(state_checksum(), plain);
}

static void parallel_frame(MapHeader* map)
{
    ASSERT_TRUE(simulate_step(map));
}

// The parallel mode's schedule depends neither on the number of threads nor
// on the way each thread runs its walks.
TEST_F(Golden, ParallelModeGivesTheSameBitsForAnyThreadCount)
{
    for (const GoldenScene& s : GOLDEN_SCENES) {
        SCOPED_TRACE(s.name);
        uint64_t one = run(s, parallel_frame, 1);
        EXPECT_EQ(run(s, parallel_frame, 2), one) << "2 threads";
        repel_path = REPEL_PLAIN;
        EXPECT_EQ(run(s, parallel_frame, 4), one) << "4 threads, plain walks";
        if (repel_wide8_supported()) {
            repel_path = REPEL_WIDE8;
            EXPECT_EQ(run(s, parallel_frame, 3), one) << "3 threads, eight lanes";
        }
        repel_path = REPEL_AUTO;
        // Not the sequential order: the mode really ran.
        if (s.field > 2) {
            EXPECT_NE(one, s.checksum);
        }
    }
}

static void parallel_frame_without_lists(MapHeader* map)
{
    limit_parallel_lists(0);
    parallel_frame(map);
}

// Without memory for the lists it builds, the parallel mode walks the
// neighbour lists through the balls' ranks: the pushes of a walk in another
// order, so other bits, but again the same for any thread count and way of
// walking.
TEST_F(Golden, ParallelModeWithoutMemoryForItsListsWalksTheNeighbourLists)
{
    GoldenScene s = GOLDEN_SCENES[2];
    s.frames = 60;
    const uint64_t built = run(s, parallel_frame, 2);
    const uint64_t one = run(s, parallel_frame_without_lists, 1);
    EXPECT_NE(one, built);
    EXPECT_EQ(run(s, parallel_frame_without_lists, 3), one) << "3 threads";
    repel_path = REPEL_PLAIN;
    EXPECT_EQ(run(s, parallel_frame_without_lists, 2), one) << "2 threads, plain walks";
    // The lanes read entries through the ranks from their ring, at either width.
    if (repel_wide_supported()) {
        repel_path = REPEL_WIDE;
        EXPECT_EQ(run(s, parallel_frame_without_lists, 2), one) << "2 threads, widest lanes";
    }
    if (repel_wide8_supported()) {
        repel_path = REPEL_WIDE8;
        EXPECT_EQ(run(s, parallel_frame_without_lists, 2), one) << "2 threads, eight lanes";
    }
    repel_path = REPEL_AUTO;
}

TEST_F(Golden, ThreadsSettingSelectsTheParallelMode)
{
    start(10, 10, "count=10 threads=3");
    EXPECT_EQ(sim_threads, 3);
    free_balls();
    free_normal_field(&map.field);
    std::remove(settings_path.c_str());
    start(10, 10, "count=10");
    EXPECT_EQ(sim_threads, 0);
}

// The parallel mode pushes the same pairs with the same formulas, in another
// order: one frame from the same state moves every ball nearly as the
// sequential frame does. A walk left out would lose about half of a ball's
// push; the order alone changes it far less. So also when the mode walks
// the neighbour lists, its own lists refused.
TEST_F(Golden, ParallelModePushesTheSamePairs)
{
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "lists refused" : "lists built");
        free_balls();
        free_normal_field(&map.field);
        start(40, 20, "count=6000 g=0", 777);
        const size_t n = (size_t)ball_count;
        std::vector<Vec3> pos(ball_pos, ball_pos + n), prev(ball_prev, ball_prev + n);
        ASSERT_TRUE(simulate_step(&map));
        std::vector<Vec3> sequential(ball_pos, ball_pos + n);
        // Back to the start: the registrations that moved move back.
        for (size_t i = 0; i < n; ++i) {
            ball_pos[i] = pos[i];
            ball_prev[i] = prev[i];
            ASSERT_TRUE(move_registration((int)i));
        }
        if (refused)
            limit_parallel_lists(0);
        sim_threads = 2;
        ASSERT_TRUE(simulate_step(&map));
        sim_threads = 0;
        double moved = 0.0, differ = 0.0;
        for (size_t i = 0; i < n; ++i) {
            Vec3 d = vec3_sub(sequential[i], pos[i]), e = vec3_sub(ball_pos[i], sequential[i]);
            moved += std::fabs(d.x) + std::fabs(d.y) + std::fabs(d.z);
            differ += std::fabs(e.x) + std::fabs(e.y) + std::fabs(e.z);
        }
        EXPECT_GT(moved, 0.0);
        EXPECT_LT(differ, 0.1 * moved) << differ / moved;
    }
}

// The lists the parallel mode builds from the balls' cells name exactly the
// balls of the neighbour lists: across slab borders, in crowded cells, in
// fields narrower than the slabs, scattered and piled.
TEST_F(Golden, ParallelListsNameTheNeighbours)
{
    // Frames in the parallel mode leave its order of the balls behind, from
    // which the check sorts again.
    struct Case {
        int field, balls, frames, threads;
    } cases[] = {{20, 6000, 0, 0}, {20, 6000, 40, 2}, {3, 500, 5, 0}, {9, 2000, 30, 3}, {40, 1, 0, 0}};
    for (const Case& c : cases) {
        free_balls();
        free_normal_field(&map.field);
        start(c.field, c.field, "count=" + std::to_string(c.balls), 4242);
        sim_threads = c.threads;
        for (int n = 0; n < c.frames; ++n)
            ASSERT_TRUE(simulate_step(&map));
        sim_threads = 0;
        char fault[256] = "";
        EXPECT_TRUE(check_parallel_lists(fault)) << "field " << c.field << ": " << fault;
    }
}
