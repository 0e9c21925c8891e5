// The viewer's command line, read into a plain record before any window
// exists, so that --help and --version work without a display.
//
//   ksm_viewer [info] [MAP] [--config FILE] [--help] [--version]
//   ksm_viewer [MAP] [--no-watch] [--seed S]
//   ksm_viewer --headless [--frames N] [MAP] [--config FILE] [--seed S] [--dump FILE.ply]
//              [--threads N] [--image FILE.png] [--images DIR] [--movie FILE.mp4] ...
//
// GLUT's own X options (-display NAME, -geometry WxH+X+Y, -iconic, ...) are
// skipped here and left in place for glutInit; the size of -geometry is
// also kept, as the window's size.
#pragma once

#include <cstdio>
#include <string>

#include "picture_args.h"

enum ViewerCommand {
    VIEWER_RUN,          // open the window and simulate
    VIEWER_HELP,         // print the usage, the mouse and the keys; exit 0
    VIEWER_VERSION,      // print the title; exit 0
    VIEWER_USAGE_ERROR   // print `error` and the usage; exit VIEWER_EXIT_USAGE
};

// Exit status after a command line the viewer cannot use.
const int VIEWER_EXIT_USAGE = 2;

// Paths used when the command line names none (in the working directory).
extern const char* const DEFAULT_MAP_PATH;     // "map.ksm"
extern const char* const DEFAULT_CONFIG_PATH;  // "config.ini"

struct ViewerArgs {
    ViewerCommand command;
    bool info;                // first word "info": print the OpenGL driver's identification
    std::string map_path;     // as given, DEFAULT_MAP_PATH when none
    std::string config_path;  // as given, DEFAULT_CONFIG_PATH when none
    bool config_given;        // --config named the settings file
    std::string error;        // VIEWER_USAGE_ERROR only: what was wrong, one line
    bool watch;               // reload the map when its file changes (off: --no-watch)
    bool headless;            // --headless: run frames without a window
    long frames;              // --frames N of a headless run
    bool seed_given;          // --seed S fixes the ball generator's seed
    unsigned seed;
    std::string dump_path;    // --dump FILE.ply after a headless run; empty when none
    int threads;              // --threads N of a headless run (parallel mode); -1 when not given
    int geometry_width;       // the window's size from GLUT's -geometry WxH[+X+Y]; 0 when not given
    int geometry_height;
    PictureOptions pictures;  // --image, --images, --movie and their settings
};

// The size part of an X geometry "[=]WxH[{+-}X{+-}Y]": true, with both at
// least 1, when it has one.
bool parse_geometry_size(const char* text, int* width, int* height);

// Frames of a headless run when --frames is not given.
const long DEFAULT_HEADLESS_FRAMES = 1000;

// Reads argv[1 .. argc-1]. "info" counts only as the first word; one more
// word is the map. Options take their value as the next word or after '='
// ("--config FILE", "--config=FILE"); "--" ends the options. --help and
// --version win over everything after them.
ViewerArgs parse_viewer_args(int argc, const char* const* argv);

// The usage with the mouse and the keys (--help on stdout, errors on stderr).
void print_viewer_usage(FILE* out);
// "<program>: <error>", a blank line and the usage (a command line the
// viewer cannot use).
void print_viewer_usage_error(FILE* out, const std::string& error);
// The program's title with the package's version, and a line break (--version).
void print_viewer_version(FILE* out);
// Carries out every command but VIEWER_RUN (help and version on stdout, a
// usage error on stderr) and returns the exit status; -1 for VIEWER_RUN.
int answer_viewer_command(const ViewerArgs& args);

// `path` made absolute against the directory `cwd` (itself absolute), with
// "." and empty parts dropped and each ".." taking back the part before it
// (by the text, as a shell's cd does, not by following links).
std::string join_absolute_path(const std::string& cwd, const std::string& path);
// `path` made absolute against the working directory (as given when the
// working directory cannot be read).
std::string absolute_path(const std::string& path);
