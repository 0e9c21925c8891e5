#include "compile_report.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

// Notes wait here until the transcript's line is complete.
static std::string pending_notes;

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
