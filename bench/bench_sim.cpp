// Speed of the simulation pass of one frame (repulsion, then the integration
// step) on settled heaps of balls, without a window. The figure of interest
// is the time per ball and step ("per_ball").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "balls.h"
#include "map_format.h"

namespace {

struct Scene {
    int balls;
    int field;
    int warm_up_steps;
};

MapHeader bench_map = {};
int loaded_balls = -1;
int loaded_field = -1;

// Default settings but the count, written once to a scratch file.
std::string settings_file(int balls)
{
    std::string path = "/tmp/ksm_bench_sim_" + std::to_string(balls) + ".ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fprintf(f, "[balls]\ncount=%d\n", balls);
        std::fclose(f);
    }
    return path;
}

// Scatters the balls over an empty field and lets them fall and settle.
// The same scene serves every repetition of a benchmark.
bool prepare(const Scene& scene)
{
    if (loaded_balls == scene.balls && loaded_field == scene.field)
        return true;
    free_balls();
    free_normal_field(&bench_map.field);
    bench_map.field_size = (uint16_t)scene.field;
    bench_map.grid_size = (uint16_t)scene.field;
    if (!alloc_normal_field(&bench_map.field, bench_map.grid_size))
        return false;
    std::string path = settings_file(scene.balls);
    seed_ball_random(20240601);
    bool ok = init_balls_from(&bench_map, path.c_str());
    std::remove(path.c_str());
    if (!ok)
        return false;
    for (int n = 0; n < scene.warm_up_steps; ++n) {
        repel_balls();
        step_balls(&bench_map);
    }
    loaded_balls = scene.balls;
    loaded_field = scene.field;
    return true;
}

int fullest_list()
{
    size_t cells = (size_t)cell_side * cell_side * cell_side;
    int most = 0;
    for (size_t k = 0; k < cells; ++k)
        most = std::max(most, cell_count(k));
    return most;
}

void report(benchmark::State& state)
{
    state.counters["per_ball"] = benchmark::Counter(
        (double)ball_count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["fullest_list"] = fullest_list();
    state.counters["slots"] = cell_capacity_bound();
}

void repel_and_step(benchmark::State& state, Scene scene)
{
    if (!prepare(scene)) {
        state.SkipWithError("the scene could not be set up");
        return;
    }
    for (auto _ : state) {
        repel_balls();
        step_balls(&bench_map);
        benchmark::ClobberMemory();
    }
    report(state);
}

// The two passes timed apart (the other one runs with the clock stopped).
void repel_only(benchmark::State& state, Scene scene)
{
    if (!prepare(scene)) {
        state.SkipWithError("the scene could not be set up");
        return;
    }
    for (auto _ : state) {
        repel_balls();
        benchmark::ClobberMemory();
        state.PauseTiming();
        step_balls(&bench_map);
        state.ResumeTiming();
    }
    report(state);
}

void step_only(benchmark::State& state, Scene scene)
{
    if (!prepare(scene)) {
        state.SkipWithError("the scene could not be set up");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        repel_balls();
        state.ResumeTiming();
        step_balls(&bench_map);
        benchmark::ClobberMemory();
    }
    report(state);
}

double minimum(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

const Scene SCENE_10K_64 = {10000, 64, 3000};
const Scene SCENE_10K_14 = {10000, 14, 3000};
const Scene SCENE_100K_100 = {100000, 100, 3000};

}  // namespace

#define KSM_SIM_BENCH(name, fn, scene)                                                          \
    BENCHMARK_CAPTURE(fn, name, scene)                                                          \
        ->Unit(benchmark::kMillisecond)                                                         \
        ->MinTime(0.5)                                                                          \
        ->Repetitions(5)                                                                        \
        ->ComputeStatistics("min", minimum)

KSM_SIM_BENCH(balls_10k_field_64, repel_and_step, SCENE_10K_64);
KSM_SIM_BENCH(balls_10k_field_64, repel_only, SCENE_10K_64);
KSM_SIM_BENCH(balls_10k_field_64, step_only, SCENE_10K_64);
KSM_SIM_BENCH(balls_10k_field_14, repel_and_step, SCENE_10K_14);
KSM_SIM_BENCH(balls_100k_field_100, repel_and_step, SCENE_100K_100);
KSM_SIM_BENCH(balls_100k_field_100, repel_only, SCENE_100K_100);
KSM_SIM_BENCH(balls_100k_field_100, step_only, SCENE_100K_100);

BENCHMARK_MAIN();
