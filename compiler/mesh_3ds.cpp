#include "mesh_3ds.h"

#include "file_bytes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---- the file image ---------------------------------------------------------

// True when `n` bytes starting at `at` lie inside the file.
static bool bytes_in_file(const Mesh3dsFile* file, uint64_t at, uint64_t n)
{
    return at <= file->size && n <= file->size - at;
}

static Mesh3dsStatus status_of(Mesh3dsResult result)
{
    Mesh3dsStatus s{};
    s.result = result;
    return s;
}

// ---- chunk scan ------------------------------------------------------------

uint64_t find_chunk(const Mesh3dsFile* file, uint16_t id, uint64_t start, uint64_t* bad_offset)
{
    *bad_offset = 0;
    uint64_t pos = start;
    // Positions only grow (every step adds at least the header size), so the
    // scan ends once it passes the end of the file.
    while (bytes_in_file(file, pos, CHUNK_3DS_HEADER_SIZE)) {
        const uint8_t* p = file->data + pos;
        if (load_u16_le(p) == id)
            return pos;
        uint32_t length = load_u32_le(p + 2);
        if (length < CHUNK_3DS_HEADER_SIZE) {
            *bad_offset = pos;
            return 0;
        }
        pos += length;
    }
    return 0;
}

uint64_t read_chunk_name(const Mesh3dsFile* file, uint64_t start, char* name)
{
    std::memset(name, 0, MESH_NAME_MAX + 1);
    uint64_t pos = start;
    for (int n = 0; n < MESH_NAME_MAX && bytes_in_file(file, pos, 1); ++n) {
        char c = (char)file->data[pos++];
        name[n] = c;
        if (c == '\0')
            break;
    }
    return pos;
}

// ---- lists -----------------------------------------------------------------

// Reads the u16 count at `body` and checks that count entries of
// `entry_size` bytes follow inside the file.
static Mesh3dsStatus take_list_count(const Mesh3dsFile* file, uint64_t body, uint32_t entry_size,
                                     uint32_t* count)
{
    *count = 0;
    if (bytes_in_file(file, body, 2)) {
        *count = load_u16_le(file->data + body);
        if (bytes_in_file(file, body + 2, (uint64_t)*count * entry_size))
            return status_of(MESH_READ_OK);
    }
    Mesh3dsStatus s = status_of(MESH_LIST_TRUNCATED);
    s.offset = body >= CHUNK_3DS_HEADER_SIZE ? body - CHUNK_3DS_HEADER_SIZE : 0;
    s.chunk_id = bytes_in_file(file, s.offset, 2) ? load_u16_le(file->data + s.offset) : 0;
    return s;
}

// Zeroed array of n elements; at least one element is asked for so that a
// count of 0 still gives an array.
template <typename T>
static T* alloc_zeroed(uint32_t n)
{
    return (T*)std::calloc(n ? n : 1, sizeof(T));
}

Mesh3dsStatus read_vertex_list(const Mesh3dsFile* file, uint64_t body, MapObject* obj)
{
    uint32_t count;
    Mesh3dsStatus s = take_list_count(file, body, 12, &count);
    if (s.result != MESH_READ_OK)
        return s;
    Vec3* vertices = alloc_zeroed<Vec3>(count);
    if (!vertices)
        return status_of(MESH_NO_MEMORY);
    const uint8_t* p = file->data + body + 2;
    for (uint32_t i = 0; i < count; ++i, p += 12)
        vertices[i] = Vec3{load_f32_le(p), load_f32_le(p + 4), load_f32_le(p + 8)};
    std::free(obj->vertices);
    obj->vertices = vertices;
    obj->vertex_count = count;
    return s;
}

Mesh3dsStatus read_face_list(const Mesh3dsFile* file, uint64_t body, MapObject* obj)
{
    uint32_t count;
    Mesh3dsStatus s = take_list_count(file, body, 8, &count);
    if (s.result != MESH_READ_OK)
        return s;
    MapFace* faces = alloc_zeroed<MapFace>(count);
    if (!faces)
        return status_of(MESH_NO_MEMORY);
    const uint8_t* p = file->data + body + 2;
    for (uint32_t i = 0; i < count; ++i, p += 8) {
        // a, b, c; the flags word at p + 6 is dropped.
        for (int k = 0; k < 3; ++k) {
            uint32_t index = load_u16_le(p + 2 * k);
            if (index >= obj->vertex_count) {
                std::free(faces);
                s = status_of(MESH_BAD_FACE_INDEX);
                s.face = i;
                s.index = index;
                s.count = obj->vertex_count;
                return s;
            }
            faces[i].v[k] = index;
        }
    }
    std::free(obj->faces);
    obj->faces = faces;
    obj->face_count = count;
    return s;
}

Mesh3dsStatus read_tex_coord_list(const Mesh3dsFile* file, uint64_t body, MapObject* obj)
{
    uint32_t count;
    Mesh3dsStatus s = take_list_count(file, body, 8, &count);
    if (s.result != MESH_READ_OK)
        return s;
    // The compiled map stores one (u, v) per vertex, so the array always has
    // the vertex count of entries whatever the list's own count.
    Vec3* coords = alloc_zeroed<Vec3>(obj->vertex_count);
    if (!coords)
        return status_of(MESH_NO_MEMORY);
    uint32_t kept = count < obj->vertex_count ? count : obj->vertex_count;
    const uint8_t* p = file->data + body + 2;
    for (uint32_t i = 0; i < kept; ++i, p += 8)
        coords[i] = Vec3{load_f32_le(p), load_f32_le(p + 4), 0.0f};
    std::free(obj->tex_coords);
    obj->tex_coords = coords;
    return s;
}

// ---- the mesh --------------------------------------------------------------

// One search; false with the status set when it fails. A required chunk that
// is not found gives `missing`.
static bool find_required(const Mesh3dsFile* file, uint16_t id, uint64_t start, Mesh3dsResult missing,
                          uint64_t* found, Mesh3dsStatus* status)
{
    uint64_t bad;
    *found = find_chunk(file, id, start, &bad);
    if (bad) {
        *status = status_of(MESH_BAD_CHUNK_LENGTH);
        status->offset = bad;
        status->length = load_u32_le(file->data + bad + 2);
        return false;
    }
    if (*found == 0 && missing != MESH_READ_OK) {
        *status = status_of(missing);
        return false;
    }
    return true;
}

// Offset just past the object block at `object` when its length is sound,
// else 0 with the status set.
static uint64_t object_block_end(const Mesh3dsFile* file, uint64_t object, Mesh3dsStatus* status)
{
    uint32_t length = load_u32_le(file->data + object + 2);
    if (length < CHUNK_3DS_HEADER_SIZE) {
        *status = status_of(MESH_BAD_CHUNK_LENGTH);
        status->offset = object;
        status->length = length;
        return 0;
    }
    return object + length;
}

// The object block to read: the first one, or the first whose name is
// `object_name`. Its name goes into the object; `*name_end` is the offset
// after the name as read.
static bool find_object_block(const Mesh3dsFile* file, uint64_t editor, const char* object_name,
                              MapObject* obj, uint64_t* name_end, Mesh3dsStatus* s)
{
    uint64_t object;
    if (!find_required(file, CHUNK_3DS_OBJECT, editor + 6, MESH_NO_OBJECT, &object, s))
        return false;
    *name_end = read_chunk_name(file, object + 6, obj->name);
    while (object_name && std::strcmp(obj->name, object_name) != 0) {
        uint64_t next = object_block_end(file, object, s);
        if (next == 0)
            return false;
        if (!find_required(file, CHUNK_3DS_OBJECT, next, MESH_NO_NAMED_OBJECT, &object, s))
            return false;
        *name_end = read_chunk_name(file, object + 6, obj->name);
    }
    return true;
}

static Mesh3dsStatus read_mesh_chunks(const Mesh3dsFile* file, const char* object_name, MapObject* obj)
{
    Mesh3dsStatus s = status_of(MESH_READ_OK);
    uint64_t editor, name_end, tri_mesh, vertices, mapping, faces;
    if (!find_required(file, CHUNK_3DS_EDITOR, CHUNK_3DS_HEADER_SIZE, MESH_NO_EDITOR, &editor, &s))
        return s;
    if (!find_object_block(file, editor, object_name, obj, &name_end, &s))
        return s;
    // The scan goes on right after the name as read, even when a long name
    // was cut inside its bytes.
    if (!find_required(file, CHUNK_3DS_TRI_MESH, name_end, MESH_NO_TRI_MESH, &tri_mesh, &s))
        return s;
    if (!find_required(file, CHUNK_3DS_VERTICES, tri_mesh + 6, MESH_NO_VERTICES_LIST, &vertices, &s))
        return s;
    if (!find_required(file, CHUNK_3DS_MAPPING, tri_mesh + 6, MESH_READ_OK, &mapping, &s))
        return s;
    if (!find_required(file, CHUNK_3DS_FACES, tri_mesh + 6, MESH_NO_FACES_LIST, &faces, &s))
        return s;

    s = read_vertex_list(file, vertices + 6, obj);
    if (s.result != MESH_READ_OK)
        return s;
    if (obj->vertex_count == 0)
        return status_of(MESH_NO_VERTICES);
    s = read_face_list(file, faces + 6, obj);
    if (s.result != MESH_READ_OK)
        return s;
    if (mapping > 0)
        s = read_tex_coord_list(file, mapping + 6, obj);
    return s;
}

static void empty_mesh(MapObject* obj)
{
    clear_object(obj);
    obj->vertex_count = 0;
    obj->face_count = 0;
}

Mesh3dsStatus read_3ds_mesh_bytes(const Mesh3dsFile* file, MapObject* obj, const char* object_name)
{
    empty_mesh(obj);
    Mesh3dsStatus s = read_mesh_chunks(file, object_name, obj);
    if (s.result != MESH_READ_OK)
        empty_mesh(obj);
    return s;
}

Mesh3dsStatus read_3ds_mesh(const char* path, MapObject* obj, const char* object_name)
{
    size_t size = 0;
    uint8_t* data = read_file_bytes(path, &size);
    if (!data) {
        empty_mesh(obj);
        return status_of(MESH_CANNOT_READ);
    }
    Mesh3dsFile file{data, size};
    Mesh3dsStatus s = read_3ds_mesh_bytes(&file, obj, object_name);
    std::free(data);
    return s;
}

void list_3ds_mesh_objects(const Mesh3dsFile* file, std::vector<std::string>* names)
{
    names->clear();
    uint64_t editor, object, bad;
    editor = find_chunk(file, CHUNK_3DS_EDITOR, CHUNK_3DS_HEADER_SIZE, &bad);
    if (editor == 0)
        return;
    object = find_chunk(file, CHUNK_3DS_OBJECT, editor + 6, &bad);
    while (object != 0) {
        Mesh3dsStatus s;
        uint64_t end = object_block_end(file, object, &s);
        if (end == 0)
            return;
        char name[MESH_NAME_MAX + 1];
        uint64_t name_end = read_chunk_name(file, object + 6, name);
        uint64_t mesh = find_chunk(file, CHUNK_3DS_TRI_MESH, name_end, &bad);
        if (mesh != 0 && mesh < end)
            names->push_back(name);
        object = find_chunk(file, CHUNK_3DS_OBJECT, end, &bad);
    }
}

void format_mesh_3ds_status(const Mesh3dsStatus* s, char* out, size_t size)
{
    switch (s->result) {
    case MESH_READ_OK:
        std::snprintf(out, size, "read");
        return;
    case MESH_CANNOT_READ:
        std::snprintf(out, size, "the file cannot be read");
        return;
    case MESH_BAD_CHUNK_LENGTH:
        std::snprintf(out, size, "the chunk at byte %llu has the length %lu, less than its header",
                      (unsigned long long)s->offset, (unsigned long)s->length);
        return;
    case MESH_NO_EDITOR:
        std::snprintf(out, size, "no 3D editor chunk (0x3D3D)");
        return;
    case MESH_NO_OBJECT:
        std::snprintf(out, size, "no object block (chunk 0x4000)");
        return;
    case MESH_NO_NAMED_OBJECT:
        std::snprintf(out, size, "no object block (chunk 0x4000) has the name asked for");
        return;
    case MESH_NO_TRI_MESH:
        std::snprintf(out, size, "the first object is no triangular mesh (chunk 0x4100)");
        return;
    case MESH_NO_VERTICES_LIST:
        std::snprintf(out, size, "no vertices list (chunk 0x4110)");
        return;
    case MESH_NO_FACES_LIST:
        std::snprintf(out, size, "no faces description (chunk 0x4120)");
        return;
    case MESH_LIST_TRUNCATED:
        std::snprintf(out, size, "the list of chunk 0x%04X at byte %llu needs more bytes than the file holds",
                      (unsigned)s->chunk_id, (unsigned long long)s->offset);
        return;
    case MESH_NO_VERTICES:
        std::snprintf(out, size, "the mesh has no vertices");
        return;
    case MESH_BAD_FACE_INDEX:
        std::snprintf(out, size, "face %lu names vertex %lu of only %lu", (unsigned long)s->face,
                      (unsigned long)s->index, (unsigned long)s->count);
        return;
    case MESH_NO_MEMORY:
        std::snprintf(out, size, "not enough memory for the mesh");
        return;
    }
    std::snprintf(out, size, "unknown fault");
}
