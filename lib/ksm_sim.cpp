// The simulation calls of the library, each one or two calls of the
// engine. Each ksm_sim owns its own SimState, so simulations are
// independent of each other.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <new>

#include "balls.h"
#include "ksm_internal.h"
#include "sim_frame.h"

struct ksm_sim {
    const ksm_map* map;
    long frames;
    SimState state;
};

// The settings as the text of a settings file, in a file that lives in
// memory: the engine reads them exactly as it reads the viewer's file
// (%.17g gives back the same double on reading).
static bool write_settings_file(const ksm_settings* s, int* fd, char* path, size_t path_size)
{
    char text[512];
    int n = std::snprintf(text, sizeof text,
                          "[%s]\ncount=%d\ng=%.17g\ncl=%.17g\ngeom=%.17g\nt=%.17g\nlayers=%d\nthreads=%d\n",
                          BALL_SETTINGS_SECTION, s->count, s->g, s->cl, s->geom, s->t, s->layers ? 1 : 0,
                          s->threads);
    *fd = memfd_create("ksm_settings", MFD_CLOEXEC);
    if (*fd < 0)
        return false;
    if (n <= 0 || (size_t)n >= sizeof text || write(*fd, text, (size_t)n) != n) {
        close(*fd);
        return false;
    }
    std::snprintf(path, path_size, "/proc/self/fd/%d", *fd);
    return true;
}

extern "C" ksm_status ksm_sim_create(const ksm_map* map, const ksm_settings* settings, ksm_sim** out,
                                     char* message, size_t message_size)
{
    clear_message(message, message_size);
    if (!map || !settings || !out)
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT, "no map, settings or handle given");
    *out = nullptr;
    if (settings->count < 0)
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT, "the ball count %d is negative", settings->count);
    ksm_sim* sim = new (std::nothrow) ksm_sim{map, 0, SimState{}};
    int fd = -1;
    char path[64];
    if (!sim || !write_settings_file(settings, &fd, path, sizeof path)) {
        delete sim;
        return fail_with(message, message_size, KSM_ERROR_MEMORY, "the settings cannot be handed to the engine");
    }
    seed_ball_random(&sim->state, settings->seed_given ? settings->seed : (unsigned)std::time(nullptr));
    const char* reason = "";
    bool started = false;
    try {
        started = init_balls_from(&sim->state, &map->loaded.header, path, &reason, &map->loaded.layers);
    } catch (...) {
        free_balls(&sim->state);
        reason = "out of memory";
    }
    close(fd);
    if (!started) {
        free_balls(&sim->state);
        delete sim;
        return fail_with(message, message_size, KSM_ERROR_MEMORY, "cannot start the simulation: %s", reason);
    }
    *out = sim;
    return KSM_OK;
}

extern "C" ksm_status ksm_sim_step(ksm_sim* sim, long frames, char* message, size_t message_size)
{
    clear_message(message, message_size);
    if (!sim || frames < 0)
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT, "no simulation, or a negative frame count");
    bool ok = true;
    try {
        for (long n = 0; n < frames; ++n, ++sim->frames)
            ok = simulate_frame(&sim->state, &sim->map->loaded) && ok;
    } catch (...) {
        return fail_with(message, message_size, KSM_ERROR_MEMORY, "out of memory after %ld frames", sim->frames);
    }
    if (!ok)
        return fail_with(message, message_size, KSM_ERROR_MEMORY,
                         "out of memory for the neighbour lists: some balls see stale neighbours");
    return KSM_OK;
}

extern "C" int ksm_sim_count(const ksm_sim* sim)
{
    return sim ? sim->state.ball_count : 0;
}

extern "C" const float* ksm_sim_positions(const ksm_sim* sim)
{
    return sim ? (const float*)sim->state.ball_pos : nullptr;
}

extern "C" const float* ksm_sim_previous_positions(const ksm_sim* sim)
{
    return sim ? (const float*)sim->state.ball_prev : nullptr;
}

extern "C" const float* ksm_sim_colors(const ksm_sim* sim)
{
    return sim ? (const float*)sim->state.ball_color : nullptr;
}

extern "C" ksm_status ksm_sim_velocities(const ksm_sim* sim, float* out)
{
    if (!sim || !out)
        return KSM_ERROR_ARGUMENT;
    for (int i = 0; i < sim->state.ball_count; ++i) {
        Vec3 v = vec3_sub(sim->state.ball_pos[i], sim->state.ball_prev[i]);
        out[3 * i] = v.x;
        out[3 * i + 1] = v.y;
        out[3 * i + 2] = v.z;
    }
    return KSM_OK;
}

extern "C" long ksm_sim_frames(const ksm_sim* sim)
{
    return sim ? sim->frames : 0;
}

extern "C" ksm_status ksm_sim_set_gravity(ksm_sim* sim, ksm_gravity change)
{
    if (!sim)
        return KSM_ERROR_ARGUMENT;
    if (change == KSM_GRAVITY_LIFT) {
        sim->state.gravity = 0.0f;
    } else if (change == KSM_GRAVITY_REVERSE) {
        sim->state.gravity_setting = -sim->state.gravity_setting;
        sim->state.gravity = sim->state.gravity_setting;
    } else {
        return KSM_ERROR_ARGUMENT;
    }
    return KSM_OK;
}

extern "C" float ksm_sim_gravity(const ksm_sim* sim)
{
    return sim ? sim->state.gravity : 0.0f;
}

extern "C" ksm_status ksm_sim_swap_map(ksm_sim* sim, const ksm_map* map, char* message, size_t message_size)
{
    clear_message(message, message_size);
    if (!sim || !map)
        return fail_with(message, message_size, KSM_ERROR_ARGUMENT, "no simulation or map given");
    const char* reason = nullptr;
    bool adopted = false;
    try {
        adopted = adopt_map(&sim->state, &map->loaded.header, &reason);
    } catch (...) {
        reason = "out of memory";
    }
    if (!adopted)
        return fail_with(message, message_size, KSM_ERROR_MEMORY, "%s", reason);
    sim->map = map;
    // The run goes on; the message says what it survived, if anything.
    if (reason)
        fail_with(message, message_size, KSM_OK, "%s", reason);
    return KSM_OK;
}

extern "C" uint64_t ksm_sim_checksum(const ksm_sim* sim)
{
    return sim ? ball_checksum(&sim->state) : 0;
}

extern "C" void ksm_sim_free(ksm_sim* sim)
{
    if (!sim)
        return;
    free_balls(&sim->state);
    delete sim;
}
