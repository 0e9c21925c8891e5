#include "compile_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

// Notes wait here until the transcript's line is complete.
static std::string pending_notes;
// The progress line on the screen, erased before notes are written.
static ProgressLine* shown_line;

void print_note(NoteKind kind, const char* format, ...)
{
    static const char* const kinds[3] = {"hint", "note", "warning"};
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    pending_notes += std::string("ksm_compiler: ") + kinds[kind] + ": " + text + "\n";
}

void flush_notes()
{
    if (pending_notes.empty())
        return;
    std::fflush(stdout);
    if (shown_line)
        progress_line_clear(shown_line);
    std::fputs(pending_notes.c_str(), stderr);
    std::fflush(stderr);
    pending_notes.clear();
}

void note_output_unchanged(const char* path)
{
    struct stat st;
    bool exists = stat(path, &st) == 0;
    print_note(NOTE_NOTE, "the compile failed; the output \"%s\" was left unchanged%s", path,
               exists ? "" : " (no file was created)");
}

void print_object_report(const ObjectReport* r)
{
    const float* b = r->obj->box;
    print_note(NOTE_NOTE,
               "[%s] \"%s\" (%s, object \"%s\"): %lu vertices, %lu faces, placed in x %g..%g, y %g..%g, "
               "z %g..%g; %llu collision cells newly filled",
               r->section, r->mesh_path, r->format, r->obj->name, (unsigned long)r->obj->vertex_count,
               (unsigned long)r->obj->face_count, b[0], b[0] + b[1], b[2], b[2] + b[3], b[4], b[4] + b[5],
               (unsigned long long)r->cells_filled);
}

void print_compile_stats(const CompileStats* s, long file_size)
{
    print_note(NOTE_NOTE, "%llu collision cells written, %ld bytes", (unsigned long long)s->cells_written,
               file_size);
    print_note(NOTE_NOTE, "time: meshes read %.1f ms, placed %.1f ms, collision field %.1f ms, written %.1f ms",
               s->read_ms, s->place_ms, s->field_ms, s->write_ms);
}

double now_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// ---- progress line ---------------------------------------------------------

static const double LINE_DELAY_MS = 1000.0;   // no line for a compile shorter than this
static const double LINE_PERIOD_MS = 100.0;   // at most ten redraws a second

// True when standard output and standard error are the same terminal.
static bool same_terminal()
{
    struct stat out, err;
    return isatty(1) && fstat(1, &out) == 0 && fstat(2, &err) == 0 && out.st_rdev == err.st_rdev;
}

void progress_line_begin(ProgressLine* line, int objects)
{
    *line = ProgressLine{};
    bool terminal = isatty(2) != 0;
    line->flush_dots = terminal && same_terminal();
    line->enabled = terminal && !line->flush_dots;
    line->start_ms = now_ms();
    line->stage_start_ms = line->start_ms;
    line->objects = objects;
    line->percent = -1;
}

static void draw_line(ProgressLine* line, double now)
{
    char text[160];
    int n = std::snprintf(text, sizeof text, "ksm_compiler: object %d of %d", line->object, line->objects);
    if (line->stage == 0) {
        std::snprintf(text + n, sizeof text - n, ": reading and placing");
    } else {
        n += std::snprintf(text + n, sizeof text - n, ", collision field stage %d of 3: %d%%", line->stage,
                           line->percent < 0 ? 0 : line->percent);
        double spent = now - line->stage_start_ms;
        if (line->percent > 0 && spent >= LINE_DELAY_MS) {
            double left = spent * (100 - line->percent) / line->percent / 1000.0;
            std::snprintf(text + n, sizeof text - n, ", about %.0f s left", left < 1.0 ? 1.0 : left);
        }
    }
    std::fprintf(stderr, "\r%s\033[K", text);
    std::fflush(stderr);
    line->drawn_ms = now;
    shown_line = line;
}

// Draws the line when it is due.
static void maybe_draw(ProgressLine* line)
{
    double now = now_ms();
    if (now - line->start_ms >= LINE_DELAY_MS && now - line->drawn_ms >= LINE_PERIOD_MS)
        draw_line(line, now);
}

void progress_line_object(ProgressLine* line, int object)
{
    line->object = object;
    line->stage = 0;
    line->percent = -1;
    if (line->enabled)
        maybe_draw(line);
}

void progress_line_stage(ProgressLine* line, int stage)
{
    line->stage = stage;
    line->percent = -1;
    line->stage_start_ms = now_ms();
    if (line->enabled)
        maybe_draw(line);
}

void progress_line_update(ProgressLine* line, uint64_t count, uint64_t total)
{
    if (line->flush_dots) {
        std::fflush(stdout);
        return;
    }
    if (!line->enabled || total == 0)
        return;
    int percent = count >= total ? 100 : (int)(count * 100 / total);
    if (percent == line->percent)
        return;
    line->percent = percent;
    maybe_draw(line);
}

void progress_line_clear(ProgressLine* line)
{
    if (shown_line != line)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_line = nullptr;
}
