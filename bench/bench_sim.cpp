// Speed and memory of the simulation pass of one frame (repulsion, then the
// integration step) on settled heaps of balls, without a window.
//
// Per scene: the sequential mode as it runs by default ("auto": walks side by
// side in AVX-512 lanes where that pays, over the reach lists where they
// hold), the same over the whole lists ("wide"), forced onto the plain walk
// ("plain", as on a processor without vector lanes) and onto eight AVX2 lanes
// ("avx2", as on a processor without AVX-512), and the parallel mode (the
// ordered engine) on one and on two threads ("threads_1", "threads_2").
// Counters: per_ball is the time per ball and step;
// peak_MB the process's peak resident memory since the scene was set up (its
// collision field included); sim_MB the ball arrays, neighbour lists, reach
// lists and the ordered engine's arrays now, sim_peak_MB the same at their
// largest since the scene was set up (both modes' memory where both ran),
// ordered_MB the ordered engine's arrays at their largest. The thread rows also give the time of
// each of the engine's stages per frame (st_import, st_keys, ...; ms), and
// builds, the share of frames that built its lists. KSM_BENCH_SKIN sets the
// skin of its lists (set_ordered_skin; the default otherwise).
// Times are wall-clock (the parallel mode's work is on several threads), so
// they need a quiet machine. Each benchmark first runs half a second
// untimed: a switch of mode makes the next frames build what the mode
// keeps from frame to frame (reach lists, the parallel mode's order).
// Pick scenes with --benchmark_filter, e.g. 'balls_100k'.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "balls.h"
#include "map_format.h"
#include "ordered.h"
#include "peak_memory.h"
#include "reach_lists.h"

namespace {

struct Scene {
    int balls;
    int field;
    int warm_up_steps;
    // Above 0: the balls start squeezed into the bottom layers, this many
    // units high, and the warm-up runs on this many threads (a shortcut to a
    // settled heap for the largest scene).
    int pile_height;
    int warm_up_threads;
    // A hostile map: every field cell pushes toward the low corner, where
    // the balls start squeezed into a cube this many units wide; they stay
    // gathered in a few neighbour cells, whose lists hold nearly every ball.
    int corner = 0;
};

MapHeader bench_map = {};
SimState sim;
int loaded_balls = -1;
int loaded_field = -1;
int loaded_corner = -1;
int loaded_steps = -1;

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

// Squeezes the balls into the bottom pile_height units, at rest, and
// registers them afresh.
bool squeeze(int pile_height)
{
    double scale = (double)(pile_height - 1) / (double)(sim.field_extent - 1.0f);
    for (int i = 0; i < sim.ball_count; ++i) {
        sim.ball_pos[i].y = (float)(1.0 + ((double)sim.ball_pos[i].y - 1.0) * scale);
        sim.ball_prev[i] = sim.ball_pos[i];
        sim.ball_cell[i] = CellCoord{(int)sim.ball_pos[i].x, (int)sim.ball_pos[i].y, (int)sim.ball_pos[i].z};
    }
    if (!alloc_cell_lists(&sim))
        return false;
    for (int i = 0; i < sim.ball_count; ++i)
        if (!block_insert(&sim, sim.ball_cell[i].x, sim.ball_cell[i].y, sim.ball_cell[i].z, i))
            return false;
    return true;
}

// Makes every field cell push toward the low corner, and squeezes the
// balls into the cube of side `side` there, at rest, registered afresh.
bool gather_in_corner(int side)
{
    const size_t g = bench_map.grid_size;
    for (size_t c = 0; c < g * g * g; ++c)
        for (int k = 0; k < 3; ++k)
            bench_map.field.cells[3 * c + (size_t)k] = 64;
    double scale = (double)side / (double)(sim.field_extent - 1.0f);
    for (int i = 0; i < sim.ball_count; ++i) {
        Vec3& p = sim.ball_pos[i];
        p = Vec3{(float)(1.0 + (p.x - 1.0) * scale), (float)(1.0 + (p.y - 1.0) * scale),
                 (float)(1.0 + (p.z - 1.0) * scale)};
        sim.ball_prev[i] = p;
        sim.ball_cell[i] = CellCoord{(int)p.x, (int)p.y, (int)p.z};
    }
    if (!alloc_cell_lists(&sim))
        return false;
    for (int i = 0; i < sim.ball_count; ++i)
        if (!block_insert(&sim, sim.ball_cell[i].x, sim.ball_cell[i].y, sim.ball_cell[i].z, i))
            return false;
    return true;
}

// Scatters the balls over an empty field and lets them fall and settle.
// The same scene serves every benchmark of it.
bool prepare(const Scene& scene)
{
    if (loaded_balls == scene.balls && loaded_field == scene.field && loaded_corner == scene.corner &&
        loaded_steps == scene.warm_up_steps)
        return true;
    loaded_balls = -1;
    free_balls(&sim);
    free_normal_field(&bench_map.field);
    reset_peak_memory();
    bench_map.field_size = (uint16_t)scene.field;
    bench_map.grid_size = (uint16_t)scene.field;
    if (!alloc_normal_field(&bench_map.field, bench_map.grid_size))
        return false;
    // As a loaded map's field is.
    touch_normal_field(&bench_map.field);
    std::string path = settings_file(scene.balls);
    seed_ball_random(&sim, 20240601);
    bool ok = init_balls_from(&sim, &bench_map, path.c_str());
    std::remove(path.c_str());
    if (!ok || (scene.pile_height > 0 && !squeeze(scene.pile_height)) ||
        (scene.corner > 0 && !gather_in_corner(scene.corner)))
        return false;
    sim.sim_threads = scene.warm_up_threads;
    for (int n = 0; n < scene.warm_up_steps; ++n)
        simulate_step(&sim, &bench_map);
    sim.sim_threads = 0;
    loaded_balls = scene.balls;
    loaded_field = scene.field;
    loaded_corner = scene.corner;
    loaded_steps = scene.warm_up_steps;
    return true;
}

int fullest_list()
{
    size_t cells = (size_t)sim.cell_side * sim.cell_side * sim.cell_side;
    int most = 0;
    for (size_t k = 0; k < cells; ++k)
        most = std::max(most, cell_count(&sim, k));
    return most;
}

void report(benchmark::State& state)
{
    state.counters["per_ball"] = benchmark::Counter(
        (double)sim.ball_count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["fullest_list"] = fullest_list();
    state.counters["peak_MB"] = peak_memory_mb();
    double ball_bytes = (double)sim.ball_count * (2 * sizeof(Vec3) + sizeof(CellCoord) + sizeof(BallColor));
    double reach_bytes = (double)reach_lists_bytes(&sim);
    state.counters["sim_MB"] =
        (ball_bytes + reach_bytes + (double)cell_lists_bytes(&sim) + (double)ordered_bytes(&sim)) / (1024.0 * 1024.0);
    state.counters["sim_peak_MB"] = (ball_bytes + reach_bytes + (double)cell_lists_peak_bytes(&sim) +
                                     (double)ordered_peak_bytes(&sim)) /
                                    (1024.0 * 1024.0);
    // The ordered engine's own arrays at their largest.
    state.counters["ordered_MB"] = (double)ordered_peak_bytes(&sim) / (1024.0 * 1024.0);
}

// The ordered engine's stages, per frame since the last call.
void report_stages(benchmark::State& state)
{
    double seconds[ORDERED_STAGES];
    long builds = 0;
    long frames = take_ordered_stage_times(&sim, seconds, &builds);
    if (frames <= 0)
        return;
    for (int k = 0; k < ORDERED_STAGES; ++k)
        state.counters[std::string("st_") + ordered_stage_name(k)] = 1000.0 * seconds[k] / (double)frames;
    state.counters["builds"] = (double)builds / (double)frames;
}

// How a benchmark runs the frame.
enum Mode { AUTO, PLAIN, WIDE, WIDE8, THREADS_1, THREADS_2 };

bool begin(benchmark::State& state, const Scene& scene, Mode mode)
{
    if (mode == WIDE && !cpu_lanes().lanes16 && !cpu_lanes().lanes8) {
        state.SkipWithError("no AVX-512 or AVX2 on this processor");
        return false;
    }
    if (mode == WIDE8 && !cpu_lanes().lanes8) {
        state.SkipWithError("no AVX2 on this processor");
        return false;
    }
    if (!prepare(scene)) {
        state.SkipWithError("the scene could not be set up");
        return false;
    }
    sim.sim_threads = mode == THREADS_2 ? 2 : mode == THREADS_1 ? 1 : 0;
    const char* skin = std::getenv("KSM_BENCH_SKIN");
    if (skin && sim.sim_threads > 0)
        set_ordered_skin(&sim, (float)std::atof(skin));
    double seconds[ORDERED_STAGES];
    take_ordered_stage_times(&sim, seconds);
    return true;
}

// The plan a mode forces (sim_plan.h); the thread modes take the default's
// parallel twin.
const char* plan_of(Mode mode)
{
    return mode == PLAIN ? "plain" : mode == WIDE ? "wide" : mode == WIDE8 ? "wide8" : "auto";
}

void end(benchmark::State& state)
{
    sim.sim_threads = 0;
    report_stages(state);
    // The neighbour lists stay as the ordered engine left them: rebuilt
    // here, they would make the next repetition take the balls in afresh.
    report(state);
}

void frame(benchmark::State& state, Scene scene, Mode mode)
{
    if (!begin(state, scene, mode))
        return;
    ScopedPlan forced(&sim, plan_of(mode));
    for (auto _ : state) {
        simulate_step(&sim, &bench_map);
        benchmark::ClobberMemory();
    }
    end(state);
}

// The two passes timed apart (the other one runs with the clock stopped).
void repel_only(benchmark::State& state, Scene scene, Mode mode)
{
    if (!begin(state, scene, mode))
        return;
    ScopedPlan forced(&sim, plan_of(mode));
    for (auto _ : state) {
        repel_balls(&sim);
        benchmark::ClobberMemory();
        state.PauseTiming();
        step_balls(&sim, &bench_map);
        state.ResumeTiming();
    }
    end(state);
}

void step_only(benchmark::State& state, Scene scene, Mode mode)
{
    if (!begin(state, scene, mode))
        return;
    ScopedPlan forced(&sim, plan_of(mode));
    for (auto _ : state) {
        state.PauseTiming();
        repel_balls(&sim);
        state.ResumeTiming();
        step_balls(&sim, &bench_map);
        benchmark::ClobberMemory();
    }
    end(state);
}

double minimum(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

const Scene SCENE_10K_64 = {10000, 64, 3000, 0, 0};
const Scene SCENE_10K_14 = {10000, 14, 3000, 0, 0};
const Scene SCENE_100K_100 = {100000, 100, 3000, 0, 0};
// The heap has settled after 1,500 steps (about 3 minutes on 2 threads);
// after 200 it is still falling together.
const Scene SCENE_1M_220 = {1000000, 220, 1500, 30, 2};
const Scene SCENE_1M_220_FALLING = {1000000, 220, 200, 30, 2};
// Every list holds every ball.
const Scene SCENE_2K_2 = {2000, 2, 50, 0, 0};
// The same count as SCENE_100K_100 on a hostile map: the lists hold tens of
// thousands of balls, and each walk stops at the partner limit.
const Scene SCENE_100K_100_CORNER = {100000, 100, 5, 0, 0, 2};

}  // namespace

#define KSM_SIM_BENCH(name, fn, scene, mode)                                                    \
    BENCHMARK_CAPTURE(fn, name, scene, mode)                                                    \
        ->Unit(benchmark::kMillisecond)                                                         \
        ->UseRealTime()                                                                         \
        ->MinWarmUpTime(0.5)                                                                    \
        ->MinTime(0.5)                                                                          \
        ->Repetitions(5)                                                                        \
        ->ReportAggregatesOnly(true)                                                            \
        ->ComputeStatistics("min", minimum)

#define KSM_SIM_SCENE(name, scene)                          \
    KSM_SIM_BENCH(name##_auto, frame, scene, AUTO);         \
    KSM_SIM_BENCH(name##_wide, frame, scene, WIDE);         \
    KSM_SIM_BENCH(name##_plain, frame, scene, PLAIN);       \
    KSM_SIM_BENCH(name##_avx2, frame, scene, WIDE8);        \
    KSM_SIM_BENCH(name##_threads_1, frame, scene, THREADS_1); \
    KSM_SIM_BENCH(name##_threads_2, frame, scene, THREADS_2)

KSM_SIM_SCENE(balls_10k_field_64, SCENE_10K_64);
KSM_SIM_BENCH(balls_10k_field_64_auto, repel_only, SCENE_10K_64, AUTO);
KSM_SIM_BENCH(balls_10k_field_64_auto, step_only, SCENE_10K_64, AUTO);
KSM_SIM_SCENE(balls_10k_field_14, SCENE_10K_14);
KSM_SIM_BENCH(balls_2k_field_2_auto, repel_only, SCENE_2K_2, AUTO);
KSM_SIM_BENCH(balls_2k_field_2_plain, repel_only, SCENE_2K_2, PLAIN);
KSM_SIM_BENCH(balls_2k_field_2_wide, repel_only, SCENE_2K_2, WIDE);
KSM_SIM_SCENE(balls_100k_field_100, SCENE_100K_100);
KSM_SIM_BENCH(balls_100k_field_100_auto, repel_only, SCENE_100K_100, AUTO);
KSM_SIM_BENCH(balls_100k_field_100_auto, step_only, SCENE_100K_100, AUTO);
KSM_SIM_BENCH(balls_100k_field_100_corner_auto, frame, SCENE_100K_100_CORNER, AUTO);
KSM_SIM_BENCH(balls_100k_field_100_corner_auto, repel_only, SCENE_100K_100_CORNER, AUTO);
KSM_SIM_BENCH(balls_100k_field_100_corner_auto, step_only, SCENE_100K_100_CORNER, AUTO);
KSM_SIM_SCENE(balls_1m_field_220, SCENE_1M_220);
// Still falling: the heap changes under the frames timed.
KSM_SIM_BENCH(balls_1m_field_220_falling_auto, frame, SCENE_1M_220_FALLING, AUTO);
KSM_SIM_BENCH(balls_1m_field_220_falling_threads_2, frame, SCENE_1M_220_FALLING, THREADS_2);

BENCHMARK_MAIN();
