// The simulation frame, the layers' start box and teleports, and the swap of
// a newly loaded map under the running balls.
#include "sim_frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "balls.h"
#include "integration_ball.h"
#include "ordered.h"
#include "sim_plan.h"

void layer_box_units(const LayerBox* box, int k, int* lo, int* hi)
{
    int a = box->a[k], b = box->b[k];
    *lo = a < b ? a : b;
    *hi = a < b ? b : a;
}

bool start_box_region(const LayerBox* box, float extent, double lo[3], double hi[3])
{
    for (int k = 0; k < 3; ++k) {
        int min, max;
        layer_box_units(box, k, &min, &max);
        lo[k] = min > 1 ? (double)min : 1.0;
        hi[k] = (double)max + 1.0 < (double)extent ? (double)max + 1.0 : (double)extent;
        if (hi[k] < lo[k])
            return false;
    }
    return true;
}

bool point_in_layer_box(const LayerBox* box, Vec3 p)
{
    const float c[3] = {p.x, p.y, p.z};
    for (int k = 0; k < 3; ++k) {
        int min, max;
        layer_box_units(box, k, &min, &max);
        if (!(c[k] >= (float)min && c[k] < (float)max + 1.0f))
            return false;
    }
    return true;
}

// Holds a coordinate to [1, F].
static float hold_in_field(float c, float extent)
{
    return c < 1.0f ? 1.0f : (c > extent ? extent : c);
}

bool apply_teleports(SimState* s, const MapLayers* layers)
{
    bool all_registered = true;
    for (int i = 0; i < s->ball_count; ++i) {
        Vec3 p = s->ball_pos[i];
        for (int t = 0; t < layers->teleport_count; ++t) {
            const Teleport* tp = &layers->teleports[t];
            if (!point_in_layer_box(&tp->from, p))
                continue;
            float offset[3];
            for (int k = 0; k < 3; ++k) {
                int from_lo, from_hi, to_lo, to_hi;
                layer_box_units(&tp->from, k, &from_lo, &from_hi);
                layer_box_units(&tp->to, k, &to_lo, &to_hi);
                offset[k] = (float)(to_lo - from_lo);
            }
            Vec3 v = vec3_sub(p, s->ball_prev[i]);
            Vec3 moved = {hold_in_field(p.x + offset[0], s->field_extent),
                          hold_in_field(p.y + offset[1], s->field_extent),
                          hold_in_field(p.z + offset[2], s->field_extent)};
            s->ball_pos[i] = moved;
            s->ball_prev[i] = vec3_sub(moved, v);
            // The ordered engine, which left the lists behind, takes the
            // ball in at its next frame.
            if (s->lists_stale)
                note_ball_written(s, i);
            else if (!move_registration(s, i))
                all_registered = false;
            break;
        }
    }
    return all_registered;
}

bool simulate_step(SimState* s, const MapHeader* header)
{
    // The plan is chosen once a frame; parallel when s->sim_threads >= 1.
    const SimPlan* plan = choose_plan(s);
    if (plan->parallel) {
        bool ok = true;
        if (ordered_frame(s, header, plan, s->sim_threads, &ok))
            return ok;
        // No memory for the ordered engine: the frame runs sequentially.
        plan = find_plan(plan->twin);
    }
    refresh_cell_lists(s);
    note_partner_limit(s);
    repel_with_plan(s, plan);
    return step_with_plan(s, header, plan);
}

bool simulate_frame(SimState* s, const LoadedMap* map)
{
    bool ok = simulate_step(s, &map->header);
    if (s->layers_enabled && map->layers.teleport_count > 0 && !apply_teleports(s, &map->layers))
        ok = false;
    return ok;
}

void warn_partner_limit_once(const SimState* s, bool* warned)
{
    if (!s->partner_limit_hit || *warned)
        return;
    std::fprintf(stderr,
                 "WARNING! More than %d balls crowd around one cell: each of them now pushes only %d of its "
                 "neighbours.\n",
                 s->partner_limit, s->partner_limit);
    *warned = true;
}

bool adopt_map(SimState* s, const MapHeader* header, const char** reason)
{
    *reason = nullptr;
    float extent = (float)header->field_size;
    int side = (int)extent + 2;
    bool rebuild = side != s->cell_side;
    if (rebuild && !resize_cell_lists(s, side)) {
        *reason = "the neighbour table for the new field size cannot be allocated";
        return false;
    }
    s->field_extent = extent;
    s->field_stride_y = 3 * (size_t)header->grid_size;
    s->field_stride_x = s->field_stride_y * (size_t)header->grid_size;
    s->field_scale = (float)((double)header->grid_size / (double)header->field_size);
    if (!rebuild)
        return true;

    bool all_registered = true;
    for (int i = 0; i < s->ball_count; ++i) {
        Vec3 p = s->ball_pos[i];
        Vec3 v = vec3_sub(p, s->ball_prev[i]);
        Vec3 held = {hold_in_field(p.x, extent), hold_in_field(p.y, extent),
                     hold_in_field(p.z, extent)};
        if (held.x != p.x || held.y != p.y || held.z != p.z) {
            s->ball_pos[i] = held;
            s->ball_prev[i] = vec3_sub(held, v);
        }
        s->ball_cell[i] = CellCoord{(int)held.x, (int)held.y, (int)held.z};
        if (!block_insert(s, s->ball_cell[i].x, s->ball_cell[i].y, s->ball_cell[i].z, i))
            all_registered = false;
    }
    if (!all_registered)
        *reason = "the neighbour table could not grow: some balls see no neighbours";
    return true;
}

uint64_t ball_checksum(const SimState* s)
{
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        for (int b = 0; b < 4; ++b) {
            h ^= (bits >> (8 * b)) & 0xFF;
            h *= 1099511628211ull;
        }
    };
    for (int i = 0; i < s->ball_count; ++i) {
        Vec3 p = s->ball_pos[i];
        Vec3 v = vec3_sub(p, s->ball_prev[i]);
        mix(p.x); mix(p.y); mix(p.z);
        mix(v.x); mix(v.y); mix(v.z);
    }
    return h;
}
