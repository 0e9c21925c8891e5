#include "sections.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ini.h"
#include "compile_report.h"
#include "map_hints.h"
#include "mesh_read.h"
#include "phys_info.h"
#include "placement.h"
#include "user_files.h"

const char* const MISSING_KEY = "GG=(";

// ---- values ----------------------------------------------------------------

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Skips leading blanks and an optional sign; returns where the digits start.
static const char* skip_to_digits(const char* text, bool* negative)
{
    const char* p = text;
    while (is_blank(*p))
        ++p;
    *negative = false;
    if (*p == '+' || *p == '-')
        *negative = *p++ == '-';
    return p;
}

int32_t parse_decimal_int(const char* text)
{
    bool negative;
    const char* p = skip_to_digits(text, &negative);
    // Unsigned arithmetic wraps, so no digit string overflows.
    uint32_t value = 0;
    while (is_digit(*p))
        value = value * 10u + (uint32_t)(*p++ - '0');
    if (negative)
        value = 0u - value;
    return (int32_t)value;
}

// Finds the number at the start of `text`: `*start` after the blanks, the
// result after its last character, `*digits` how many digits it has. Whole
// numbers are a sign and digits; others may add a fraction and an exponent.
static const char* scan_number(const char* text, bool whole, const char** start, int* digits)
{
    const char* p = text;
    while (is_blank(*p))
        ++p;
    *start = p;
    if (*p == '+' || *p == '-')
        ++p;
    *digits = 0;
    while (is_digit(*p)) {
        ++p;
        ++*digits;
    }
    if (whole)
        return p;
    if (*p == '.') {
        ++p;
        while (is_digit(*p)) {
            ++p;
            ++*digits;
        }
    }
    // An exponent counts only with at least one digit after 'e' and its sign.
    if (*digits > 0 && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (*q == '+' || *q == '-')
            ++q;
        if (is_digit(*q)) {
            while (is_digit(*q))
                ++q;
            p = q;
        }
    }
    return p;
}

float parse_decimal_number(const char* text)
{
    const char* start;
    int digits;
    const char* p = scan_number(text, false, &start, &digits);
    if (digits == 0)
        return 0.0f;
    // The accepted text is plain decimal, which strtod converts exactly
    // rounded; the buffer holds any value the INI reader gives.
    char number[INI_BUFFER_SIZE];
    size_t n = (size_t)(p - start);
    if (n >= sizeof number)
        n = sizeof number - 1;
    std::memcpy(number, start, n);
    number[n] = '\0';
    return (float)std::strtod(number, nullptr);
}

bool file_exists(const char* path)
{
    return is_regular_file(path);
}

bool build_mesh_path(const char* src_dir, const char* file_value, char* out)
{
    size_t dir_len = std::strlen(src_dir), value_len = std::strlen(file_value);
    if (dir_len + value_len > (size_t)PATH_MAX_CHARS)
        return false;
    std::memcpy(out, src_dir, dir_len);
    for (size_t i = 0; i < value_len; ++i)
        out[dir_len + i] = file_value[i] == '\\' ? '/' : file_value[i];
    out[dir_len + value_len] = '\0';
    return true;
}

// Looks a required key up; false when it is missing.
static bool lookup_key(const IniIndex* ini, const char* section, const char* key, char* value)
{
    lookup_profile_string(ini, section, key, MISSING_KEY, value);
    return std::strcmp(value, MISSING_KEY) != 0;
}

// A decimal integer as parse_decimal_int reads it, without the wrap: its
// magnitude saturates far above any 16-bit value.
static int64_t parse_decimal_wide(const char* text)
{
    bool negative;
    const char* p = skip_to_digits(text, &negative);
    int64_t value = 0;
    while (is_digit(*p)) {
        if (value < ((int64_t)1 << 40))
            value = value * 10 + (*p - '0');
        ++p;
    }
    return negative ? -value : value;
}

bool read_u16_key(const char* section, const char* key, const char* value, uint16_t* out)
{
    int64_t wide = parse_decimal_wide(value);
    if (wide < 0 || wide > UINT16_MAX) {
        std::printf("ERROR IN MAP: [%s][%s] is %s, not within 0 to %u\n", section, key, value,
                    (unsigned)UINT16_MAX);
        return false;
    }
    *out = (uint16_t)wide;
    return true;
}

// A warning when a value is not what it reads as: no number at all (it
// reads as 0), or text after the number (ignored).
static void warn_unless_number(const char* section, const char* key, const char* value, bool whole)
{
    const char* start;
    int digits;
    const char* end = scan_number(value, whole, &start, &digits);
    if (digits == 0) {
        if (*start == '\0')
            print_note(NOTE_WARNING, "[%s][%s] has nothing but blanks after its '=': it reads as 0", section, key);
        else
            print_note(NOTE_WARNING, "[%s][%s] = \"%s\" is not a %s: it reads as 0", section, key, value,
                       whole ? "whole number" : "number");
        return;
    }
    const char* rest = end;
    while (is_blank(*rest))
        ++rest;
    if (*rest != '\0')
        print_note(NOTE_WARNING, "[%s][%s] = \"%s\" reads as %.*s: the rest, \"%s\", is ignored", section, key,
                   value, (int)(end - start), start, end);
}

// Where a key is read, which decides its message when it is missing.
enum KeyPlace { KEY_OF_MAP, KEY_OF_LAYER };

// A required key's value: false, after the message and the hints, when it
// is missing; otherwise warns about a value that is not wholly a number.
static bool lookup_number(const IniIndex* ini, KeyPlace place, const char* section, const char* key, bool whole,
                          char* value)
{
    if (!lookup_key(ini, section, key, value)) {
        // The layers' message ends without a line break.
        if (place == KEY_OF_LAYER)
            std::printf("ERROR IN LAYER: [%s][%s]", section, key);
        else
            std::printf("ERROR IN MAP: [%s][%s]\n", section, key);
        hint_missing_key(ini->path.c_str(), section, key);
        return false;
    }
    warn_unless_number(section, key, value, whole);
    return true;
}

// ---- header ----------------------------------------------------------------

bool read_header_section(MapHeader* header, const char* map_path, IniIndex* ini)
{
    std::printf("Read header... ");
    FileKind kind = FILE_MISSING;
    int error = 0;
    if (!load_profile_index(map_path, ini, &kind, &error)) {
        if (kind != FILE_MISSING && kind != FILE_REGULAR) {
            std::printf("ERROR! NOT A FILE: \"%s\" %s!\n", map_path, file_kind_text(kind, error).c_str());
            return false;
        }
        std::printf("ERROR! NO FILE!\n");
        print_note(NOTE_HINT, "the map description \"%s\" does not exist or is no readable file", map_path);
        return false;
    }
    static const char* const keys[3] = {"field_size", "grid_size", "objs_num"};
    uint16_t* fields[3] = {&header->field_size, &header->grid_size, &header->objs_num};
    char value[INI_BUFFER_SIZE];
    for (int i = 0; i < 3; ++i) {
        if (!lookup_number(ini, KEY_OF_MAP, "main", keys[i], true, value))
            return false;
        if (!read_u16_key("main", keys[i], value, fields[i]))
            return false;
    }
    std::printf("OK!\n");
    return true;
}

// ---- objects ---------------------------------------------------------------

// The values of one object section.
struct ObjectKeys {
    char mesh_path[PATH_MAX_CHARS + 1];
    bool mesh_path_fits;
    char file_value[INI_BUFFER_SIZE];
    float scale, pos_x, pos_y, pos_z, rt_angle, rt_x, rt_y, rt_z;
    bool has_object_name;  // the optional key `object` picks one object of the file
    char object_name[INI_BUFFER_SIZE];
    char format[MESH_FORMAT_SIZE];  // set when the mesh is read
};

// Reads the keys of one object in the order of lookups; the first missing
// one is reported and ends the object.
static bool read_object_keys(const IniIndex* ini, const char* section, const char* src_dir,
                             MapHeader* header, ObjectKeys* keys)
{
    char value[INI_BUFFER_SIZE];
    if (!lookup_key(ini, section, "file", value)) {
        std::printf("ERROR IN MAP: [%s][file]\n", section);
        hint_missing_key(ini->path.c_str(), section, "file");
        return false;
    }
    std::memcpy(keys->file_value, value, sizeof value);
    keys->mesh_path_fits = build_mesh_path(src_dir, value, keys->mesh_path);

    static const char* const float_keys[8] = {"scale", "pos_x", "pos_y", "pos_z",
                                              "rt_angle", "rt_x", "rt_y", "rt_z"};
    float* floats[8] = {&keys->scale, &keys->pos_x, &keys->pos_y, &keys->pos_z,
                        &keys->rt_angle, &keys->rt_x, &keys->rt_y, &keys->rt_z};
    for (int i = 0; i < 8; ++i) {
        if (!lookup_number(ini, KEY_OF_MAP, section, float_keys[i], false, value))
            return false;
        *floats[i] = parse_decimal_number(value);
    }
    static const char* const geom_keys[2] = {"geom1", "geom2"};
    uint16_t* geoms[2] = {&header->geom1, &header->geom2};
    for (int i = 0; i < 2; ++i) {
        if (!lookup_number(ini, KEY_OF_MAP, section, geom_keys[i], true, value))
            return false;
        if (!read_u16_key(section, geom_keys[i], value, geoms[i]))
            return false;
    }
    // Optional, looked up last so that a missing required key is named first.
    keys->has_object_name = lookup_key(ini, section, "object", value) && value[0] != '\0';
    std::memcpy(keys->object_name, value, sizeof value);
    keys->format[0] = '\0';
    return true;
}

// A folder as a note shows it: the working folder as "./".
static const char* shown_dir(const char* dir)
{
    return dir[0] ? dir : "./";
}

// After a missing mesh: every folder searched and, for the default one, how
// to name another.
static void hint_missing_mesh(const char* section, const char* file_value, const char* src_dir,
                              const CompileOptions* options)
{
    std::string searched = std::string("\"") + src_dir + "\"";
    for (int i = 0; i < options->map_dir_count; ++i)
        searched += std::string(i + 1 == options->map_dir_count ? " and \"" : ", \"") +
                    shown_dir(options->map_dirs[i]) + "\"";
    print_note(NOTE_HINT, "the mesh \"%s\" of [%s] was looked for in the folder%s %s", file_value, section,
               options->map_dir_count ? "s" : "", searched.c_str());
    if (options->default_src_dir)
        print_note(NOTE_HINT,
                   "that is the default folder src/ beside the program%s; name another as the third "
                   "argument: ksm_compiler <map_file> <end_file> <src_dir>",
                   options->map_dir_count ? ", then the description's own folder and its src/" : "");
}

// With the default folder, a mesh not found there is looked for beside the
// description: true, with the path and a note, when one of those folders
// has it.
static bool find_mesh_beside_map(const char* section, ObjectKeys* keys, const char* src_dir,
                                 const CompileOptions* options)
{
    for (int i = 0; i < options->map_dir_count; ++i) {
        char path[PATH_MAX_CHARS + 1];
        if (!build_mesh_path(options->map_dirs[i], keys->file_value, path) || !file_exists(path))
            continue;
        print_note(NOTE_NOTE, "[%s] the mesh \"%s\" is not in \"%s\"; it was found in \"%s\"", section,
                   keys->file_value, src_dir, shown_dir(options->map_dirs[i]));
        std::memcpy(keys->mesh_path, path, sizeof path);
        return true;
    }
    return false;
}

// Reads, places and gives normals to one object; prints the reason and
// returns false when it cannot.
static bool load_object(const char* section, ObjectKeys* keys, const char* src_dir,
                        const CompileOptions* options, MapObject* obj, CompileStats* stats)
{
    if (!keys->mesh_path_fits) {
        std::printf("ERROR! PATH TOO LONG: the mesh path of [%s][file] is over %d characters!\n", section,
                    PATH_MAX_CHARS);
        return false;
    }
    const char* path = keys->mesh_path;
    FileKind kind = FILE_REGULAR;
    if (!is_regular_file(path, &kind)) {
        if (kind != FILE_MISSING) {
            std::printf("ERROR! NOT A FILE: \"%s\" %s!\n", path, file_kind_text(kind, 0).c_str());
            return false;
        }
        // With the default folder, the description's own folders are tried
        // next (the path then names the mesh found there).
        if (!find_mesh_beside_map(section, keys, src_dir, options)) {
            std::printf("ERROR! NO FILE \"%s\"!\n", path);
            hint_missing_mesh(section, keys->file_value, src_dir, options);
            return false;
        }
    }
    stats->meshes_read.push_back(path);
    double t0 = now_ms();
    char reason[MESH_REASON_SIZE];
    bool read = read_object_mesh(path, keys->has_object_name ? keys->object_name : nullptr, section, obj,
                                 keys->format, reason);
    double t1 = now_ms();
    stats->read_ms += t1 - t0;
    if (!read) {
        std::printf("ERROR! BAD MESH \"%s\": %s!\n", path, reason);
        return false;
    }
    PlaceResult placed = place_object(obj, keys->pos_x, keys->pos_y, keys->pos_z, keys->scale,
                                      keys->rt_angle, keys->rt_x, keys->rt_y, keys->rt_z);
    if (placed == PLACE_NO_EXTENT) {
        std::printf("ERROR! BAD MESH \"%s\": its rotated box has no extent!\n", path);
        return false;
    }
    if (placed == PLACE_NOT_FINITE) {
        std::printf("ERROR! BAD PLACEMENT [%s]: \"%s\" ends with coordinates that are not finite numbers!\n",
                    section, path);
        return false;
    }
    bool normals = calc_face_normals(obj) && calc_vertex_normals(obj);
    stats->place_ms += now_ms() - t1;
    if (!normals) {
        std::printf("ERROR! NO MEMORY FOR THE NORMALS OF \"%s\"!\n", path);
        return false;
    }
    return true;
}

static void empty_object(MapObject* obj)
{
    clear_object(obj);
    obj->vertex_count = 0;
    obj->face_count = 0;
    std::memset(obj->box, 0, sizeof obj->box);
}

// Creates the run's collision field; false (after the message) when the
// header cannot have one.
static bool create_field(const MapHeader* header, NormalField* field)
{
    if (header->objs_num > 0 && header->field_size == 0) {
        std::printf("ERROR IN MAP: [main][field_size] is 0 but the map has objects\n");
        return false;
    }
    if (header->objs_num > 0 && header->grid_size == 0) {
        std::printf("ERROR IN MAP: [main][grid_size] is 0 but the map has objects\n");
        return false;
    }
    if (header->grid_size > MAX_GRID_SIZE) {
        // Cell indices beyond the s32 of the cell stream would turn negative
        // and end it early; the viewer refuses such a map.
        std::printf("ERROR IN MAP: [main][grid_size] is %u, more than %u cells per axis cannot be indexed\n",
                    (unsigned)header->grid_size, (unsigned)MAX_GRID_SIZE);
        return false;
    }
    // Without objects every cell stays zero and only the terminator is
    // written: no field is needed, however large the grid.
    if (header->objs_num == 0)
        return true;
    if (!alloc_normal_field(field, header->grid_size)) {
        std::printf("ERROR! NO MEMORY FOR THE COLLISION FIELD (%u^3 cells of 6 bytes)!\n",
                    (unsigned)header->grid_size);
        return false;
    }
    return true;
}

// Non-empty cells of the field (only counted for the details).
static uint64_t count_filled_cells(const NormalField* field)
{
    uint64_t filled = 0;
    if (field->cells) {
        uint64_t n = field_cell_count(field->grid_size);
        for (uint64_t i = 0; i < n; ++i) {
            const int16_t* c = field->cells + 3 * i;
            filled += (c[0] || c[1] || c[2]) ? 1 : 0;
        }
    }
    return filled;
}

// True when the placed box lies wholly outside the field on some axis, so
// that the object cannot add a collision cell.
static bool box_outside_field(const float* box, float field_size)
{
    for (int axis = 0; axis < 3; ++axis) {
        float lo = box[2 * axis], hi = box[2 * axis] + box[2 * axis + 1];
        if (hi < 0.0f || lo > field_size)
            return true;
    }
    return false;
}

bool compile_objects_section(FILE* out, MapHeader* header, const IniIndex* ini, const char* src_dir,
                             const CompileOptions* options, CompileStats* stats)
{
    static const CompileOptions no_options{};
    CompileStats scratch{};
    if (!options)
        options = &no_options;
    if (!stats)
        stats = &scratch;
    NormalField field{0, nullptr};
    if (!create_field(header, &field))
        return false;
    MapObject obj{};
    bool ok = true;
    uint64_t filled_before = 0;
    ProgressLine* line = options->phys.progress;
    if (line)
        line->objects = header->objs_num;
    for (int n = 0; n < header->objs_num && ok; ++n) {
        if (line)
            progress_line_object(line, n + 1);
        std::printf("Object #%d:\n", n);
        std::printf("  Read and compile... ");
        empty_object(&obj);
        char section[32];
        std::snprintf(section, sizeof section, "obj_%d", n);
        ObjectKeys keys;
        ok = read_object_keys(ini, section, src_dir, header, &keys) &&
             load_object(section, &keys, src_dir, options, &obj, stats);
        if (!ok)
            break;
        std::printf("OK!\n");
        flush_notes();
        std::printf("  Write... ");
        double t0 = now_ms();
        write_object_block(&obj, out);
        double t1 = now_ms();
        stats->write_ms += t1 - t0;
        std::printf("OK!\n");
        ok = calc_phys_info(header, &obj, &field, &options->phys, stdout);
        stats->field_ms += now_ms() - t1;
        if (!ok)
            break;
        std::printf("OK!\n");
        if (box_outside_field(obj.box, (float)header->field_size))
            print_note(NOTE_WARNING,
                       "[%s] \"%s\" is placed wholly outside the field (0..%u on each axis): it adds no "
                       "collision cells",
                       section, keys.mesh_path, (unsigned)header->field_size);
        else if (!box_overhang(obj.box, (float)header->field_size).empty())
            print_note(NOTE_WARNING,
                       "[%s] \"%s\" is placed partly outside the field (0..%u on each axis): %s; the part "
                       "outside adds no collision cells",
                       section, keys.mesh_path, (unsigned)header->field_size,
                       box_overhang(obj.box, (float)header->field_size).c_str());
        if (options->verbose) {
            uint64_t filled = count_filled_cells(&field);
            ObjectReport report{section, keys.mesh_path, keys.format, &obj, filled - filled_before};
            print_object_report(&report);
            filled_before = filled;
        }
        flush_notes();
        clear_object(&obj);
    }
    if (line)
        progress_line_clear(line);
    if (ok) {
        std::printf("Write phys info... ");
        double t0 = now_ms();
        write_cell_stream(&field, out);
        stats->write_ms += now_ms() - t0;
        if (options->verbose)
            stats->cells_written = count_filled_cells(&field);
        std::printf("OK!\n");
    }
    clear_object(&obj);
    free_normal_field(&field);
    return ok;
}

// ---- layers ----------------------------------------------------------------

// Looks up the six keys of a box and stores their low 8 bits; prints the
// layer message of the first missing one. Warns when the box reaches
// outside the field (`field_size` 0: not checked).
static bool read_layer_box(const IniIndex* ini, const char* section, const char* which,
                           const char* const* keys, unsigned field_size, uint8_t* bytes)
{
    char value[INI_BUFFER_SIZE];
    int32_t raw[6];
    for (int i = 0; i < 6; ++i) {
        if (!lookup_number(ini, KEY_OF_LAYER, section, keys[i], true, value))
            return false;
        raw[i] = parse_decimal_int(value);
        bytes[i] = (uint8_t)raw[i];
    }
    if (field_size > 0)
        warn_layer_box(section, which, raw, field_size);
    return true;
}

bool compile_layers_section(const IniIndex* ini, FILE* out, unsigned field_size)
{
    std::printf("Read layers... ");
    uint8_t tag = LAYER_TAG_START;
    char value[INI_BUFFER_SIZE];

    lookup_profile_string(ini, "start", "gg", MISSING_KEY, value);
    if (std::strcmp(value, MISSING_KEY) != 0) {
        static const char* const start_keys[6] = {"from_x", "from_y", "from_z", "to_x", "to_y", "to_z"};
        LayerRecord rec{};
        if (!read_layer_box(ini, "start", "the start box", start_keys, field_size, rec.box))
            return false;
        rec.tag = tag;
        write_layer_record(&rec, out);
    }

    lookup_profile_string(ini, "main", "teleports", "0", value);
    warn_unless_number("main", "teleports", value, true);
    int32_t teleports = parse_decimal_int(value);
    if (teleports > MAX_TELEPORTS) {
        // Tag 255 is the end tag: a 255th teleport could not be read back.
        std::printf("ERROR IN LAYER: [main][teleports] is %d, more than %d teleports cannot be told apart",
                    (int)teleports, MAX_TELEPORTS);
        return false;
    }
    static const char* const from_keys[6] = {"from_from_x", "from_from_y", "from_from_z",
                                             "from_to_x", "from_to_y", "from_to_z"};
    static const char* const to_keys[6] = {"to_from_x", "to_from_y", "to_from_z",
                                           "to_to_x", "to_to_y", "to_to_z"};
    for (int32_t k = 0; k < teleports; ++k) {
        char section[32];
        std::snprintf(section, sizeof section, "teleport_%d", (int)k);
        ++tag;
        write_u8(out, tag);
        uint8_t box[6];
        if (!read_layer_box(ini, section, "the from box", from_keys, field_size, box))
            return false;
        std::fwrite(box, 1, 6, out);
        if (!read_layer_box(ini, section, "the to box", to_keys, field_size, box))
            return false;
        std::fwrite(box, 1, 6, out);
    }
    LayerRecord end{};
    end.tag = LAYER_TAG_END;
    write_layer_record(&end, out);
    std::printf("OK!\n");
    return true;
}
