// What the compiler says on standard error: hints, notes and warnings, and
// the details --verbose asks for. The transcript on standard output is never
// touched. Notes are held until `flush_notes`, which the compile calls where
// a transcript line is complete, so that on a terminal they never split one.
#pragma once

#include <cstdint>

#include "map_format.h"
#include "sections.h"

enum NoteKind { NOTE_HINT, NOTE_NOTE, NOTE_WARNING };

// One line "ksm_compiler: <kind>: <text>\n" for standard error, held
// until the next `flush_notes`.
void print_note(NoteKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Flushes standard output, then writes the held notes to standard error.
void flush_notes();

// After a failed run: the output at `path` was neither changed nor created.
void note_output_unchanged(const char* path);

// The details of one compiled object: its mesh, counts, placed box (field
// units) and the collision cells it newly filled.
struct ObjectReport {
    const char* section;
    const char* mesh_path;
    const char* format;  // "3DS", "OBJ", ...
    const MapObject* obj;
    uint64_t cells_filled;  // cells that were empty before the object
};
void print_object_report(const ObjectReport* report);

// The closing details: cells written, file size and the time of each stage.
void print_compile_stats(const CompileStats* stats, long file_size);

// Milliseconds on a steady clock, for the stage times.
double now_ms();

// One updating line on standard error while a long compile runs: the
// object, the stage, its percent and the time left. Drawn only when
// standard error is a terminal that is not standard output's, from a
// second after the start, at most ten times a second; notes flushed while
// it shows erase it first. When both streams are the same terminal the
// transcript's own progress dots are flushed as they come instead. The
// transcript's bytes never change.
struct ProgressLine {
    bool enabled;          // standard error is a terminal of its own
    bool flush_dots;       // standard output is that terminal: flush the dots
    double start_ms;       // when the compile started
    double stage_start_ms; // when the current stage started
    double drawn_ms;       // when the line was last drawn
    int object, objects;   // the object being compiled (from 1) and how many
    int stage;             // 0 reading and placing, 1 to 3 the collision field's stages
    int percent;           // of the current stage, -1 before the first update
};

// Sets up the line for a compile of `objects` objects (nothing is drawn).
void progress_line_begin(ProgressLine* line, int objects);
// The object numbered `object` (from 1) is being read.
void progress_line_object(ProgressLine* line, int object);
// The collision field's stage `stage` (1 to 3) starts.
void progress_line_stage(ProgressLine* line, int stage);
// `count` of `total` steps of the stage are done.
void progress_line_update(ProgressLine* line, uint64_t count, uint64_t total);
// Erases the line if it is shown.
void progress_line_clear(ProgressLine* line);
