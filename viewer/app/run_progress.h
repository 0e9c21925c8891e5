// The progress line of a long headless run on a terminal: frames done,
// frames a second and the time left, rewritten in place on standard error.
#pragma once

#include <cstddef>
#include <cstdio>

struct RunProgress {
    FILE* out;         // standard error when it is a terminal, else null (quiet)
    double start_s;    // when the run began
    double next_s;     // when the line may be rewritten next
    bool shown;        // a line is on the terminal
};

// A line appears once the run has lasted this long, and is rewritten at
// most this often.
const double PROGRESS_DELAY_S = 1.0;
const double PROGRESS_PERIOD_S = 0.25;

// "frame 120/600  45.2 frames/s  0:10 left" (rate and time left from the
// frames done so far; "--" before any).
void format_run_progress(char* out, size_t size, long done, long total, double elapsed_s);
// Starts the clock; quiet unless `out` is a terminal.
void start_run_progress(RunProgress* progress, FILE* out, double now_s);
// Rewrites the line when it is due.
void update_run_progress(RunProgress* progress, long done, long total, double now_s);
// Clears the line, so that what follows starts on a clean one.
void end_run_progress(RunProgress* progress);
