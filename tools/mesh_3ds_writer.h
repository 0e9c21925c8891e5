// A small 3D Studio (.3ds) writer: the chunks the compiler's mesh reader
// needs plus a few optional ones (version chunks, a material with its face
// group, the mesh matrix), so that tests and demo data can make meshes that
// other 3DS readers accept too. Part of the tools library: used by the
// tools, tests, benchmarks and the demo, never by the compile itself.
//
// Chunk tree written (optional parts in brackets):
//   0x4D4D main
//     [0x0002 file version]
//     0x3D3D 3D editor
//       [0x3D3E mesh version] [0xAFFF material: 0xA000 name, 0xA020 diffuse]
//       [0x0100 master scale]
//       0x4000 object block: name, then one of
//         0x4100 triangular mesh: 0x4110 vertices, [0x4140 mapping],
//                [0x4160 matrix], 0x4120 faces [with 0x4130 material group]
//         0x4700 camera, 0x4600 light
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "map_format.h"
#include "vec3.h"

enum Object3dsKind { OBJECT_3DS_MESH, OBJECT_3DS_CAMERA, OBJECT_3DS_LIGHT };

// One named object of a 3DS file. A mesh uses vertices, faces and, when
// has_mapping is set, mapping (one (u, v) pair per entry, any count); a
// camera uses position and target, a light position.
struct Object3ds {
    Object3dsKind kind;
    std::string name;
    std::vector<Vec3> vertices;
    std::vector<MapFace> faces;  // indices must fit 16 bits
    bool has_mapping;
    std::vector<float> mapping;  // u0, v0, u1, v1, ...
    Vec3 position;
    Vec3 target;
};

struct Scene3ds {
    std::vector<Object3ds> objects;
    bool version_chunks;  // file version, mesh version and master scale
    bool material;        // one material, and a face group naming it per mesh
};

// Face flags word written for every face (all three edges visible).
const uint16_t FACE_3DS_FLAGS = 0x0007;

// The bytes of a 3DS file holding the scene; false (and `out` untouched)
// when a count or an index does not fit the format's 16 bits.
bool build_3ds_file(const Scene3ds* scene, std::vector<uint8_t>* out);
// Builds and writes the file; false when building fails or the file cannot
// be written.
bool write_3ds_file(const char* path, const Scene3ds* scene);

// An empty mesh object with the given name.
Object3ds make_mesh_object(const char* name);
// A box centred on the origin with the given side lengths: 8 vertices and
// 12 faces wound counter-clockwise when seen from outside. With mapping,
// each vertex gets (u, v) = (x, y) scaled into 0..1.
Object3ds make_box_object(const char* name, Vec3 size, bool mapping);
// A sphere of radius 1 around the origin: an icosahedron whose faces are
// split into four `subdivisions` times (0 to 5), vertices pushed onto the
// sphere; faces counter-clockwise seen from outside. With mapping, (u, v)
// are longitude and latitude scaled into 0..1.
Object3ds make_sphere_object(const char* name, int subdivisions, bool mapping);
// Reverses the winding of every face (a, b, c becomes a, c, b).
void flip_object_faces(Object3ds* obj);

// A MapObject holding a copy of the mesh's vertices and faces, nothing
// else (release it with clear_object).
MapObject map_object_from(const Object3ds* src);
