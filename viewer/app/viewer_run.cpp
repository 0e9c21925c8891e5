// Start-up and live reload of the viewer's map, and the file watch behind
// the reload. No GL here.
#include "viewer_run.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "balls.h"
#include "frame_logic.h"
#include "settings_notes.h"
#include "sim_frame.h"
#include "start_hints.h"
#include "viewer_args.h"

// Fields up to this size are written through when loaded.
static const uint64_t FIELD_TOUCH_MAX_BYTES = (uint64_t)1 << 30;

std::string load_usable_map(const std::string& path, LoadedMap* map)
{
    FileKind kind = FILE_MISSING;
    MapLoadResult loaded = load_compiled_map_file(map, path.c_str(), &kind);
    if (loaded == MAP_MISSING && kind != FILE_MISSING)
        return "it " + file_kind_text(kind, 0) + ", not a compiled map";
    if (loaded != MAP_LOADED)
        return map_load_result_text(loaded);
    const char* fault = check_loaded_map(&map->header);
    // The simulation reads a field cell for every ball and step. Fields of
    // sensible size are written through at once (see touch_normal_field);
    // a larger one declared by a map is left to the system page by page.
    uint64_t field_bytes = field_cell_count(map->header.grid_size) * 3 * sizeof(int16_t);
    if (!fault && field_bytes <= FIELD_TOUCH_MAX_BYTES)
        touch_normal_field(&map->header.field);
    return fault ? fault : "";
}

static void warn_about_layers(const std::string& path, const LoadedMap* map)
{
    if (map->layers_fault)
        std::fprintf(stderr, "WARNING! The compiled map \"%s\" has no layers: %s.\n",
                     absolute_path(path).c_str(), map->layers_fault);
}

// Notes on the settings file on stderr: entries that are not read as they
// look, a missing file named on the command line, a directory.
void print_settings_notes(const ViewerArgs& args)
{
    std::string shown = absolute_path(args.config_path);
    std::vector<std::string> notes = check_ball_settings_file(args.config_path.c_str(), shown, args.config_given);
    for (const std::string& note : notes)
        std::fprintf(stderr, "note: %s\n", note.c_str());
}

bool load_start_map(const std::string& path, LoadedMap* map)
{
    std::string fault = load_usable_map(path, map);
    if (!fault.empty()) {
        std::printf("ERROR! Cannot use the compiled map \"%s\": %s.\n", absolute_path(path).c_str(),
                    fault.c_str());
        std::fflush(stdout);
        if (looks_like_description(path))
            std::fprintf(stderr, "hint: %s.\n", compile_first_hint(path).c_str());
        free_loaded_map(map);
        return false;
    }
    warn_about_layers(path, map);
    return true;
}

bool start_balls(SimState* sim, const LoadedMap* map, const char* config_path, bool seed_given, unsigned seed)
{
    seed_ball_random(sim, seed_given ? seed : (unsigned)std::time(nullptr));
    const char* reason = "";
    if (!init_balls_from(sim, &map->header, config_path, &reason, &map->layers)) {
        std::printf("ERROR! Cannot start the simulation: %s.\n", reason);
        std::fflush(stdout);
        return false;
    }
    double lo[3], hi[3];
    if (sim->layers_enabled && map->layers.has_start &&
        !start_box_region(&map->layers.start, sim->field_extent, lo, hi))
        std::fprintf(stderr, "WARNING! The map's start box lies outside the field: "
                             "the balls start in the whole field.\n");
#ifndef KSM_FIELD_VIEW
    std::string notes[2] = {unused_layers_note(&map->layers, sim->layers_enabled, absolute_path(config_path)),
                            crowded_start_note(&map->layers, sim->layers_enabled, sim->field_extent, sim->ball_count)};
    for (const std::string& note : notes)
        if (!note.empty())
            std::fprintf(stderr, "note: %s.\n", note.c_str());
#endif
    return true;
}

bool reload_map(SimState* sim, const std::string& path, LoadedMap* current)
{
    LoadedMap staged{};
    std::string fault = load_usable_map(path, &staged);
    const char* warning = nullptr;
    // adopt_map changes nothing when it fails.
    if (fault.empty() && !adopt_map(sim, &staged.header, &warning))
        fault = warning;
    if (!fault.empty()) {
        free_loaded_map(&staged);
        std::fprintf(stderr,
                     "WARNING! The compiled map \"%s\" was not reloaded: %s. The current map stays.\n",
                     absolute_path(path).c_str(), fault.c_str());
        return false;
    }
    free_loaded_map(current);
    *current = staged;
    std::fprintf(stderr, "Reloaded the compiled map \"%s\".\n", absolute_path(path).c_str());
    if (warning)
        std::fprintf(stderr, "WARNING! %s.\n", warning);
    warn_about_layers(path, current);
    return true;
}

bool check_run_outputs(const ViewerArgs& args, const RunOutput* outputs, int count)
{
    const char* inputs[] = {args.map_path.c_str(), args.config_path.c_str()};
    const char* input_names[] = {"the compiled map", "the settings file"};
    for (int i = 0; i < count; ++i) {
        const std::string& path = outputs[i].path;
        std::string reason;
        int hit = -1;
        if (!check_output_path(path.c_str(), inputs, 2, &reason, &hit) && hit >= 0)
            reason = std::string("it is ") + input_names[hit] + " \"" + absolute_path(inputs[hit]) + "\"";
        for (int j = 0; j < i && reason.empty(); ++j)
            if (absolute_path(path) == absolute_path(outputs[j].path) ||
                same_existing_file(path.c_str(), outputs[j].path.c_str()))
                reason = std::string("it is the ") + outputs[j].what + " as well";
        if (!reason.empty()) {
            std::printf("ERROR! Cannot write the %s \"%s\": %s.\n", outputs[i].what,
                        absolute_path(path).c_str(), reason.c_str());
            std::fflush(stdout);
            return false;
        }
    }
    return true;
}

FileStamp stat_file_stamp(const std::string& path)
{
    FileStamp s{};
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return s;
    s.exists = true;
    s.device = (uint64_t)st.st_dev;
    s.inode = (uint64_t)st.st_ino;
    s.size = (int64_t)st.st_size;
    s.mtime_ns = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    s.ctime_ns = (int64_t)st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec;
    return s;
}

bool same_file_stamp(const FileStamp& a, const FileStamp& b)
{
    if (!a.exists || !b.exists)
        return a.exists == b.exists;
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns;
}

void start_file_watch(FileWatch* watch, const std::string& path, int now_ms)
{
    watch->path = path;
    watch->seen = stat_file_stamp(path);
    watch->has_pending = false;
    watch->last_check_ms = now_ms;
}

bool poll_file_watch(FileWatch* watch, int now_ms)
{
    if (now_ms - watch->last_check_ms < FILE_WATCH_INTERVAL_MS)
        return false;
    watch->last_check_ms = now_ms;
    FileStamp now = stat_file_stamp(watch->path);
    if (same_file_stamp(now, watch->seen)) {
        watch->has_pending = false;
        return false;
    }
    if (watch->has_pending && same_file_stamp(now, watch->pending)) {
        watch->seen = now;
        watch->has_pending = false;
        return true;
    }
    watch->pending = now;
    watch->has_pending = true;
    return false;
}

void mark_file_seen(FileWatch* watch)
{
    watch->seen = stat_file_stamp(watch->path);
    watch->has_pending = false;
}
