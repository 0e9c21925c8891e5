// Collision field (calc_phys_info) timings on meshes made by our own 3DS
// writer and placed by the compiler's own placement:
//   - PhysSphere/G: a 20,480-triangle icosphere filling a field of 64 at a
//     grid of G (geom1 2, geom2 1), the whole computation, fast search;
//   - PhysNoisy/Fast and /Exhaustive: a bumpy, non-convex 1,280-triangle
//     sphere at a grid of 32, both searches (same bytes);
//   - PhysSphere5120/Fast and /Exhaustive: a 5,120-triangle icosphere
//     filling a field of 32 at a grid of 32, both searches;
//   - PhysSphere20480At32/Fast and /Exhaustive: the 20,480-triangle sphere
//     filling a field of 32 at a grid of 32, both searches.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "map_format.h"
#include "mesh_3ds_writer.h"
#include "phys_info.h"
#include "placement.h"

namespace {

// A placed object from a writer mesh: vertices, faces, normals and box as
// the objects section leaves them before calc_phys_info.
MapObject placed_object(const Object3ds& mesh, float pos, float scale)
{
    MapObject obj = map_object_from(&mesh);
    place_object(&obj, pos, pos, pos, scale, 0.0f, 0.0f, 1.0f, 0.0f);
    calc_face_normals(&obj);
    calc_vertex_normals(&obj);
    return obj;
}

// Radius 1 + 0.2 * a few waves: dents and bumps, so many cells see features
// on both sides.
Object3ds noisy_sphere()
{
    Object3ds s = make_sphere_object("noisy", 3, false);
    for (Vec3& v : s.vertices) {
        float r = 1.0f + 0.2f * std::sin(5.0f * v.x) * std::cos(4.0f * v.y) + 0.1f * std::sin(7.0f * v.z + 1.0f);
        v = vec3_scale(v, r);
    }
    return s;
}

// The whole calc_phys_info of one placed object, geom1 2, geom2 1.
void run(benchmark::State& state, const MapObject& obj, int field_size, int grid_size, PhysSearch search)
{
    MapHeader h{};
    h.field_size = (uint16_t)field_size;
    h.grid_size = (uint16_t)grid_size;
    h.objs_num = 1;
    h.geom1 = 2;
    h.geom2 = 1;
    NormalField field{0, nullptr};
    if (!alloc_normal_field(&field, h.grid_size)) {
        state.SkipWithError("no memory for the field");
        return;
    }
    FILE* sink = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        state.PauseTiming();
        std::memset(field.cells, 0, (size_t)field_cell_count(h.grid_size) * 3 * sizeof(int16_t));
        state.ResumeTiming();
        if (!calc_phys_info_with(&h, &obj, &field, search, sink))
            state.SkipWithError("the computation stopped");
        benchmark::DoNotOptimize(field.cells);
    }
    std::fclose(sink);
    free_normal_field(&field);
    state.counters["cells"] = (double)grid_size * grid_size * grid_size;
    state.counters["faces"] = obj.face_count;
}

void PhysSphere(benchmark::State& state)
{
    static MapObject sphere = placed_object(make_sphere_object("sphere", 5, false), 0.0f, 64.0f);
    run(state, sphere, 64, (int)state.range(0), PHYS_SEARCH_FAST);
}
BENCHMARK(PhysSphere)->Arg(64)->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond)->Iterations(3);

// The cases run by both searches: one mesh at a grid equal to its field.
void PhysNoisy(benchmark::State& state, PhysSearch search)
{
    static MapObject noisy = placed_object(noisy_sphere(), 1.0f, 30.0f);
    run(state, noisy, 32, 32, search);
}

void PhysSphere5120(benchmark::State& state, PhysSearch search)
{
    static MapObject sphere = placed_object(make_sphere_object("sphere", 4, false), 0.0f, 32.0f);
    run(state, sphere, 32, 32, search);
}

void PhysSphere20480At32(benchmark::State& state, PhysSearch search)
{
    static MapObject sphere = placed_object(make_sphere_object("sphere", 5, false), 0.0f, 32.0f);
    run(state, sphere, 32, 32, search);
}

// The fast search is repeated; the exhaustive one, seconds long, runs once.
BENCHMARK_CAPTURE(PhysNoisy, Fast, PHYS_SEARCH_FAST)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(PhysNoisy, Exhaustive, PHYS_SEARCH_EXHAUSTIVE)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(PhysSphere5120, Fast, PHYS_SEARCH_FAST)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(PhysSphere5120, Exhaustive, PHYS_SEARCH_EXHAUSTIVE)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(PhysSphere20480At32, Fast, PHYS_SEARCH_FAST)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(PhysSphere20480At32, Exhaustive, PHYS_SEARCH_EXHAUSTIVE)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
