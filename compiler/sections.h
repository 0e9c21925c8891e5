// The sections of a map description (.ksd) and what they write:
//   [main]          field_size, grid_size, objs_num (header), teleports
//   [obj_N]         file, scale, pos_x/y/z, rt_angle, rt_x/y/z, geom1, geom2,
//                   optional object (picks one object of the mesh file by name)
//   [start]         gg switches the start layer on; from_x/y/z, to_x/y/z
//   [teleport_N]    from_from_x .. from_to_z, to_from_x .. to_to_z
// The description is read once into an index; every required key is looked
// up with the default "GG=(", and a result that equals it is a missing key. Each operation prints its own transcript
// fragments and messages and returns false at the first failure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ini.h"
#include "map_format.h"
#include "phys_info.h"

// Longest path the compiler builds or accepts (its buffers hold one more).
const int PATH_MAX_CHARS = 255;

// Choices of one compile beyond the description.
struct CompileOptions {
    bool verbose;          // details of every object and stage on standard error
    bool default_src_dir;  // the mesh folder is the default one beside the program
    PhysOptions phys;      // how the collision field is computed (same bytes)
    // With the default folder: where a mesh not found there is looked for
    // next (the description's folder, "" for the working one, and its src/).
    char map_dirs[2][PATH_MAX_CHARS + 1];
    int map_dir_count;
};

// What a compile did, for its details: milliseconds per stage and the
// cells of the cell stream.
struct CompileStats {
    double read_ms;   // mesh files read
    double place_ms;  // placement and normals
    double field_ms;  // collision field
    double write_ms;  // object blocks, cell stream and layers written
    uint64_t cells_written;
    std::vector<std::string> meshes_read;  // every mesh file opened, in order
};

// Default of every required key; a lookup that returns it found nothing.
extern const char* const MISSING_KEY;
// A decimal integer as written: optional leading blanks, an optional sign,
// digits accumulated modulo 2^32; reading stops at the first character that
// does not fit ("12abc" is 12) and no digits give 0.
int32_t parse_decimal_int(const char* text);
// A decimal number as written: optional blanks and sign, digits with an
// optional fraction and exponent, decimal only (hexadecimal, "inf" and
// "nan" read as 0 up to the first character that does not fit). Converted
// to double and rounded once to float; no digits give 0.
float parse_decimal_number(const char* text);

// True when `path` names a regular file (links followed) that can be opened
// for reading; the open never blocks, and the file is closed again at once.
bool file_exists(const char* path);

// A value stored in 16 bits: the decimal integer of `value` into `*out`,
// or, when it is negative or above 65535, false after the message
// "ERROR IN MAP: [section][key] is VALUE, not within 0 to 65535".
bool read_u16_key(const char* section, const char* key, const char* value, uint16_t* out);

// Mesh path: the source directory followed by the `file` value with every
// '\' turned into '/'. False when it would be longer than 255 characters.
// `out` holds 256 bytes.
bool build_mesh_path(const char* src_dir, const char* file_value, char* out);

// "Read header... ": reads the description at `map_path` once into `ini`
// (a regular file only), then field_size, grid_size and objs_num of [main]
// into the header; a value beyond 16 bits is an error.
bool read_header_section(MapHeader* header, const char* map_path, IniIndex* ini);

// Every object "obj_N", N = 0 .. objs_num - 1: keys, mesh, placement,
// normals, object block, collision field; then the cell stream. Notes and
// warnings go to standard error, with the details when options ask for
// them; `stats` (if given) adds up what was done.
bool compile_objects_section(FILE* out, MapHeader* header, const IniIndex* ini, const char* src_dir,
                             const CompileOptions* options = nullptr, CompileStats* stats = nullptr);

// "Read layers... ": the start layer, the teleports and the end tag. With
// the header's `field_size` (0: unknown), boxes that reach outside the
// field get a warning.
bool compile_layers_section(const IniIndex* ini, FILE* out, unsigned field_size = 0);
