// Reach lists and the repulsion pass over them (see reach_lists.h).
#include "reach_lists.h"
#include "reach_state.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "repulsion_walk.h"

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

void free_reach_lists(SimState* s)
{
    std::free(s->rs.pool);
    std::free(s->rs.offset);
    std::free(s->rs.anchor);
    std::free(s->rs.work);
    std::free(s->rs.marked);
    std::free(s->rs.dirty);
    std::free(s->rs.restarted);
    free_wide_scratch(&s->rs.scratch);
    s->rs = ReachState();
}

void forget_reach_lists(SimState* s)
{
    s->rs.all_dirty = true;
}

// Bytes the lists of `balls` balls take.
static size_t reach_bytes_for(size_t balls)
{
    size_t per_ball = REACH_SLOT * sizeof(int) + sizeof(uint32_t) + 8 * sizeof(float) + 1 + 2 * sizeof(int);
    return balls * per_ball;
}

size_t reach_lists_bytes(const SimState* s)
{
    return reach_bytes_for((size_t)s->rs.balls);
}

static bool reserve_reach_lists(SimState* s)
{
    if (s->rs.balls == s->ball_count && s->rs.pool)
        return true;
    const size_t limit = s->rs.bytes_limit;
    free_reach_lists(s);
    s->rs.bytes_limit = limit;
    if ((size_t)s->ball_count > (size_t)INT32_MAX / REACH_SLOT || reach_bytes_for((size_t)s->ball_count) > limit)
        return false;
    size_t n = (size_t)s->ball_count;
    s->rs.pool = (int*)std::malloc(n * REACH_SLOT * sizeof(int));
    s->rs.offset = (uint32_t*)std::malloc(n * sizeof(uint32_t));
    size_t quads = (n * 4 * sizeof(float) + 63) / 64 * 64;
    s->rs.anchor = (float*)std::aligned_alloc(64, quads);
    s->rs.work = (float*)std::aligned_alloc(64, quads);
    s->rs.marked = (unsigned char*)std::calloc(n, 1);
    s->rs.dirty = (int*)std::malloc(n * sizeof(int));
    s->rs.restarted = (int*)std::malloc(n * sizeof(int));
    if (!s->rs.pool || !s->rs.offset || !s->rs.anchor || !s->rs.work || !s->rs.marked || !s->rs.dirty || !s->rs.restarted) {
        free_reach_lists(s);
        return false;
    }
    s->rs.balls = s->ball_count;
    for (size_t i = 0; i < n; ++i)
        s->rs.offset[i] = (uint32_t)(i * REACH_SLOT);
    return true;
}

static void mark_ball(SimState* s, int b)
{
    if (!s->rs.marked[b]) {
        s->rs.marked[b] = 1;
        s->rs.dirty[s->rs.dirty_count++] = b;
    }
}

// Marks the balls of cell k's list: those registered around it.
static void mark_list(SimState* s, size_t k)
{
    const int* list = cell_list(s, k);
    for (int e = 1; e <= list[0]; ++e) {
        int b = list[e];
        if ((unsigned)b >= (unsigned)s->rs.balls) {
            s->rs.all_dirty = true;
            return;
        }
        mark_ball(s, b);
    }
}

void note_block_change(SimState* s, int x, int y, int z)
{
    if (!s->rs.pool || s->rs.all_dirty)
        return;
    // The lists that change are those of the block's cells; the balls that
    // walk them are registered within one cell of (x, y, z), which is the
    // list of (x, y, z) itself.
    int limit = s->cell_side - 2;
    if (x < 1 || x > limit || y < 1 || y > limit || z < 1 || z > limit) {
        s->rs.all_dirty = true;
        return;
    }
    mark_list(s, cell_index(s, x, y, z));
}

// What each ball keeps of its budget for the rounding of the distances the
// walks compare and of the sums (far less than this).
static const float REACH_MARGIN = 0.001f;

// Starts each ball's running sum at its distance from its anchor; balls
// that strayed too far get a new anchor and a new list. False when a
// coordinate is not finite: the anchors given so far then have not been
// made known to the lists around them, and every list is built anew.
static bool start_sums(SimState* s, float* largest)
{
    const int n = s->rs.balls;
    const float first = REACH_FIRST_BUDGET;
    const Vec3* pos = s->ball_pos;
    float* const anchor = s->rs.anchor;
    float* const work = s->rs.work;
    float most = 0.0f;
    s->rs.restarted_count = 0;
    for (int j = 0; j < n; ++j) {
        Vec3 p = pos[j];
        float m = std::fabs(p.x) + std::fabs(p.y) + std::fabs(p.z);
        most = m > most ? m : most;
        float* a = anchor + 4 * (size_t)j;
        float d = std::fabs(p.x - a[0]) + std::fabs(p.y - a[1]) + std::fabs(p.z - a[2]);
        if (!(d <= a[3] / REACH_RESTART_SHARE)) {
            if (!(m < INFINITY)) {
                s->rs.all_dirty = true;
                return false;
            }
            a[0] = p.x;
            a[1] = p.y;
            a[2] = p.z;
            a[3] = a[3] * REACH_BUDGET_DECAY > first ? a[3] * REACH_BUDGET_DECAY : first;
            d = 0.0f;
            mark_ball(s, j);
            s->rs.restarted[s->rs.restarted_count++] = j;
        }
        float* w = work + 4 * (size_t)j;
        w[0] = p.x;
        w[1] = p.y;
        w[2] = p.z;
        w[3] = d;
    }
    *largest = most;
    return true;
}

static bool start_fresh(SimState* s)
{
    const size_t n = (size_t)s->rs.balls;
    for (size_t j = 0; j < n; ++j) {
        Vec3 p = s->ball_pos[j];
        if (!(std::fabs(p.x) + std::fabs(p.y) + std::fabs(p.z) < INFINITY))  // not-a-number fails too
            return false;
    }
    const float first = REACH_FIRST_BUDGET;
    for (size_t j = 0; j < n; ++j) {
        float* a = s->rs.anchor + 4 * j;
        a[0] = s->ball_pos[j].x;
        a[1] = s->ball_pos[j].y;
        a[2] = s->ball_pos[j].z;
        a[3] = first;
    }
    std::memset(s->rs.marked, 0, n);
    s->rs.dirty_count = 0;
    s->rs.overflowing = 0;
    build_all_reach_lists(s);
    s->rs.all_dirty = false;
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
static void build_marked_lists(SimState* s)
{
    build_dirty_reach_lists(s);
    for (int m = 0; m < s->rs.restarted_count; ++m) {
        int j = s->rs.restarted[m];
        const int* own = s->rs.pool + (size_t)j * REACH_SLOT;
        if (own[0] < 0) {
            // Its list overflowed and does not name its neighbours: build
            // every list around it.
            CellCoord c = s->ball_cell[j];
            mark_list(s, cell_index(s, c.x, c.y, c.z));
            for (int k = 0; k < s->rs.dirty_count; ++k) {
                s->rs.marked[s->rs.dirty[k]] = 0;
                build_reach_list(s, s->rs.dirty[k]);
            }
            s->rs.dirty_count = 0;
            continue;
        }
        for (int e = 1; e <= own[0]; ++e) {
            int i = own[e];
            if (!holds(s->rs.pool + (size_t)i * REACH_SLOT, j))
                build_reach_list(s, i);
        }
    }
    s->rs.restarted_count = 0;
}

static void take_rest(SimState* s)
{
    s->rs.rest = s->rs.rest_next;
    s->rs.rest_next = s->rs.rest_next < REACH_REST_MOST ? 2 * s->rs.rest_next : REACH_REST_MOST;
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
static bool widen_budgets(SimState* s)
{
    const int n = s->rs.balls;
    const float* const work = s->rs.work;
    float* const anchor = s->rs.anchor;
    bool within = true;
    for (int j = 0; j < n; ++j) {
        float w = work[4 * (size_t)j + 3];
        float* budget = anchor + 4 * (size_t)j + 3;
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
        CellCoord c = s->ball_cell[j];
        mark_list(s, cell_index(s, c.x, c.y, c.z));
    }
    return within;
}

// Whether a sample of the balls moves too fast for the reach lists to pay.
static bool balls_move_fast(const SimState* s)
{
    const float limit = REACH_FIRST_BUDGET / REACH_RESTART_SHARE;
    const Vec3 *pos = s->ball_pos, *prev = s->ball_prev;
    const int balls = s->ball_count;
    int sampled = 0, fast = 0;
    for (int j = 0; j < balls; j += REACH_SAMPLE_STEP) {
        Vec3 p = pos[j], q = prev[j];
        fast += !(std::fabs(p.x - q.x) + std::fabs(p.y - q.y) + std::fabs(p.z - q.z) <= limit);
        ++sampled;
    }
    return fast > sampled / REACH_BUSY_SHARE;
}

bool repel_reach(SimState* s, const SimPlan* plan, double coef)
{
    // Sixteen AVX-512 lanes or eight AVX2 lanes, as the plan says.
    const bool lanes16 = plan->walk_lanes == 16;
    if (plan->walk_lanes == 0 || s->ball_count <= 0)
        return false;
    s->rs.lanes = plan->walk_lanes;
    if (s->rs.rest > 0) {
        --s->rs.rest;
        return false;
    }
    if (balls_move_fast(s)) {
        take_rest(s);
        return false;
    }
    if (!reserve_reach_lists(s)) {
        take_rest(s);
        return false;
    }
    if (s->rs.all_dirty && !start_fresh(s))
        return false;
    float largest;
    if (!start_sums(s, &largest))
        return false;
    if (s->rs.restarted_count > s->rs.balls / REACH_BUSY_SHARE) {
        s->rs.all_dirty = true;
        take_rest(s);
        return false;
    }
    build_marked_lists(s);
    if (s->rs.all_dirty)
        return false;
    if (s->rs.overflowing > 0) {
        take_rest(s);
        return false;
    }

    WalkSequence q{nullptr,
                   s->ball_cell,
                   s->rs.offset,
                   s->rs.balls,
                   s->rs.pool,
                   s->rs.balls >= REACH_FETCH_FROM ? REACH_FETCH_AHEAD : 0,
                   REACH_SLOT - 1,
                   (size_t)s->rs.balls * REACH_SLOT,
                   nullptr, 0, 0};
    WalkSpace space{s->rs.work, 4, nullptr, 0, s->rs.balls};
    // A position update rounds by half a unit in the last place per
    // coordinate; coordinates stay below largest + REACH_BUDGET_MOST while
    // the pass keeps its bounds.
    float rounding = 3.0f * std::nextafter(largest + 1.0f, INFINITY) * (1.0f / 8388608.0f);
    if (!(lanes16 ? repel_wide16_travel(q, coef, rounding, &s->rs.scratch, space)
                  : repel_wide8_travel(q, coef, rounding, &s->rs.scratch, space)))
        return false;

    // Every entry left out stayed out of reach when no ball went further
    // from its anchor than its budget less the margin.
    const int n = s->rs.balls;
    const float* const work = s->rs.work;
    const float* const anchor = s->rs.anchor;
    bool kept = true;
    for (int j = 0; j < n; ++j)
        kept &= work[4 * (size_t)j + 3] < anchor[4 * (size_t)j + 3] - REACH_MARGIN;
    const bool within = widen_budgets(s);
    if (!kept) {
        // Two passes thrown away in a row cost two frames twice over, with
        // their lists rebuilt: the balls do not yet hold still enough, and
        // the reach lists rest.
        ++s->reach_counts.redone;
        if (!within || s->rs.redone_last)
            take_rest(s);
        s->rs.redone_last = true;
        return false;
    }
    s->rs.redone_last = false;
    Vec3* const pos = s->ball_pos;
    for (int j = 0; j < n; ++j) {
        const float* w = work + 4 * (size_t)j;
        pos[j] = Vec3{w[0], w[1], w[2]};
    }
    s->rs.rest_next = REACH_REST_FIRST;
    ++s->reach_counts.passes;
    return true;
}
