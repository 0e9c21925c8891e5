/* ksm: the map compiler and the ball simulation as a C library.
 *
 * Every call that can fail returns a ksm_status and, when it fails, writes a
 * one-line English message into the caller's buffer (`message`, of
 * `message_size` bytes; either may be null/0 to ignore the message). No
 * C++ exception crosses this interface.
 *
 * Handles are opaque. A map (ksm_map) is read-only once loaded and may be
 * shared by several simulations and threads. A simulation (ksm_sim) is used
 * by one thread at a time; several simulations live in one process
 * independently of each other, each steppable from its own thread.
 *
 * Link with -lksm (pkg-config ksm, or CMake find_package(ksm) and ksm::ksm).
 * See ksm(3). */
#ifndef KSM_KSM_H
#define KSM_KSM_H

#include <stddef.h>
#include <stdint.h>

#if defined(KSM_BUILDING_LIBRARY)
#define KSM_API __attribute__((visibility("default")))
#else
#define KSM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, "MAJOR.MINOR.PATCH"; the major number is the
 * SONAME's (libksm.so.1). */
#define KSM_VERSION_MAJOR 1
KSM_API const char* ksm_version(void);

typedef enum ksm_status {
    KSM_OK = 0,
    KSM_ERROR_ARGUMENT = 1, /* a null handle or pointer, a value out of range */
    KSM_ERROR_COMPILE = 2,  /* the compiler reported a failure (see the transcript) */
    KSM_ERROR_MAP = 3,      /* the map cannot be loaded or the simulation cannot run on it */
    KSM_ERROR_MEMORY = 4,   /* memory could not be had */
    KSM_ERROR_BUSY = 5      /* unused: kept so that the values stay as released */
} ksm_status;

/* ------------------------------------------------------------------------
 * Compiling a description (.ksd) into a map (.ksm)
 * ---------------------------------------------------------------------- */

/* Receives the compiler's transcript (its standard output) as it is written,
 * in pieces of `size` bytes (not zero-terminated). */
typedef void (*ksm_transcript_fn)(const char* text, size_t size, void* user);

typedef struct ksm_compile_options {
    const char* src_dir;          /* prefix of every mesh path; null: as ksm_compiler without one */
    int exhaustive;               /* nonzero: the exhaustive search (the same bytes, slower) */
    int threads;                  /* threads of the field search; 0: one per core */
    ksm_transcript_fn transcript; /* null: no callback */
    void* transcript_user;        /* passed to `transcript` */
    char* transcript_buffer;      /* null: none; else the transcript, cut to fit, zero-terminated */
    size_t transcript_buffer_size;
} ksm_compile_options;

/* Zeroes the options: default mesh folder, fast search, one thread per core,
 * no transcript wanted. */
KSM_API void ksm_compile_options_init(ksm_compile_options* options);

/* Compiles the description `ksd_path` into the map `out_path` exactly as
 * ksm_compiler does (the same bytes and transcript; notes go to standard
 * error). While it runs, the process's C standard output is taken for the
 * transcript: text other threads print with printf then lands in it.
 * KSM_ERROR_COMPILE with the transcript's error line as the message when
 * the compiler fails; an existing output is then left as it was. `options`
 * may be null. */
KSM_API ksm_status ksm_compile(const char* ksd_path, const char* out_path, const ksm_compile_options* options,
                               char* message, size_t message_size);

/* ------------------------------------------------------------------------
 * Compiled maps
 * ---------------------------------------------------------------------- */

typedef struct ksm_map ksm_map;

typedef struct ksm_map_info {
    int field_size;   /* balls live in [1, field_size] on each axis */
    int grid_size;    /* cells of the collision field per axis */
    int object_count;
    int has_layers;   /* the layers block was read */
    int has_start;    /* a start box is present */
    int teleport_count;
} ksm_map_info;

/* One object of the map: arrays owned by the map, valid until ksm_map_free. */
typedef struct ksm_object {
    const float* vertices;       /* vertex_count x 3 floats (x, y, z) */
    const float* normals;        /* vertex_count x 3 floats */
    const uint32_t* faces;       /* face_count x 3 vertex indices */
    uint32_t vertex_count;
    uint32_t face_count;
    float box[6];                /* pos_x, size_x, pos_y, size_y, pos_z, size_z */
} ksm_object;

/* A box of the layers block: each axis covers units lo[k] .. hi[k]. */
typedef struct ksm_box {
    int lo[3];
    int hi[3];
} ksm_box;

/* Loads and checks a compiled map, as the viewer does before a run. */
KSM_API ksm_status ksm_map_load(const char* path, ksm_map** out, char* message, size_t message_size);
KSM_API ksm_status ksm_map_info_get(const ksm_map* map, ksm_map_info* out);
KSM_API ksm_status ksm_map_object(const ksm_map* map, int index, ksm_object* out);
/* The start box (KSM_ERROR_ARGUMENT when there is none). */
KSM_API ksm_status ksm_map_start_box(const ksm_map* map, ksm_box* out);
/* Teleport `index` (0-based, tag order): the from and to boxes. */
KSM_API ksm_status ksm_map_teleport(const ksm_map* map, int index, ksm_box* from, ksm_box* to);
/* Releases the map; null is allowed. A map must outlive the simulations
 * running on it. */
KSM_API void ksm_map_free(ksm_map* map);

/* ------------------------------------------------------------------------
 * Simulations
 * ---------------------------------------------------------------------- */

/* The keys of section [balls] of a settings file. */
typedef struct ksm_settings {
    int count;      /* balls; default 10000 */
    double g;       /* gravity; default 20 */
    double cl;      /* ball-ball push; default 20 */
    double geom;    /* push of the map's collision field; default 300 */
    double t;       /* damping time; default 1000 */
    int layers;     /* nonzero: start box and teleports of the map; default 0 */
    int threads;    /* below 1: sequential; the parallel mode's results are the same */
    int seed_given; /* zero: seeded from the clock, as the viewer without --seed */
    unsigned seed;  /* the start-up generator's seed when seed_given */
} ksm_settings;

/* The defaults of a settings file without keys. */
KSM_API void ksm_settings_init(ksm_settings* settings);
/* Reads section [balls] of a settings file as the viewer does (a missing
 * key keeps the value in `settings`; a missing file is KSM_ERROR_ARGUMENT).
 * The seed is left as it was. */
KSM_API ksm_status ksm_settings_read(const char* path, ksm_settings* settings, char* message,
                                     size_t message_size);

typedef struct ksm_sim ksm_sim;

/* Starts `settings.count` balls at random on `map` (seeded as given), as
 * ksm_viewer --headless does: the same settings and seed give the same
 * checksum after the same frames. */
KSM_API ksm_status ksm_sim_create(const ksm_map* map, const ksm_settings* settings, ksm_sim** out,
                                  char* message, size_t message_size);
/* Runs `frames` frames. KSM_ERROR_MEMORY (the run goes on, some balls see
 * stale neighbours) when the neighbour table could not grow. */
KSM_API ksm_status ksm_sim_step(ksm_sim* sim, long frames, char* message, size_t message_size);

/* The balls, without copying: `count` entries of 3 floats (x, y, z), owned
 * by the simulation and valid until the next step, map swap or free. */
KSM_API int ksm_sim_count(const ksm_sim* sim);
KSM_API const float* ksm_sim_positions(const ksm_sim* sim);
/* The positions before the last step: velocity = position - previous. */
KSM_API const float* ksm_sim_previous_positions(const ksm_sim* sim);
/* Colours (r, g, b in [0.1, 1]), fixed at start-up. */
KSM_API const float* ksm_sim_colors(const ksm_sim* sim);
/* Velocities (position minus previous position) written into `out`
 * (count x 3 floats). */
KSM_API ksm_status ksm_sim_velocities(const ksm_sim* sim, float* out);
/* Frames run so far. */
KSM_API long ksm_sim_frames(const ksm_sim* sim);

/* Gravity as the viewer's middle button and key g change it. */
typedef enum ksm_gravity {
    KSM_GRAVITY_LIFT = 0,   /* off until reversed (button held) */
    KSM_GRAVITY_REVERSE = 1 /* the setting reversed and active again (button released, key g) */
} ksm_gravity;
KSM_API ksm_status ksm_sim_set_gravity(ksm_sim* sim, ksm_gravity change);
/* The active gravity per step (field units per step², negative: down). */
KSM_API float ksm_sim_gravity(const ksm_sim* sim);

/* Puts the running balls into another map, as the viewer's live reload does:
 * positions, velocities and colours are kept, balls outside a smaller field
 * move into it. The simulation then runs on `map`, which must outlive it.
 * On failure nothing changes. */
KSM_API ksm_status ksm_sim_swap_map(ksm_sim* sim, const ksm_map* map, char* message, size_t message_size);

/* The checksum ksm_viewer --headless prints: FNV-1a (64 bits) over every
 * ball's position and velocity as little-endian float bits. */
KSM_API uint64_t ksm_sim_checksum(const ksm_sim* sim);

/* Releases the simulation; null is allowed. */
KSM_API void ksm_sim_free(ksm_sim* sim);

#ifdef __cplusplus
}
#endif

#endif
