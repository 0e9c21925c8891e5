// The headless run: the simulation of a map without a window, timed frame by
// frame, with a checksum of the final balls and an optional point cloud.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "balls.h"
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

bool write_balls_ply(const char* path, const char** reason)
{
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        *reason = "the file cannot be opened for writing";
        return false;
    }
    std::fprintf(f,
                 "ply\n"
                 "format binary_little_endian 1.0\n"
                 "comment balls of a ksm_viewer run\n"
                 "element vertex %d\n"
                 "property float x\nproperty float y\nproperty float z\n"
                 "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                 "end_header\n",
                 ball_count);
    for (int i = 0; i < ball_count; ++i) {
        write_f32(f, ball_pos[i].x);
        write_f32(f, ball_pos[i].y);
        write_f32(f, ball_pos[i].z);
        write_u8(f, color_byte(ball_color[i].r));
        write_u8(f, color_byte(ball_color[i].g));
        write_u8(f, color_byte(ball_color[i].b));
    }
    bool failed = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || failed) {
        *reason = "writing the file failed";
        return false;
    }
    return true;
}

// Median of the frame times (the mean of the middle two for an even count).
static double median_of(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

int run_headless(const ViewerArgs& args)
{
    LoadedMap map{};
    if (!load_start_map(args.map_path, &map))
        return 1;
    if (!start_balls(&map, args.config_path.c_str(), args.seed_given, args.seed)) {
        free_loaded_map(&map);
        return 1;
    }

    std::vector<double> frame_ms;
    frame_ms.reserve((size_t)args.frames);
    bool warned = false;
    for (long n = 0; n < args.frames; ++n) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = simulate_frame(&map);
        auto t1 = std::chrono::steady_clock::now();
        frame_ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        if (!ok && !warned) {
            std::printf("WARNING! Out of memory for the neighbour lists: some balls see stale neighbours.\n");
            warned = true;
        }
    }

    std::printf("Headless run: %ld frames of %d balls in \"%s\"\n", args.frames, ball_count,
                absolute_path(args.map_path).c_str());
    if (frame_ms.empty())
        std::printf("Physics per frame (ms): no frames run\n");
    else
        std::printf("Physics per frame (ms): min %.3f  median %.3f  max %.3f\n",
                    *std::min_element(frame_ms.begin(), frame_ms.end()), median_of(frame_ms),
                    *std::max_element(frame_ms.begin(), frame_ms.end()));
    std::printf("checksum: %016llx\n", (unsigned long long)ball_checksum());

    int status = 0;
    if (!args.dump_path.empty()) {
        const char* reason = "";
        if (write_balls_ply(args.dump_path.c_str(), &reason)) {
            std::printf("Point cloud: \"%s\" (%d points)\n", absolute_path(args.dump_path).c_str(), ball_count);
        } else {
            std::printf("ERROR! Cannot write the point cloud \"%s\": %s.\n",
                        absolute_path(args.dump_path).c_str(), reason);
            status = 1;
        }
    }
    std::fflush(stdout);
    free_balls();
    free_loaded_map(&map);
    return status;
}
