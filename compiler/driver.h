// ksm_compiler's command line and compile driver.
//
//   ksm_compiler <map_file> [end_file] [src_dir]
//
// end_file defaults to the map file with the extension of its file name
// replaced by "ksm" (or ".ksm" added when it has none); src_dir, the prefix
// of every mesh path, defaults to the program's own directory followed by
// "src/", and then the map description's own folder and its "src/". The
// map is written into a temporary file beside the output and
// moved over it only after a complete success: a failed compile leaves an
// existing output as it was and creates none. Notes, warnings and the
// --verbose (-v) details go to standard error; the transcript on standard
// output is the same with or without them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sections.h"

extern const char* const COMPILER_TITLE;
extern const char* const COMPILER_NOTICE;

// Exit statuses: a compiled map, any failure the transcript reports, and
// the usage text after a command line without a map file.
const int EXIT_COMPILED = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

// Copies `path` into `out` (256 bytes) and cuts the copy just after the
// last `c`; true when there was one. Without one `out` becomes empty.
// `path` is at most 255 characters.
bool cut_after_last(const char* path, char* out, char c);

// The default output path: the map path with everything after the last '.'
// of its file name (the part after the last '/') replaced by "ksm", or the
// map path followed by ".ksm" when the file name has no '.'. False when the
// result would be longer than 255 characters.
bool default_output_path(const char* map_path, char* out);
// The default source directory: the program's path (its running file, as
// /proc/self/exe names it) up to and including its last '/' (empty without
// one), followed by "src/".
bool default_source_dir(const char* program_path, char* out);
// The folders searched after the default source directory `src_dir`: the
// map description's own folder ("" for the working folder) and its "src/",
// less any that equal `src_dir` or do not fit. Returns how many.
int description_mesh_dirs(const char* map_path, const char* src_dir, char dirs[2][PATH_MAX_CHARS + 1]);
// A given source directory with '/' appended unless it already ends with
// '/' or '\' (a trailing '\' becomes '/').
bool source_dir_prefix(const char* given, char* out);

// Runs the header section, writes the magic and the header, then runs the
// objects and layers sections into the open output, which it closes on
// every path; a write error fails the compile. Prints "OK!\n" first
// (completing the driver's "Open output file" fragment); the driver prints
// "DONE!!!=)))\n" once the map is in place. Without options: no details, a
// mesh folder given by the user. `meshes_read` (if given) gets the path of
// every mesh file opened.
bool compile_map(FILE* out, const char* map_path, const char* src_dir,
                 const CompileOptions* options = nullptr, std::vector<std::string>* meshes_read = nullptr);

// The whole program: banner, arguments, output file, compile. Returns the
// exit status.
int run_compiler(int argc, char** argv);
