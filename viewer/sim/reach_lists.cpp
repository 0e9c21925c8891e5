// Reach lists and the repulsion pass over them (see reach_lists.h).
#include "reach_lists.h"
#include "reach_state.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "repulsion_walk.h"

ReachCounts reach_counts = {0, 0, 0};

// Each ball has a budget: how far it may go from its anchor before a pass
// can no longer be shown sound. Two balls are in each other's reach lists
// when their anchors are at most 1 + the sum of their budgets apart. A ball
// starts with REACH_FIRST_BUDGET; when its pushes in a pass come near its
// budget or overrun it (the pass is then thrown away), the budget grows to
// what the pass would have needed, up to REACH_BUDGET_MOST.
// Larger budgets trade longer lists for fewer passes thrown away; no figure
// was recorded for 0.2 and 0.5 (54ba1ea).
static const float REACH_FIRST_BUDGET = 0.2f;
static const float REACH_BUDGET_MOST = 0.5f;
// A ball gets a new anchor when it has gone further than its budget over
// REACH_RESTART_SHARE from its anchor, and its budget then shrinks by
// REACH_BUDGET_DECAY, down to where it started.
// Trades lists rebuilt for a new anchor against the budget used up before
// a pass starts; no figure was recorded for 4 and 0.8 (54ba1ea).
static const float REACH_RESTART_SHARE = 4.0f;
static const float REACH_BUDGET_DECAY = 0.8f;
// When the reach lists do not pay (balls moving fast, as in a scattered
// start, or crowded cells, or budgets beyond REACH_BUDGET_MOST, or two
// passes in a row thrown away) the passes walk the whole lists for a rest
// that doubles, from REACH_REST_FIRST frames up to REACH_REST_MOST, while
// that lasts. More than one ball in REACH_BUSY_SHARE given a new anchor
// before one pass counts as moving fast.
// Trades lists that could have served against builds wasted on moving balls
// (1,000,000 balls still falling: no builds wasted, 54ba1ea).
static const int REACH_BUSY_SHARE = 8;
// Before any work, one ball in REACH_SAMPLE_STEP tells whether the balls
// move fast: more than one in REACH_BUSY_SHARE of them moving, in the last
// step, further than a fresh budget over REACH_RESTART_SHARE.
// A sparser sample costs less each frame and sees less; no figure was
// recorded for 32 (54ba1ea).
static const int REACH_SAMPLE_STEP = 32;
// From REACH_FETCH_FROM balls on (8 MB of work copy: more than the caches
// near a core hold), the walks fetch their partners' positions early,
// REACH_FETCH_AHEAD walks ahead. With fewer balls this costs more than it
// saves (measured here at 300,000 balls; at 600,000 it saves a third).
static const int REACH_FETCH_FROM = 1 << 19;
static const int REACH_FETCH_AHEAD = 16;

ReachState rs;

void free_reach_lists()
{
    std::free(rs.pool);
    std::free(rs.offset);
    std::free(rs.anchor);
    std::free(rs.work);
    std::free(rs.marked);
    std::free(rs.dirty);
    std::free(rs.restarted);
    free_wide_scratch(&rs.scratch);
    rs = ReachState();
}

void forget_reach_lists()
{
    rs.all_dirty = true;
}

// Bytes the lists of `balls` balls take.
static size_t reach_bytes_for(size_t balls)
{
    size_t per_ball = REACH_SLOT * sizeof(int) + sizeof(uint32_t) + 8 * sizeof(float) + 1 + 2 * sizeof(int);
    return balls * per_ball;
}

size_t reach_lists_bytes()
{
    return reach_bytes_for((size_t)rs.balls);
}

static bool reserve_reach_lists()
{
    if (rs.balls == ball_count && rs.pool)
        return true;
    const size_t limit = rs.bytes_limit;
    free_reach_lists();
    rs.bytes_limit = limit;
    if ((size_t)ball_count > (size_t)INT32_MAX / REACH_SLOT || reach_bytes_for((size_t)ball_count) > limit)
        return false;
    size_t n = (size_t)ball_count;
    rs.pool = (int*)std::malloc(n * REACH_SLOT * sizeof(int));
    rs.offset = (uint32_t*)std::malloc(n * sizeof(uint32_t));
    size_t quads = (n * 4 * sizeof(float) + 63) / 64 * 64;
    rs.anchor = (float*)std::aligned_alloc(64, quads);
    rs.work = (float*)std::aligned_alloc(64, quads);
    rs.marked = (unsigned char*)std::calloc(n, 1);
    rs.dirty = (int*)std::malloc(n * sizeof(int));
    rs.restarted = (int*)std::malloc(n * sizeof(int));
    if (!rs.pool || !rs.offset || !rs.anchor || !rs.work || !rs.marked || !rs.dirty || !rs.restarted) {
        free_reach_lists();
        return false;
    }
    rs.balls = ball_count;
    for (size_t i = 0; i < n; ++i)
        rs.offset[i] = (uint32_t)(i * REACH_SLOT);
    return true;
}

static void mark_ball(int b)
{
    if (!rs.marked[b]) {
        rs.marked[b] = 1;
        rs.dirty[rs.dirty_count++] = b;
    }
}

// Marks the balls of cell k's list: those registered around it.
static void mark_list(size_t k)
{
    const int* list = cell_list(k);
    for (int s = 1; s <= list[0]; ++s) {
        int b = list[s];
        if ((unsigned)b >= (unsigned)rs.balls) {
            rs.all_dirty = true;
            return;
        }
        mark_ball(b);
    }
}

void note_block_change(int x, int y, int z)
{
    if (!rs.pool || rs.all_dirty)
        return;
    // The lists that change are those of the block's cells; the balls that
    // walk them are registered within one cell of (x, y, z), which is the
    // list of (x, y, z) itself.
    int limit = cell_side - 2;
    if (x < 1 || x > limit || y < 1 || y > limit || z < 1 || z > limit) {
        rs.all_dirty = true;
        return;
    }
    mark_list(cell_index(x, y, z));
}

// What each ball keeps of its budget for the rounding of the distances the
// walks compare and of the sums (far less than this).
static const float REACH_MARGIN = 0.001f;

// Starts each ball's running sum at its distance from its anchor; balls
// that strayed too far get a new anchor and a new list. False when a
// coordinate is not finite: the anchors given so far then have not been
// made known to the lists around them, and every list is built anew.
static bool start_sums(float* largest)
{
    const int n = rs.balls;
    const float first = REACH_FIRST_BUDGET;
    float most = 0.0f;
    rs.restarted_count = 0;
    for (int j = 0; j < n; ++j) {
        Vec3 p = ball_pos[j];
        float m = std::fabs(p.x) + std::fabs(p.y) + std::fabs(p.z);
        most = m > most ? m : most;
        float* a = rs.anchor + 4 * (size_t)j;
        float d = std::fabs(p.x - a[0]) + std::fabs(p.y - a[1]) + std::fabs(p.z - a[2]);
        if (!(d <= a[3] / REACH_RESTART_SHARE)) {
            if (!(m < INFINITY)) {
                rs.all_dirty = true;
                return false;
            }
            a[0] = p.x;
            a[1] = p.y;
            a[2] = p.z;
            a[3] = a[3] * REACH_BUDGET_DECAY > first ? a[3] * REACH_BUDGET_DECAY : first;
            d = 0.0f;
            mark_ball(j);
            rs.restarted[rs.restarted_count++] = j;
        }
        float* w = rs.work + 4 * (size_t)j;
        w[0] = p.x;
        w[1] = p.y;
        w[2] = p.z;
        w[3] = d;
    }
    *largest = most;
    return true;
}

static bool start_fresh()
{
    const size_t n = (size_t)rs.balls;
    for (size_t j = 0; j < n; ++j) {
        Vec3 p = ball_pos[j];
        if (!(std::fabs(p.x) + std::fabs(p.y) + std::fabs(p.z) < INFINITY))  // not-a-number fails too
            return false;
    }
    const float first = REACH_FIRST_BUDGET;
    for (size_t j = 0; j < n; ++j) {
        float* a = rs.anchor + 4 * j;
        a[0] = ball_pos[j].x;
        a[1] = ball_pos[j].y;
        a[2] = ball_pos[j].z;
        a[3] = first;
    }
    std::memset(rs.marked, 0, n);
    rs.dirty_count = 0;
    rs.overflowing = 0;
    build_all_reach_lists();
    rs.all_dirty = false;
    return true;
}

static bool holds(const int* slot, int j)
{
    for (int s = 1; s <= slot[0]; ++s)
        if (slot[s] == j)
            return true;
    return false;
}

// Builds the marked lists. A list may keep entries that have gone out of
// reach, but must hold every entry in reach: so a ball with a new anchor
// joins the lists of the balls its own new list names (by symmetry, those
// within reach of it) where it is missing.
static void build_marked_lists()
{
    build_dirty_reach_lists();
    for (int m = 0; m < rs.restarted_count; ++m) {
        int j = rs.restarted[m];
        const int* own = rs.pool + (size_t)j * REACH_SLOT;
        if (own[0] < 0) {
            // Its list overflowed and does not name its neighbours: build
            // every list around it.
            CellCoord c = ball_cell[j];
            mark_list(cell_index(c.x, c.y, c.z));
            for (int k = 0; k < rs.dirty_count; ++k) {
                rs.marked[rs.dirty[k]] = 0;
                build_reach_list(rs.dirty[k]);
            }
            rs.dirty_count = 0;
            continue;
        }
        for (int s = 1; s <= own[0]; ++s) {
            int i = own[s];
            if (!holds(rs.pool + (size_t)i * REACH_SLOT, j))
                build_reach_list(i);
        }
    }
    rs.restarted_count = 0;
}

static void take_rest()
{
    rs.rest = rs.rest_next;
    rs.rest_next = rs.rest_next < REACH_REST_MOST ? 2 * rs.rest_next : REACH_REST_MOST;
}

// After a pass, balls whose sums reached REACH_NEAR_SHARE of their budgets
// (or broke them) get the budgets the pass would have needed (it bounds
// their pushes; they may also have gone a budget over REACH_RESTART_SHARE
// before it), and the lists around them are built anew. Widening before the
// bound breaks matters in deep heaps: the balls low down take strong pushes
// that cancel out, and with many of them one or another would break its
// budget in every pass. False when a ball that broke its budget would need
// more than REACH_BUDGET_MOST.
// Widening earlier trades longer lists against passes thrown away; before
// it, every pass in a settled heap of 1,000,000 balls was thrown away
// (2c44e5b); no figure was recorded for 0.7 against other shares.
static const float REACH_NEAR_SHARE = 0.7f;
static bool widen_budgets()
{
    const int n = rs.balls;
    bool within = true;
    for (int j = 0; j < n; ++j) {
        float w = rs.work[4 * (size_t)j + 3];
        float* budget = rs.anchor + 4 * (size_t)j + 3;
        if (w < *budget * REACH_NEAR_SHARE)
            continue;
        float needed = 1.2f * (w + REACH_MARGIN) / (1.0f - 1.0f / REACH_RESTART_SHARE);
        if (!(needed <= REACH_BUDGET_MOST)) {
            within &= w < *budget - REACH_MARGIN;
            needed = REACH_BUDGET_MOST;
        }
        if (!(needed > *budget))
            continue;
        *budget = needed;
        CellCoord c = ball_cell[j];
        mark_list(cell_index(c.x, c.y, c.z));
    }
    return within;
}

// Whether a sample of the balls moves too fast for the reach lists to pay.
static bool balls_move_fast()
{
    const float limit = REACH_FIRST_BUDGET / REACH_RESTART_SHARE;
    int sampled = 0, fast = 0;
    for (int j = 0; j < ball_count; j += REACH_SAMPLE_STEP) {
        Vec3 p = ball_pos[j], q = ball_prev[j];
        fast += !(std::fabs(p.x - q.x) + std::fabs(p.y - q.y) + std::fabs(p.z - q.z) <= limit);
        ++sampled;
    }
    return fast > sampled / REACH_BUSY_SHARE;
}

bool repel_reach(double coef)
{
    // Sixteen AVX-512 lanes, or eight AVX2 lanes where the processor has no
    // more or the caller asks for eight.
    static const bool sixteen = wide_walks_supported(), eight = wide8_walks_supported();
    const bool lanes16 = sixteen && repel_path != REPEL_WIDE8;
    if (!(lanes16 || eight) || ball_count <= 0)
        return false;
    if (rs.rest > 0) {
        --rs.rest;
        return false;
    }
    if (balls_move_fast()) {
        take_rest();
        return false;
    }
    if (!reserve_reach_lists()) {
        take_rest();
        return false;
    }
    if (rs.all_dirty && !start_fresh())
        return false;
    float largest;
    if (!start_sums(&largest))
        return false;
    if (rs.restarted_count > rs.balls / REACH_BUSY_SHARE) {
        rs.all_dirty = true;
        take_rest();
        return false;
    }
    build_marked_lists();
    if (rs.all_dirty)
        return false;
    if (rs.overflowing > 0) {
        take_rest();
        return false;
    }

    WalkSequence q{nullptr,
                   ball_cell,
                   rs.offset,
                   rs.balls,
                   rs.pool,
                   rs.balls >= REACH_FETCH_FROM ? REACH_FETCH_AHEAD : 0,
                   REACH_SLOT - 1,
                   (size_t)rs.balls * REACH_SLOT};
    WalkSpace space{rs.work, 4, nullptr, 0, rs.balls};
    // A position update rounds by half a unit in the last place per
    // coordinate; coordinates stay below largest + REACH_BUDGET_MOST while
    // the pass keeps its bounds.
    float rounding = 3.0f * std::nextafter(largest + 1.0f, INFINITY) * (1.0f / 8388608.0f);
    if (!(lanes16 ? repel_wide16_travel(q, coef, rounding, &rs.scratch, space)
                  : repel_wide8_travel(q, coef, rounding, &rs.scratch, space)))
        return false;

    // Every entry left out stayed out of reach when no ball went further
    // from its anchor than its budget less the margin.
    const int n = rs.balls;
    bool kept = true;
    for (int j = 0; j < n; ++j)
        kept &= rs.work[4 * (size_t)j + 3] < rs.anchor[4 * (size_t)j + 3] - REACH_MARGIN;
    const bool within = widen_budgets();
    if (!kept) {
        // Two passes thrown away in a row cost two frames twice over, with
        // their lists rebuilt: the balls do not yet hold still enough, and
        // the reach lists rest.
        ++reach_counts.redone;
        if (!within || rs.redone_last)
            take_rest();
        rs.redone_last = true;
        return false;
    }
    rs.redone_last = false;
    for (int j = 0; j < n; ++j) {
        const float* w = rs.work + 4 * (size_t)j;
        ball_pos[j] = Vec3{w[0], w[1], w[2]};
    }
    rs.rest_next = REACH_REST_FIRST;
    ++reach_counts.passes;
    return true;
}
