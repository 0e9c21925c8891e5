// The keys' meanings and toggles, screenshot names, and the PNG writer read
// back through libpng.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "png_file.h"
#include "viewer_keys.h"

TEST(Keys, EachKeyAsksForItsAction)
{
    const struct { unsigned char key; KeyAction action; } keys[] = {
        {27, KEY_QUIT}, {'q', KEY_QUIT}, {'Q', KEY_QUIT}, {' ', KEY_PAUSE}, {'n', KEY_STEP},
        {'r', KEY_RESET}, {'g', KEY_GRAVITY}, {'+', KEY_ZOOM_IN}, {'=', KEY_ZOOM_IN},
        {'-', KEY_ZOOM_OUT}, {'f', KEY_FIELD}, {'h', KEY_HELP}, {'p', KEY_SCREENSHOT},
        {'0', KEY_VIEW_RESET}, {'x', KEY_NONE}, {'1', KEY_NONE}};
    for (const auto& k : keys)
        EXPECT_EQ(key_action(k.key), k.action) << (int)k.key;
    EXPECT_EQ(special_key_action(SPECIAL_KEY_F1), KEY_HELP);
    EXPECT_EQ(special_key_action(SPECIAL_KEY_LEFT), KEY_ORBIT_LEFT);
    EXPECT_EQ(special_key_action(SPECIAL_KEY_DOWN), KEY_ORBIT_DOWN);
    EXPECT_EQ(special_key_action(SPECIAL_KEY_HOME), KEY_VIEW_RESET);
    EXPECT_EQ(special_key_action(2), KEY_NONE);
}

TEST(Keys, PauseHoldsTheSimulationAndStepRunsExactlyOneFrame)
{
    ViewerControls c = {};
    EXPECT_TRUE(frame_runs_simulation(&c));
    EXPECT_TRUE(apply_key_toggle(&c, KEY_STEP));  // running: nothing to do
    EXPECT_TRUE(apply_key_toggle(&c, KEY_PAUSE));
    EXPECT_FALSE(frame_runs_simulation(&c));
    apply_key_toggle(&c, KEY_STEP);
    apply_key_toggle(&c, KEY_STEP);  // two presses before a frame still make one step
    EXPECT_TRUE(frame_runs_simulation(&c));
    EXPECT_FALSE(frame_runs_simulation(&c));
    apply_key_toggle(&c, KEY_STEP);
    apply_key_toggle(&c, KEY_PAUSE);  // resuming drops a pending step
    EXPECT_FALSE(c.paused || c.step_requested);
    EXPECT_FALSE(apply_key_toggle(&c, KEY_QUIT));
    EXPECT_FALSE(apply_key_toggle(&c, KEY_ZOOM_IN));
}

TEST(Keys, ScreenshotNamesSortByTime)
{
    std::tm t = {};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 8, t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 7;
    EXPECT_EQ(screenshot_file_name(&t, 1), "ksm_20261208_090507.png");
    EXPECT_EQ(screenshot_file_name(&t, 3), "ksm_20261208_090507_3.png");
}

TEST(Screenshot, PngHoldsThePixelsTopRowFirst)
{
    const int w = 5, h = 3;
    std::vector<uint8_t> bottom_up((size_t)w * h * 3);
    for (size_t i = 0; i < bottom_up.size(); ++i)
        bottom_up[i] = (uint8_t)(i * 7 + 1);
    std::string path = "ksm_test_shot_" + std::to_string(getpid()) + ".png";
    std::string error;
    ASSERT_TRUE(write_png_rgb(path.c_str(), w, h, bottom_up.data(), &error)) << error;

    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> top_down(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, top_down.data(), 0, nullptr));
    std::remove(path.c_str());
    ASSERT_EQ(image.width, (unsigned)w);
    ASSERT_EQ(image.height, (unsigned)h);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 3; ++i)
            ASSERT_EQ(top_down[(size_t)y * w * 3 + i], bottom_up[(size_t)(h - 1 - y) * w * 3 + i]);

    EXPECT_FALSE(write_png_rgb("/nonexistent-dir/x.png", w, h, bottom_up.data(), &error));
    EXPECT_FALSE(error.empty());

    // A screenshot never replaces a file, whatever the file holds.
    std::string taken = "ksm_test_taken_" + std::to_string(getpid()) + ".png";
    FILE* f = std::fopen(taken.c_str(), "wb");
    std::fputs("mine", f);
    std::fclose(f);
    bool existed = false;
    EXPECT_FALSE(write_new_png_rgb(taken.c_str(), w, h, bottom_up.data(), &existed, &error));
    EXPECT_TRUE(existed);
    f = std::fopen(taken.c_str(), "rb");
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, f), 4u);
    std::fclose(f);
    EXPECT_STREQ(text, "mine");
    std::remove(taken.c_str());
    EXPECT_TRUE(write_new_png_rgb(taken.c_str(), w, h, bottom_up.data(), &existed, &error)) << error;
    EXPECT_FALSE(existed);
    std::remove(taken.c_str());
}
