// Settings, start-up and tear-down of the ball simulation.
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "huge_pages.h"
#include "balls.h"
#include "ini.h"
#include "sim_frame.h"

// ---------------------------------------------------------------------------
// Pseudo-random numbers
// ---------------------------------------------------------------------------

void seed_ball_random(SimState* s, unsigned seed)
{
    s->random_state = seed;
}

int ball_random(SimState* s)
{
    s->random_state = s->random_state * 1103515245u + 12345u;
    return (int)((s->random_state >> 16) & (uint32_t)BALL_RANDOM_MAX);
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

// The leading integer of the text as atoi reads it, 0 when there is none;
// values beyond the int range are held at its ends instead of overflowing.
static int parse_leading_int(const char* text)
{
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

static void read_setting(const char* path, const char* key, const char* def, char* out)
{
    read_profile_string(path, BALL_SETTINGS_SECTION, key, def, out, INI_TOKEN_MODE);
}

// Reads the settings (see init_balls_from); s->field_extent must be set first.
static void read_ball_settings_from(SimState* s, const char* path)
{
    char text[INI_BUFFER_SIZE];

    read_setting(path, "count", "10000", text);
    s->ball_count = parse_leading_int(text);
    // A negative count would size the arrays absurdly: it means no balls.
    if (s->ball_count < 0)
        s->ball_count = 0;

    read_setting(path, "g", "20", text);
    float g = (float)(std::atof(text) / SETTING_DIVISOR_SMALL);
    s->gravity_setting = -g;

    read_setting(path, "cl", "20", text);
    s->repulsion_coef = (float)(std::atof(text) / SETTING_DIVISOR_LARGE);

    read_setting(path, "geom", "300", text);
    s->field_push_coef = (float)(std::atof(text) / SETTING_DIVISOR_SMALL);

    read_setting(path, "t", "1000", text);
    float t = (float)std::atof(text);
    s->damping = t != 0.0f ? (float)(1.0 - 1.0 / (double)t) : 1.0f;

    // Optional: frames per second at most, 0 (or anything not positive) for
    // frames back to back.
    read_setting(path, "fps", "0", text);
    s->frame_rate_cap = parse_leading_int(text);
    if (s->frame_rate_cap < 0)
        s->frame_rate_cap = 0;

    read_setting(path, "layers", "0", text);
    s->layers_enabled = parse_leading_int(text) != 0;

    // Opt-in parallel mode; without the key, the sequential mode.
    read_setting(path, "threads", "0", text);
    s->sim_threads = parse_leading_int(text);
    if (s->sim_threads > MAX_SIM_THREADS)
        s->sim_threads = MAX_SIM_THREADS;

    s->gravity = s->gravity_setting;
    s->cell_side = (int)s->field_extent + 2;
    s->cell_stride_y = (size_t)s->cell_side;
    s->cell_stride_x = (size_t)s->cell_side * (size_t)s->cell_side;
}

// ---------------------------------------------------------------------------
// Start-up and tear-down
// ---------------------------------------------------------------------------

// a·b, or false when it does not fit a size_t.
static bool multiply_size(size_t a, size_t b, size_t* out)
{
    if (a != 0 && b > SIZE_MAX / a)
        return false;
    *out = a * b;
    return true;
}

// Bytes of physical memory, or SIZE_MAX when unknown.
static size_t physical_memory_bytes()
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    size_t bytes;
    if (pages <= 0 || page_size <= 0 || !multiply_size((size_t)pages, (size_t)page_size, &bytes))
        return SIZE_MAX;
    return bytes;
}

// malloc that treats a request of 0 bytes as success with no buffer.
static bool allocate(size_t bytes, void** out)
{
    *out = bytes ? std::malloc(bytes) : nullptr;
    advise_huge_pages(*out, bytes);
    return bytes == 0 || *out != nullptr;
}

static bool fail_start(SimState* s, const char** reason, const char* text)
{
    free_balls(s);
    if (reason)
        *reason = text;
    return false;
}

// The four per-ball arrays and an empty neighbour table.
static bool allocate_ball_state(SimState* s, const char** reason)
{
    size_t n = (size_t)s->ball_count;
    size_t array_bytes = n * sizeof(Vec3);
    size_t cells = (size_t)s->cell_side * (size_t)s->cell_side * (size_t)s->cell_side;

    // The ball arrays are written whole at once, and every ball takes up to
    // 27 list entries; memory the system promises but cannot back would end
    // the process later, so a demand beyond the machine's memory is refused
    // here. (No overflow: ball_count and cell_side are bounded by int and u16.)
    size_t touched = 4 * array_bytes + 27 * n * sizeof(int) + cells * sizeof(uint32_t);
    if (touched > physical_memory_bytes())
        return fail_start(s, reason, "the ball arrays and neighbour lists exceed the machine's memory");

    // s->ball_pos carries one float of padding: the repulsion pass may read a
    // ball as 16 bytes.
    if (!allocate(array_bytes + sizeof(float), (void**)&s->ball_pos) ||
        !allocate(array_bytes, (void**)&s->ball_prev) ||
        !allocate(n * sizeof(CellCoord), (void**)&s->ball_cell) ||
        !allocate(n * sizeof(BallColor), (void**)&s->ball_color))
        return fail_start(s, reason, "the ball arrays cannot be allocated");
    if (!alloc_cell_lists(s))
        return fail_start(s, reason, "the neighbour table cannot be allocated");
    return true;
}

// A draw r in 0 .. 32767 as a coordinate in [lo, hi]; the whole field is
// [1, F].
static float random_coordinate(SimState* s, double lo, double hi)
{
    double r = (double)ball_random(s);
    return (float)(lo + r * (hi - lo) / (double)BALL_RANDOM_MAX);
}

static float start_color(float coordinate, double extent)
{
    return (float)((double)coordinate / extent * (double)0.9f + (double)0.1f);
}

// Colours from the positions as stored. A pass of its own, after the
// placement: formed in the same loop as the coordinates, GCC's SLP
// vectoriser (at -O2) fused the two formulas and lost the rounding of the
// coordinate to float in two of the three lanes, so about one component in
// seven was one unit in the last place off. Here the coordinate can only
// come from memory, as a float.
static void colour_balls(SimState* s, double extent)
{
    for (int i = 0; i < s->ball_count; ++i) {
        const Vec3& p = s->ball_pos[i];
        s->ball_color[i] = BallColor{start_color(p.x, extent), start_color(p.y, extent),
                                  start_color(p.z, extent)};
    }
}

bool init_balls_from(SimState* s, const MapHeader* header, const char* settings_path, const char** reason,
                     const MapLayers* layers)
{
    free_balls(s);
    s->field_extent = (float)header->field_size;
    s->field_stride_y = 3 * (size_t)header->grid_size;
    s->field_stride_x = s->field_stride_y * (size_t)header->grid_size;
    s->field_scale = (float)((double)header->grid_size / (double)header->field_size);

    read_ball_settings_from(s, settings_path);
    if (!allocate_ball_state(s, reason))
        return false;

    double extent = (double)s->field_extent;
    double lo[3] = {1.0, 1.0, 1.0}, hi[3] = {extent, extent, extent};
    if (s->layers_enabled && layers && layers->has_start &&
        !start_box_region(&layers->start, s->field_extent, lo, hi)) {
        lo[0] = lo[1] = lo[2] = 1.0;
        hi[0] = hi[1] = hi[2] = extent;
    }
    for (int i = 0; i < s->ball_count; ++i) {
        Vec3 p;
        p.x = random_coordinate(s, lo[0], hi[0]);
        p.y = random_coordinate(s, lo[1], hi[1]);
        p.z = random_coordinate(s, lo[2], hi[2]);
        s->ball_pos[i] = p;
        s->ball_prev[i] = p;
        CellCoord c = {(int)p.x, (int)p.y, (int)p.z};
        s->ball_cell[i] = c;
        if (!block_insert(s, c.x, c.y, c.z, i))
            return fail_start(s, reason, "the neighbour table cannot grow to hold the balls");
    }
    colour_balls(s, extent);
    return true;
}

void free_balls(SimState* s)
{
    std::free(s->ball_pos);
    std::free(s->ball_prev);
    std::free(s->ball_cell);
    std::free(s->ball_color);
    free_cell_lists(s);
    free_repel_scratch(s);
    std::vector<int>().swap(s->moved);
    s->ball_pos = nullptr;
    s->ball_prev = nullptr;
    s->ball_cell = nullptr;
    s->ball_color = nullptr;
    s->ball_count = 0;
    s->partner_limit_hit = false;
}
