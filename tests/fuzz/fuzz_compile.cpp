// Fuzz target: a whole compile. The input is a map description, optionally
// followed by the marker "\n@@MESH@@\n" and the bytes of the mesh file
// "mesh.3ds" it may name; both are written to a scratch directory and
// compiled with the real driver.
//
// Inputs asking for more work than a fuzzer's time-out allows (grid above
// 48 cells, more than 3 objects, thick skins) are skipped: they are valid
// and only slow.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "driver.h"
#include "ini.h"

static const char MESH_MARKER[] = "\n@@MESH@@\n";

static long lookup_number(const char* path, const char* section, const char* key)
{
    char value[INI_BUFFER_SIZE];
    read_profile_string(path, section, key, "0", value, INI_LINE_MODE);
    return std::atol(value);
}

static bool too_slow(const char* path)
{
    long grid = lookup_number(path, "main", "grid_size") & 0xFFFF;
    long objs = lookup_number(path, "main", "objs_num") & 0xFFFF;
    if (grid > 48 || objs > 3)
        return true;
    for (long i = 0; i < objs; ++i) {
        char section[32];
        std::snprintf(section, sizeof section, "obj_%ld", i);
        long g1 = lookup_number(path, section, "geom1") & 0xFFFF;
        long g2 = lookup_number(path, section, "geom2") & 0xFFFF;
        if (g1 + g2 > 6)
            return true;
    }
    return false;
}

static void write_file(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::string dir;
    if (dir.empty()) {
        dir = "/tmp/ksm_fuzz_compile_" + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        mkdir((dir + "/src").c_str(), 0700);
        // The transcript is not looked at; keep the console quiet.
        if (!std::freopen("/dev/null", "w", stdout))
            return 0;
    }
    const uint8_t* marker = (const uint8_t*)memmem(data, size, MESH_MARKER, sizeof MESH_MARKER - 1);
    size_t desc_size = marker ? (size_t)(marker - data) : size;
    std::string desc = dir + "/map.ksd";
    std::string mesh = dir + "/src/mesh.3ds";
    write_file(desc, data, desc_size);
    if (marker) {
        size_t at = desc_size + sizeof MESH_MARKER - 1;
        write_file(mesh, data + at, size - at);
    } else {
        unlink(mesh.c_str());
    }
    if (too_slow(desc.c_str()))
        return 0;
    std::string out_path = dir + "/map.ksm";
    FILE* out = std::fopen(out_path.c_str(), "wb");
    if (!out)
        return 0;
    std::string src = dir + "/src/";
    // A failed run leaves whatever was written; the program itself writes
    // into a temporary file and keeps the previous output.
    compile_map(out, desc.c_str(), src.c_str());
    return 0;
}
