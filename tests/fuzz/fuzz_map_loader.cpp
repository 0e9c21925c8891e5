// Fuzz target: the compiled-map loader on arbitrary bytes.
#include <cstdint>
#include <cstdlib>

#include "map_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A grid near the largest allowed means a field of up to 13 GB, which
    // the sanitizer takes longer than the time-out to map and release. The
    // parsing is the same for small grids, so such inputs are passed over.
    if (size >= 8) {
        uint16_t grid = (uint16_t)(data[6] | data[7] << 8);
        if (grid <= MAX_GRID_SIZE && field_cell_count(grid) * 6 > (uint64_t)256 << 20)
            return 0;
    }
    LoadedMap map{};
    MapLoadResult r = load_compiled_map_bytes(&map, data, size);
    if (r == MAP_LOADED) {
        // Everything the viewer later reads must lie inside what was loaded.
        for (uint32_t i = 0; i < map.object_count; ++i) {
            const MapObject& o = map.objects[i];
            for (uint32_t k = 0; k < o.face_count; ++k)
                for (int c = 0; c < 3; ++c)
                    if (o.faces[k].v[c] >= o.vertex_count)
                        __builtin_trap();
        }
        if (!map.header.field.cells)
            __builtin_trap();
        if (map.layers.teleport_count > MAX_TELEPORTS || (map.layers_fault && map.layers.has_start))
            __builtin_trap();
    } else if (map.header.field.cells || map.objects) {
        __builtin_trap();  // a refused map leaves nothing behind
    }
    free_loaded_map(&map);
    return 0;
}
