#include "mesh_read.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compile_report.h"
#include "file_bytes.h"
#include "mesh_3ds.h"
#include "mesh_assimp.h"

// The extension of the file name in capitals ("OBJ"), or "?" without one.
static void format_of(const char* path, char* format)
{
    const char* slash = std::strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    const char* dot = std::strrchr(name, '.');
    if (!dot || !dot[1]) {
        std::snprintf(format, MESH_FORMAT_SIZE, "?");
        return;
    }
    size_t n = 0;
    for (const char* p = dot + 1; *p && n + 1 < MESH_FORMAT_SIZE; ++p)
        format[n++] = (char)std::toupper((unsigned char)*p);
    format[n] = '\0';
}

bool is_3ds_path(const char* path)
{
    char format[MESH_FORMAT_SIZE];
    format_of(path, format);
    return std::strcmp(format, "3DS") == 0;
}

bool starts_as_3ds(const char* path)
{
    FileKind kind;
    int error;
    size_t size;
    int fd = open_regular_file(path, &kind, &error, &size);
    if (fd < 0)
        return false;
    uint8_t head[6];
    ssize_t got = read(fd, head, sizeof head);
    close(fd);
    if (got != (ssize_t)sizeof head || load_u16_le(head) != 0x4D4D)
        return false;
    uint32_t length = load_u32_le(head + 2);
    return length >= sizeof head && length <= size;
}

// "a", "b", "c" for a note, at most `limit` names and then "...".
static std::string name_list(const std::vector<std::string>& names, size_t skip_index, size_t limit)
{
    std::string text;
    size_t listed = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i == skip_index)
            continue;
        if (listed == limit) {
            text += ", ...";
            break;
        }
        text += (listed ? ", \"" : "\"") + names[i] + "\"";
        ++listed;
    }
    return text;
}

static const size_t NAMES_LISTED = 8;

static bool read_3ds(const char* path, const char* object_name, const char* section, MapObject* obj,
                     char* reason)
{
    size_t size = 0;
    uint8_t* data = read_file_bytes(path, &size);
    Mesh3dsStatus status{};
    if (!data) {
        clear_object(obj);
        obj->vertex_count = 0;
        obj->face_count = 0;
        status.result = MESH_CANNOT_READ;
        format_mesh_3ds_status(&status, reason, MESH_REASON_SIZE);
        return false;
    }
    Mesh3dsFile file{data, size};
    status = read_3ds_mesh_bytes(&file, obj, object_name);
    std::vector<std::string> names;
    list_3ds_mesh_objects(&file, &names);
    std::free(data);
    if (status.result == MESH_NO_NAMED_OBJECT) {
        std::snprintf(reason, MESH_REASON_SIZE, "it has no object named \"%s\"", object_name);
        if (!names.empty())
            print_note(NOTE_HINT, "the mesh objects of \"%s\" are %s", path,
                       name_list(names, names.size(), NAMES_LISTED).c_str());
        return false;
    }
    if (status.result == MESH_NO_TRI_MESH && object_name) {
        std::snprintf(reason, MESH_REASON_SIZE, "the object \"%s\" is no triangular mesh (chunk 0x4100)",
                      object_name);
        return false;
    }
    if (status.result != MESH_READ_OK) {
        format_mesh_3ds_status(&status, reason, MESH_REASON_SIZE);
        return false;
    }
    if (!object_name && names.size() > 1) {
        size_t read = 0;
        while (read < names.size() && names[read] != obj->name)
            ++read;
        print_note(NOTE_NOTE,
                   "[%s] \"%s\" holds %zu mesh objects: only \"%s\" is read, not %s; pick one with "
                   "object = NAME",
                   section, path, names.size(), obj->name, name_list(names, read, NAMES_LISTED).c_str());
    }
    return true;
}

static bool read_other(const char* path, const char* object_name, const char* section, MapObject* obj,
                       char* reason)
{
    AssimpMeshInfo info;
    if (!read_assimp_mesh(path, object_name, obj, &info, reason, MESH_REASON_SIZE)) {
        if (!info.outline.empty())
            print_note(NOTE_HINT, "the objects of \"%s\" are %s", path, info.outline.c_str());
        return false;
    }
    if (info.dropped_points || info.dropped_lines)
        print_note(NOTE_NOTE, "[%s] \"%s\": %u points and %u lines dropped, only triangles are kept", section,
                   path, info.dropped_points, info.dropped_lines);
    if (!object_name && info.merged.size() > 1)
        print_note(NOTE_NOTE, "[%s] \"%s\": %zu meshes merged into one object, from %s; pick one object with "
                              "object = NAME",
                   section, path, info.merged.size(), info.outline.c_str());
    return true;
}

bool read_object_mesh(const char* path, const char* object_name, const char* section, MapObject* obj,
                      char* format, char* reason)
{
    format_of(path, format);
    reason[0] = '\0';
    // A 3D Studio file named without its extension is still read by the
    // compiler's own reader, as under its proper name.
    if (std::strcmp(format, "3DS") != 0 && starts_as_3ds(path))
        std::snprintf(format, MESH_FORMAT_SIZE, "3DS");
    if (std::strcmp(format, "3DS") == 0)
        return read_3ds(path, object_name, section, obj, reason);
    return read_other(path, object_name, section, obj, reason);
}
