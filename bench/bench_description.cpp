// Reading a map description's keys: the index read once against a scan of
// the file for every key, for descriptions of many objects.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "ini.h"

namespace {

const char* const OBJECT_KEYS[] = {"file", "scale", "pos_x", "pos_y", "pos_z", "rt_angle",
                                   "rt_x", "rt_y", "rt_z", "geom1", "geom2", "object"};

// A description of `objects` small objects in a temporary file.
std::string write_description(int objects)
{
    std::string path = "/tmp/ksm_bench_description_" + std::to_string(getpid()) + "_" + std::to_string(objects) + ".ksd";
    FILE* f = std::fopen(path.c_str(), "w");
    std::fprintf(f, "[main]\nfield_size=1000\ngrid_size=64\nobjs_num=%d\nteleports=0\n", objects);
    for (int i = 0; i < objects; ++i)
        std::fprintf(f,
                     "[obj_%d]\nfile=rock%d.3ds\nscale=1.5\npos_x=%d\npos_y=10\npos_z=%d\nrt_angle=30\n"
                     "rt_x=0\nrt_y=1\nrt_z=0\ngeom1=2\ngeom2=1\n",
                     i, i % 7, i % 1000, i / 1000);
    std::fclose(f);
    return path;
}

// Every key the compiler looks up, through `lookup`.
template <typename Lookup>
void look_up_all(int objects, Lookup lookup)
{
    char value[INI_BUFFER_SIZE];
    for (const char* key : {"field_size", "grid_size", "objs_num"})
        lookup("main", key, value);
    for (int i = 0; i < objects; ++i) {
        char section[32];
        std::snprintf(section, sizeof section, "obj_%d", i);
        for (const char* key : OBJECT_KEYS)
            lookup(section, key, value);
    }
    lookup("start", "gg", value);
    lookup("main", "teleports", value);
    benchmark::DoNotOptimize(value);
}

void DescriptionIndex(benchmark::State& state)
{
    int objects = (int)state.range(0);
    std::string path = write_description(objects);
    for (auto _ : state) {
        IniIndex index;
        load_profile_index(path.c_str(), &index);
        look_up_all(objects, [&](const char* s, const char* k, char* v) {
            lookup_profile_string(&index, s, k, "GG=(", v);
        });
    }
    std::remove(path.c_str());
}
BENCHMARK(DescriptionIndex)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// How every lookup was done before the index: a scan of the file each.
void DescriptionScan(benchmark::State& state)
{
    int objects = (int)state.range(0);
    std::string path = write_description(objects);
    for (auto _ : state)
        look_up_all(objects, [&](const char* s, const char* k, char* v) {
            read_profile_string(path.c_str(), s, k, "GG=(", v, INI_LINE_MODE);
        });
    std::remove(path.c_str());
}
BENCHMARK(DescriptionScan)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(DescriptionScan)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
