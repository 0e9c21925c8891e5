#include "run_progress.h"

#include <unistd.h>

#include <cmath>

void format_run_progress(char* out, size_t size, long done, long total, double elapsed_s)
{
    if (done <= 0 || !(elapsed_s > 0.0)) {
        std::snprintf(out, size, "frame %ld/%ld  -- frames/s  --:-- left", done, total);
        return;
    }
    double rate = (double)done / elapsed_s;
    long left = (long)std::ceil((double)(total - done) / rate);
    if (left < 0)
        left = 0;
    if (left >= 3600)
        std::snprintf(out, size, "frame %ld/%ld  %.1f frames/s  %ld:%02ld:%02ld left", done, total, rate,
                      left / 3600, left / 60 % 60, left % 60);
    else
        std::snprintf(out, size, "frame %ld/%ld  %.1f frames/s  %ld:%02ld left", done, total, rate, left / 60,
                      left % 60);
}

void start_run_progress(RunProgress* p, FILE* out, double now_s)
{
    p->out = out && isatty(fileno(out)) ? out : nullptr;
    p->start_s = now_s;
    p->next_s = now_s + PROGRESS_DELAY_S;
    p->shown = false;
}

void update_run_progress(RunProgress* p, long done, long total, double now_s)
{
    if (!p->out || now_s < p->next_s)
        return;
    char line[128];
    format_run_progress(line, sizeof line, done, total, now_s - p->start_s);
    // Carriage return, the line, and the rest of the old one erased.
    std::fprintf(p->out, "\r%s\033[K", line);
    std::fflush(p->out);
    p->shown = true;
    p->next_s = now_s + PROGRESS_PERIOD_S;
}

void end_run_progress(RunProgress* p)
{
    if (p->out && p->shown) {
        std::fprintf(p->out, "\r\033[K");
        std::fflush(p->out);
    }
    p->shown = false;
}
