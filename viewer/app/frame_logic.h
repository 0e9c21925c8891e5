// Frame timing and the window title, kept free of GL so tests can drive it.
#pragma once

extern const char* const VIEWER_TITLE;  // "Kestrion Physics v 1.01d" (field view: "... v 1.01b")
const int TITLE_BUFFER_SIZE = 256;

struct FrameTiming {
    int frame_start_ms;     // GLUT elapsed time at the start of the latest frame
    int frames_counted;     // frames since the title was last rewritten
    float frame_time_acc;   // ms between frame starts since then (excess carried)
    float phys_time_acc;    // ms in the simulation over the counted frames
    float render_time_acc;  // ms drawing and swapping over the counted frames
};

// "<title>    <<<    Init    >>>" and "<title>    <<<    1-st sec    >>>".
void format_init_title(char* out);
void format_first_second_title(char* out);

// Accounts one frame that started at `timing->frame_start_ms` after a frame
// that started at `previous_start_ms`; t1 is the time after the simulation,
// t2 after the swap. When the summed frame time exceeds 1000 ms, writes the
// FPS title into `title` (256 bytes), resets the sums, carries the excess
// over and returns true.
bool account_frame(FrameTiming* timing, int previous_start_ms, int t1, int t2, int ball_count,
                   char* title);

struct MapHeader;
// A map the simulation can run on: field_size and grid_size at least 1 and a
// collision field present. Otherwise returns a short reason.
const char* check_loaded_map(const MapHeader* header);

// Frame cap: frames at most `fps` a second, 0 for frames back to back.
struct FramePacer {
    double period_ms;  // 1000 / fps, 0 without a cap
    double next_ms;    // when the next frame is due
};
void set_frame_cap(FramePacer* pacer, int fps);
// At time now_ms: 0 when a frame may be drawn now (the one after is then
// due a period later), else the milliseconds left to wait. A pacer that
// has fallen more than a period behind starts afresh instead of drawing
// the missed frames back to back.
double frame_wait_ms(FramePacer* pacer, double now_ms);
