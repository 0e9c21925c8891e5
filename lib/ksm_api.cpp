// The library's version and messages, the compile call, compiled maps and
// settings files. The simulation calls live in ksm_sim.cpp.
#include <sys/stat.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "balls.h"
#include "driver.h"
#include "ini.h"
#include "ksm_internal.h"
#include "ksm_version.h"
#include "sim_frame.h"
#include "viewer_run.h"

ksm_status fail_with(char* message, size_t size, ksm_status status, const char* format, ...)
{
    if (message && size > 0) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(message, size, format, args);
        va_end(args);
    }
    return status;
}

void clear_message(char* message, size_t size)
{
    if (message && size > 0)
        message[0] = '\0';
}

extern "C" const char* ksm_version(void)
{
    return KSM_VERSION;
}

// ---------------------------------------------------------------------------
// Compiling
// ---------------------------------------------------------------------------

extern "C" void ksm_compile_options_init(ksm_compile_options* options)
{
    if (options)
        *options = ksm_compile_options{};
}

// Where the transcript goes while the driver runs: the caller's callback
// and buffer, and a copy kept for the error line.
struct TranscriptSink {
    const ksm_compile_options* options;
    size_t buffer_used;
    std::string text;
};

static ssize_t write_transcript(void* cookie, const char* data, size_t size)
{
    TranscriptSink* sink = (TranscriptSink*)cookie;
    const ksm_compile_options* o = sink->options;
    if (o && o->transcript)
        o->transcript(data, size, o->transcript_user);
    if (o && o->transcript_buffer && o->transcript_buffer_size > 0) {
        size_t room = o->transcript_buffer_size - 1 - sink->buffer_used;
        size_t n = size < room ? size : room;
        std::memcpy(o->transcript_buffer + sink->buffer_used, data, n);
        sink->buffer_used += n;
        o->transcript_buffer[sink->buffer_used] = '\0';
    }
    try {
        sink->text.append(data, size);
    } catch (...) {
        // Only the error line is looked for in the copy: it may go short.
    }
    return (ssize_t)size;
}

// The line the compiler names its failure with: the last one that starts
// with "ERROR", else the last non-empty line.
static std::string failure_line(const std::string& text)
{
    std::string last, error;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        size_t at = line.find("ERROR");
        if (at != std::string::npos)
            error = line.substr(at);
        if (!line.empty())
            last = line;
        start = end + 1;
    }
    return error.empty() ? last : error;
}

// The driver writes its transcript with printf: the C stream stdout is
// pointed at the sink while it runs, one compile at a time.
static std::mutex compile_mutex;

extern "C" ksm_status ksm_compile(const char* ksd_path, const char* out_path, const ksm_compile_options* options,
                                  char* message, size_t message_size)
{
    clear_message(message, message_size);
    if (!ksd_path || !out_path)
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT, "no description or output path given");
    if (options && options->transcript_buffer && options->transcript_buffer_size > 0)
        options->transcript_buffer[0] = '\0';
    try {
        std::vector<std::string> args = {"ksm_compiler"};
        if (options && options->exhaustive)
            args.push_back("--exhaustive");
        if (options && options->threads > 0)
            args.push_back("--threads=" + std::to_string(options->threads));
        args.push_back("--");
        args.push_back(ksd_path);
        args.push_back(out_path);
        if (options && options->src_dir)
            args.push_back(options->src_dir);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);

        TranscriptSink sink{options, 0, {}};
        cookie_io_functions_t io{nullptr, write_transcript, nullptr, nullptr};
        std::lock_guard<std::mutex> lock(compile_mutex);
        FILE* stream = fopencookie(&sink, "w", io);
        if (!stream)
            return fail_with(message, message_size, KSM_ERROR_MEMORY, "the transcript stream cannot be opened");
        std::fflush(stdout);
        FILE* saved = stdout;
        stdout = stream;
        int status = run_compiler((int)args.size(), argv.data());
        std::fflush(stdout);
        stdout = saved;
        std::fclose(stream);
        if (status != EXIT_COMPILED)
            return fail_with(message, message_size, KSM_ERROR_COMPILE, "%s", failure_line(sink.text).c_str());
        return KSM_OK;
    } catch (const std::bad_alloc&) {
        return fail_with(message, message_size, KSM_ERROR_MEMORY, "out of memory");
    } catch (...) {
        return fail_with(message, message_size, KSM_ERROR_COMPILE, "the compiler failed unexpectedly");
    }
}

// ---------------------------------------------------------------------------
// Maps
// ---------------------------------------------------------------------------

extern "C" ksm_status ksm_map_load(const char* path, ksm_map** out, char* message, size_t message_size)
{
    clear_message(message, message_size);
    if (!path || !out)
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT, "no path or handle given");
    *out = nullptr;
    ksm_map* map = new (std::nothrow) ksm_map{};
    if (!map)
        return fail_with(message, message_size, KSM_ERROR_MEMORY, "out of memory");
    std::string fault;
    try {
        fault = load_usable_map(path, &map->loaded);
    } catch (...) {
        fault = "out of memory";
    }
    if (!fault.empty()) {
        free_loaded_map(&map->loaded);
        delete map;
        return fail_with(message, message_size, KSM_ERROR_MAP, "cannot use the compiled map \"%s\": %s", path,
                         fault.c_str());
    }
    *out = map;
    return KSM_OK;
}

extern "C" ksm_status ksm_map_info_get(const ksm_map* map, ksm_map_info* out)
{
    if (!map || !out)
        return KSM_ERROR_ARGUMENT;
    const LoadedMap& m = map->loaded;
    *out = ksm_map_info{m.header.field_size, m.header.grid_size, (int)m.object_count, m.layers_fault == nullptr,
                        m.layers.has_start, m.layers.teleport_count};
    return KSM_OK;
}

extern "C" ksm_status ksm_map_object(const ksm_map* map, int index, ksm_object* out)
{
    if (!map || !out || index < 0 || (uint32_t)index >= map->loaded.object_count)
        return KSM_ERROR_ARGUMENT;
    const MapObject& o = map->loaded.objects[index];
    *out = ksm_object{(const float*)o.vertices, (const float*)o.vertex_normals, (const uint32_t*)o.faces,
                      o.vertex_count, o.face_count, {}};
    std::memcpy(out->box, o.box, sizeof o.box);
    return KSM_OK;
}

static ksm_box box_units(const LayerBox* box)
{
    ksm_box b{};
    for (int k = 0; k < 3; ++k)
        layer_box_units(box, k, &b.lo[k], &b.hi[k]);
    return b;
}

extern "C" ksm_status ksm_map_start_box(const ksm_map* map, ksm_box* out)
{
    if (!map || !out || !map->loaded.layers.has_start)
        return KSM_ERROR_ARGUMENT;
    *out = box_units(&map->loaded.layers.start);
    return KSM_OK;
}

extern "C" ksm_status ksm_map_teleport(const ksm_map* map, int index, ksm_box* from, ksm_box* to)
{
    if (!map || !from || !to || index < 0 || index >= map->loaded.layers.teleport_count)
        return KSM_ERROR_ARGUMENT;
    *from = box_units(&map->loaded.layers.teleports[index].from);
    *to = box_units(&map->loaded.layers.teleports[index].to);
    return KSM_OK;
}

extern "C" void ksm_map_free(ksm_map* map)
{
    if (!map)
        return;
    free_loaded_map(&map->loaded);
    delete map;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

extern "C" void ksm_settings_init(ksm_settings* s)
{
    if (s)
        *s = ksm_settings{10000, 20.0, 20.0, 300.0, 1000.0, 0, 0, 0, 0};
}

// The leading integer as the simulation reads it, held inside the int range.
static int leading_int(const char* text)
{
    long v = std::strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

extern "C" ksm_status ksm_settings_read(const char* path, ksm_settings* s, char* message, size_t message_size)
{
    clear_message(message, message_size);
    if (!path || !s)
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT, "no path or settings given");
    // A file named but missing is a slip, not a request for the defaults.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT,
                         "the settings file \"%s\" does not exist or is no regular file", path);
    char text[INI_BUFFER_SIZE];
    auto read = [&](const char* key, const char* def) {
        read_profile_string(path, BALL_SETTINGS_SECTION, key, def, text, INI_TOKEN_MODE);
        return (const char*)text;
    };
    s->count = leading_int(read("count", "10000"));
    s->g = std::atof(read("g", "20"));
    s->cl = std::atof(read("cl", "20"));
    s->geom = std::atof(read("geom", "300"));
    s->t = std::atof(read("t", "1000"));
    s->layers = leading_int(read("layers", "0")) != 0;
    s->threads = leading_int(read("threads", "0"));
    return KSM_OK;
}
