// The partner limit: a walk visits at most the last partner_limit entries of
// its list, the same ones on every path, and the simulation notes that it
// cut a walk short.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ordered.h"
#include "repulsion_walk.h"
#include "sim_fixture.h"

namespace {

// How a run makes its frames.
struct Path {
    const char* name;
    const char* plan;   // the plan forced (sim_plan.h)
    int threads;        // 0: the sequential mode
    bool runs;
};

uint64_t positions_checksum(const SimState& sim)
{
    uint64_t h = 1469598103934665603ull;
    const unsigned char* b[2] = {(const unsigned char*)sim.ball_pos, (const unsigned char*)sim.ball_prev};
    for (const unsigned char* p : b)
        for (size_t i = 0; i < sizeof(Vec3) * (size_t)sim.ball_count; ++i)
            h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

}  // namespace

struct RepulsionLimit : SimFixture {
    // A loose lattice of `balls` balls at rest in a field of side 32, the
    // reach lists' kind of scene: lists of about thirty entries.
    void lay_lattice(int balls)
    {
        start(32, 32, "count=" + std::to_string(balls), 5);
        unregister_all();
        const int side = 31;
        for (int k = 0; k < balls; ++k)
            place(k, Vec3{1.25f + 0.97f * (k % side) + 0.01f * (k % 7), 1.25f + 0.97f * (k / side / side),
                          1.25f + 0.97f * (k / side % side) + 0.01f * (k % 5)});
    }

    // Runs `frames` frames of a scene on a path with the given limit: the
    // checksum, and whether the limit was noted as hit.
    uint64_t run(bool crowded, int limit, const Path& path, bool* hit)
    {
        free_balls(&sim);
        free_normal_field(&map.field);
        if (crowded)
            start(2, 2, "count=600", 99);  // every list holds every ball
        else
            lay_lattice(2700);
        sim.partner_limit = limit;
        ScopedPlan forced(&sim, path.plan);
        sim.sim_threads = path.threads;
        for (int n = 0; n < 30; ++n)
            EXPECT_TRUE(simulate_step(&sim, &map));
        sim.sim_threads = 0;
        char fault[256] = "";
        EXPECT_TRUE(refresh_cell_lists(&sim));
        EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
        *hit = sim.partner_limit_hit;
        return positions_checksum(sim);
    }
};

// Every path cuts the walks at the same entry: the sequential paths give one
// result, the parallel mode (whose order differs) another, and each differs
// from the uncut walks. In the lattice the cut lists are short enough for
// reach lists, which must then give way to the cut whole lists. With the real
// limit neither scene reaches it.
TEST_F(RepulsionLimit, EveryPathCutsTheWalksAlike)
{
    const bool wide = cpu_lanes().lanes16 || cpu_lanes().lanes8, wide8 = cpu_lanes().lanes8;
    const Path sequential[] = {{"plain", "plain", 0, true},
                               {"default", "auto", 0, true},
                               {"widest lanes", "wide", 0, wide},
                               {"eight lanes", "wide8", 0, wide8}};
    const Path parallel[] = {{"1 thread", "ordered", 1, true},
                             {"2 threads, plain", "ordered_plain", 2, true},
                             {"3 threads, eight lanes", "ordered8", 3, wide8}};
    struct Scene {
        const char* name;
        bool crowded;
        int limit;
        int parallel_limit;  // the parallel mode's lists hold only the balls within its reach: 6 in the lattice
    } scenes[] = {{"600 balls in one cell", true, 50, 50}, {"lattice", false, 24, 4}};
    for (const Scene& scene : scenes) {
        SCOPED_TRACE(scene.name);
        for (const auto& group : {std::vector<Path>(std::begin(sequential), std::end(sequential)),
                                  std::vector<Path>(std::begin(parallel), std::end(parallel))}) {
            bool hit = false;
            const int limit = group[0].threads > 0 ? scene.parallel_limit : scene.limit;
            const uint64_t uncut = run(scene.crowded, PARTNER_LIMIT, group[0], &hit);
            EXPECT_FALSE(hit) << group[0].name << ", the real limit";
            const uint64_t first = run(scene.crowded, limit, group[0], &hit);
            EXPECT_TRUE(hit) << group[0].name;
            EXPECT_NE(first, uncut) << group[0].name;
            for (const Path& path : group) {
                if (!path.runs)
                    continue;
                hit = false;
                EXPECT_EQ(run(scene.crowded, limit, path, &hit), first) << path.name;
                EXPECT_TRUE(hit) << path.name;
            }
        }
    }
}
