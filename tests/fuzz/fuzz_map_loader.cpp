// Fuzz target: the compiled-map loader on arbitrary bytes.
#include <cstdint>
#include <cstdlib>

#include "map_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MapHeader header{};
    MapLoadResult r = load_compiled_map_bytes(&header, data, size);
    if (r == MAP_LOADED) {
        // Everything the viewer later reads must lie inside what was loaded.
        for (uint32_t i = 0; i < map_object_count; ++i) {
            const MapObject& o = map_objects[i];
            for (uint32_t k = 0; k < o.face_count; ++k)
                for (int c = 0; c < 3; ++c)
                    if (o.faces[k].v[c] >= o.vertex_count)
                        __builtin_trap();
        }
        if (!header.field.cells)
            __builtin_trap();
    } else if (header.field.cells || map_objects) {
        __builtin_trap();  // a refused map leaves nothing behind
    }
    free_map_objects();
    free_normal_field(&header.field);
    return 0;
}
