// Collision field (calc_phys_info) timings on meshes made by our own 3DS
// writer, or read from Debian's assimp test models, placed by the
// compiler's own placement (geom1 2, geom2 1 throughout):
//   - PhysSphere/G/T: a 20,480-triangle icosphere filling a field of 64 at a
//     grid of G, fast search on T threads;
//   - PhysNoisy/Fast and /Exhaustive: a bumpy, non-convex 1,280-triangle
//     sphere at a grid of 32, both searches (same bytes); PhysNoisy64 the
//     same at a grid of 64;
//   - PhysSphere5120/Fast and /Exhaustive: a 5,120-triangle icosphere
//     filling a field of 32 at a grid of 32, both searches;
//   - PhysSphere20480At32/Fast and /Exhaustive: the 20,480-triangle sphere
//     filling a field of 32 at a grid of 32, both searches;
//   - PhysBox12: a 12-triangle box across half of a field of 128 at a grid
//     of 128, both searches;
//   - PhysRealMeshes: three overlapping meshes from the assimp test models
//     (fels.3ds, test1.3ds, cubes_with_alpha.3DS) in a field of 96 at a grid
//     of 96, both searches.
// Fast cases name their thread count; exhaustive ones run on one thread.
// Every case reports `peak_MB`, the largest resident size of the process
// while it ran.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "map_format.h"
#include "mesh_3ds.h"
#include "mesh_3ds_writer.h"
#include "phys_info.h"
#include "placement.h"
#include "peak_memory.h"

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

// A mesh file read by the compiler's reader, rotated and placed like an
// object of a map; an object without vertices when it cannot be read.
MapObject placed_file(const char* path, float pos, float scale, float angle, Vec3 axis)
{
    MapObject obj{};
    if (read_3ds_mesh(path, &obj).result != MESH_READ_OK || obj.vertex_count == 0 ||
        place_object(&obj, pos, pos, pos, scale, angle, axis.x, axis.y, axis.z) != PLACE_OK) {
        clear_object(&obj);
        return MapObject{};
    }
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

// The whole calc_phys_info of every object, in order, into one field.
void run(benchmark::State& state, const std::vector<const MapObject*>& objs, int field_size, int grid_size,
         PhysSearch search, int threads)
{
    MapHeader h{};
    h.field_size = (uint16_t)field_size;
    h.grid_size = (uint16_t)grid_size;
    h.objs_num = (uint16_t)objs.size();
    h.geom1 = 2;
    h.geom2 = 1;
    for (const MapObject* obj : objs) {
        if (obj->vertex_count == 0) {
            state.SkipWithError("a mesh could not be read");
            return;
        }
    }
    reset_peak_memory();
    NormalField field{0, nullptr};
    if (!alloc_normal_field(&field, h.grid_size)) {
        state.SkipWithError("no memory for the field");
        return;
    }
    FILE* sink = std::fopen("/dev/null", "w");
    PhysOptions options;
    options.search = search;
    options.threads = threads;
    uint64_t faces = 0;
    bool stopped = false;
    for (auto _ : state) {
        state.PauseTiming();
        std::memset(field.cells, 0, (size_t)field_cell_count(h.grid_size) * 3 * sizeof(int16_t));
        state.ResumeTiming();
        // A stop (a push vector beyond 200 cells, as deep inside the sphere
        // at 512 cells) ends the run as it ends a compile; the time is kept.
        for (const MapObject* obj : objs)
            if (!calc_phys_info(&h, obj, &field, &options, sink)) {
                stopped = true;
                break;
            }
        benchmark::DoNotOptimize(field.cells);
    }
    std::fclose(sink);
    free_normal_field(&field);
    for (const MapObject* obj : objs)
        faces += obj->face_count;
    state.counters["cells"] = (double)grid_size * grid_size * grid_size;
    state.counters["faces"] = (double)faces;
    state.counters["threads"] = threads;
    state.counters["peak_MB"] = peak_memory_mb();
    state.counters["stopped"] = stopped;
}

const MapObject& sphere20480_in(float size)
{
    static MapObject at64 = placed_object(make_sphere_object("sphere", 5, false), 0.0f, 64.0f);
    static MapObject at32 = placed_object(make_sphere_object("sphere", 5, false), 0.0f, 32.0f);
    return size == 64.0f ? at64 : at32;
}

// Wall-clock times of single runs (the CPU column is the whole process's,
// all threads): the fast cases repeated five times, reporting mean, median,
// min and spread; the long ones run once.
double min_of(const std::vector<double>& v)
{
    double m = v.empty() ? 0.0 : v[0];
    for (double x : v)
        m = std::min(m, x);
    return m;
}

void repeated(benchmark::internal::Benchmark* b)
{
    b->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->MeasureProcessCPUTime()->UseRealTime();
    b->ComputeStatistics("min", min_of)->ReportAggregatesOnly(true);
}

void once(benchmark::internal::Benchmark* b)
{
    b->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime()->UseRealTime();
}

void PhysSphere(benchmark::State& state)
{
    run(state, {&sphere20480_in(64.0f)}, 64, (int)state.range(0), PHYS_SEARCH_FAST, (int)state.range(1));
}
BENCHMARK(PhysSphere)->ArgsProduct({{64, 128, 256}, {1, 2}})->Apply(repeated);
BENCHMARK(PhysSphere)->ArgsProduct({{512}, {1, 2}})->Apply(once);

// The cases run by both searches. The exhaustive search, seconds to
// minutes long, runs once; the fast one is repeated, on one and two threads.
const MapObject& noisy()
{
    static MapObject obj = placed_object(noisy_sphere(), 1.0f, 30.0f);
    return obj;
}

const MapObject& sphere5120()
{
    static MapObject obj = placed_object(make_sphere_object("sphere", 4, false), 0.0f, 32.0f);
    return obj;
}

const MapObject& box12()
{
    static MapObject obj = placed_object(make_box_object("box", Vec3{1.0f, 1.0f, 1.0f}, false), 32.0f, 64.0f);
    return obj;
}

std::vector<const MapObject*> real_meshes()
{
    static const char* dir = "/usr/share/assimp/models/3DS/";
    static MapObject rock = placed_file((std::string(dir) + "fels.3ds").c_str(), 8.0f, 70.0f, 0.3f, Vec3{1, 0, 0});
    static MapObject test = placed_file((std::string(dir) + "test1.3ds").c_str(), 22.0f, 60.0f, 0.7f, Vec3{0, 1, 0});
    static MapObject cubes =
        placed_file((std::string(dir) + "cubes_with_alpha.3DS").c_str(), 30.0f, 50.0f, 0.5f, Vec3{1, 1, 0});
    return {&rock, &test, &cubes};
}

void PhysNoisy(benchmark::State& state, PhysSearch search)
{
    run(state, {&noisy()}, 32, 32, search, (int)state.range(0));
}

void PhysNoisy64(benchmark::State& state, PhysSearch search)
{
    run(state, {&noisy()}, 32, 64, search, (int)state.range(0));
}

void PhysSphere5120(benchmark::State& state, PhysSearch search)
{
    run(state, {&sphere5120()}, 32, 32, search, (int)state.range(0));
}

void PhysSphere20480At32(benchmark::State& state, PhysSearch search)
{
    run(state, {&sphere20480_in(32.0f)}, 32, 32, search, (int)state.range(0));
}

void PhysBox12(benchmark::State& state, PhysSearch search)
{
    run(state, {&box12()}, 128, 128, search, (int)state.range(0));
}

void PhysRealMeshes(benchmark::State& state, PhysSearch search)
{
    run(state, real_meshes(), 96, 96, search, (int)state.range(0));
}

#define PHYS_BOTH_SEARCHES(name)                                                   \
    BENCHMARK_CAPTURE(name, Fast, PHYS_SEARCH_FAST)->Arg(1)->Arg(2)->Apply(repeated); \
    BENCHMARK_CAPTURE(name, Exhaustive, PHYS_SEARCH_EXHAUSTIVE)->Arg(1)->Apply(once)

PHYS_BOTH_SEARCHES(PhysNoisy);
PHYS_BOTH_SEARCHES(PhysSphere5120);
PHYS_BOTH_SEARCHES(PhysSphere20480At32);
PHYS_BOTH_SEARCHES(PhysNoisy64);
PHYS_BOTH_SEARCHES(PhysRealMeshes);
PHYS_BOTH_SEARCHES(PhysBox12);

}  // namespace

BENCHMARK_MAIN();
