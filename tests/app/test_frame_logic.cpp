// Title timing and the map check of the viewer.
#include <gtest/gtest.h>

#include <string>

#include "frame_logic.h"
#include "map_format.h"

namespace {

// Runs one frame: starts `interval` ms after the previous one, simulates for
// `phys` ms and draws for `render` ms.
bool run_frame(FrameTiming* t, int interval, int phys, int render, char* title)
{
    int previous = t->frame_start_ms;
    t->frame_start_ms += interval;
    int t1 = t->frame_start_ms + phys;
    return account_frame(t, previous, t1, t1 + render, 10000, title);
}

}  // namespace

TEST(FrameTiming, ExactlyOneSecondDoesNotRewriteTheNextFrameDoes)
{
    FrameTiming t{};
    char title[TITLE_BUFFER_SIZE] = "";
    for (int i = 0; i < 99; ++i)
        ASSERT_FALSE(run_frame(&t, 10, 2, 3, title));
    EXPECT_FALSE(run_frame(&t, 10, 2, 3, title));  // sum is exactly 1000.0
    EXPECT_EQ(t.frame_time_acc, 1000.0f);
    EXPECT_EQ(t.frames_counted, 100);
    EXPECT_TRUE(run_frame(&t, 16, 2, 3, title));   // 1016: rewrite, 16 carried
    EXPECT_EQ(t.frame_time_acc, 16.0f);
    EXPECT_EQ(t.frames_counted, 0);
    EXPECT_EQ(t.phys_time_acc, 0.0f);
    EXPECT_EQ(t.render_time_acc, 0.0f);
    EXPECT_EQ(std::string(title),
              "Kestrion Physics v 1.01d    <<<    FPS: 101    Render: 3.000    Phys: 2.000    Count: 10000    >>>");
}

TEST(FrameTiming, AveragesOverTheCountedFrames)
{
    FrameTiming t{};
    t.frame_start_ms = 5000;
    char title[TITLE_BUFFER_SIZE] = "";
    // Three frames of uneven cost, the last one pushing past a second.
    run_frame(&t, 400, 1, 10, title);
    run_frame(&t, 400, 2, 20, title);
    ASSERT_TRUE(run_frame(&t, 450, 4, 3, title));
    EXPECT_EQ(std::string(title),
              "Kestrion Physics v 1.01d    <<<    FPS: 3    Render: 11.000    Phys: 2.333    Count: 10000    >>>");
    EXPECT_EQ(t.frame_time_acc, 250.0f);
}

TEST(FrameTiming, InitAndFirstSecondTitles)
{
    char title[TITLE_BUFFER_SIZE];
    format_init_title(title);
    EXPECT_EQ(std::string(title), "Kestrion Physics v 1.01d    <<<    Init    >>>");
    format_first_second_title(title);
    EXPECT_EQ(std::string(title), "Kestrion Physics v 1.01d    <<<    1-st sec    >>>");
}

TEST(MapCheck, RejectsMapsTheSimulationCannotRunOn)
{
    MapHeader h{};
    int16_t cell[3] = {0, 0, 0};
    h.field_size = 16;
    h.grid_size = 1;
    h.field.cells = cell;
    EXPECT_EQ(check_loaded_map(&h), nullptr);
    h.field_size = 0;
    EXPECT_NE(check_loaded_map(&h), nullptr);
    h.field_size = 16;
    h.grid_size = 0;
    EXPECT_NE(check_loaded_map(&h), nullptr);
    h.grid_size = 1;
    h.field.cells = nullptr;
    EXPECT_NE(check_loaded_map(&h), nullptr);
}

TEST(FrameCap, FramesComeOncePerPeriodAndALongStallStartsAfresh)
{
    FramePacer p;
    set_frame_cap(&p, 0);
    EXPECT_EQ(frame_wait_ms(&p, 5.0), 0.0);
    EXPECT_EQ(frame_wait_ms(&p, 5.0), 0.0);
    set_frame_cap(&p, 50);  // 20 ms a frame
    EXPECT_EQ(frame_wait_ms(&p, 1000.0), 0.0);
    EXPECT_DOUBLE_EQ(frame_wait_ms(&p, 1005.0), 15.0);
    EXPECT_EQ(frame_wait_ms(&p, 1020.0), 0.0);
    EXPECT_EQ(frame_wait_ms(&p, 1041.0), 0.0);  // a little late: the schedule holds
    EXPECT_DOUBLE_EQ(frame_wait_ms(&p, 1041.0), 19.0);
    EXPECT_EQ(frame_wait_ms(&p, 1500.0), 0.0);  // far behind: no burst of frames
    EXPECT_DOUBLE_EQ(frame_wait_ms(&p, 1500.0), 20.0);
}
