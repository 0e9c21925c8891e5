// Speed of the pictures of a headless run: 10,000 balls on the demo map,
// drawn by the viewer's renderer into the offscreen framebuffer at 800 x 600
// (on a machine without a GPU, by Mesa's software rasteriser) and read back;
// then the same with each picture written as a PNG, with each sent to
// ffmpeg for a movie, and a whole movie frame (simulation step, drawing and
// encoding). Items per second are pictures per second of wall-clock time;
// the CPU column is the process's CPU time over all its threads (the
// rasteriser's included, ffmpeg's not), which a busy machine does not
// inflate: 1000 / CPU ms is the rate one free core reaches.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "balls.h"
#include "headless_pictures.h"
#include "png_file.h"
#include "sim_frame.h"
#include "viewer_args.h"
#include "viewer_run.h"

namespace {

const int BALLS = 10000;
const int SETTLE_FRAMES = 300;

struct Bench {
    bool ready;
    ViewerArgs args;
    LoadedMap map;
    PictureRun run;
    SimState sim;
};
Bench bench = {};

// The demo's settings with 10,000 balls, in a scratch file.
std::string settings_file()
{
    std::string path = "/tmp/ksm_bench_pictures.ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fprintf(f, "[balls]\ncount=%d\ng=40\ncl=20\ngeom=300\nt=200\n", BALLS);
        std::fclose(f);
    }
    return path;
}

// The demo map with its balls fallen for a while, and the offscreen
// context open: made once for every benchmark.
bool prepare()
{
    if (bench.ready)
        return true;
    const char* words[] = {"ksm_viewer", "--headless", KSM_DEMO_MAP, "--seed", "7", "--image", "/tmp/x.png"};
    bench.args = parse_viewer_args(7, words);
    std::string settings = settings_file();
    bench.args.config_path = settings;
    if (!load_start_map(bench.args.map_path, &bench.map) ||
        !start_balls(&bench.sim, &bench.map, settings.c_str(), true, 7))
        return false;
    std::remove(settings.c_str());
    for (int n = 0; n < SETTLE_FRAMES; ++n)
        simulate_frame(&bench.sim, &bench.map);
    if (!start_picture_run(&bench.run, bench.args, &bench.map))
        return false;
    bench.ready = bench.sim.ball_count == BALLS;
    return bench.ready;
}

void BM_draw_picture(benchmark::State& state)
{
    if (!prepare()) {
        state.SkipWithError("the demo map or the offscreen context is not available");
        return;
    }
    for (auto _ : state)
        draw_picture(&bench.run, &bench.sim, &bench.map);
    state.SetItemsProcessed(state.iterations());
}

// range(0) 1: the fast PNGs of --images, 0: the small ones of --image.
void BM_draw_and_write_png(benchmark::State& state)
{
    if (!prepare()) {
        state.SkipWithError("the demo map or the offscreen context is not available");
        return;
    }
    for (auto _ : state) {
        draw_picture(&bench.run, &bench.sim, &bench.map);
        FILE* f = std::fopen("/tmp/ksm_bench_picture.png", "wb");
        bool ok = f && write_png_rgb_stream(f, 800, 600, bench.run.pixels.data(), state.range(0) != 0);
        if (!f || std::fclose(f) != 0 || !ok)
            state.SkipWithError("the PNG could not be written");
    }
    std::remove("/tmp/ksm_bench_picture.png");
    state.SetItemsProcessed(state.iterations());
}

// range(0) 1: each movie frame also runs the simulation step first.
void BM_movie_frame(benchmark::State& state)
{
    if (!prepare()) {
        state.SkipWithError("the demo map or the offscreen context is not available");
        return;
    }
    MoviePipe movie;
    std::string reason;
    if (!start_movie(&movie, "/tmp/ksm_bench_movie.mp4", 800, 600, 30.0, &reason)) {
        state.SkipWithError(reason.c_str());
        return;
    }
    for (auto _ : state) {
        if (state.range(0))
            simulate_frame(&bench.sim, &bench.map);
        draw_picture(&bench.run, &bench.sim, &bench.map);
        send_movie_frame(&movie, bench.run.pixels.data());
    }
    // The encoder's tail is part of making the movie.
    finish_movie(&movie, false, &reason);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_draw_picture)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_draw_and_write_png)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_movie_frame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

BENCHMARK_MAIN();
