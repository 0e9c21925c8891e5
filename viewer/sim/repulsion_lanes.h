// The repulsion walks side by side in vector lanes, written once over the
// lane width (lanes.h): same results as the plain walk, bit for bit. Each
// width is a short file that defines KSM_LANES_TARGET as its target, includes
// this file, and instantiates walk_in_lanes for its form of the walks
// (repulsion_lanes16.cpp, repulsion_lanes8.cpp).
//
// Two walks that touch disjoint sets of balls cannot see each other, so
// running them side by side gives the same bits as running them one after
// the other. Both perform exactly the same IEEE operations in the same order
// for every pair (pair_push, pair_push.h).
//
// Each lane runs one walk. A free lane takes the next walk in ball order
// that is independent of every running walk and of every earlier walk still
// waiting; a walk that is not waits (up to WAITING_MAX of them, then the
// lanes drain until the first can start). Two walks are independent when
// their cells are three or more apart on some axis: a ball in both lists
// would be registered within one cell of each (every list includes its own
// ball, so neither walk touches the other's ball either). Hence every pair
// of conflicting walks still runs in ball order, and independent walks
// commute.
//
// Each iteration performs one step of every running walk: the next entry of
// its list, in the list's order. To keep the loads off the arithmetic chain,
// positions are loaded one iteration ahead and a step's stores are made one
// iteration late. That is safe for running walks, whose partners no other
// walk touches; a new walk starts two iterations after its lane was given to
// it, by when the stores of every walk that had ended are in memory.
//
// The lanes read their list entries straight from the lists, one gather a
// step (direct), or from a ring of rows that every walk's entries are copied
// into at its start, row r holding lane l's entry for iteration r, so that
// one vector load yields the entries of all lanes for one step. Walks that
// name balls through a rank take the ring, their entries translated.
#pragma once

#include <cstdint>

#include "lanes.h"
#include "repulsion_walk.h"

#ifndef KSM_LANES_TARGET
#error "define KSM_LANES_TARGET (the width's target) before including repulsion_lanes.h"
#endif

// Free lanes hold this as their cell, far from every real cell.
static const int NO_CELL = -100;

// pair_push in every lane, for the differences dx, dy and dz (walking ball
// minus partner): the pushes, and the lanes out of reach (rejected).
template <class L>
KSM_LANES_TARGET __attribute__((always_inline)) static inline typename L::M lane_pair_push(
    typename L::F dx, typename L::F dy, typename L::F dz, typename L::D coef, typename L::F* px, typename L::F* py,
    typename L::F* pz)
{
    typedef typename L::F F;
    typedef typename L::D D;
    typedef typename L::M M;
    const F two = L::splat(2.0f), one_f = L::splat(1.0f), min_s = L::splat(MIN_SQUARED_DISTANCE);
    const D one = L::splat(1.0);
    // The rejections compare as there: false with not-a-number.
    M reject = either(either(at_least(abs(dx), two), at_least(abs(dy), two)), at_least(abs(dz), two));
    D dx_low = widen_low(dx), dx_high = widen_high(dx);
    D dy_low = widen_low(dy), dy_high = widen_high(dy);
    D dz_low = widen_low(dz), dz_high = widen_high(dz);
    D sum_low = add(add(mul(dx_low, dx_low), mul(dy_low, dy_low)), mul(dz_low, dz_low));
    D sum_high = add(add(mul(dx_high, dx_high), mul(dy_high, dy_high)), mul(dz_high, dz_high));
    F s2 = narrow(sum_low, sum_high);
    reject = either(reject, greater(s2, one_f));
    s2 = select(less(s2, min_s), min_s, s2);
    D u_low = round_to_float(sub(one, div(one, widen_low(s2))));
    D u_high = round_to_float(sub(one, div(one, widen_high(s2))));
    *px = narrow(mul(coef, mul(dx_low, u_low)), mul(coef, mul(dx_high, u_high)));
    *py = narrow(mul(coef, mul(dy_low, u_low)), mul(coef, mul(dy_high, u_high)));
    *pz = narrow(mul(coef, mul(dz_low, u_low)), mul(coef, mul(dz_high, u_high)));
    return reject;
}

// Stores x, y and z of the lanes of mask at float offsets at[l] ...
template <class L>
KSM_LANES_TARGET __attribute__((always_inline)) static inline void store_lane_positions(
    float* base, unsigned mask, typename L::I at, typename L::F x, typename L::F y, typename L::F z)
{
    alignas(64) float out_x[L::WIDTH], out_y[L::WIDTH], out_z[L::WIDTH];
    alignas(64) int offset[L::WIDTH];
    store(out_x, x);
    store(out_y, y);
    store(out_z, z);
    store(offset, at);
    write_lane_positions(base, mask, offset, out_x, out_y, out_z);
}

// ... or, where every ball has four floats, x, y, z and w as one 16-byte
// store, which a later 16-byte load of the ball can take straight from the
// store buffer.
template <class L>
KSM_LANES_TARGET __attribute__((always_inline)) static inline void store_lane_quads(
    float* base, unsigned mask, typename L::I at, typename L::F x, typename L::F y, typename L::F z, typename L::F w)
{
    alignas(64) float quad[4 * L::WIDTH];
    store_quads(quad, x, y, z, w);
    alignas(64) int offset[L::WIDTH];
    store(offset, at);
    write_lane_quads(base, mask, offset, quad, L::WIDTH);
}

// x, y and z (and with w, the fourth floats) of the balls at float offsets
// at[l] for the lanes of mask, other lanes reading the idle slot: one 16-byte
// load per ball (its fourth float is the next ball's x, or the padding after
// the last ball), then a transpose. Cheaper than three gathers.
template <class L>
KSM_LANES_TARGET __attribute__((always_inline)) static inline void load_lane_positions(
    const float* base, int idle, unsigned mask, typename L::I at, typename L::F* x, typename L::F* y,
    typename L::F* z, typename L::F* w)
{
    alignas(64) int offset[L::WIDTH];
    store(offset, select(L::mask(mask), at, L::splat(idle)));
    load_quads(base, offset, x, y, z, w);
}

// Where the forms of the walks differ by width (each width's file picks one,
// measured):
//   Form::L             the lanes
//   Form::DIRECT        read list entries straight from the lists where
//                       they can be, rather than through the ring
//   Form::START_QUADS   a starting walk reads its ball as the partners are
//                       read (all lanes, transposed), rather than lane by
//                       lane in three or four scalar loads
//   Form::SHIFTS        partner offsets by shifts and adds, rather than a
//                       multiply by the stride (whose latency sits on the way
//                       from the entries to the loads)
//
// TRAVEL (four floats a ball, no rank): each push also adds its length
// (|px| + |py|) + (|pz| + rounding) to the fourth float of both balls, so
// that it ends up bounding how far each ball went during the pass.
template <class Form, bool DIRECT, bool TRAVEL>
KSM_LANES_TARGET static void run_lane_walks(const WalkSequence& q, double coef, WideScratch* scratch,
                                            const WalkSpace& space, float rounding)
{
    typedef typename Form::L L;
    typedef typename L::F F;
    typedef typename L::I I;
    typedef typename L::D D;
    typedef typename L::M M;
    const int W = L::WIDTH;
    static_assert(W <= WIDE_ROW_INTS, "a row of the ring holds one entry per lane");
    float* base = space.base;
    const int* rank = space.rank;
    const bool quads = space.stride == 4;
    int* rows = scratch->rows;
    const unsigned row_mask = (unsigned)scratch->row_mask;

    const D k_coef = L::splat(coef);
    const I ones = L::splat(1), apart = L::splat(3), no_cell = L::splat(NO_CELL), zero_i = L::splat(0);
    const F zero = L::splat(0.0f), round_up = L::splat(rounding);

    // Per lane: the walking ball, its float offset, its position, the
    // entries left to visit and its cell.
    I self = L::splat(-1), self_at = zero_i, left = zero_i;
    // DIRECT: per lane the offset in q.lists of the next entry to gather, and
    // the entry gathered ahead for the step after the next.
    const int* lists = q.lists;
    I entry = zero_i, j_ahead = zero_i;
    F xi = zero, yi = zero, zi = zero, wi = zero;
    I cx = no_cell, cy = no_cell, cz = no_cell;
    // Bit sets of lanes: with a walk; given a walk one and two iterations
    // ago; stepping in this iteration.
    unsigned running = 0, delay1 = 0, delay2 = 0, ready = 0;
    // This step's partners, loaded in the previous iteration.
    unsigned partner = 0;
    I at = zero_i;
    F xj = zero, yj = zero, zj = zero, wj = zero;
    // The previous step's stores: partners, and the balls of ended walks.
    unsigned store_partner = 0, store_own = 0;
    I store_at = zero_i, store_own_at = zero_i;
    F store_x = zero, store_y = zero, store_z = zero, own_x = zero, own_y = zero, own_z = zero;
    F store_w = zero, own_w = zero;
    unsigned t = 0;
    int next = 0;
    WaitingWalks waiting;
    // Serial number of each lane's walk.
    unsigned lane_walk[WIDE_ROW_INTS] = {};
    unsigned walks_started = 0;
    bool refill = true;

    for (;;) {
        // Walks starting now read their ball, the last stores of the walks
        // they may depend on being in memory.
        if (delay2) {
            if (Form::START_QUADS) {
                F x, y, z, w = zero;
                load_lane_positions<L>(base, space.idle, delay2, self_at, &x, &y, &z, TRAVEL ? &w : nullptr);
                M starting = L::mask(delay2);
                xi = select(starting, x, xi);
                yi = select(starting, y, yi);
                zi = select(starting, z, zi);
                if (TRAVEL)
                    wi = select(starting, w, wi);
            } else {
                // Mostly one lane.
                alignas(64) int offset[W];
                store(offset, self_at);
                for (unsigned m = delay2; m; m &= m - 1) {
                    const float* p = base + offset[__builtin_ctz(m)];
                    M bit = L::mask(m & -m);
                    xi = select(bit, L::splat(p[0]), xi);
                    yi = select(bit, L::splat(p[1]), yi);
                    zi = select(bit, L::splat(p[2]), zi);
                    if (TRAVEL)
                        wi = select(bit, L::splat(p[3]), wi);
                }
            }
        }
        I left_next = sub_where(L::mask(ready), left, ones);
        unsigned done = ready & bits(at_most(left_next, zero_i));
        unsigned ready_next = running & ~done & ~delay1;
        // Entries and partner positions of the next step.
        I j_next;
        if (DIRECT) {
            // Gathered an iteration earlier, off the way to the loads; now
            // those of the step after: lanes that step next and have entries
            // left after it, and walks starting (their first entry).
            j_next = select(L::mask(ready_next), j_ahead, self);
            M ahead = L::mask((ready_next & bits(greater(left_next, ones))) | delay1);
            j_ahead = gather_where(j_ahead, ahead, entry, lists);
            entry = sub_where(ahead, entry, ones);
        } else {
            j_next = select(L::mask(ready_next), L::load(rows + (size_t)((t + 1) & row_mask) * WIDE_ROW_INTS), self);
        }
        unsigned partner_next = ready_next & ~bits(equal(j_next, self));
        I at_next = Form::SHIFTS ? (quads ? shift_left<2>(j_next) : add(add(j_next, j_next), j_next))
                                 : mul(j_next, L::splat(space.stride));
        F xj_next, yj_next, zj_next, wj_next = zero;
        load_lane_positions<L>(base, space.idle, partner_next, at_next, &xj_next, &yj_next, &zj_next,
                               TRAVEL ? &wj_next : nullptr);
        // The previous step's stores.
        if (quads) {
            store_lane_quads<L>(base, store_partner, store_at, store_x, store_y, store_z, store_w);
            if (store_own)
                store_lane_quads<L>(base, store_own, store_own_at, own_x, own_y, own_z, own_w);
        } else {
            store_lane_positions<L>(base, store_partner, store_at, store_x, store_y, store_z);
            if (store_own)
                store_lane_positions<L>(base, store_own, store_own_at, own_x, own_y, own_z);
        }
        if (!running && next >= q.count && !waiting.count)
            break;

        // This step.
        F px, py, pz;
        M reject = lane_pair_push<L>(sub(xi, xj), sub(yi, yj), sub(zi, zj), k_coef, &px, &py, &pz);
        unsigned push = partner & ~bits(reject);
        M pushed = L::mask(push);
        xi = sub_where(pushed, xi, px);
        yi = sub_where(pushed, yi, py);
        zi = sub_where(pushed, zi, pz);
        store_partner = push;
        store_at = at;
        store_x = add(xj, px);
        store_y = add(yj, py);
        store_z = add(zj, pz);
        if (TRAVEL) {
            F length = add(add(abs(px), abs(py)), add(abs(pz), round_up));
            wi = add_where(pushed, wi, length);
            store_w = add(wj, length);
            own_w = wi;
        }
        store_own = done;
        store_own_at = self_at;
        own_x = xi;
        own_y = yi;
        own_z = zi;

        left = left_next;
        running &= ~done;
        M ended = L::mask(done);
        cx = select(ended, no_cell, cx);
        cy = select(ended, no_cell, cy);
        cz = select(ended, no_cell, cz);
        ready = ready_next;
        partner = partner_next;
        at = at_next;
        xj = xj_next;
        yj = yj_next;
        zj = zj_next;
        wj = wj_next;
        delay2 = delay1;
        delay1 = 0;
        ++t;

        // New walks in free lanes: first those waiting, in ball order, then
        // the next balls. A walk starts when it conflicts with no running
        // walk and no earlier walk still waiting; otherwise it waits.
        // A round ends when no walk can start, which stays so until a
        // running walk ends.
        refill |= done != 0;
        unsigned free_lanes = ~running & ((1u << W) - 1);
        WalkRound pick;
        while (refill && next_walk(&pick, waiting, free_lanes != 0, q, next, space)) {
            if (still_blocked(pick, running, lane_walk)) {
                hold_walk(&pick, &waiting, &next, pick.blocker, lane_walk);
                continue;
            }
            M near = both(both(less(abs(sub(cx, L::splat(pick.cell.x))), apart),
                               less(abs(sub(cy, L::splat(pick.cell.y))), apart)),
                          less(abs(sub(cz, L::splat(pick.cell.z))), apart));
            unsigned conflict = running & bits(near);
            if (!free_lanes || conflict || conflicts_waiting(waiting, pick.kept, pick.cell)) {
                if (!hold_walk(&pick, &waiting, &next, conflict ? __builtin_ctz(conflict) : -1, lane_walk))
                    break;
                continue;
            }
            next += !pick.was_waiting;
            int ball = pick.ball;
            CellCoord c = pick.cell;
            const int* list = pick.list;
            // The walk visits entries count down to stop + 1: m of them.
            int n = list[0];
            int m = n - walk_stop(q, list);
            // The list holds the ball itself; an empty one (which the lists
            // never leave) would mean a walk with nothing to visit.
            if (m <= 0)
                continue;
            int l = __builtin_ctz(free_lanes);
            lane_walk[l] = ++walks_started;
            int slot = rank ? rank[ball] : ball;
            unsigned bit = 1u << l;
            M lane = L::mask(bit);
            // t now counts the next iteration; the walk's first step is in
            // the one after.
            if (DIRECT) {
                entry = select(lane, L::splat((int)(list - lists) + n), entry);
            } else {
                for (int s = 0; s < m; ++s) {
                    int j = list[n - s];
                    rows[(size_t)((t + 2 + s) & row_mask) * WIDE_ROW_INTS + l] = rank ? rank[j] : j;
                }
            }
            self = select(lane, L::splat(slot), self);
            self_at = select(lane, L::splat(space.stride * slot), self_at);
            left = select(lane, L::splat(m), left);
            cx = select(lane, L::splat(c.x), cx);
            cy = select(lane, L::splat(c.y), cy);
            cz = select(lane, L::splat(c.z), cz);
            running |= bit;
            delay1 |= bit;
            free_lanes &= ~bit;
        }
        if (refill)
            waiting.count = pick.kept;
        refill = false;
    }
}

// The walks of q in the lanes of Form (TRAVEL as above). False, having done
// nothing, when the positions or the lists cannot be addressed by 32-bit
// offsets, or the ring cannot be had.
template <class Form, bool TRAVEL>
KSM_LANES_TARGET static bool walk_in_lanes(const WalkSequence& q, double coef, WideScratch* scratch,
                                           const WalkSpace& space, float rounding)
{
    if (space.slots > INT32_MAX / space.stride)
        return false;
    if (TRAVEL && (space.rank || space.stride != 4))
        return false;
    // Direct reads address the lists by 32-bit offsets.
    const bool direct = Form::DIRECT && !space.rank && q.list_ints < (size_t)INT32_MAX;
    if (!direct && !reserve_wide_rows(scratch, q.longest))
        return false;
    if (direct)
        run_lane_walks<Form, Form::DIRECT, TRAVEL>(q, coef, scratch, space, rounding);
    else
        run_lane_walks<Form, false, TRAVEL>(q, coef, scratch, space, rounding);
    return true;
}
