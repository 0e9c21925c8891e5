// The repulsion walks side by side in eight AVX2 lanes, for processors
// without AVX-512: same results as the plain walk, bit for bit. The schedule
// is that of the sixteen-lane form (repulsion_wide.cpp): a free lane takes
// the next walk in ball order that is independent of every running walk and
// every earlier waiting one, positions are loaded one iteration ahead, a step's stores are made one
// iteration late, and a new walk starts two iterations after it was given its
// lane. AVX2 has no mask registers, so lane masks are plain bit sets, turned
// into vector masks where a blend needs them.
#include <cstdint>
#include <cstdlib>

#include "repulsion_walk.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>

#define KSM_WIDE8 __attribute__((target("avx2")))

static const int LANES = 8;
// Free lanes hold this as their cell, far from every real cell.
static const int NO_CELL = -100;

bool wide8_walks_supported()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

// Vector mask (all bits set in the lanes of `bits`) and back.
KSM_WIDE8 static inline __m256i lanes_vector(unsigned bits)
{
    const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32((int)bits), lane_bit), lane_bit);
}
KSM_WIDE8 static inline unsigned lanes_of(__m256 v)
{
    return (unsigned)_mm256_movemask_ps(v);
}
KSM_WIDE8 static inline unsigned lanes_of(__m256i v)
{
    return (unsigned)_mm256_movemask_ps(_mm256_castsi256_ps(v));
}

KSM_WIDE8 static inline __m256 join_halves(__m128 low, __m128 high)
{
    return _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
}

// x, y and z of the balls at float offsets at[l] for the lanes of mask,
// other lanes reading the idle slot: one 16-byte load per ball (its fourth
// float is the next ball's x, or the padding after the last ball), then a
// transpose. With w, the fourth floats as well.
KSM_WIDE8 static inline void load_positions(const float* base, int idle, unsigned mask, __m256i at, __m256* x,
                                            __m256* y, __m256* z, __m256* w = nullptr)
{
    alignas(32) int offset[LANES];
    _mm256_store_si256((__m256i*)offset, _mm256_blendv_epi8(_mm256_set1_epi32(idle), at, lanes_vector(mask)));
    __m256 v[4];
    // Unrolled, the four halves stay in registers instead of going through
    // the stack.
#pragma GCC unroll 4
    for (int g = 0; g < 4; ++g)
        v[g] = join_halves(_mm_loadu_ps(base + offset[g]), _mm_loadu_ps(base + offset[g + 4]));
    __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]);  // x0 x1 y0 y1 | x4 x5 y4 y5
    __m256 t1 = _mm256_unpackhi_ps(v[0], v[1]);  // z0 z1 .. .. | z4 z5 .. ..
    __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]);
    __m256 t3 = _mm256_unpackhi_ps(v[2], v[3]);
    *x = _mm256_shuffle_ps(t0, t2, 0x44);
    *y = _mm256_shuffle_ps(t0, t2, 0xEE);
    *z = _mm256_shuffle_ps(t1, t3, 0x44);
    if (w)
        *w = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// Stores x, y and z of the lanes of mask at float offsets at[l].
KSM_WIDE8 static inline void store_positions(float* base, unsigned mask, __m256i at, __m256 x, __m256 y,
                                             __m256 z)
{
    alignas(32) float out_x[LANES], out_y[LANES], out_z[LANES];
    alignas(32) int offset[LANES];
    _mm256_store_ps(out_x, x);
    _mm256_store_ps(out_y, y);
    _mm256_store_ps(out_z, z);
    _mm256_store_si256((__m256i*)offset, at);
    write_lane_positions(base, mask, offset, out_x, out_y, out_z);
}

// The same where every ball has four floats: x, y, z and w as one 16-byte
// store, which a later 16-byte load of the ball can take straight from the
// store buffer.
KSM_WIDE8 static inline void store_quads(float* base, unsigned mask, __m256i at, __m256 x, __m256 y, __m256 z,
                                         __m256 w)
{
    // Per 128-bit block k: xy_low = x4k y4k x4k+1 y4k+1, xy_high the next
    // two; quad[m] holds lane 4k + m in block k.
    __m256 xy_low = _mm256_unpacklo_ps(x, y), xy_high = _mm256_unpackhi_ps(x, y);
    __m256 z_low = _mm256_unpacklo_ps(z, w), z_high = _mm256_unpackhi_ps(z, w);
    alignas(32) float quad[4][LANES];
    _mm256_store_pd((double*)quad[0], _mm256_unpacklo_pd(_mm256_castps_pd(xy_low), _mm256_castps_pd(z_low)));
    _mm256_store_pd((double*)quad[1], _mm256_unpackhi_pd(_mm256_castps_pd(xy_low), _mm256_castps_pd(z_low)));
    _mm256_store_pd((double*)quad[2], _mm256_unpacklo_pd(_mm256_castps_pd(xy_high), _mm256_castps_pd(z_high)));
    _mm256_store_pd((double*)quad[3], _mm256_unpackhi_pd(_mm256_castps_pd(xy_high), _mm256_castps_pd(z_high)));
    alignas(32) int offset[LANES];
    _mm256_store_si256((__m256i*)offset, at);
    write_lane_quads(base, mask, offset, &quad[0][0], LANES);
}

// The pushes of one step in every lane, with the operations of repel_one:
// the lanes in `push` are those whose pair is accepted.
struct Pushes {
    __m256 x, y, z;
    unsigned push;
};

KSM_WIDE8 static inline __m256d widen_low(__m256 v)
{
    return _mm256_cvtps_pd(_mm256_castps256_ps128(v));
}
KSM_WIDE8 static inline __m256d widen_high(__m256 v)
{
    return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
}

// coef · (d · u) rounded to float, lane by lane.
KSM_WIDE8 static inline __m256 push_along(__m256 d, __m256d u_low, __m256d u_high, __m256d coef)
{
    return join_halves(_mm256_cvtpd_ps(_mm256_mul_pd(coef, _mm256_mul_pd(widen_low(d), u_low))),
                       _mm256_cvtpd_ps(_mm256_mul_pd(coef, _mm256_mul_pd(widen_high(d), u_high))));
}

KSM_WIDE8 static inline Pushes step_pushes(__m256 dx, __m256 dy, __m256 dz, unsigned partner, __m256d coef)
{
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 two = _mm256_set1_ps(2.0f);
    const __m256 one_f = _mm256_set1_ps(1.0f);
    const __m256 min_s = _mm256_set1_ps(MIN_SQUARED_DISTANCE);
    const __m256d one = _mm256_set1_pd(1.0);
    // The rejections compare as there: false with not-a-number.
    __m256 reject = _mm256_or_ps(
        _mm256_or_ps(_mm256_cmp_ps(_mm256_and_ps(dx, abs_mask), two, _CMP_GE_OQ),
                     _mm256_cmp_ps(_mm256_and_ps(dy, abs_mask), two, _CMP_GE_OQ)),
        _mm256_cmp_ps(_mm256_and_ps(dz, abs_mask), two, _CMP_GE_OQ));
    __m256d dx_low = widen_low(dx), dx_high = widen_high(dx);
    __m256d dy_low = widen_low(dy), dy_high = widen_high(dy);
    __m256d dz_low = widen_low(dz), dz_high = widen_high(dz);
    __m256d sum_low = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx_low, dx_low), _mm256_mul_pd(dy_low, dy_low)),
                                    _mm256_mul_pd(dz_low, dz_low));
    __m256d sum_high = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx_high, dx_high), _mm256_mul_pd(dy_high, dy_high)),
                                     _mm256_mul_pd(dz_high, dz_high));
    __m256 s2 = join_halves(_mm256_cvtpd_ps(sum_low), _mm256_cvtpd_ps(sum_high));
    reject = _mm256_or_ps(reject, _mm256_cmp_ps(s2, one_f, _CMP_GT_OQ));
    s2 = _mm256_blendv_ps(s2, min_s, _mm256_cmp_ps(s2, min_s, _CMP_LT_OQ));
    __m128 u_low = _mm256_cvtpd_ps(_mm256_sub_pd(one, _mm256_div_pd(one, widen_low(s2))));
    __m128 u_high = _mm256_cvtpd_ps(_mm256_sub_pd(one, _mm256_div_pd(one, widen_high(s2))));
    __m256d ud_low = _mm256_cvtps_pd(u_low), ud_high = _mm256_cvtps_pd(u_high);
    Pushes p;
    p.x = push_along(dx, ud_low, ud_high, coef);
    p.y = push_along(dy, ud_low, ud_high, coef);
    p.z = push_along(dz, ud_low, ud_high, coef);
    p.push = partner & ~lanes_of(reject);
    return p;
}

// TRAVEL (four floats a ball, no rank): each push also adds its length
// |px| + |py| + |pz|, and `rounding`, to the fourth float of both balls.
template <bool TRAVEL>
KSM_WIDE8 static void run_wide8_walks(const WalkSequence& q, double coef, WideScratch* scratch,
                                      const WalkSpace& space, float rounding = 0.0f)
{
    float* base = space.base;
    const int* rank = space.rank;
    const bool quads = space.stride == 4;
    int* rows = scratch->rows;
    const unsigned row_mask = (unsigned)scratch->row_mask;

    const __m256d k_coef = _mm256_set1_pd(coef);
    const __m256i stride = _mm256_set1_epi32(space.stride);
    const __m256i ones = _mm256_set1_epi32(1);
    const __m256i apart = _mm256_set1_epi32(3);
    const __m256i no_cell = _mm256_set1_epi32(NO_CELL);
    const __m256i zero_i = _mm256_setzero_si256();
    const __m256 zero = _mm256_setzero_ps();
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 round_up = _mm256_set1_ps(rounding);

    // Per lane: the walking ball, its float offset, its position, the
    // entries left to visit and its cell.
    __m256i self = _mm256_set1_epi32(-1), self_at = zero_i, left = zero_i;
    __m256 xi = zero, yi = zero, zi = zero, wi = zero;
    __m256i cx = no_cell, cy = no_cell, cz = no_cell;
    // Lanes with a walk; lanes given a walk one and two iterations ago; lanes
    // stepping in this iteration.
    unsigned running = 0, delay1 = 0, delay2 = 0, ready = 0;
    // This step's partners, loaded in the previous iteration.
    unsigned partner = 0;
    __m256i at = zero_i;
    __m256 xj = zero, yj = zero, zj = zero, wj = zero;
    // The previous step's stores: partners, and the balls of ended walks.
    unsigned store_partner = 0, store_own = 0;
    __m256i store_at = zero_i, store_own_at = zero_i;
    __m256 store_x = zero, store_y = zero, store_z = zero, own_x = zero, own_y = zero, own_z = zero;
    __m256 store_w = zero, own_w = zero;
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
            __m256 x, y, z, w = zero;
            load_positions(base, space.idle, delay2, self_at, &x, &y, &z, TRAVEL ? &w : nullptr);
            __m256 starting = _mm256_castsi256_ps(lanes_vector(delay2));
            xi = _mm256_blendv_ps(xi, x, starting);
            yi = _mm256_blendv_ps(yi, y, starting);
            zi = _mm256_blendv_ps(zi, z, starting);
            if (TRAVEL)
                wi = _mm256_blendv_ps(wi, w, starting);
        }
        __m256i left_next = _mm256_sub_epi32(left, _mm256_and_si256(lanes_vector(ready), ones));
        unsigned done = ready & lanes_of(_mm256_cmpgt_epi32(ones, left_next));
        unsigned ready_next = running & ~done & ~delay1;
        // Entries and partner positions of the next step.
        __m256i j_next = _mm256_blendv_epi8(
            self, _mm256_load_si256((const __m256i*)(rows + (size_t)((t + 1) & row_mask) * WIDE_ROW_INTS)),
            lanes_vector(ready_next));
        unsigned partner_next = ready_next & ~lanes_of(_mm256_cmpeq_epi32(j_next, self));
        __m256i at_next = _mm256_mullo_epi32(j_next, stride);
        __m256 xj_next, yj_next, zj_next, wj_next = zero;
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

        // This step.
        Pushes p = step_pushes(_mm256_sub_ps(xi, xj), _mm256_sub_ps(yi, yj), _mm256_sub_ps(zi, zj), partner,
                               k_coef);
        __m256 pushed = _mm256_castsi256_ps(lanes_vector(p.push));
        xi = _mm256_blendv_ps(xi, _mm256_sub_ps(xi, p.x), pushed);
        yi = _mm256_blendv_ps(yi, _mm256_sub_ps(yi, p.y), pushed);
        zi = _mm256_blendv_ps(zi, _mm256_sub_ps(zi, p.z), pushed);
        store_partner = p.push;
        store_at = at;
        store_x = _mm256_add_ps(xj, p.x);
        store_y = _mm256_add_ps(yj, p.y);
        store_z = _mm256_add_ps(zj, p.z);
        if (TRAVEL) {
            __m256 length = _mm256_add_ps(_mm256_add_ps(_mm256_and_ps(p.x, abs_mask), _mm256_and_ps(p.y, abs_mask)),
                                          _mm256_add_ps(_mm256_and_ps(p.z, abs_mask), round_up));
            wi = _mm256_blendv_ps(wi, _mm256_add_ps(wi, length), pushed);
            store_w = _mm256_add_ps(wj, length);
            own_w = wi;
        }
        store_own = done;
        store_own_at = self_at;
        own_x = xi;
        own_y = yi;
        own_z = zi;

        left = left_next;
        running &= ~done;
        __m256i ended = lanes_vector(done);
        cx = _mm256_blendv_epi8(cx, no_cell, ended);
        cy = _mm256_blendv_epi8(cy, no_cell, ended);
        cz = _mm256_blendv_epi8(cz, no_cell, ended);
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
        unsigned free_lanes = ~running & ((1u << LANES) - 1);
        WalkRound pick;
        while (refill && next_walk(&pick, waiting, free_lanes != 0, q, next, space)) {
            if (still_blocked(pick, running, lane_walk)) {
                hold_walk(&pick, &waiting, &next, pick.blocker, lane_walk);
                continue;
            }
            __m256i near_x =
                _mm256_cmpgt_epi32(apart, _mm256_abs_epi32(_mm256_sub_epi32(cx, _mm256_set1_epi32(pick.cell.x))));
            __m256i near_y =
                _mm256_cmpgt_epi32(apart, _mm256_abs_epi32(_mm256_sub_epi32(cy, _mm256_set1_epi32(pick.cell.y))));
            __m256i near_z =
                _mm256_cmpgt_epi32(apart, _mm256_abs_epi32(_mm256_sub_epi32(cz, _mm256_set1_epi32(pick.cell.z))));
            unsigned conflict = running & lanes_of(_mm256_and_si256(_mm256_and_si256(near_x, near_y), near_z));
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
            unsigned bit = 1u << l;
            // t now counts the next iteration; the walk's first step is in
            // the one after.
            for (int s = 0; s < n; ++s) {
                int j = list[n - s];
                rows[(size_t)((t + 2 + s) & row_mask) * WIDE_ROW_INTS + l] = rank ? rank[j] : j;
            }
            __m256i lane = lanes_vector(bit);
            self = _mm256_blendv_epi8(self, _mm256_set1_epi32(slot), lane);
            self_at = _mm256_blendv_epi8(self_at, _mm256_set1_epi32(space.stride * slot), lane);
            left = _mm256_blendv_epi8(left, _mm256_set1_epi32(n), lane);
            cx = _mm256_blendv_epi8(cx, _mm256_set1_epi32(c.x), lane);
            cy = _mm256_blendv_epi8(cy, _mm256_set1_epi32(c.y), lane);
            cz = _mm256_blendv_epi8(cz, _mm256_set1_epi32(c.z), lane);
            running |= bit;
            delay1 |= bit;
            free_lanes &= ~bit;
        }
        if (refill)
            waiting.count = pick.kept;
        refill = false;
    }
}

bool repel_wide8(const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space)
{
    // Lanes address positions by 32-bit float offsets.
    if (space.balls > INT32_MAX / space.stride || !reserve_wide_rows(scratch, q.longest))
        return false;
    run_wide8_walks<false>(q, coef, scratch, space);
    return true;
}

bool repel_wide8_travel(const WalkSequence& q, double coef, float rounding, WideScratch* scratch,
                        const WalkSpace& space)
{
    static const bool supported = wide8_walks_supported();
    if (!supported || space.rank || space.stride != 4 || space.balls > INT32_MAX / 4 ||
        !reserve_wide_rows(scratch, q.longest))
        return false;
    run_wide8_walks<true>(q, coef, scratch, space, rounding);
    return true;
}

#else

bool wide8_walks_supported()
{
    return false;
}

bool repel_wide8(const WalkSequence&, double, WideScratch*, const WalkSpace&)
{
    return false;
}

bool repel_wide8_travel(const WalkSequence&, double, float, WideScratch*, const WalkSpace&)
{
    return false;
}

#endif
