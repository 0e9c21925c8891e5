#include "driver.h"
#include "ksm_version.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "compile_report.h"
#include "map_format.h"
#include "output_file.h"
#include "user_files.h"
#include "phys_info.h"
#include "sections.h"

const char* const COMPILER_TITLE = "Kestrion Map Compiler v 1.04c";
const char* const COMPILER_NOTICE = "Compiles a map description and its meshes into a .ksm map.";

static const char* const SOURCE_SUBDIR = "src/";
static const char* const MAP_EXTENSION = "ksm";

static void print_usage()
{
    std::printf("ksm_compiler <map_file> [end_file] [src_dir]\n");
    std::printf("Examples:  ksm_compiler test.ksd\n");
    std::printf("           ksm_compiler test.ksd test.ksm\n");
    std::printf("           ksm_compiler test.ksd test.ksm src\n");
}

// The options, for --help.
static void print_options()
{
    std::printf("Options:\n");
    std::printf("  -v, --verbose  details of every object and stage on standard error\n");
    std::printf("  --exhaustive   the collision field by the slow exhaustive search (the same bytes)\n");
    std::printf("  --threads N    the collision field on N threads (default: one per core; the same bytes)\n");
    std::printf("  --version      print the title and the version, and exit\n");
    std::printf("  -h, --help     print this help, and exit\n");
    std::printf("  --             ends the options (for a file name that starts with '-')\n");
}

// After the usage text: where meshes are found when no folder is given.
static void note_mesh_folder(const char* program_path)
{
    char dir[PATH_MAX_CHARS + 1];
    if (!default_source_dir(program_path, dir))
        std::snprintf(dir, sizeof dir, "%s", SOURCE_SUBDIR);
    print_note(NOTE_HINT, "the meshes named in a map are looked up in src_dir; without it, in \"%s\" "
                          "(the folder src/ beside the program), then beside the map description and in "
                          "its folder src/", dir);
    print_note(NOTE_HINT, "--verbose (-v) adds the details of every object and stage on standard error");
}

// The running program's own path (/proc/self/exe), or its path as invoked
// when the system does not say.
static std::string program_path(const char* invoked)
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0 || (size_t)n >= sizeof buf - 1)
        return invoked;
    buf[n] = '\0';
    return buf;
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

int description_mesh_dirs(const char* map_path, const char* src_dir, char dirs[2][PATH_MAX_CHARS + 1])
{
    char own[PATH_MAX_CHARS + 1];
    cut_after_last(map_path, own, '/');
    char candidates[2][PATH_MAX_CHARS + 1];
    std::memcpy(candidates[0], own, sizeof own);
    bool sub_fits = join_path(own, SOURCE_SUBDIR, candidates[1]);
    int count = 0;
    for (int i = 0; i < 2; ++i) {
        if ((i == 1 && !sub_fits) || std::strcmp(candidates[i], src_dir) == 0)
            continue;
        std::memcpy(dirs[count++], candidates[i], sizeof candidates[i]);
    }
    return count;
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

bool compile_map(FILE* out, const char* map_path, const char* src_dir, const CompileOptions* options,
                 std::vector<std::string>* meshes_read)
{
    static const CompileOptions defaults{};
    if (!options)
        options = &defaults;
    std::printf("OK!\n");
    CompileStats stats{};
    MapHeader header{};
    IniIndex description;
    bool ok = read_header_section(&header, map_path, &description);
    if (ok) {
        write_map_header(out, &header);
        ok = compile_objects_section(out, &header, &description, src_dir, options, &stats);
    }
    if (meshes_read)
        *meshes_read = stats.meshes_read;
    if (ok) {
        double t0 = now_ms();
        ok = compile_layers_section(&description, out, header.field_size);
        stats.write_ms += now_ms() - t0;
    }
    if (!ok) {
        std::fclose(out);
        flush_notes();
        return false;
    }
    long size = std::ftell(out);
    bool written = !std::ferror(out);
    if (std::fclose(out) != 0)
        written = false;
    if (!written) {
        std::printf("ERROR! CANNOT WRITE THE OUTPUT FILE!\n");
        flush_notes();
        return false;
    }
    if (options->verbose)
        print_compile_stats(&stats, size);
    flush_notes();
    return true;
}

static int fail_path_too_long(const char* what)
{
    std::printf("ERROR! PATH TOO LONG: the %s path is over %d characters!\n", what, PATH_MAX_CHARS);
    return EXIT_FAILED;
}

static const int MAX_THREADS = 256;

// One thread per core the system reports (one when it reports none).
static int default_thread_count()
{
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : (n > (unsigned)MAX_THREADS ? MAX_THREADS : (int)n);
}

static bool parse_thread_count(const char* text, int* out)
{
    char* end = nullptr;
    long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 1 || n > MAX_THREADS)
        return false;
    *out = (int)n;
    return true;
}

static int run_compiler_steps(int argc, char** argv)
{
    // --version alone: the title with the package's version, and no banner.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s (ksm %s)\n", COMPILER_TITLE, KSM_VERSION);
        return EXIT_COMPILED;
    }
    std::printf("%s\n%s\n", COMPILER_TITLE, COMPILER_NOTICE);
    // --exhaustive, anywhere: the collision field by the plain exhaustive
    // search (the same bytes, far slower), to double-check the fast one.
    // --threads N (or --threads=N), anywhere: the fast search on N threads,
    // by default one per core (the same bytes and transcript for every N).
    // --verbose (-v), anywhere: details of every object and stage on
    // standard error.
    CompileOptions options{};
    options.phys.threads = default_thread_count();
    std::string program = program_path(argc > 0 && argv[0] ? argv[0] : "");
    bool help_asked = false, version_asked = false;
    if (argc > 0) {
        int kept = 1;
        bool options_ended = false;
        for (int i = 1; i < argc; ++i) {
            const char* value = nullptr;
            if (options_ended || argv[i][0] != '-' || argv[i][1] == '\0') {
                argv[kept++] = argv[i];
            } else if (std::strcmp(argv[i], "--") == 0) {
                options_ended = true;
            } else if (std::strcmp(argv[i], "--exhaustive") == 0) {
                options.phys.search = PHYS_SEARCH_EXHAUSTIVE;
            } else if (std::strcmp(argv[i], "--threads") == 0) {
                value = i + 1 < argc ? argv[++i] : "";
            } else if (std::strncmp(argv[i], "--threads=", 10) == 0) {
                value = argv[i] + 10;
            } else if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0) {
                options.verbose = true;
            } else if (std::strcmp(argv[i], "--version") == 0) {
                version_asked = true;
            } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
                help_asked = true;
            } else {
                // Taken for a path, it would become the output or the map.
                print_usage();
                print_note(NOTE_HINT, "\"%s\" is no option of ksm_compiler; --help lists them", argv[i]);
                return EXIT_USAGE;
            }
            if (value && !parse_thread_count(value, &options.phys.threads)) {
                print_note(NOTE_HINT, "--threads needs a whole number from 1 to %d, not \"%s\"", MAX_THREADS, value);
                return EXIT_USAGE;
            }
        }
        argc = kept;
    }
    if (help_asked) {
        print_usage();
        print_options();
        note_mesh_folder(program.c_str());
        return EXIT_COMPILED;
    }
    if (version_asked) {
        std::printf("%s (ksm %s)\n", COMPILER_TITLE, KSM_VERSION);
        return EXIT_COMPILED;
    }
    if (argc < 2) {
        print_usage();
        note_mesh_folder(program.c_str());
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
    bool src_fits = argc > 3 ? source_dir_prefix(argv[3], src_dir) : default_source_dir(program.c_str(), src_dir);
    if (!src_fits)
        return fail_path_too_long("source directory");
    options.default_src_dir = argc <= 3;
    if (options.default_src_dir)
        options.map_dir_count = description_mesh_dirs(map_path, src_dir, options.map_dirs);

    std::printf("Open output file (%s) to write... ", end_path);
    // The map would replace the description it is read from.
    if (same_existing_file(end_path, map_path)) {
        std::printf("ERROR! IT IS THE MAP FILE ITSELF!\n");
        note_output_unchanged(end_path);
        return EXIT_FAILED;
    }
    OutputFile output;
    if (!begin_output(end_path, &output)) {
        std::printf("ERROR :(\n");
        if (output.error)
            print_note(NOTE_HINT, "\"%s\" cannot be written, or its folder takes no new file for the map to be "
                                  "written into first: %s", end_path, std::strerror(output.error));
        else
            print_note(NOTE_HINT, "\"%s\" is a folder", end_path);
        note_output_unchanged(end_path);
        return EXIT_FAILED;
    }
    // The map goes to a temporary file: the output changes only after a
    // complete success, so a failed run keeps the last good map.
    std::vector<std::string> meshes_read;
    ProgressLine progress;
    progress_line_begin(&progress, 0);
    options.phys.progress = &progress;
    bool ok = compile_map(output.file, map_path, src_dir, &options, &meshes_read);
    progress_line_clear(&progress);
    output.file = nullptr;  // closed by compile_map
    // A slip in the order of the arguments must not replace a mesh with
    // the map (the description was checked before the compile).
    for (size_t i = 0; ok && i < meshes_read.size(); ++i) {
        if (same_existing_file(end_path, meshes_read[i].c_str())) {
            std::printf("ERROR! THE OUTPUT FILE \"%s\" IS THE MESH \"%s\" OF THE MAP!\n", end_path,
                        meshes_read[i].c_str());
            ok = false;
        }
    }
    int error = 0;
    if (ok && !commit_output(&output, &error)) {
        std::printf("ERROR! CANNOT REPLACE \"%s\": %s!\n", end_path, std::strerror(error));
        ok = false;
    }
    if (!ok) {
        discard_output(&output);
        note_output_unchanged(end_path);
        return EXIT_FAILED;
    }
    // Only now is the map in place.
    std::printf("DONE!!!=)))\n");
    return EXIT_COMPILED;
}

int run_compiler(int argc, char** argv)
{
    // A transcript piped into a program that ends early, or a map beyond the
    // file size limit, fails a write (EPIPE, EFBIG) instead of killing the
    // compile: the failure path then removes the temporary file.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    int status = run_compiler_steps(argc, argv);
    flush_notes();
    return status;
}
