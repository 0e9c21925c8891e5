// The same triangles as the 3DS writer's scenes, written as Wavefront OBJ
// and binary STL, so that tests can compare formats without outside files.
// Only mesh objects are written; cameras and lights have no counterpart.
#pragma once

#include <string>

#include "mesh_3ds_writer.h"

// OBJ text: one "o NAME" group per mesh object, its vertices ("v" with nine
// significant digits, so every float reads back to the same bits), mapping
// coordinates ("vt", one per vertex, when the object has a mapping for
// every vertex) and faces ("f", 1-based, in the object's winding).
std::string build_obj_text(const Scene3ds* scene);
bool write_obj_file(const char* path, const Scene3ds* scene);

// Binary STL: an 80-byte header, the triangle count, then per triangle its
// right-hand normal, three corners and a zero attribute word; every mesh
// object's faces in order. STL keeps no names, no shared vertices and no
// mapping.
std::vector<uint8_t> build_stl_bytes(const Scene3ds* scene);
bool write_stl_file(const char* path, const Scene3ds* scene);
