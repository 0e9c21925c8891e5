// Start-up and live reload of the viewer's map, and the headless run: the
// parts of a run that need no window.
#pragma once

#include <cstdint>
#include <string>

#include "map_format.h"
#include "sim_state.h"

struct ViewerArgs;

// Loads the map at `path` into `map` and checks that the simulation can run
// on it, saying nothing: empty, or the fault as a short phrase ("the file is
// truncated"). On a fault `map` may hold the loaded map: free it either way.
std::string load_usable_map(const std::string& path, LoadedMap* map);

// Loads the map at `path` into `map` and checks that the simulation can run
// on it. On failure prints "ERROR! Cannot use the compiled map ..." naming
// the absolute path and returns false. A map without readable layers gets one
// warning line on stderr.
bool load_start_map(const std::string& path, LoadedMap* map);

// Notes on the settings file on stderr: entries that are not read as they
// look, a missing file named on the command line, a directory.
void print_settings_notes(const ViewerArgs& args);

// Seeds sim's ball generator (with `seed`, or the clock when not given) and
// starts the balls with the settings of `config_path`, in the map's start box
// when the settings ask for layers. Prints the reason and returns false on
// failure.
bool start_balls(SimState* sim, const LoadedMap* map, const char* config_path, bool seed_given, unsigned seed);

// Loads the map at `path` again into a record of its own; when it is
// complete and usable, puts the running balls into it and swaps it in for
// `current`. Otherwise prints one line on stderr naming the file and the
// fault and leaves `current` as it was. True when the new map is in place.
bool reload_map(SimState* sim, const std::string& path, LoadedMap* current);

// What a file looked like on disk: enough to notice it was rewritten,
// replaced, truncated or removed.
struct FileStamp {
    bool exists;
    uint64_t device;
    uint64_t inode;
    int64_t size;
    int64_t mtime_ns;
    int64_t ctime_ns;
};
FileStamp stat_file_stamp(const std::string& path);
bool same_file_stamp(const FileStamp& a, const FileStamp& b);

// Notices when a file changes on disk by its stamp, at most once per
// interval. A change is reported once the stamp has stayed the same for one
// interval, so a file being written is read after its writer is done.
struct FileWatch {
    std::string path;
    FileStamp seen;       // stamp of the version last reported (or at start)
    FileStamp pending;    // a new stamp waiting to settle
    bool has_pending;
    int last_check_ms;
};
const int FILE_WATCH_INTERVAL_MS = 250;
void start_file_watch(FileWatch* watch, const std::string& path, int now_ms);
// True when the file has changed and settled since the last report.
bool poll_file_watch(FileWatch* watch, int now_ms);
// Takes the file's present stamp as seen (after a reload by key).
void mark_file_seen(FileWatch* watch);

// A file a run writes: what messages call it ("point cloud") and its path.
struct RunOutput {
    const char* what;
    std::string path;
};

// Checks before a run that each of the `count` outputs can be written
// without losing anything: it is not the map or the settings file (links
// followed), nor another of the outputs, nor a folder, and its folder
// exists and takes new files. Otherwise prints "ERROR! Cannot write the
// <what> "<path>": <reason>." naming the file it would replace, and returns
// false.
bool check_run_outputs(const ViewerArgs& args, const RunOutput* outputs, int count);

// A headless run: map and settings, the balls, args.frames frames of the
// same simulation as a windowed frame; prints the physics time per frame
// (min, median, max) and "checksum: <hex>", and writes the PLY point cloud
// when asked. Returns the exit status (0, or 1 after an error message).
int run_headless(const ViewerArgs& args);

// Writes the balls' positions and colours as a binary little-endian PLY
// point cloud. False, with a reason, when the file cannot be written.
bool write_balls_ply(const SimState* sim, const char* path, const char** reason);
