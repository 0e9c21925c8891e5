// A look at a glTF file's node graph before assimp imports it. The importer
// copies a node for every place it is referenced and walks the graph
// recursively, so a small file whose nodes share children many times over
// (or a very deep chain of nodes) would exhaust its memory or its stack.
// The graph is measured here without recursion and refused past the limits.
#pragma once

#include <cstddef>
#include <cstdint>

// Limits of one mesh file's scene, far above any real map's objects.
const uint32_t MAX_SCENE_DEPTH = 1000;               // levels of nodes
const uint64_t MAX_PLACED_NODES = 1000000;           // nodes once every reference is copied
const uint64_t MAX_PLACED_TRIANGLES = 10000000;      // triangles once every node is placed
const uint32_t MAX_JSON_NESTING = 512;               // nested arrays and objects of the JSON

struct GltfSceneCheck {
    bool is_gltf;             // the file is glTF (JSON, or binary starting with "glTF")
    bool triangles_known;     // every primitive is a triangle list: `triangles` is exact
    uint64_t triangles;       // triangles of all meshes, each counted once
};

// Checks the glTF file at `path`. True when it may be imported: it is no
// glTF file, its JSON does not parse (the importer then says why), or its
// graph is within the limits. False with `reason` (`size` bytes) when the
// graph is too deep, places too many nodes or triangles, or has a cycle.
bool check_gltf_scene(const char* path, GltfSceneCheck* check, char* reason, size_t size);
