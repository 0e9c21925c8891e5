// Files that a user names on a command line or in a description: whatever
// they point at (a folder, a named pipe, a device, a link to /dev/zero), a
// read never blocks and never runs past the size the file had when opened,
// and an output is never one of the run's own inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

enum FileKind {
    FILE_MISSING,    // no such file, or it cannot be opened (see the errno)
    FILE_REGULAR,
    FILE_DIRECTORY,
    FILE_FIFO,
    FILE_DEVICE,     // a character or block device
    FILE_SOCKET,
    FILE_OTHER,
};

// What a path that is not a regular file is, as a message says it: "is a
// directory", "is a named pipe", "is a device", "is a socket", "is not a
// regular file"; for FILE_MISSING the reason of `error` (an errno).
std::string file_kind_text(FileKind kind, int error);

// Opens `path` for reading without blocking on a pipe and checks with fstat
// that it is a regular file. Returns the descriptor (blocking reads again,
// close-on-exec), or -1 with `*kind` saying what the path is instead and
// `*error` the errno of a failed open (0 otherwise). `*size` gets the size.
int open_regular_file(const char* path, FileKind* kind, int* error, size_t* size);

// True when `path` is a regular file that can be opened for reading (it is
// opened without blocking and closed at once); otherwise `*kind` (if given)
// says what it is.
bool is_regular_file(const char* path, FileKind* kind = nullptr);

// The same as a stdio stream (close it with fclose); null as above.
FILE* open_regular_stream(const char* path, FileKind* kind = nullptr, int* error = nullptr);

// The folder part of a path: "." when it has none, "/" for the root.
std::string folder_of(const std::string& path);
// Where a chain of links ends: the path of the first component that is no
// link (it need not exist), so that a dangling link gets its file created
// where it points instead of being replaced.
std::string follow_links(const std::string& path);

// True when `a` and `b` name the same existing file, links followed (the
// same device and inode).
bool same_existing_file(const char* a, const char* b);

// Checks before a run that an output file could be written at `path`: it
// is none of the `input_count` inputs, not a folder, and its folder exists
// and takes a new file (the output is written beside it first); an existing
// device or pipe is written in place and needs no more. False with
// `*reason` set (a sentence without the path of the output) otherwise.
// `*input_hit` gets the index of the input it would replace, or -1.
bool check_output_path(const char* path, const char* const* inputs, int input_count, std::string* reason,
                       int* input_hit);
