#include "viewer_args.h"
#include "ksm_version.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "frame_logic.h"
#include "viewer_keys.h"

const char* const DEFAULT_MAP_PATH = "map.ksm";
const char* const DEFAULT_CONFIG_PATH = "config.ini";

#ifdef KSM_FIELD_VIEW
static const char* const PROGRAM_NAME = "ksm_field_viewer";
static const char* const PROGRAM_PURPOSE =
    "Shows the collision field of the compiled map MAP as points.";
#else
static const char* const PROGRAM_NAME = "ksm_viewer";
static const char* const PROGRAM_PURPOSE =
    "Simulates granular water in the compiled map MAP and shows it.";
#endif

// One line per option of the usage text.
static const char* const OPTION_HELP[] = {
    "  info           first word: print the OpenGL driver's identification",
    "  MAP            compiled map (default: map.ksm in the working directory)",
    "  --config FILE  settings file (default: config.ini in the working directory)",
    "  --help         print this help and exit",
    "  --version      print the program's title and exit",
};

static const char* const MOUSE_HELP[] = {
    "  left or right drag  orbit around the field's centre",
    "  wheel               zoom in and out",
#ifndef KSM_FIELD_VIEW
    "  middle button       hold to lift gravity, release to reverse it",
#endif
};

// GLUT's own options, which glutInit reads and removes later: name and
// whether a value word follows.
struct GlutOption {
    const char* name;
    bool takes_value;
};
static const GlutOption GLUT_OPTIONS[] = {
    {"-display", true}, {"-geometry", true}, {"-direct", false}, {"-indirect", false},
    {"-iconic", false}, {"-gldebug", false}, {"-sync", false},
};

static const GlutOption* find_glut_option(const char* arg)
{
    for (const GlutOption& o : GLUT_OPTIONS)
        if (std::strcmp(arg, o.name) == 0)
            return &o;
    return nullptr;
}

// Matches "--name VALUE" (taking the next word) and "--name=VALUE". Returns
// false when `argv[*i]` is not this option; a missing value sets `error`.
static bool take_option_value(const char* name, int argc, const char* const* argv, int* i,
                              std::string* value, std::string* error)
{
    const char* arg = argv[*i];
    size_t len = std::strlen(name);
    if (std::strncmp(arg, name, len) != 0)
        return false;
    if (arg[len] == '=') {
        *value = arg + len + 1;
    } else if (arg[len] != '\0') {
        return false;
    } else if (*i + 1 < argc) {
        *i += 1;
        *value = argv[*i];
    } else {
        *error = std::string("option ") + name + " needs a value";
        return true;
    }
    if (value->empty())
        *error = std::string("option ") + name + " needs a value";
    return true;
}

static ViewerArgs usage_error(ViewerArgs args, const std::string& error)
{
    args.command = VIEWER_USAGE_ERROR;
    args.error = error;
    return args;
}

ViewerArgs parse_viewer_args(int argc, const char* const* argv)
{
    ViewerArgs args;
    args.command = VIEWER_RUN;
    args.info = false;
    args.map_path = DEFAULT_MAP_PATH;
    args.config_path = DEFAULT_CONFIG_PATH;
    args.config_given = false;
    int words = 0;  // positional words seen
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool is_option = !options_ended && arg[0] == '-' && arg[1] != '\0';
        if (!is_option) {
            if (words == 0 && std::strcmp(arg, "info") == 0) {
                args.info = true;
            } else if (words == 0 || (words == 1 && args.info)) {
                args.map_path = arg;
            } else {
                return usage_error(args, std::string("unexpected word '") + arg + "'");
            }
            ++words;
            continue;
        }
        std::string error;
        if (std::strcmp(arg, "--") == 0) {
            options_ended = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            args.command = VIEWER_HELP;
            return args;
        } else if (std::strcmp(arg, "--version") == 0) {
            args.command = VIEWER_VERSION;
            return args;
        } else if (take_option_value("--config", argc, argv, &i, &args.config_path, &error)) {
            args.config_given = true;
        } else if (const GlutOption* glut = find_glut_option(arg)) {
            if (glut->takes_value && ++i >= argc)
                error = std::string("option ") + arg + " needs a value";
        } else {
            error = std::string("unknown option '") + arg + "'";
        }
        if (!error.empty())
            return usage_error(args, error);
    }
    return args;
}

void print_viewer_usage(FILE* out)
{
    std::fprintf(out, "Usage: %s [info] [MAP] [--config FILE] [--help] [--version]\n\n", PROGRAM_NAME);
    std::fprintf(out, "%s\n\n", PROGRAM_PURPOSE);
    for (const char* line : OPTION_HELP)
        std::fprintf(out, "%s\n", line);
    std::fprintf(out, "\nMouse:\n");
    for (const char* line : MOUSE_HELP)
        std::fprintf(out, "%s\n", line);
    std::fprintf(out, "\nKeys:\n");
    for (int i = 0; i < KEY_HELP_LINE_COUNT; ++i)
        std::fprintf(out, "  %s\n", KEY_HELP_LINES[i]);
}

void print_viewer_usage_error(FILE* out, const std::string& error)
{
    std::fprintf(out, "%s: %s\n\n", PROGRAM_NAME, error.c_str());
    print_viewer_usage(out);
}

void print_viewer_version(FILE* out)
{
    std::fprintf(out, "%s (ksm %s)\n", VIEWER_TITLE, KSM_VERSION);
}

std::string join_absolute_path(const std::string& cwd, const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    size_t start = 0;
    while (path.compare(start, 2, "./") == 0) {
        start += 2;
        while (start < path.size() && path[start] == '/')
            ++start;
    }
    std::string rest = path.substr(start);
    if (rest == ".")
        rest.clear();
    std::string base = cwd;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (rest.empty())
        return base;
    return base == "/" ? base + rest : base + "/" + rest;
}

std::string absolute_path(const std::string& path)
{
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return join_absolute_path(cwd, path);
}

bool path_is_directory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
