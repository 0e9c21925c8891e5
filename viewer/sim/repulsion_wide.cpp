// The repulsion walks run side by side in AVX-512 lanes: same results as the
// plain walk, bit for bit. Kept apart from the plain walk so that the
// warnings this needs to silence are silenced here only.
//
// Two walks that touch disjoint sets of balls cannot see each other, so
// running them side by side gives the same bits as running them one after
// the other. Both perform exactly the same IEEE operations in the same order
// for every pair.
#include <cstdint>
#include <cstdlib>

#include "repulsion_walk.h"

#if defined(__GNUC__) && defined(__x86_64__)
// GCC 12's AVX-512 headers leave the undefined source of some conversions
// uninitialised on purpose and then warn about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

// ---------------------------------------------------------------------------
// Wide path
// ---------------------------------------------------------------------------
//
// Sixteen lanes, each running one walk. A free lane takes the next walk in
// ball order that is independent of every running walk and of every earlier
// walk still waiting; a walk that is not waits (up to WAITING_MAX of them,
// then the lanes drain until the first can start). Two walks are independent when their cells are three or more apart on some
// axis: a ball in both lists would be registered within one cell of each
// (every list includes its own ball, so neither walk touches the other's
// ball either). Hence every pair of conflicting walks still runs in ball
// order, and independent walks commute.
//
// Each iteration performs one step of every running walk: the next entry of
// its list, in the list's order. To keep the loads off the arithmetic chain,
// positions are loaded one iteration ahead and a step's stores are made one
// iteration late. That is safe for running walks, whose partners no other
// walk touches; a new walk starts two iterations after its lane was given to
// it, by when the stores of every walk that had ended are in memory.
//
// The list entries of a walk are copied at its start into a ring of rows,
// row r holding lane l's entry for iteration r, so that one vector load
// yields the entries of all lanes for one step.

#define KSM_WIDE __attribute__((target("avx512f,avx512vl,avx512dq")))

static const int WIDE_LANES = 16;
// Free lanes hold this as their cell, far from every real cell.
static const int NO_CELL = -100;

bool wide_walks_supported()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq");
}

KSM_WIDE static inline __m512 join_halves(__m256 low, __m256 high)
{
    return _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
}

KSM_WIDE static inline __m256 high_half(__m512 v)
{
    return _mm512_extractf32x8_ps(v, 1);
}

// x, y and z of the balls at float offsets at[l] for the lanes of mask, other
// lanes reading the idle slot: one 16-byte load per ball (its fourth float is
// the next ball's x, or the padding after the last ball), then a transpose.
// Cheaper here than three gathers. With w, the fourth floats as well.
KSM_WIDE static inline void load_positions(const float* base, int idle, __mmask16 mask, __m512i at, __m512* x,
                                           __m512* y, __m512* z, __m512* w = nullptr)
{
    alignas(64) int offset[WIDE_LANES];
    _mm512_store_si512(offset, _mm512_mask_mov_epi32(_mm512_set1_epi32(idle), mask, at));
    __m512 quad[4];
    // Unrolled, the four quads stay in registers instead of going through
    // the stack (about 7% of the pass).
#pragma GCC unroll 4
    for (int g = 0; g < 4; ++g) {
        __m512 v = _mm512_castps128_ps512(_mm_loadu_ps(base + offset[4 * g]));
        v = _mm512_insertf32x4(v, _mm_loadu_ps(base + offset[4 * g + 1]), 1);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(base + offset[4 * g + 2]), 2);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(base + offset[4 * g + 3]), 3);
        quad[g] = v;
    }
    const __m512i pick_xy = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
    const __m512i pick_zw = _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
    __m512 xy_low = _mm512_permutex2var_ps(quad[0], pick_xy, quad[1]);
    __m512 xy_high = _mm512_permutex2var_ps(quad[2], pick_xy, quad[3]);
    __m512 zw_low = _mm512_permutex2var_ps(quad[0], pick_zw, quad[1]);
    __m512 zw_high = _mm512_permutex2var_ps(quad[2], pick_zw, quad[3]);
    *x = _mm512_shuffle_f32x4(xy_low, xy_high, 0x44);
    *y = _mm512_shuffle_f32x4(xy_low, xy_high, 0xEE);
    *z = _mm512_shuffle_f32x4(zw_low, zw_high, 0x44);
    if (w)
        *w = _mm512_shuffle_f32x4(zw_low, zw_high, 0xEE);
}

// The same where every ball has four floats: x, y, z and w as one 16-byte
// store, which a later 16-byte load of the ball can take straight from the
// store buffer.
KSM_WIDE static inline void store_quads(float* base, __mmask16 mask, __m512i at, __m512 x, __m512 y, __m512 z,
                                        __m512 w)
{
    // Per 128-bit block k: xy_low = x4k y4k x4k+1 y4k+1, xy_high the next
    // two; quad[m] holds lane 4k + m in block k.
    __m512 xy_low = _mm512_unpacklo_ps(x, y), xy_high = _mm512_unpackhi_ps(x, y);
    __m512 z_low = _mm512_unpacklo_ps(z, w), z_high = _mm512_unpackhi_ps(z, w);
    alignas(64) float quad[4][WIDE_LANES];
    _mm512_store_pd((double*)quad[0], _mm512_unpacklo_pd(_mm512_castps_pd(xy_low), _mm512_castps_pd(z_low)));
    _mm512_store_pd((double*)quad[1], _mm512_unpackhi_pd(_mm512_castps_pd(xy_low), _mm512_castps_pd(z_low)));
    _mm512_store_pd((double*)quad[2], _mm512_unpacklo_pd(_mm512_castps_pd(xy_high), _mm512_castps_pd(z_high)));
    _mm512_store_pd((double*)quad[3], _mm512_unpackhi_pd(_mm512_castps_pd(xy_high), _mm512_castps_pd(z_high)));
    alignas(64) int offset[WIDE_LANES];
    _mm512_store_si512(offset, at);
    write_lane_quads(base, mask, offset, &quad[0][0], WIDE_LANES);
}

// Stores x, y and z of the lanes of mask at float offsets at[l].
KSM_WIDE static inline void store_positions(float* base, __mmask16 mask, __m512i at, __m512 x, __m512 y,
                                            __m512 z)
{
    alignas(64) float out_x[WIDE_LANES], out_y[WIDE_LANES], out_z[WIDE_LANES];
    alignas(64) int offset[WIDE_LANES];
    _mm512_store_ps(out_x, x);
    _mm512_store_ps(out_y, y);
    _mm512_store_ps(out_z, z);
    _mm512_store_si512(offset, at);
    write_lane_positions(base, mask, offset, out_x, out_y, out_z);
}

// DIRECT: the lanes read their list entries straight from the lists, one
// gather per step, which beats copying every list into the ring at its walk's
// start; walks that name balls through a rank copy them, translated.
// TRAVEL (four floats a ball, no rank): each push also adds its length
// |px| + |py| + |pz|, and `rounding`, to the fourth float of both balls, so
// that it ends up bounding how far each ball went during the pass.
template <bool DIRECT, bool TRAVEL>
KSM_WIDE static void run_wide_walks(const WalkSequence& q, double coef, WideScratch* scratch,
                                    const WalkSpace& space, float rounding = 0.0f)
{
    float* base = space.base;
    const int* rank = space.rank;
    const bool quads = space.stride == 4;
    int* rows = scratch->rows;
    const unsigned row_mask = (unsigned)scratch->row_mask;

    const __m512 abs_mask = _mm512_castsi512_ps(_mm512_set1_epi32(0x7fffffff));
    const __m512 two = _mm512_set1_ps(2.0f);
    const __m512 one_f = _mm512_set1_ps(1.0f);
    const __m512 min_s = _mm512_set1_ps(MIN_SQUARED_DISTANCE);
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d k_coef = _mm512_set1_pd(coef);
    const __m512i ones = _mm512_set1_epi32(1);
    const __m512i apart = _mm512_set1_epi32(3);
    const __m512i no_cell = _mm512_set1_epi32(NO_CELL);
    const __m512i zero_i = _mm512_setzero_si512();
    const __m512 zero = _mm512_setzero_ps();
    const __m512 round_up = _mm512_set1_ps(rounding);

    // Per lane: the walking ball, its float offset, its position, the
    // entries left to visit and its cell.
    __m512i self = _mm512_set1_epi32(-1), self_at = zero_i, left = zero_i;
    // DIRECT: per lane the offset in q.lists of the next entry to gather, and
    // the entry gathered ahead for the step after the next.
    const int* lists = q.lists;
    __m512i entry = zero_i, j_ahead = zero_i;
    __m512 xi = zero, yi = zero, zi = zero, wi = zero;
    __m512i cx = no_cell, cy = no_cell, cz = no_cell;
    // Lanes with a walk; lanes given a walk one and two iterations ago; lanes
    // stepping in this iteration.
    __mmask16 running = 0, delay1 = 0, delay2 = 0, ready = 0;
    // This step's partners, loaded in the previous iteration.
    __mmask16 partner = 0;
    __m512i at = zero_i;
    __m512 xj = zero, yj = zero, zj = zero, wj = zero;
    // The previous step's stores: partners, and the balls of ended walks.
    __mmask16 store_partner = 0, store_own = 0;
    __m512i store_at = zero_i, store_own_at = zero_i;
    __m512 store_x = zero, store_y = zero, store_z = zero, own_x = zero, own_y = zero, own_z = zero;
    __m512 store_w = zero, own_w = zero;
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
            // Mostly one lane: loads of its three floats, cheaper than gathers.
            alignas(64) int offset[WIDE_LANES];
            _mm512_store_si512(offset, self_at);
            for (unsigned m = delay2; m; m &= m - 1) {
                const float* p = base + offset[__builtin_ctz(m)];
                __mmask16 bit = (__mmask16)(m & -m);
                xi = _mm512_mask_mov_ps(xi, bit, _mm512_set1_ps(p[0]));
                yi = _mm512_mask_mov_ps(yi, bit, _mm512_set1_ps(p[1]));
                zi = _mm512_mask_mov_ps(zi, bit, _mm512_set1_ps(p[2]));
                if (TRAVEL)
                    wi = _mm512_mask_mov_ps(wi, bit, _mm512_set1_ps(p[3]));
            }
        }
        __m512i left_next = _mm512_mask_sub_epi32(left, ready, left, ones);
        __mmask16 done = _mm512_mask_cmple_epi32_mask(ready, left_next, zero_i);
        __mmask16 ready_next = (__mmask16)(running & ~done & ~delay1);
        // Entries and partner positions of the next step.
        __m512i j_next;
        if (DIRECT) {
            // Gathered an iteration earlier, off the way to the loads; now
            // those of the step after: lanes that step next and have entries
            // left after it, and walks starting (their first entry).
            j_next = _mm512_mask_mov_epi32(self, ready_next, j_ahead);
            __mmask16 ahead = (__mmask16)(_mm512_mask_cmpgt_epi32_mask(ready_next, left_next, ones) | delay1);
            j_ahead = _mm512_mask_i32gather_epi32(j_ahead, ahead, entry, lists, 4);
            entry = _mm512_mask_sub_epi32(entry, ahead, entry, ones);
        } else {
            j_next = _mm512_mask_mov_epi32(
                self, ready_next, _mm512_load_si512(rows + (size_t)((t + 1) & row_mask) * WIDE_ROW_INTS));
        }
        __mmask16 partner_next = _mm512_mask_cmpneq_epi32_mask(ready_next, j_next, self);
        // Offsets by shifts and adds: a multiply's latency would sit on the
        // way from the entries to the loads.
        __m512i at_next = quads ? _mm512_slli_epi32(j_next, 2)
                                : _mm512_add_epi32(_mm512_add_epi32(j_next, j_next), j_next);
        __m512 xj_next, yj_next, zj_next, wj_next = zero;
        load_positions(base, space.idle, partner_next, at_next, &xj_next, &yj_next, &zj_next,
                       TRAVEL ? &wj_next : nullptr);
        // The previous step's stores.
        if (quads) {
            store_quads(base, store_partner, store_at, store_x, store_y, store_z, store_w);
            if (store_own)
                store_quads(base, store_own, store_own_at, own_x, own_y, own_z, own_w);
        } else {
            store_positions(base, store_partner, store_at, store_x, store_y, store_z);
            if (store_own)
                store_positions(base, store_own, store_own_at, own_x, own_y, own_z);
        }
        if (!running && next >= q.count && !waiting.count)
            break;

        // This step, lane by lane the same operations as repel_one. The
        // rejections compare as there: false with not-a-number.
        __m512 dx = _mm512_sub_ps(xi, xj);
        __m512 dy = _mm512_sub_ps(yi, yj);
        __m512 dz = _mm512_sub_ps(zi, zj);
        __mmask16 reject = _mm512_cmp_ps_mask(_mm512_and_ps(dx, abs_mask), two, _CMP_GE_OQ) |
                           _mm512_cmp_ps_mask(_mm512_and_ps(dy, abs_mask), two, _CMP_GE_OQ) |
                           _mm512_cmp_ps_mask(_mm512_and_ps(dz, abs_mask), two, _CMP_GE_OQ);
        __m512d dx_low = _mm512_cvtps_pd(_mm512_castps512_ps256(dx)), dx_high = _mm512_cvtps_pd(high_half(dx));
        __m512d dy_low = _mm512_cvtps_pd(_mm512_castps512_ps256(dy)), dy_high = _mm512_cvtps_pd(high_half(dy));
        __m512d dz_low = _mm512_cvtps_pd(_mm512_castps512_ps256(dz)), dz_high = _mm512_cvtps_pd(high_half(dz));
        __m512d sum_low = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dx_low, dx_low), _mm512_mul_pd(dy_low, dy_low)),
                                        _mm512_mul_pd(dz_low, dz_low));
        __m512d sum_high = _mm512_add_pd(
            _mm512_add_pd(_mm512_mul_pd(dx_high, dx_high), _mm512_mul_pd(dy_high, dy_high)),
            _mm512_mul_pd(dz_high, dz_high));
        __m512 s2 = join_halves(_mm512_cvtpd_ps(sum_low), _mm512_cvtpd_ps(sum_high));
        reject |= _mm512_cmp_ps_mask(s2, one_f, _CMP_GT_OQ);
        __mmask16 push = partner & (__mmask16)~reject;
        s2 = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(s2, min_s, _CMP_LT_OQ), s2, min_s);
        __m256 u_low = _mm512_cvtpd_ps(
            _mm512_sub_pd(one, _mm512_div_pd(one, _mm512_cvtps_pd(_mm512_castps512_ps256(s2)))));
        __m256 u_high = _mm512_cvtpd_ps(_mm512_sub_pd(one, _mm512_div_pd(one, _mm512_cvtps_pd(high_half(s2)))));
        __m512d ud_low = _mm512_cvtps_pd(u_low), ud_high = _mm512_cvtps_pd(u_high);
        __m512 px = join_halves(_mm512_cvtpd_ps(_mm512_mul_pd(k_coef, _mm512_mul_pd(dx_low, ud_low))),
                                _mm512_cvtpd_ps(_mm512_mul_pd(k_coef, _mm512_mul_pd(dx_high, ud_high))));
        __m512 py = join_halves(_mm512_cvtpd_ps(_mm512_mul_pd(k_coef, _mm512_mul_pd(dy_low, ud_low))),
                                _mm512_cvtpd_ps(_mm512_mul_pd(k_coef, _mm512_mul_pd(dy_high, ud_high))));
        __m512 pz = join_halves(_mm512_cvtpd_ps(_mm512_mul_pd(k_coef, _mm512_mul_pd(dz_low, ud_low))),
                                _mm512_cvtpd_ps(_mm512_mul_pd(k_coef, _mm512_mul_pd(dz_high, ud_high))));
        xi = _mm512_mask_sub_ps(xi, push, xi, px);
        yi = _mm512_mask_sub_ps(yi, push, yi, py);
        zi = _mm512_mask_sub_ps(zi, push, zi, pz);
        store_partner = push;
        store_at = at;
        store_x = _mm512_add_ps(xj, px);
        store_y = _mm512_add_ps(yj, py);
        store_z = _mm512_add_ps(zj, pz);
        if (TRAVEL) {
            __m512 length = _mm512_add_ps(
                _mm512_add_ps(_mm512_and_ps(px, abs_mask), _mm512_and_ps(py, abs_mask)),
                _mm512_add_ps(_mm512_and_ps(pz, abs_mask), round_up));
            wi = _mm512_mask_add_ps(wi, push, wi, length);
            store_w = _mm512_add_ps(wj, length);
            own_w = wi;
        }
        store_own = done;
        store_own_at = self_at;
        own_x = xi;
        own_y = yi;
        own_z = zi;

        left = left_next;
        running &= (__mmask16)~done;
        cx = _mm512_mask_mov_epi32(cx, done, no_cell);
        cy = _mm512_mask_mov_epi32(cy, done, no_cell);
        cz = _mm512_mask_mov_epi32(cz, done, no_cell);
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
        __mmask16 free_lanes = (__mmask16)~running;
        WalkRound pick;
        while (refill && next_walk(&pick, waiting, free_lanes != 0, q, next, space)) {
            if (still_blocked(pick, running, lane_walk)) {
                hold_walk(&pick, &waiting, &next, pick.blocker, lane_walk);
                continue;
            }
            __mmask16 conflict = _mm512_mask_cmplt_epi32_mask(
                running, _mm512_abs_epi32(_mm512_sub_epi32(cx, _mm512_set1_epi32(pick.cell.x))), apart);
            conflict = _mm512_mask_cmplt_epi32_mask(
                conflict, _mm512_abs_epi32(_mm512_sub_epi32(cy, _mm512_set1_epi32(pick.cell.y))), apart);
            conflict = _mm512_mask_cmplt_epi32_mask(
                conflict, _mm512_abs_epi32(_mm512_sub_epi32(cz, _mm512_set1_epi32(pick.cell.z))), apart);
            if (!free_lanes || conflict || conflicts_waiting(waiting, pick.kept, pick.cell)) {
                if (!hold_walk(&pick, &waiting, &next, conflict ? __builtin_ctz(conflict) : -1, lane_walk))
                    break;
                continue;
            }
            next += !pick.was_waiting;
            int ball = pick.ball;
            CellCoord c = pick.cell;
            const int* list = pick.list;
            int n = list[0];
            // The list holds the ball itself; an empty one (which the lists
            // never leave) would mean a walk with nothing to visit.
            if (n <= 0)
                continue;
            int l = __builtin_ctz(free_lanes);
            lane_walk[l] = ++walks_started;
            int slot = rank ? rank[ball] : ball;
            __mmask16 bit = (__mmask16)(1u << l);
            // t now counts the next iteration; the walk's first step is in
            // the one after.
            if (DIRECT) {
                entry = _mm512_mask_mov_epi32(entry, bit, _mm512_set1_epi32((int)(list - lists) + n));
            } else {
                for (int s = 0; s < n; ++s) {
                    int j = list[n - s];
                    rows[(size_t)((t + 2 + s) & row_mask) * WIDE_ROW_INTS + l] = rank ? rank[j] : j;
                }
            }
            self = _mm512_mask_mov_epi32(self, bit, _mm512_set1_epi32(slot));
            self_at = _mm512_mask_mov_epi32(self_at, bit, _mm512_set1_epi32(space.stride * slot));
            left = _mm512_mask_mov_epi32(left, bit, _mm512_set1_epi32(n));
            cx = _mm512_mask_mov_epi32(cx, bit, _mm512_set1_epi32(c.x));
            cy = _mm512_mask_mov_epi32(cy, bit, _mm512_set1_epi32(c.y));
            cz = _mm512_mask_mov_epi32(cz, bit, _mm512_set1_epi32(c.z));
            running |= bit;
            delay1 |= bit;
            free_lanes &= (__mmask16)~bit;
        }
        if (refill)
            waiting.count = pick.kept;
        refill = false;
    }
}

bool repel_wide16(const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space)
{
    // Lanes address positions by 32-bit float offsets.
    if (space.balls > INT32_MAX / space.stride || !reserve_wide_rows(scratch, q.longest))
        return false;
    // Direct reads address the lists by 32-bit offsets.
    if (!space.rank && q.lists_32bit)
        run_wide_walks<true, false>(q, coef, scratch, space);
    else
        run_wide_walks<false, false>(q, coef, scratch, space);
    return true;
}

bool repel_wide16_travel(const WalkSequence& q, double coef, float rounding, WideScratch* scratch,
                         const WalkSpace& space)
{
    static const bool supported = wide_walks_supported();
    if (!supported || space.rank || space.stride != 4 || q.table_lists || space.balls > INT32_MAX / 4 ||
        !reserve_wide_rows(scratch, q.longest))
        return false;
    run_wide_walks<true, true>(q, coef, scratch, space, rounding);
    return true;
}

#else

bool wide_walks_supported()
{
    return false;
}

bool repel_wide16(const WalkSequence&, double, WideScratch*, const WalkSpace&)
{
    return false;
}

bool repel_wide16_travel(const WalkSequence&, double, float, WideScratch*, const WalkSpace&)
{
    return false;
}

#endif

void free_wide_scratch(WideScratch* scratch)
{
    std::free(scratch->rows);
    scratch->rows = nullptr;
    scratch->row_mask = 0;
}

bool reserve_wide_rows(WideScratch* scratch, int longest)
{
    int rows = 1;
    while (rows < longest + 4) {
        if (rows > (1 << 24))
            return false;
        rows <<= 1;
    }
    if (scratch->rows && rows - 1 <= scratch->row_mask)
        return true;
    std::free(scratch->rows);
    scratch->rows = (int*)std::aligned_alloc(64, (size_t)rows * WIDE_ROW_INTS * sizeof(int));
    scratch->row_mask = scratch->rows ? rows - 1 : 0;
    return scratch->rows != nullptr;
}
