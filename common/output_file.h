// An output (a compiled map, a point cloud) is written into a temporary file
// beside it and moved over it only after a complete success, so a failed run
// never changes or creates the output and a program watching the output only
// ever sees complete files. Where the system offers it the temporary file has
// no name until the end, so that even a killed run leaves nothing behind.
#pragma once

#include <cstdio>
#include <string>

struct OutputFile {
    FILE* file;              // where the map is written
    std::string target;      // the file that is replaced (links followed)
    std::string temp_path;   // empty when written in place (a device or pipe)
    bool target_existed;
    int error;               // errno of a failed begin_output, 0 for a directory
    int unnamed_fd;          // an unnamed temporary file (O_TMPFILE) kept open to be
                             // linked in at the end, or -1 (then temp_path names it)
};

// Opens the temporary file for `path`. False (nothing created) when the
// output is a directory, cannot be written, or its folder takes no new file.
bool begin_output(const char* path, OutputFile* out);
// The same with a temporary file that always has a name (`temp_path`), for
// an output that another program writes by its name.
bool begin_named_output(const char* path, OutputFile* out);
// Moves the finished temporary file over the target; `out->file` must be
// closed already. False (with `*error` set to the reason) when the rename
// fails; the temporary file is then removed.
bool commit_output(OutputFile* out, int* error);
// Like commit_output, but never replaces a file: when the target exists by
// now (another program made it since begin_output), false with `*error`
// EEXIST. The temporary file is removed whenever false is returned.
bool commit_output_new(OutputFile* out, int* error);
// Removes the temporary file (closing it first when still open).
void discard_output(OutputFile* out);
