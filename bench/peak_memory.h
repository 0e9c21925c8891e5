// Peak resident memory of the benchmark process (Linux), shared by the
// benchmark programs.
#pragma once

#include <cstdio>

// Starts a new peak of the resident size at the present one (writing 5 to
// clear_refs).
inline void reset_peak_memory()
{
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// The peak resident size since the last reset, in MB (VmHWM); 0 when unknown.
inline double peak_memory_mb()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0.0;
    char line[256];
    double kb = 0.0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %lf kB", &kb) == 1)
            break;
    std::fclose(f);
    return kb / 1024.0;
}
