// The compiled map (.ksm): records, the compiler's writers and the viewer's
// loader. Little-endian throughout, written and read field by field.
//
//   magic "KSMP" | header: field_size, grid_size, objs_num (u16 each)
//   objs_num object blocks: vertices, faces, texture coordinates, normals
//   cell stream: (s32 index, 3 x s16 push) per non-empty cell, then s32 -1
//   layers block: optional start layer, teleport layers, the byte 0xFF
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "user_files.h"
#include "vec3.h"

// The collision field: grid_size^3 cells of three s16 components; cell
// (x, y, z) starts at element 3 * ((x * grid_size + y) * grid_size + z).
struct NormalField {
    uint16_t grid_size;
    int16_t* cells;  // null when no field is held
};

// Header of a map. The viewer's also owns the loaded field; the compiler's
// also carries the geom1 and geom2 of the object being compiled.
struct MapHeader {
    uint16_t field_size;
    uint16_t grid_size;
    uint16_t objs_num;
    uint16_t geom1;
    uint16_t geom2;
    NormalField field;
};

struct MapFace {
    uint32_t v[3];
};

// One placed mesh. Owns its five arrays; `clear_object` releases them.
struct MapObject {
    Vec3* vertices;
    Vec3* vertex_normals;
    Vec3* face_normals;  // compiler only, never written
    Vec3* tex_coords;    // (u, v, 0) per element, or null
    MapFace* faces;
    uint32_t vertex_count;
    uint32_t face_count;
    char name[256];      // compiler only, never written
    float box[6];        // pos_x, size_x, pos_y, size_y, pos_z, size_z
};

// The first bytes of every compiled map.
inline constexpr char MAP_MAGIC[] = "KSMP";
const size_t MAP_MAGIC_SIZE = 4;

// A record of the cell stream.
struct CellRecord {
    int32_t index;
    int16_t push[3];
};

// A record of the layers block: tag 0 is the start layer (one box), tag k + 1
// teleport k (a from box and a to box), 0xFF ends the block. Coordinates are
// the low 8 bits of the description's integers.
struct LayerRecord {
    uint8_t tag;
    uint8_t box[12];
};

const uint8_t LAYER_TAG_START = 0;
const uint8_t LAYER_TAG_END = 0xFF;

// Largest grid whose every cell index fits the s32 index of the cell stream
// (1290^3 < 2^31 <= 1291^3).
const uint16_t MAX_GRID_SIZE = 1290;

// Number of cells of a field with the given grid size (64-bit: a u16 grid
// cubed does not fit 32 bits).
inline uint64_t field_cell_count(uint16_t grid_size)
{
    return (uint64_t)grid_size * grid_size * grid_size;
}

// Allocates a zeroed field; false (and no field) when memory is short.
bool alloc_normal_field(NormalField* field, uint16_t grid_size);
void free_normal_field(NormalField* field);
// Writes every page of the field, so that it is backed by memory of the
// process's own instead of the shared zero page the system maps for pages
// never written, which some virtual machines serve far more slowly (the
// simulation reads a cell for every ball and step).
void touch_normal_field(NormalField* field);

// Releases the five arrays of an object, nulls them and zero-fills the name;
// counts and box stay as they are.
void clear_object(MapObject* obj);

// Little-endian primitives; the writers ignore write errors.
void write_u8(FILE* f, uint8_t v);
void write_u16(FILE* f, uint16_t v);
void write_u32(FILE* f, uint32_t v);
void write_s32(FILE* f, int32_t v);
void write_s16(FILE* f, int16_t v);
void write_f32(FILE* f, float v);

// Magic and the three header values.
void write_map_header(FILE* f, const MapHeader* header);
// The four sub-blocks of an object block, in this order.
void write_vertices(const MapObject* obj, FILE* f);
void write_faces(const MapObject* obj, FILE* f);
// The u32 0 when the object has no texture coordinates, else the vertex
// count and u, v of the first vertex-count elements.
void write_tex_coords(const MapObject* obj, FILE* f);
void write_vertex_normals(const MapObject* obj, FILE* f);
void write_object_block(const MapObject* obj, FILE* f);
// Every non-empty cell in increasing index order, then -1.
void write_cell_stream(const NormalField* field, FILE* f);
// One layer record: the tag, then 6 box bytes (start) or 12 (teleport); the
// end tag alone.
void write_layer_record(const LayerRecord* rec, FILE* f);

enum MapLoadResult {
    MAP_LOADED,
    MAP_MISSING,        // the file could not be opened
    MAP_BAD_MAGIC,      // it does not start with "KSMP"
    MAP_TRUNCATED,      // it ends inside the header, an object block or the cell stream
    MAP_BAD_COUNT,      // a count needs more bytes than the rest of the file holds
    MAP_BAD_FACE,       // a face names a vertex beyond the vertex count
    MAP_BAD_CELL_INDEX, // a cell index at or beyond grid_size^3
    MAP_BAD_GRID,       // grid_size beyond MAX_GRID_SIZE
    MAP_NO_MEMORY       // the objects or the field could not be allocated
};

// A box of the layers block as stored: two corners in whole field units. On
// each axis it covers the units min(a, b) .. max(a, b), both included.
struct LayerBox {
    uint8_t a[3];
    uint8_t b[3];
};

// A teleport: a ball inside `from` moves by the offset between the lower
// corners of `from` and `to`.
struct Teleport {
    LayerBox from;
    LayerBox to;
};

// Teleport tags run 1 .. 254; 0xFF ends the block.
const int MAX_TELEPORTS = 254;

// The layers block: the start box (tag 0) if present and the teleports in
// tag order.
struct MapLayers {
    bool has_start;
    LayerBox start;
    int teleport_count;
    Teleport teleports[MAX_TELEPORTS];
};

// A compiled map held as a whole: the header with its collision field, the
// objects and the layers. Owned by the caller; `free_loaded_map` releases it.
struct LoadedMap {
    MapHeader header;
    MapObject* objects;
    uint32_t object_count;
    MapLayers layers;
    // Null when the layers block was read; otherwise why the map has no
    // layers (missing, truncated or malformed block). Such a map still loads.
    const char* layers_fault;
};

// Loads a compiled map into `map`. The whole file is read and checked first:
// on MAP_LOADED the previous content of `map` is released and replaced; on
// any other result `map` stays exactly as it was. `map` must be zeroed or
// hold a loaded map. A path that is not a regular file is never read (nor
// waited on): MAP_MISSING, with `*kind` (when given) saying what it is.
MapLoadResult load_compiled_map_file(LoadedMap* map, const char* path, FileKind* kind = nullptr);
// The same from a file's bytes already in memory.
MapLoadResult load_compiled_map_bytes(LoadedMap* map, const uint8_t* data, size_t size);
// A short English description of a load result ("the file is truncated").
const char* map_load_result_text(MapLoadResult result);
// Releases the objects and the field; the record is zeroed.
void free_loaded_map(LoadedMap* map);
