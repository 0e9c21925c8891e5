#include "map_format.h"

#include "file_bytes.h"
#include "huge_pages.h"

#include <cstdlib>
#include <cstring>
#include <new>

// Not inlined: where the caller's calloc is in sight, stores of zeros
// into it may be dropped as having no effect.
__attribute__((noinline)) void touch_normal_field(NormalField* field)
{
    const size_t page_cells = 4096 / sizeof(int16_t);
    size_t count = (size_t)field_cell_count(field->grid_size) * 3;
    advise_huge_pages(field->cells, count * sizeof(int16_t));
    for (size_t i = 0; i < count && field->cells; i += page_cells)
        field->cells[i] = 0;
}

bool alloc_normal_field(NormalField* field, uint16_t grid_size)
{
    field->grid_size = 0;
    field->cells = nullptr;
    uint64_t n = field_cell_count(grid_size) * 3;
    if (n > (uint64_t)SIZE_MAX / sizeof(int16_t))
        return false;
    // calloc of 0 elements may give null; ask for at least one.
    int16_t* cells = (int16_t*)std::calloc(n ? (size_t)n : 1, sizeof(int16_t));
    if (!cells)
        return false;
    field->grid_size = grid_size;
    field->cells = cells;
    return true;
}

void free_normal_field(NormalField* field)
{
    std::free(field->cells);
    field->cells = nullptr;
    field->grid_size = 0;
}

void clear_object(MapObject* obj)
{
    std::free(obj->vertices);
    std::free(obj->vertex_normals);
    std::free(obj->face_normals);
    std::free(obj->tex_coords);
    std::free(obj->faces);
    obj->vertices = nullptr;
    obj->vertex_normals = nullptr;
    obj->face_normals = nullptr;
    obj->tex_coords = nullptr;
    obj->faces = nullptr;
    std::memset(obj->name, 0, sizeof obj->name);
}

// ---- writers ---------------------------------------------------------------

void write_u8(FILE* f, uint8_t v) { std::fputc(v, f); }

void write_u16(FILE* f, uint16_t v)
{
    uint8_t b[2];
    store_u16_le(b, v);
    std::fwrite(b, 1, 2, f);
}

void write_u32(FILE* f, uint32_t v)
{
    uint8_t b[4];
    store_u32_le(b, v);
    std::fwrite(b, 1, 4, f);
}

void write_s32(FILE* f, int32_t v) { write_u32(f, (uint32_t)v); }
void write_s16(FILE* f, int16_t v) { write_u16(f, (uint16_t)v); }

void write_f32(FILE* f, float v)
{
    uint8_t b[4];
    store_f32_le(b, v);
    std::fwrite(b, 1, 4, f);
}

static void write_vec3(FILE* f, Vec3 v)
{
    write_f32(f, v.x);
    write_f32(f, v.y);
    write_f32(f, v.z);
}

void write_map_header(FILE* f, const MapHeader* header)
{
    std::fwrite(MAP_MAGIC, 1, MAP_MAGIC_SIZE, f);
    write_u16(f, header->field_size);
    write_u16(f, header->grid_size);
    write_u16(f, header->objs_num);
}

void write_vertices(const MapObject* obj, FILE* f)
{
    write_u32(f, obj->vertex_count);
    for (uint32_t i = 0; i < obj->vertex_count; ++i)
        write_vec3(f, obj->vertices[i]);
}

void write_faces(const MapObject* obj, FILE* f)
{
    write_u32(f, obj->face_count);
    for (uint32_t i = 0; i < obj->face_count; ++i)
        for (int k = 0; k < 3; ++k)
            write_u32(f, obj->faces[i].v[k]);
}

void write_tex_coords(const MapObject* obj, FILE* f)
{
    if (!obj->tex_coords) {
        write_u32(f, 0);
        return;
    }
    write_u32(f, obj->vertex_count);
    for (uint32_t i = 0; i < obj->vertex_count; ++i) {
        write_f32(f, obj->tex_coords[i].x);
        write_f32(f, obj->tex_coords[i].y);
    }
}

void write_vertex_normals(const MapObject* obj, FILE* f)
{
    write_u32(f, obj->vertex_count);
    for (uint32_t i = 0; i < obj->vertex_count; ++i)
        write_vec3(f, obj->vertex_normals ? obj->vertex_normals[i] : Vec3{0.0f, 0.0f, 0.0f});
}

void write_object_block(const MapObject* obj, FILE* f)
{
    write_vertices(obj, f);
    write_faces(obj, f);
    write_tex_coords(obj, f);
    write_vertex_normals(obj, f);
}

void write_cell_stream(const NormalField* field, FILE* f)
{
    // Records are gathered in a buffer and written a buffer at a time.
    const size_t RECORD = 10;
    uint8_t buf[RECORD * 4096];
    size_t used = 0;
    if (field->cells) {
        uint64_t n = field_cell_count(field->grid_size);
        for (uint64_t i = 0; i < n; ++i) {
            const int16_t* c = field->cells + 3 * i;
            if (!(c[0] || c[1] || c[2]))
                continue;
            uint8_t* r = buf + used;
            store_u32_le(r, (uint32_t)(int32_t)i);
            for (int k = 0; k < 3; ++k)
                store_u16_le(r + 4 + 2 * k, (uint16_t)c[k]);
            used += RECORD;
            if (used == sizeof buf) {
                std::fwrite(buf, 1, used, f);
                used = 0;
            }
        }
    }
    store_u32_le(buf + used, (uint32_t)(int32_t)-1);
    std::fwrite(buf, 1, used + 4, f);
}

void write_layer_record(const LayerRecord* rec, FILE* f)
{
    write_u8(f, rec->tag);
    if (rec->tag == LAYER_TAG_END)
        return;
    int n = rec->tag == LAYER_TAG_START ? 6 : 12;
    std::fwrite(rec->box, 1, (size_t)n, f);
}

// ---- readers ---------------------------------------------------------------

// A cursor over a file's bytes; the readers fail on a short buffer or a count
// that cannot fit in the rest of it.
struct ByteReader {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

static bool take(ByteReader* in, void* out, size_t n)
{
    if (in->size - in->pos < n)
        return false;
    std::memcpy(out, in->data + in->pos, n);
    in->pos += n;
    return true;
}

static bool take_u16(ByteReader* in, uint16_t* v)
{
    uint8_t b[2];
    if (!take(in, b, 2))
        return false;
    *v = load_u16_le(b);
    return true;
}

static bool take_u32(ByteReader* in, uint32_t* v)
{
    uint8_t b[4];
    if (!take(in, b, 4))
        return false;
    *v = load_u32_le(b);
    return true;
}

static float f32_at(const uint8_t* p) { return load_f32_le(p); }
static uint32_t u32_at(const uint8_t* p) { return load_u32_le(p); }

// Reads a count and checks that count * element bytes fit in the rest.
static MapLoadResult take_count(ByteReader* in, uint32_t* count, size_t element_size)
{
    if (!take_u32(in, count))
        return MAP_TRUNCATED;
    if ((uint64_t)*count * element_size > (uint64_t)(in->size - in->pos))
        return MAP_BAD_COUNT;
    return MAP_LOADED;
}

// Zeroed array of n elements; at least one byte is asked for so that a
// count of 0 still gives an array, as a fresh record expects.
template <typename T>
static T* alloc_zeroed(uint32_t n)
{
    return (T*)std::calloc(n ? n : 1, sizeof(T));
}

static void read_vec3_array(Vec3* dst, ByteReader* in, uint32_t n)
{
    const uint8_t* p = in->data + in->pos;
    for (uint32_t i = 0; i < n; ++i, p += 12)
        dst[i] = Vec3{f32_at(p), f32_at(p + 4), f32_at(p + 8)};
    in->pos += (size_t)n * 12;
}

static MapLoadResult read_vertices(MapObject* obj, ByteReader* in)
{
    uint32_t n;
    MapLoadResult r = take_count(in, &n, 12);
    if (r != MAP_LOADED)
        return r;
    obj->vertex_count = n;
    obj->vertices = alloc_zeroed<Vec3>(n);
    if (!obj->vertices)
        return MAP_NO_MEMORY;
    read_vec3_array(obj->vertices, in, n);
    return MAP_LOADED;
}

static MapLoadResult read_faces(MapObject* obj, ByteReader* in)
{
    uint32_t n;
    MapLoadResult r = take_count(in, &n, 12);
    if (r != MAP_LOADED)
        return r;
    obj->face_count = n;
    obj->faces = alloc_zeroed<MapFace>(n);
    if (!obj->faces)
        return MAP_NO_MEMORY;
    const uint8_t* p = in->data + in->pos;
    for (uint32_t i = 0; i < n; ++i, p += 12) {
        for (int k = 0; k < 3; ++k) {
            uint32_t v = u32_at(p + 4 * k);
            // Faces index the vertex arrays when drawn.
            if (v >= obj->vertex_count)
                return MAP_BAD_FACE;
            obj->faces[i].v[k] = v;
        }
    }
    in->pos += (size_t)n * 12;
    return MAP_LOADED;
}

static MapLoadResult read_tex_coords(MapObject* obj, ByteReader* in)
{
    uint32_t n;
    MapLoadResult r = take_count(in, &n, 8);
    if (r != MAP_LOADED)
        return r;
    if (n == 0)
        return MAP_LOADED;
    obj->tex_coords = alloc_zeroed<Vec3>(n);
    if (!obj->tex_coords)
        return MAP_NO_MEMORY;
    const uint8_t* p = in->data + in->pos;
    for (uint32_t i = 0; i < n; ++i, p += 8)
        obj->tex_coords[i] = Vec3{f32_at(p), f32_at(p + 4), 0.0f};
    in->pos += (size_t)n * 8;
    return MAP_LOADED;
}

static MapLoadResult read_vertex_normals(MapObject* obj, ByteReader* in)
{
    uint32_t n;
    MapLoadResult r = take_count(in, &n, 12);
    if (r != MAP_LOADED)
        return r;
    if (n == 0)
        return MAP_LOADED;
    obj->vertex_normals = alloc_zeroed<Vec3>(n);
    if (!obj->vertex_normals)
        return MAP_NO_MEMORY;
    read_vec3_array(obj->vertex_normals, in, n);
    return MAP_LOADED;
}

static void free_object_array(MapObject* objs, uint32_t count)
{
    if (!objs)
        return;
    for (uint32_t i = 0; i < count; ++i)
        clear_object(&objs[i]);
    std::free(objs);
}

static bool take_box(ByteReader* in, LayerBox* box)
{
    return take(in, box->a, 3) && take(in, box->b, 3);
}

// Reads the layers block: an optional start layer (tag 0), teleports tagged
// 1, 2, ... in order, then the end tag. Returns null when it reads cleanly,
// else the fault, with `layers` emptied: a map without readable layers is
// still a usable map.
static const char* read_layers(ByteReader* in, MapLayers* layers)
{
    std::memset(layers, 0, sizeof *layers);
    const char* fault = nullptr;
    uint8_t tag;
    if (!take(in, &tag, 1))
        return "the map has no layers block";
    if (tag == LAYER_TAG_START) {
        layers->has_start = true;
        if (!take_box(in, &layers->start) || !take(in, &tag, 1))
            fault = "the layers block ends early";
    }
    while (!fault && tag != LAYER_TAG_END) {
        if (tag != layers->teleport_count + 1) {
            fault = tag == LAYER_TAG_START ? "the start layer comes after a teleport"
                                           : "a teleport's tag is out of sequence";
            break;
        }
        Teleport* t = &layers->teleports[layers->teleport_count++];
        if (!take_box(in, &t->from) || !take_box(in, &t->to) || !take(in, &tag, 1))
            fault = "the layers block ends early";
    }
    if (fault)
        std::memset(layers, 0, sizeof *layers);
    return fault;
}

static MapLoadResult parse_map(const uint8_t* data, size_t size, LoadedMap* out)
{
    ByteReader in{data, size, 0};
    char magic[4];
    if (!take(&in, magic, 4) || std::memcmp(magic, MAP_MAGIC, MAP_MAGIC_SIZE) != 0)
        return MAP_BAD_MAGIC;
    uint16_t field_size, grid_size, objs_num;
    if (!take_u16(&in, &field_size) || !take_u16(&in, &grid_size) || !take_u16(&in, &objs_num))
        return MAP_TRUNCATED;
    if (grid_size > MAX_GRID_SIZE)
        return MAP_BAD_GRID;
    // Each object block takes at least its four counts.
    if ((uint64_t)objs_num * 16 > (uint64_t)(in.size - in.pos))
        return MAP_TRUNCATED;
    MapObject* objs = (MapObject*)std::calloc(objs_num ? objs_num : 1, sizeof(MapObject));
    if (!objs)
        return MAP_NO_MEMORY;
    MapLoadResult r = MAP_LOADED;
    for (uint32_t i = 0; i < objs_num && r == MAP_LOADED; ++i) {
        r = read_vertices(&objs[i], &in);
        if (r == MAP_LOADED)
            r = read_faces(&objs[i], &in);
        if (r == MAP_LOADED)
            r = read_tex_coords(&objs[i], &in);
        if (r == MAP_LOADED)
            r = read_vertex_normals(&objs[i], &in);
    }
    NormalField field{0, nullptr};
    if (r == MAP_LOADED && !alloc_normal_field(&field, grid_size))
        r = MAP_NO_MEMORY;
    uint64_t cells = field_cell_count(grid_size);
    while (r == MAP_LOADED) {
        uint32_t raw;
        if (!take_u32(&in, &raw)) {
            r = MAP_TRUNCATED;
            break;
        }
        int32_t index = (int32_t)raw;
        if (index < 0)
            break;
        if ((uint64_t)index >= cells) {
            r = MAP_BAD_CELL_INDEX;
            break;
        }
        uint16_t c[3];
        if (!take_u16(&in, &c[0]) || !take_u16(&in, &c[1]) || !take_u16(&in, &c[2])) {
            r = MAP_TRUNCATED;
            break;
        }
        for (int k = 0; k < 3; ++k)
            field.cells[3 * (uint64_t)index + k] = (int16_t)c[k];
    }
    if (r != MAP_LOADED) {
        free_object_array(objs, objs_num);
        free_normal_field(&field);
        return r;
    }
    out->header.field_size = field_size;
    out->header.grid_size = grid_size;
    out->header.objs_num = objs_num;
    out->header.field = field;
    out->objects = objs;
    out->object_count = objs_num;
    out->layers_fault = read_layers(&in, &out->layers);
    return MAP_LOADED;
}

MapLoadResult load_compiled_map_file(LoadedMap* map, const char* path, FileKind* kind)
{
    size_t size = 0;
    bool opened;
    uint8_t* data = read_file_bytes(path, &size, &opened, kind);
    if (!opened)
        return MAP_MISSING;
    if (!data)
        return MAP_NO_MEMORY;
    MapLoadResult r = load_compiled_map_bytes(map, data, size);
    std::free(data);
    return r;
}

MapLoadResult load_compiled_map_bytes(LoadedMap* map, const uint8_t* data, size_t size)
{
    // The new map is built apart and replaces the previous one only when it
    // is complete.
    LoadedMap staged{};
    MapLoadResult r = parse_map(data, size, &staged);
    if (r == MAP_LOADED) {
        free_loaded_map(map);
        *map = staged;
    }
    return r;
}

void free_loaded_map(LoadedMap* map)
{
    free_object_array(map->objects, map->object_count);
    free_normal_field(&map->header.field);
    std::memset(map, 0, sizeof *map);
}

const char* map_load_result_text(MapLoadResult result)
{
    switch (result) {
    case MAP_LOADED: return "loaded";
    case MAP_MISSING: return "the file cannot be opened";
    case MAP_BAD_MAGIC: return "the file does not start with \"KSMP\"";
    case MAP_TRUNCATED: return "the file ends too early";
    case MAP_BAD_COUNT: return "a count needs more bytes than the file holds";
    case MAP_BAD_FACE: return "a face names a vertex beyond the vertex count";
    case MAP_BAD_CELL_INDEX: return "a cell index lies outside the collision grid";
    case MAP_BAD_GRID: return "its grid_size is too large for a compiled map";
    case MAP_NO_MEMORY: return "there is not enough memory for it";
    }
    return "unknown fault";
}
