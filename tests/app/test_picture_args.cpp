// Pictures of a headless run: their options on the viewer's command line,
// which frames they take, the camera they are drawn from, and the progress
// line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera_math.h"
#include "run_progress.h"
#include "viewer_args.h"

namespace {

ViewerArgs parse(std::vector<const char*> words)
{
    words.insert(words.begin(), "ksm_viewer");
    return parse_viewer_args((int)words.size(), words.data());
}

float distance(Vec3 a, Vec3 b)
{
    return vec3_length(vec3_sub(a, b));
}

}  // namespace

TEST(PictureArgs, OptionsAreRead)
{
    ViewerArgs a = parse({"--headless", "m.ksm", "--image", "a.png", "--images=out", "--movie", "m.mp4",
                          "--every", "5", "--fps=24", "--size", "640x480", "--orbit", "-30", "--tilt",
                          "12.5", "--zoom", "2", "--show", "layers,field"});
    ASSERT_EQ(a.command, VIEWER_RUN) << a.error;
    const PictureOptions& p = a.pictures;
    EXPECT_EQ(p.image_path, "a.png");
    EXPECT_EQ(p.images_dir, "out");
    EXPECT_EQ(p.movie_path, "m.mp4");
    EXPECT_EQ(p.every, 5);
    EXPECT_EQ(p.fps, 24.0);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 480);
    EXPECT_EQ(p.orbit_degrees, -30.0f);
    EXPECT_EQ(p.tilt_degrees, 12.5f);
    EXPECT_EQ(p.zoom, 2.0);
    EXPECT_TRUE(p.show_field && p.show_layers);
    // Nothing asked for: the window's size and view, no overlays.
    PictureOptions d = parse({"--headless"}).pictures;
    EXPECT_FALSE(pictures_wanted(&d));
    EXPECT_EQ(d.width, 800);
    EXPECT_EQ(d.height, 600);
    EXPECT_EQ(d.every, 1);
    EXPECT_FALSE(d.show_field || d.show_layers);
}

TEST(PictureArgs, BadCommandLinesAreRefused)
{
    const std::vector<std::vector<const char*>> bad = {
        {"--image", "a.png"},                                        // no --headless
        {"--headless", "--size", "800x600"},                        // nothing to draw
        {"--headless", "--image", "a.png", "--size", "800"},
        {"--headless", "--image", "a.png", "--size", "15x600"},
        {"--headless", "--image", "a.png", "--size", "800x8193"},
        {"--headless", "--image", "a.png", "--every", "0"},
        {"--headless", "--image", "a.png", "--every", "1.5"},
        {"--headless", "--movie", "a.mp4", "--fps", "0"},
        {"--headless", "--movie", "a.mp4", "--fps", "nan"},
        {"--headless", "--movie", "a.mp4", "--size", "801x600"},   // H.264 in yuv420p
        {"--headless", "--movie", "a.mp4", "--frames", "9", "--every", "10"},
        {"--headless", "--image", "a.png", "--tilt", "91"},
        {"--headless", "--image", "a.png", "--zoom", "0"},
        {"--headless", "--image", "a.png", "--show", "help"},
        {"--headless", "--image", "a.png", "--show", "field,"},
        {"--headless", "--image"},
    };
    for (const auto& words : bad) {
        ViewerArgs a = parse(words);
        EXPECT_EQ(a.command, VIEWER_USAGE_ERROR) << words[words.size() - 2] << " " << words.back();
        EXPECT_FALSE(a.error.empty());
    }
    EXPECT_EQ(parse({"--size", "640x480"}).error, "--size needs --headless");
}

TEST(PictureArgs, FramesAndNames)
{
    EXPECT_FALSE(picture_frame_due(0, 1));
    EXPECT_TRUE(picture_frame_due(1, 1));
    EXPECT_FALSE(picture_frame_due(119, 120));
    EXPECT_TRUE(picture_frame_due(240, 120));
    EXPECT_EQ(numbered_picture_path("out", 120), "out/frame_000120.png");
    EXPECT_EQ(numbered_picture_path("out/", 1234567), "out/frame_1234567.png");
}

TEST(PictureArgs, CameraMatchesTheWindowAndTheMouse)
{
    PictureOptions o = default_picture_options();
    Camera window, picture;
    camera_reset(&window);
    camera_fit_field(&window, 32.0f, window_aspect(o.width, o.height));
    aim_picture_camera(&picture, 32.0f, &o);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(picture.view_matrix.m[k], window.view_matrix.m[k]) << k;

    // --orbit and --tilt turn as a drag by that angle does (a tilt as a drag
    // downwards).
    o.orbit_degrees = 90.0f;
    o.tilt_degrees = 30.0f;
    aim_picture_camera(&picture, 32.0f, &o);
    camera_orbit(&window, (float)(M_PI / 2 / CAMERA_TURN_PER_UNIT), (float)(-M_PI / 6 / CAMERA_TURN_PER_UNIT));
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(picture.view_matrix.m[k], window.view_matrix.m[k]) << k;
    EXPECT_GT(picture.eye.y, picture.target.y);  // looking down onto the field

    // --zoom 2 halves the eye's distance; the wheel's limits hold.
    float before = distance(picture.eye, picture.target);
    o.zoom = 2.0;
    aim_picture_camera(&picture, 32.0f, &o);
    EXPECT_NEAR(distance(picture.eye, picture.target), before / 2, 1e-3);
    o.zoom = 0.01;
    aim_picture_camera(&picture, 32.0f, &o);
    EXPECT_NEAR(distance(picture.eye, picture.target), picture.max_distance, 1e-2);
    // The projection is the picture's shape.
    Camera wide;
    o = default_picture_options();
    o.width = 1600;
    o.height = 400;
    aim_picture_camera(&wide, 32.0f, &o);
    EXPECT_NEAR(wide.projection_matrix.m[5] / wide.projection_matrix.m[0], 4.0, 1e-4);
}

TEST(RunProgress, Line)
{
    char line[128];
    format_run_progress(line, sizeof line, 120, 600, 2.0);
    EXPECT_STREQ(line, "frame 120/600  60.0 frames/s  0:08 left");
    format_run_progress(line, sizeof line, 1, 100000, 1.0);
    EXPECT_STREQ(line, "frame 1/100000  1.0 frames/s  27:46:39 left");
    format_run_progress(line, sizeof line, 0, 600, 0.0);
    EXPECT_STREQ(line, "frame 0/600  -- frames/s  --:-- left");
    // Not a terminal: nothing is written.
    FILE* f = std::tmpfile();
    RunProgress p;
    start_run_progress(&p, f, 0.0);
    update_run_progress(&p, 10, 20, 5.0);
    end_run_progress(&p);
    EXPECT_EQ(std::ftell(f), 0L);
    std::fclose(f);
}
