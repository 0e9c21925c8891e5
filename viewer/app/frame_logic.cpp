#include "frame_logic.h"

#include <cstdio>

#include "map_format.h"

// The field view (ksm_field_viewer) is the earlier build of the viewer.
#ifdef KSM_FIELD_VIEW
const char* const VIEWER_TITLE = "Kestrion Physics v 1.01b";
#else
const char* const VIEWER_TITLE = "Kestrion Physics v 1.01d";
#endif

void format_init_title(char* out)
{
    std::snprintf(out, TITLE_BUFFER_SIZE, "%s    <<<    Init    >>>", VIEWER_TITLE);
}

void format_first_second_title(char* out)
{
    std::snprintf(out, TITLE_BUFFER_SIZE, "%s    <<<    1-st sec    >>>", VIEWER_TITLE);
}

bool account_frame(FrameTiming* timing, int previous_start_ms, int t1, int t2, int ball_count,
                   char* title)
{
    timing->frames_counted += 1;
    timing->frame_time_acc += (float)(timing->frame_start_ms - previous_start_ms);
    timing->phys_time_acc += (float)(t1 - timing->frame_start_ms);
    timing->render_time_acc += (float)(t2 - t1);
    if (!(timing->frame_time_acc > 1000.0f))
        return false;
    float f = (float)timing->frames_counted;
    timing->render_time_acc /= f;
    timing->phys_time_acc /= f;
    std::snprintf(title, TITLE_BUFFER_SIZE,
                  "%s    <<<    FPS: %d    Render: %0.3f    Phys: %0.3f    Count: %d    >>>",
                  VIEWER_TITLE, timing->frames_counted, (double)timing->render_time_acc,
                  (double)timing->phys_time_acc, ball_count);
    timing->frame_time_acc -= 1000.0f;
    timing->frames_counted = 0;
    timing->phys_time_acc = 0.0f;
    timing->render_time_acc = 0.0f;
    return true;
}

const char* check_loaded_map(const MapHeader* header)
{
    if (header->field_size < 1)
        return "its field_size is 0";
    if (header->grid_size < 1)
        return "its grid_size is 0";
    if (!header->field.cells)
        return "it has no collision field";
    return nullptr;
}

void set_frame_cap(FramePacer* pacer, int fps)
{
    pacer->period_ms = fps > 0 ? 1000.0 / fps : 0.0;
    pacer->next_ms = 0.0;
}

double frame_wait_ms(FramePacer* pacer, double now_ms)
{
    if (!(pacer->period_ms > 0.0))
        return 0.0;
    if (now_ms < pacer->next_ms)
        return pacer->next_ms - now_ms;
    if (now_ms - pacer->next_ms > pacer->period_ms)
        pacer->next_ms = now_ms;
    pacer->next_ms += pacer->period_ms;
    return 0.0;
}
