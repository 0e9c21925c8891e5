// A frame through libksm against the same frame through the engine's own
// calls (as bench_sim and the programs make it): the demo map, the same
// balls and seed, warmed up into a heap, then the same number of frames
// each, so both time the same states bit for bit. The library's copy of the
// engine is its own (its symbols are hidden), so the two runs share nothing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "balls.h"
#include "ksm/ksm.h"
#include "sim_frame.h"
#include "sim_state.h"
#include "viewer_run.h"

namespace {

const int BALLS = 20000;
const int WARM_UP = 300;
const int FRAMES = 400;

void frame_engine(benchmark::State& state)
{
    LoadedMap map{};
    std::string settings = "/tmp/ksm_bench_lib.ini";
    if (FILE* f = std::fopen(settings.c_str(), "wb")) {
        std::fprintf(f, "[balls]\ncount=%d\n", BALLS);
        std::fclose(f);
    }
    if (!load_usable_map(KSM_DEMO_MAP, &map).empty()) {
        state.SkipWithError("the demo map cannot be loaded");
        return;
    }
    SimState sim;
    seed_ball_random(&sim, 1);
    init_balls_from(&sim, &map.header, settings.c_str(), nullptr, &map.layers);
    for (int i = 0; i < WARM_UP; ++i)
        simulate_frame(&sim, &map);
    for (auto _ : state)
        simulate_frame(&sim, &map);
    state.counters["checksum_low"] = (double)(ball_checksum(&sim) & 0xFFFF);
    free_balls(&sim);
    free_loaded_map(&map);
}

void frame_library(benchmark::State& state)
{
    ksm_map* map = nullptr;
    ksm_sim* sim = nullptr;
    ksm_settings s;
    ksm_settings_init(&s);
    s.count = BALLS;
    s.seed_given = 1;
    s.seed = 1;
    if (ksm_map_load(KSM_DEMO_MAP, &map, nullptr, 0) != KSM_OK ||
        ksm_sim_create(map, &s, &sim, nullptr, 0) != KSM_OK) {
        state.SkipWithError("the library cannot start the demo");
        ksm_map_free(map);
        return;
    }
    ksm_sim_step(sim, WARM_UP, nullptr, 0);
    for (auto _ : state)
        ksm_sim_step(sim, 1, nullptr, 0);
    state.counters["checksum_low"] = (double)(ksm_sim_checksum(sim) & 0xFFFF);
    ksm_sim_free(sim);
    ksm_map_free(map);
}

}  // namespace

BENCHMARK(frame_engine)->Iterations(FRAMES)->Unit(benchmark::kMillisecond);
BENCHMARK(frame_library)->Iterations(FRAMES)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
