// The headless run: the simulation of a map without a window, timed frame by
// frame, with a checksum of the final balls and an optional point cloud.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "balls.h"
#include "headless_pictures.h"
#include "run_progress.h"
#include "output_file.h"
#include "sim_frame.h"
#include "viewer_args.h"
#include "viewer_run.h"

// A colour component in [0, 1] as a byte.
static uint8_t color_byte(float c)
{
    if (!(c > 0.0f))
        return 0;
    if (c >= 1.0f)
        return 255;
    return (uint8_t)std::lround(c * 255.0f);
}

bool write_balls_ply(const SimState* sim, const char* path, const char** reason)
{
    // Written beside the target and moved over it when complete: a full
    // disk or a failed write leaves the previous file as it was.
    OutputFile out;
    if (!begin_output(path, &out)) {
        *reason = out.error ? std::strerror(out.error) : "the file cannot be opened for writing";
        return false;
    }
    FILE* f = out.file;
    std::fprintf(f,
                 "ply\n"
                 "format binary_little_endian 1.0\n"
                 "comment balls of a ksm_viewer run\n"
                 "element vertex %d\n"
                 "property float x\nproperty float y\nproperty float z\n"
                 "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                 "end_header\n",
                 sim->ball_count);
    for (int i = 0; i < sim->ball_count; ++i) {
        write_f32(f, sim->ball_pos[i].x);
        write_f32(f, sim->ball_pos[i].y);
        write_f32(f, sim->ball_pos[i].z);
        write_u8(f, color_byte(sim->ball_color[i].r));
        write_u8(f, color_byte(sim->ball_color[i].g));
        write_u8(f, color_byte(sim->ball_color[i].b));
    }
    bool failed = std::ferror(f) != 0;
    out.file = nullptr;
    if (std::fclose(f) != 0 || failed) {
        discard_output(&out);
        *reason = "writing the file failed";
        return false;
    }
    int error = 0;
    if (!commit_output(&out, &error)) {
        *reason = std::strerror(error);
        return false;
    }
    return true;
}

// Frame times kept as counts per whole microsecond (the printed precision),
// up to one second, so that any number of frames fits in a fixed table.
// Slower frames (large fields, many balls) are kept one by one.
struct FrameTimes {
    uint32_t* bins;  // FRAME_TIME_BINS counts; the last one counts every slower frame
    long count;
    double min_ms;
    double max_ms;
    std::vector<double> slow;  // the times of the frames in the last bin
};
static const size_t FRAME_TIME_BINS = 1000001;

static void add_frame_time(FrameTimes* t, double ms)
{
    double us = std::floor(ms * 1000.0 + 0.5);
    size_t bin = us < (double)(FRAME_TIME_BINS - 1) ? (size_t)us : FRAME_TIME_BINS - 1;
    t->bins[bin] += 1;
    if (bin == FRAME_TIME_BINS - 1)
        t->slow.push_back(ms);
    t->min_ms = t->count == 0 || ms < t->min_ms ? ms : t->min_ms;
    t->max_ms = t->count == 0 || ms > t->max_ms ? ms : t->max_ms;
    t->count += 1;
}

// The time of the frame of the given rank (0-based) in milliseconds; the
// slow frames are sorted first.
static double frame_time_at_rank(const FrameTimes* t, long rank)
{
    long seen = 0;
    for (size_t bin = 0; bin + 1 < FRAME_TIME_BINS; ++bin) {
        seen += t->bins[bin];
        if (seen > rank)
            return (double)bin / 1000.0;
    }
    size_t slow = (size_t)(rank - seen);
    return slow < t->slow.size() ? t->slow[slow] : t->max_ms;
}

// The median (the mean of the middle two for an even count).
static double median_frame_time(FrameTimes* t)
{
    std::sort(t->slow.begin(), t->slow.end());
    return (frame_time_at_rank(t, (t->count - 1) / 2) + frame_time_at_rank(t, t->count / 2)) / 2.0;
}

static double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int run_headless(const ViewerArgs& args)
{
    // Every output must be writable before the run, not found out after it.
    RunOutput outputs[3];
    int output_count = 0;
    if (!args.dump_path.empty())
        outputs[output_count++] = RunOutput{"point cloud", args.dump_path};
    if (!args.pictures.image_path.empty())
        outputs[output_count++] = RunOutput{"picture", args.pictures.image_path};
    if (!args.pictures.movie_path.empty())
        outputs[output_count++] = RunOutput{"movie", args.pictures.movie_path};
    if (!check_run_outputs(args, outputs, output_count))
        return 1;
    bool pictures_asked = pictures_wanted(&args.pictures);
    if (pictures_asked && !check_picture_outputs(args))
        return 1;
    LoadedMap map{};
    SimState sim;
    if (!load_start_map(args.map_path, &map))
        return 1;
    print_settings_notes(args);
    if (!start_balls(&sim, &map, args.config_path.c_str(), args.seed_given, args.seed)) {
        free_loaded_map(&map);
        return 1;
    }
    // --threads wins over the settings' threads key, read by start_balls.
    if (args.threads >= 0)
        sim.sim_threads = args.threads;

    FrameTimes times{(uint32_t*)std::calloc(FRAME_TIME_BINS, sizeof(uint32_t)), 0, 0.0, 0.0, {}};
    if (!times.bins) {
        std::printf("ERROR! Cannot start the simulation: there is not enough memory for the frame times.\n");
        free_balls(&sim);
        free_loaded_map(&map);
        return 1;
    }
    // Pictures: drawn between frames from the balls' arrays, which drawing
    // only reads, so the simulation is the same with them as without.
    PictureRun pictures{};
    FrameTimes draw_times{nullptr, 0, 0.0, 0.0, {}};
    if (pictures_asked) {
        draw_times.bins = (uint32_t*)std::calloc(FRAME_TIME_BINS, sizeof(uint32_t));
        if (!draw_times.bins || !start_picture_run(&pictures, args, &map)) {
            std::free(draw_times.bins);
            std::free(times.bins);
            free_balls(&sim);
            free_loaded_map(&map);
            return 1;
        }
    }
    RunProgress progress;
    start_run_progress(&progress, stderr, now_seconds());
    bool warned = false, warned_limit = false;
    for (long n = 0; n < args.frames; ++n) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = simulate_frame(&sim, &map);
        auto t1 = std::chrono::steady_clock::now();
        add_frame_time(&times, std::chrono::duration<double, std::milli>(t1 - t0).count());
        if (!ok && !warned) {
            std::printf("WARNING! Out of memory for the neighbour lists: some balls see stale neighbours.\n");
            warned = true;
        }
        warn_partner_limit_once(&sim, &warned_limit);
        if (pictures_asked && draw_due_picture(&pictures, &sim, &map, n + 1, n + 1 == args.frames))
            add_frame_time(&draw_times, std::chrono::duration<double, std::milli>(
                                            std::chrono::steady_clock::now() - t1).count());
        update_run_progress(&progress, n + 1, args.frames, now_seconds());
    }
    end_run_progress(&progress);
    // With no frames run, the picture shows the balls as they started.
    auto before_picture = std::chrono::steady_clock::now();
    if (pictures_asked && args.frames == 0 && draw_due_picture(&pictures, &sim, &map, 0, true))
        add_frame_time(&draw_times, std::chrono::duration<double, std::milli>(
                                        std::chrono::steady_clock::now() - before_picture).count());

    std::printf("Headless run: %ld frame%s of %d balls in \"%s\"\n", args.frames,
                args.frames == 1 ? "" : "s", sim.ball_count, absolute_path(args.map_path).c_str());
    if (times.count == 0)
        std::printf("Physics per frame (ms): no frames run\n");
    else
        std::printf("Physics per frame (ms): min %.3f  median %.3f  max %.3f\n", times.min_ms,
                    median_frame_time(&times), times.max_ms);
    if (pictures_asked && draw_times.count > 0)
        std::printf("Drawing per picture (ms): min %.3f  median %.3f  max %.3f\n", draw_times.min_ms,
                    median_frame_time(&draw_times), draw_times.max_ms);
    std::free(draw_times.bins);
    std::free(times.bins);
    std::printf("checksum: %016llx\n", (unsigned long long)ball_checksum(&sim));

    int status = 0;
    if (!args.dump_path.empty()) {
        const char* reason = "";
        if (write_balls_ply(&sim, args.dump_path.c_str(), &reason)) {
            std::printf("Point cloud: \"%s\" (%d points)\n", absolute_path(args.dump_path).c_str(),
                        sim.ball_count);
        } else {
            std::printf("ERROR! Cannot write the point cloud \"%s\": %s.\n",
                        absolute_path(args.dump_path).c_str(), reason);
            status = 1;
        }
    }
    if (pictures_asked && !finish_picture_run(&pictures))
        status = 1;
    std::fflush(stdout);
    free_balls(&sim);
    free_loaded_map(&map);
    return status;
}
