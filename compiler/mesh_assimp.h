// Meshes of every format assimp reads (OBJ, STL, PLY, glTF, ...), turned
// into one MapObject: triangulated, identical vertices joined, every node's
// transform applied, points and lines dropped. The meshes are merged in
// node order, or one node (with its children, and for OBJ the groups of an
// object) or one mesh is picked by name.
// The import runs on a thread of its own with a large stack, the scene is
// walked without recursion, and a scene deeper than MAX_SCENE_DEPTH or
// placing more than MAX_PLACED_TRIANGLES triangles is refused
// (mesh_gltf_check.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "map_format.h"

struct AssimpMeshInfo {
    std::vector<std::string> merged;  // the parts merged, in node order
    // The scene's objects with the groups or parts inside each, as a note
    // lists them: "Ramp" (with "Ramp_body"), "Bowl" (with ...). Filled when
    // everything is merged or a name is not found.
    std::string outline;
    unsigned dropped_points;
    unsigned dropped_lines;
    unsigned bad_faces;               // triangles with a vertex index out of range
};


// Reads `path` into `obj` (cleared first). The object's name is the picked
// name, else the one object merged, else the file's base name. Texture
// coordinates come from the first UV channel of the meshes that have one
// ((0, 0) for the others); without any the object has none. False, with the
// reason in `reason` (`size` bytes) and the object cleared, when assimp
// cannot read the file, no object has the name, no triangle is left, a
// triangle has a vertex index out of range, or the scene is past a limit.
bool read_assimp_mesh(const char* path, const char* object_name, MapObject* obj, AssimpMeshInfo* info,
                      char* reason, size_t size);
