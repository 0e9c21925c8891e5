// Fuzz target: the 3DS reader on arbitrary bytes, then placement and normals
// of whatever it accepts.
#include <cstdint>
#include <cstring>

#include "mesh_3ds.h"
#include "placement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Mesh3dsFile file{data, size};
    MapObject obj{};
    Mesh3dsStatus st = read_3ds_mesh_bytes(&file, &obj);
    char message[512];
    format_mesh_3ds_status(&st, message, sizeof message);
    if (std::strlen(message) >= sizeof message)
        __builtin_trap();
    if (st.result == MESH_READ_OK) {
        if (obj.vertex_count == 0)
            __builtin_trap();
        for (uint32_t i = 0; i < obj.face_count; ++i)
            for (int k = 0; k < 3; ++k)
                if (obj.faces[i].v[k] >= obj.vertex_count)
                    __builtin_trap();
        if (place_object(&obj, 1.0f, 2.0f, 3.0f, 10.0f, 0.5f, 0.0f, 1.0f, 0.0f) == PLACE_OK) {
            calc_face_normals(&obj);
            calc_vertex_normals(&obj);
        }
    } else if (obj.vertices || obj.faces || obj.tex_coords) {
        __builtin_trap();  // a refused mesh leaves nothing behind
    }
    clear_object(&obj);
    return 0;
}
