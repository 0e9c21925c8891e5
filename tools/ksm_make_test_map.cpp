// Writes a small compiled map with the library's writers: a cube mesh in the
// middle of the field and a skin of push cells around it. Used by the demo
// before a description is compiled and by the window tests.
//
//   ksm_make_test_map <out.ksm> [field_size] [grid_size]
#include <cstdio>
#include <cstdlib>

#include "map_format.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::printf("ksm_make_test_map <out.ksm> [field_size] [grid_size]\n");
        return 2;
    }
    int field_size = argc > 2 ? std::atoi(argv[2]) : 16;
    int grid_size = argc > 3 ? std::atoi(argv[3]) : 16;
    if (field_size < 2 || field_size > 1000 || grid_size < 2 || grid_size > 256) {
        std::printf("ERROR! field_size must be 2..1000 and grid_size 2..256\n");
        return 2;
    }
    FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::printf("ERROR! Cannot open %s to write\n", argv[1]);
        return 1;
    }
    MapHeader header{};
    header.field_size = (uint16_t)field_size;
    header.grid_size = (uint16_t)grid_size;
    header.objs_num = 1;
    write_map_header(f, &header);

    // A cube spanning the middle third of the field.
    float lo = field_size / 3.0f, hi = field_size * 2.0f / 3.0f;
    Vec3 corners[8];
    for (int i = 0; i < 8; ++i)
        corners[i] = Vec3{(i & 1) ? hi : lo, (i & 2) ? hi : lo, (i & 4) ? hi : lo};
    static const uint32_t quads[6][4] = {{0, 1, 3, 2}, {4, 6, 7, 5}, {0, 4, 5, 1},
                                         {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 5, 7, 3}};
    MapFace faces[12];
    for (int q = 0; q < 6; ++q) {
        faces[2 * q] = MapFace{{quads[q][0], quads[q][1], quads[q][2]}};
        faces[2 * q + 1] = MapFace{{quads[q][0], quads[q][2], quads[q][3]}};
    }
    Vec3 normals[8];
    float c = field_size / 2.0f;
    for (int i = 0; i < 8; ++i)
        normals[i] = vec3_unit(vec3_sub(corners[i], Vec3{c, c, c}));
    MapObject cube{};
    cube.vertices = corners;
    cube.vertex_normals = normals;
    cube.faces = faces;
    cube.vertex_count = 8;
    cube.face_count = 12;
    write_object_block(&cube, f);

    // Cells inside the cube push outward along the axis of the nearest face.
    NormalField field;
    if (!alloc_normal_field(&field, (uint16_t)grid_size)) {
        std::fclose(f);
        std::printf("ERROR! Out of memory\n");
        return 1;
    }
    int g0 = grid_size / 3, g1 = (grid_size * 2) / 3;
    for (int x = g0; x < g1; ++x)
        for (int y = g0; y < g1; ++y)
            for (int z = g0; z < g1; ++z) {
                int d[6] = {x - g0 + 1, g1 - x, y - g0 + 1, g1 - y, z - g0 + 1, g1 - z};
                int best = 0;
                for (int k = 1; k < 6; ++k)
                    if (d[k] < d[best])
                        best = k;
                int16_t* cell = field.cells + 3 * (((size_t)x * grid_size + y) * grid_size + z);
                int16_t v = (int16_t)d[best];
                cell[best / 2] = (best % 2 == 0) ? v : (int16_t)-v;
            }
    write_cell_stream(&field, f);
    free_normal_field(&field);
    write_u8(f, LAYER_TAG_END);
    std::fclose(f);
    return 0;
}
