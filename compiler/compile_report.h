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
