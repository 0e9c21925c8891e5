#include "driver.h"
#include "ksm_version.h"

#include <sys/stat.h>

#include <cstring>

#include "map_format.h"
#include "phys_info.h"
#include "sections.h"

const char* const COMPILER_TITLE = "Kestrion Map Compiler v 1.04c";
const char* const COMPILER_NOTICE = "Compiles a map description and its 3DS meshes into a .ksm map.";

static const char* const SOURCE_SUBDIR = "src/";
static const char* const MAP_EXTENSION = "ksm";

static void print_usage()
{
    std::printf("ksm_compiler <map_file> [end_file] [src_dir]\n");
    std::printf("Examples:  ksm_compiler test.ksd\n");
    std::printf("           ksm_compiler test.ksd test.ksm\n");
    std::printf("           ksm_compiler test.ksd test.ksm src\n");
}

bool cut_after_last(const char* path, char* out, char c)
{
    std::snprintf(out, PATH_MAX_CHARS + 1, "%s", path);
    char* hit = std::strrchr(out, c);
    if (!hit) {
        out[0] = '\0';
        return false;
    }
    hit[1] = '\0';
    return true;
}

// Joins two texts into `out` (256 bytes); false when they do not fit.
static bool join_path(const char* a, const char* b, char* out)
{
    size_t la = std::strlen(a), lb = std::strlen(b);
    if (la + lb > (size_t)PATH_MAX_CHARS)
        return false;
    std::memcpy(out, a, la);
    std::memcpy(out + la, b, lb + 1);
    return true;
}

bool default_output_path(const char* map_path, char* out)
{
    if (std::strlen(map_path) > (size_t)PATH_MAX_CHARS)
        return false;
    // Only a '.' in the file name marks an extension, not one in a folder.
    const char* slash = std::strrchr(map_path, '/');
    const char* file_name = slash ? slash + 1 : map_path;
    const char* dot = std::strrchr(file_name, '.');
    if (!dot) {
        char dotted[8];
        std::snprintf(dotted, sizeof dotted, ".%s", MAP_EXTENSION);
        return join_path(map_path, dotted, out);
    }
    char stem[PATH_MAX_CHARS + 1];
    size_t n = (size_t)(dot - map_path) + 1;
    std::memcpy(stem, map_path, n);
    stem[n] = '\0';
    return join_path(stem, MAP_EXTENSION, out);
}

bool default_source_dir(const char* program_path, char* out)
{
    char dir[PATH_MAX_CHARS + 1];
    if (std::strlen(program_path) > (size_t)PATH_MAX_CHARS)
        return false;
    cut_after_last(program_path, dir, '/');
    return join_path(dir, SOURCE_SUBDIR, out);
}

bool source_dir_prefix(const char* given, char* out)
{
    size_t n = std::strlen(given);
    if (n > (size_t)PATH_MAX_CHARS)
        return false;
    if (n > 0 && given[n - 1] == '\\') {
        // A folder written the Windows way: its final separator becomes ours.
        std::memcpy(out, given, n - 1);
        out[n - 1] = '/';
        out[n] = '\0';
        return true;
    }
    if (n > 0 && given[n - 1] == '/')
        return join_path(given, "", out);
    return join_path(given, "/", out);
}

bool compile_map(FILE* out, const char* map_path, const char* src_dir)
{
    std::printf("OK!\n");
    std::fwrite("KSMP", 1, 4, out);
    MapHeader header{};
    if (!read_header_section(&header, map_path)) {
        std::fclose(out);
        return false;
    }
    write_u16(out, header.field_size);
    write_u16(out, header.grid_size);
    write_u16(out, header.objs_num);
    if (!compile_objects_section(out, &header, map_path, src_dir)) {
        std::fclose(out);
        return false;
    }
    if (!compile_layers_section(map_path, out)) {
        std::fclose(out);
        return false;
    }
    std::fclose(out);
    std::printf("DONE!!!=)))\n");
    return true;
}

// True when both paths name the same existing file.
static bool same_file(const char* a, const char* b)
{
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

static int fail_path_too_long(const char* what)
{
    std::printf("ERROR! PATH TOO LONG: the %s path is over %d characters!\n", what, PATH_MAX_CHARS);
    return EXIT_FAILED;
}

int run_compiler(int argc, char** argv)
{
    // --version alone: the title with the package's version, and no banner.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s (ksm %s)\n", COMPILER_TITLE, KSM_VERSION);
        return EXIT_COMPILED;
    }
    std::printf("%s\n%s\n", COMPILER_TITLE, COMPILER_NOTICE);
    // --exhaustive, anywhere: the collision field by the plain exhaustive
    // search (the same bytes, far slower), to double-check the fast one.
    if (argc > 0) {
        int kept = 1;
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--exhaustive") == 0)
                set_phys_search(PHYS_SEARCH_EXHAUSTIVE);
            else
                argv[kept++] = argv[i];
        }
        argc = kept;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return EXIT_COMPILED;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        print_usage();
        return EXIT_COMPILED;
    }
    if (argc < 2) {
        print_usage();
        return EXIT_USAGE;
    }

    const char* map_path = argv[1];
    if (std::strlen(map_path) > (size_t)PATH_MAX_CHARS)
        return fail_path_too_long("map file");
    char end_path[PATH_MAX_CHARS + 1];
    if (argc > 2) {
        if (std::strlen(argv[2]) > (size_t)PATH_MAX_CHARS)
            return fail_path_too_long("output file");
        std::memcpy(end_path, argv[2], std::strlen(argv[2]) + 1);
    } else if (!default_output_path(map_path, end_path)) {
        return fail_path_too_long("output file");
    }
    char src_dir[PATH_MAX_CHARS + 1];
    bool src_fits = argc > 3 ? source_dir_prefix(argv[3], src_dir)
                             : default_source_dir(argc > 0 && argv[0] ? argv[0] : "", src_dir);
    if (!src_fits)
        return fail_path_too_long("source directory");

    std::printf("Open output file (%s) to write... ", end_path);
    // Opening the output truncates it: never when it is the description.
    if (same_file(end_path, map_path)) {
        std::printf("ERROR! IT IS THE MAP FILE ITSELF!\n");
        return EXIT_FAILED;
    }
    FILE* out = std::fopen(end_path, "wb");
    if (!out) {
        std::printf("ERROR :(\n");
        return EXIT_FAILED;
    }
    if (!compile_map(out, map_path, src_dir)) {
        // No partial map: a failed run leaves an empty file behind.
        FILE* empty = std::fopen(end_path, "wb");
        if (empty)
            std::fclose(empty);
        return EXIT_FAILED;
    }
    return EXIT_COMPILED;
}
