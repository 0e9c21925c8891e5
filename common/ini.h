// INI profile reader shared by both programs.
//
// Every lookup opens the file, scans it from the start and closes it; no state
// is kept between calls. Two ways of cutting the file into entries exist:
//   line mode  (the compiler): one entry per text line, spaces around '=' are
//                              allowed and values may contain spaces;
//   token mode (the viewer):   one entry per whitespace-separated word.
// A section header is an entry starting with '[', a comment one starting with
// ';', a key entry any other entry holding '=' with text after it.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "user_files.h"

enum IniMode { INI_LINE_MODE, INI_TOKEN_MODE };

// Longest line (line mode) or word (token mode) that is looked at. An entry
// longer than this is skipped whole: it is never a section header, a comment
// or a key entry, so a key whose entry is too long is reported as missing
// rather than silently cut to a different value.
const int INI_MAX_ENTRY = 255;
// Size of every text buffer the reader fills, the caller's output included.
const int INI_BUFFER_SIZE = 256;

// Copies the value of `key` in `section` of `path` into `out` (256 bytes),
// or `def` when the file, the section or the key entry is missing. A path
// that is not a regular file counts as missing (it is never waited on), and
// no more than the file's size when opened is read. A default
// longer than 255 characters is cut to 255.
void read_profile_string(const char* path, const char* section, const char* key,
                         const char* def, char* out, IniMode mode);

// If `c` occurs in `text`, copies the part before its first occurrence into
// `prefix` and shortens `text` in place to the part after it; otherwise
// copies all of `text` into `prefix` and empties `text`. `prefix` must hold
// strlen(text) + 1 bytes.
void split_at(char* text, char* prefix, char c);

// Line mode: the key name (the key part up to its first space) and the value
// (the text after the first '=' less its leading spaces). Returns false when
// the line has no '=' or nothing after it. Both outputs hold 256 bytes and
// the line is at most 255 characters.
bool parse_key_line(const char* line, char* key, char* value);

// A description read once (line mode): every lookup then costs a hash look-up
// instead of a scan of the file, and gives exactly what read_profile_string
// in line mode gives for the same file (the first key entry of the section
// wins, over-long entries are skipped, section names match exactly).
struct IniIndex {
    bool opened;  // false: the file could not be read; every lookup gives its default
    std::string path;  // the file it was read from (empty for a text), for hints that quote its lines
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections;
};

// Fills `index` from the text of a file (any bytes, NULs included).
void index_profile_text(const char* text, size_t size, IniIndex* index);
// Reads the file at `path` (a regular file only, never past its size) into
// `index`. False when it cannot be read, with `*kind` and `*error` saying
// why as open_regular_file does; `index` then gives every default.
bool load_profile_index(const char* path, IniIndex* index, FileKind* kind = nullptr, int* error = nullptr);
// The value of `key` in `section` into `out` (256 bytes), or `def` (cut to
// 255 characters) when there is none.
void lookup_profile_string(const IniIndex* index, const char* section, const char* key, const char* def,
                           char* out);
