// Reading an object's mesh whatever its format: 3D Studio files (.3ds, any
// letter case, or any name when the file starts with the 3DS main chunk) by
// the compiler's own reader, every other format (OBJ, STL,
// PLY, glTF, ...) through assimp. Both fill the same MapObject, so
// placement, normals and the collision field never see the difference.
#pragma once

#include <cstddef>

#include "map_format.h"

// Sizes of the buffers the reader fills.
const size_t MESH_FORMAT_SIZE = 16;   // "3DS", "OBJ", ...
const size_t MESH_REASON_SIZE = 320;  // why a mesh could not be read

// True when the path names a 3D Studio file (extension .3ds in any case).
bool is_3ds_path(const char* path);
// True when the file starts with a 3DS main chunk (id 0x4D4D) whose length
// is at least its 6-byte header and at most the file's size.
bool starts_as_3ds(const char* path);

// Reads the mesh at `path` into `obj` (cleared first). `object_name` (or
// null) picks one object of the file by name; without it a 3DS file gives
// its first object and any other file all its meshes merged. Notes about
// what was left out go to standard error, naming `section`. `format` gets
// the format's name; on failure `reason` says why in a few words and the
// object is left cleared.
bool read_object_mesh(const char* path, const char* object_name, const char* section, MapObject* obj,
                      char* format, char* reason);
