// 3D Studio (.3ds) mesh reader: the first named object of the file's mesh
// data (or the first with a given name), which must be a triangle mesh.
//
// A 3DS file is a tree of chunks, each a 6-byte header (u16 id, u32 length
// counting the header and all children) and a body. The reader looks for:
//   0x3D3D 3D editor   from offset 6 (the first chunk's id is not examined)
//   0x4000 object      from the editor's offset + 6; its name follows
//   0x4100 tri mesh    from the end of the object name
//   0x4110 vertices, 0x4140 mapping (optional), 0x4120 faces
//                      from the tri mesh's offset + 6
// Every search walks siblings by their lengths and goes on past the end of
// the parent chunk until the file ends; it never descends into children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "map_format.h"

const uint16_t CHUNK_3DS_EDITOR = 0x3D3D;
const uint16_t CHUNK_3DS_OBJECT = 0x4000;
const uint16_t CHUNK_3DS_TRI_MESH = 0x4100;
const uint16_t CHUNK_3DS_VERTICES = 0x4110;
const uint16_t CHUNK_3DS_FACES = 0x4120;
const uint16_t CHUNK_3DS_MAPPING = 0x4140;

// Size of a chunk header; a chunk can never be shorter.
const uint32_t CHUNK_3DS_HEADER_SIZE = 6;
// Longest object name kept (the name buffer holds one more byte).
const int MESH_NAME_MAX = 255;

// The whole file in memory; offsets are byte positions in it.
struct Mesh3dsFile {
    const uint8_t* data;
    size_t size;
};

enum Mesh3dsResult {
    MESH_READ_OK,
    MESH_CANNOT_READ,         // the file could not be opened or read
    MESH_BAD_CHUNK_LENGTH,    // a chunk shorter than its own header stopped a search
    MESH_NO_EDITOR,           // no 0x3D3D chunk
    MESH_NO_OBJECT,           // no 0x4000 chunk
    MESH_NO_NAMED_OBJECT,     // no 0x4000 chunk with the name asked for
    MESH_NO_TRI_MESH,         // the first object is no triangle mesh
    MESH_NO_VERTICES_LIST,    // no 0x4110 chunk
    MESH_NO_FACES_LIST,       // no 0x4120 chunk
    MESH_LIST_TRUNCATED,      // a list count needs more bytes than the file holds
    MESH_NO_VERTICES,         // the vertices list is empty
    MESH_BAD_FACE_INDEX,      // a face names a vertex at or beyond the count
    MESH_NO_MEMORY
};

// Outcome of a read with the details its message names.
struct Mesh3dsStatus {
    Mesh3dsResult result;
    uint64_t offset;     // bad chunk or truncated list: its chunk's offset
    uint16_t chunk_id;   // truncated list: its chunk id
    uint32_t length;     // bad chunk: its length
    uint32_t face;       // bad face index: the face number ...
    uint32_t index;      // ... the index it names ...
    uint32_t count;      // ... and the vertex count
};

// Offset of the first chunk with `id` met by the sibling scan from `start`,
// or 0 when the file ends first. A chunk length below the header size would
// stall or reverse the scan: it stops there, sets `*bad_offset` to that
// chunk's offset and returns 0 (`*bad_offset` is 0 otherwise). A chunk is
// only seen when its whole 6-byte header lies in the file.
uint64_t find_chunk(const Mesh3dsFile* file, uint16_t id, uint64_t start, uint64_t* bad_offset);

// Zero-fills `name` (256 bytes), then copies bytes from `start` up to and
// including a zero byte, at most 255 bytes and never past the end of the
// file. Returns start + the number of bytes read.
uint64_t read_chunk_name(const Mesh3dsFile* file, uint64_t start, char* name);

// The lists whose u16 count is at `body` (a chunk's offset + 6). Each
// checks that count entries fit in the file before allocating, then reads
// exactly count entries. The face list widens a, b, c to 32 bits, drops the
// flags word and checks every index against the object's vertex count. The
// mapping list gives one (u, v, 0) entry per vertex: missing entries stay
// (0, 0, 0) and entries beyond the vertex count are not kept.
Mesh3dsStatus read_vertex_list(const Mesh3dsFile* file, uint64_t body, MapObject* obj);
Mesh3dsStatus read_face_list(const Mesh3dsFile* file, uint64_t body, MapObject* obj);
Mesh3dsStatus read_tex_coord_list(const Mesh3dsFile* file, uint64_t body, MapObject* obj);

// Reads the mesh from bytes already in memory into `obj` (cleared first;
// counts set from the lists). On failure the object is cleared again and
// its counts are 0. With `object_name`, the object block read is the first
// of that name instead of the first of all (the same sibling scan).
Mesh3dsStatus read_3ds_mesh_bytes(const Mesh3dsFile* file, MapObject* obj, const char* object_name = nullptr);
// Reads the file at `path` and then as above.
Mesh3dsStatus read_3ds_mesh(const char* path, MapObject* obj, const char* object_name = nullptr);

// The names of the object blocks that hold a triangular mesh, in file order.
void list_3ds_mesh_objects(const Mesh3dsFile* file, std::vector<std::string>* names);

// The reason of a failed read in a few words, without the file name
// ("no faces description (chunk 0x4120)"). `out` holds `size` bytes.
void format_mesh_3ds_status(const Mesh3dsStatus* status, char* out, size_t size);
