#include "viewer_args.h"
#include "ksm_version.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "balls.h"
#include "file_bytes.h"
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
    "  --no-watch     do not reload the map when its file changes (key u still does)",
    "  -geometry WxH  the window's size in pixels (default 800x600; GLUT's own option)",
#ifndef KSM_FIELD_VIEW
    "  --seed S       start the balls from the generator seed S (repeatable runs)",
    "  --headless     run the simulation without a window, print the physics time",
    "                 per frame and a checksum of the final balls, and exit",
    "  --frames N     frames of a headless run (default 1000)",
    "  --dump FILE    after a headless run, write the balls as a PLY point cloud",
    "  --threads N    a headless run in the parallel mode on N threads (0: the",
    "                 sequential mode; default: the settings' threads key)",
    "  --image FILE   after a headless run, draw the last frame as a PNG picture",
    "  --images DIR   draw a PNG every N frames as DIR/frame_NNNNNN.png",
    "  --movie FILE   draw every N-th frame into an MP4 movie (needs ffmpeg)",
    "  --every N      frames between pictures and movie frames (default 1)",
    "  --fps R        frames a second of the movie (default 30)",
    "  --size WxH     picture size in pixels (default 800x600)",
    "  --orbit DEG    turn the view as a drag to the right does (degrees)",
    "  --tilt DEG     raise the eye as a downward drag does (degrees)",
    "  --zoom F       bring the eye F times closer, as the wheel does",
    "  --show LIST    draw overlays in the pictures: field, layers (keys f, l)",
#endif
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

#ifndef KSM_FIELD_VIEW
// A decimal whole number of at most `max`, digits only.
static bool parse_count(const std::string& text, unsigned long max, unsigned long* out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > max)
        return false;
    *out = (unsigned long)v;
    return true;
}
#endif

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
    args.watch = true;
    args.headless = false;
    args.frames = DEFAULT_HEADLESS_FRAMES;
    args.seed_given = false;
    args.seed = 0;
    args.threads = -1;
    args.geometry_width = 0;
    args.geometry_height = 0;
    args.pictures = default_picture_options();
    bool frames_given = false;
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
        std::string error, value;
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
        } else if (std::strcmp(arg, "--no-watch") == 0) {
            args.watch = false;
#ifndef KSM_FIELD_VIEW
        } else if (std::strcmp(arg, "--headless") == 0) {
            args.headless = true;
        } else if (take_option_value("--frames", argc, argv, &i, &value, &error)) {
            frames_given = true;
            unsigned long n = 0;
            if (error.empty() && !parse_count(value, 1000000000ul, &n))
                error = "--frames needs a whole number of frames, not '" + value + "'";
            args.frames = (long)n;
        } else if (take_option_value("--seed", argc, argv, &i, &value, &error)) {
            args.seed_given = true;
            unsigned long n = 0;
            if (error.empty() && !parse_count(value, 0xFFFFFFFFul, &n))
                error = "--seed needs a whole number from 0 to 4294967295, not '" + value + "'";
            args.seed = (unsigned)n;
        } else if (take_option_value("--dump", argc, argv, &i, &args.dump_path, &error)) {
        } else if (take_option_value("--threads", argc, argv, &i, &value, &error)) {
            unsigned long n = 0;
            if (error.empty() && !parse_count(value, (unsigned long)MAX_SIM_THREADS, &n))
                error = "--threads needs a whole number from 0 to " + std::to_string(MAX_SIM_THREADS) +
                        ", not '" + value + "'";
            args.threads = (int)n;
        } else if (const char* picture_option = picture_option_name(arg)) {
            if (take_option_value(picture_option, argc, argv, &i, &value, &error) && error.empty())
                error = set_picture_option(&args.pictures, picture_option, value);
#endif
        } else if (const GlutOption* glut = find_glut_option(arg)) {
            if (glut->takes_value && ++i >= argc)
                error = std::string("option ") + arg + " needs a value";
            else if (std::strcmp(arg, "-geometry") == 0)
                parse_geometry_size(argv[i], &args.geometry_width, &args.geometry_height);
        } else {
            error = std::string("unknown option '") + arg + "'";
        }
        if (!error.empty())
            return usage_error(args, error);
    }
    if (!args.headless && (frames_given || !args.dump_path.empty() || args.threads >= 0))
        return usage_error(args, frames_given            ? "--frames needs --headless"
                                 : args.threads >= 0     ? "--threads needs --headless"
                                                         : "--dump needs --headless");
#ifndef KSM_FIELD_VIEW
    std::string picture_error = check_picture_options(&args.pictures, args.headless, args.frames);
    if (!picture_error.empty())
        return usage_error(args, picture_error);
#endif
    return args;
}

// Digits of a size: at least one, at most five, not 0.
static bool parse_size_digits(const char** p, int* out)
{
    int n = 0, digits = 0;
    while (**p >= '0' && **p <= '9' && digits < 6) {
        n = n * 10 + (**p - '0');
        ++*p;
        ++digits;
    }
    *out = n;
    return digits > 0 && digits <= 5 && n > 0;
}

bool parse_geometry_size(const char* text, int* width, int* height)
{
    const char* p = text;
    if (*p == '=')
        ++p;
    int w = 0, h = 0;
    if (!parse_size_digits(&p, &w) || (*p != 'x' && *p != 'X'))
        return false;
    ++p;
    if (!parse_size_digits(&p, &h) || (*p != '\0' && *p != '+' && *p != '-'))
        return false;
    *width = w;
    *height = h;
    return true;
}

void print_viewer_usage(FILE* out)
{
    std::fprintf(out, "Usage: %s [info] [MAP] [--config FILE] [--help] [--version]\n", PROGRAM_NAME);
#ifndef KSM_FIELD_VIEW
    std::fprintf(out, "       %s --headless [--frames N] [MAP] [--config FILE] [--seed S] [--dump FILE.ply]\n"
                      "                  [--threads N] [--image FILE.png] [--images DIR] [--movie FILE.mp4]\n"
                      "                  [--every N] [--fps R] [--size WxH] [--orbit DEG] [--tilt DEG]\n"
                      "                  [--zoom F] [--show field,layers]\n",
                 PROGRAM_NAME);
#endif
    std::fprintf(out, "\n");
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

int answer_viewer_command(const ViewerArgs& args)
{
    switch (args.command) {
    case VIEWER_HELP:
        print_viewer_usage(stdout);
        return 0;
    case VIEWER_VERSION:
        print_viewer_version(stdout);
        return 0;
    case VIEWER_USAGE_ERROR:
        print_viewer_usage_error(stderr, args.error);
        return VIEWER_EXIT_USAGE;
    case VIEWER_RUN:
        break;
    }
    return -1;
}

std::string join_absolute_path(const std::string& cwd, const std::string& path)
{
    std::string whole = !path.empty() && path[0] == '/' ? path : cwd + "/" + path;
    // Drop empty and "." parts; ".." takes back the part before it.
    std::vector<std::string> parts;
    for (const std::string& part : split_text_at(whole, '/')) {
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string absolute_path(const std::string& path)
{
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return join_absolute_path(cwd, path);
}
