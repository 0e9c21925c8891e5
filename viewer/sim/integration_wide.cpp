// The integration step of sixteen balls at a time in AVX-512 lanes. Each lane
// performs exactly the IEEE operations of advance_ball on its ball, in the
// same order, so the results are the same bits; only the memory traffic and
// the branches differ.
#include <cstdint>
#include <vector>

#include "integration_ball.h"
#include "repulsion_walk.h"

#if defined(__GNUC__) && defined(__x86_64__)
// GCC 12's AVX-512 headers leave the undefined source of some conversions
// uninitialised on purpose and then warn about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#define KSM_STEP_WIDE __attribute__((target("avx512f,avx512vl,avx512dq")))

static const int LANES = 16;
// Blocks ahead of the one at hand whose field cells are fetched early, in a
// field too large to stay in the caches.
// Trades fetches a small field does not need against misses in a large one;
// no figure was recorded for 2 blocks and 8 MB (b161a18: the lanes alone,
// 10,000 balls, made the step about 12% faster).
static const int BLOCKS_AHEAD = 2;
static const size_t FETCH_FIELD_BYTES = (size_t)8 << 20;

// Permutations between sixteen xyz triples (three vectors of sixteen floats
// or ints, element l of component c at 3l + c) and one vector per component.
struct TripleTables {
    alignas(64) int take_low[3][LANES];   // component c from the first two vectors
    alignas(64) int take_high[3][LANES];  // the rest of it from the third
    alignas(64) int put_xy[3][LANES];     // output vector q: its x and y elements
    alignas(64) int put_z[3][LANES];      // then its z elements
};

static TripleTables make_tables()
{
    TripleTables t = {};
    for (int c = 0; c < 3; ++c)
        for (int l = 0; l < LANES; ++l) {
            int f = 3 * l + c;
            t.take_low[c][l] = f < 32 ? f : 0;
            t.take_high[c][l] = f < 32 ? l : 16 + f - 32;
        }
    for (int q = 0; q < 3; ++q)
        for (int e = 0; e < LANES; ++e) {
            int f = 16 * q + e, l = f / 3, c = f % 3;
            t.put_xy[q][e] = c == 0 ? l : c == 1 ? 16 + l : 0;
            t.put_z[q][e] = c == 2 ? 16 + l : e;
        }
    return t;
}

static const TripleTables tables = make_tables();
static_assert(sizeof(Vec3) == 12 && sizeof(CellCoord) == 12, "triples of 32-bit values");

// Sixteen triples of 32-bit values at p, one vector per component.
KSM_STEP_WIDE static inline void load_triples(const void* p, __m512i* x, __m512i* y, __m512i* z)
{
    const __m512i* v = (const __m512i*)p;
    __m512i a = _mm512_loadu_si512(v), b = _mm512_loadu_si512(v + 1), c = _mm512_loadu_si512(v + 2);
    __m512i* out[3] = {x, y, z};
    for (int k = 0; k < 3; ++k) {
        __m512i low = _mm512_permutex2var_epi32(a, _mm512_load_si512(tables.take_low[k]), b);
        *out[k] = _mm512_permutex2var_epi32(low, _mm512_load_si512(tables.take_high[k]), c);
    }
}

// The inverse: sixteen triples stored at p.
KSM_STEP_WIDE static inline void store_triples(void* p, __m512i x, __m512i y, __m512i z)
{
    __m512i* v = (__m512i*)p;
    for (int q = 0; q < 3; ++q) {
        __m512i xy = _mm512_permutex2var_epi32(x, _mm512_load_si512(tables.put_xy[q]), y);
        _mm512_storeu_si512(v + q, _mm512_permutex2var_epi32(xy, _mm512_load_si512(tables.put_z[q]), z));
    }
}

KSM_STEP_WIDE static inline __m512d low_pd(__m512 v)
{
    return _mm512_cvtps_pd(_mm512_castps512_ps256(v));
}

KSM_STEP_WIDE static inline __m512d high_pd(__m512 v)
{
    return _mm512_cvtps_pd(_mm512_extractf32x8_ps(v, 1));
}

KSM_STEP_WIDE static inline __m512 join_ps(__m512d low, __m512d high)
{
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(low)), _mm512_cvtpd_ps(high), 1);
}

// field_cell of eight coordinates already multiplied by the scale.
KSM_STEP_WIDE static inline __m256i field_cell_half(__m512d v, __m512d grid, __m256i last)
{
    __mmask8 beyond = _mm512_cmp_pd_mask(v, grid, _CMP_GE_OQ);
    __mmask8 inside = _mm512_cmp_pd_mask(v, _mm512_setzero_pd(), _CMP_GE_OQ) & (__mmask8)~beyond;
    return _mm256_mask_mov_epi32(_mm512_maskz_cvttpd_epi32(inside, v), beyond, last);
}

KSM_STEP_WIDE static inline __m512i field_cells(__m512 c, __m512d scale, __m512d grid, __m256i last)
{
    __m256i low = field_cell_half(_mm512_mul_pd(low_pd(c), scale), grid, last);
    __m256i high = field_cell_half(_mm512_mul_pd(high_pd(c), scale), grid, last);
    return _mm512_inserti32x8(_mm512_castsi256_si512(low), high, 1);
}

// Component offsets of the field cells holding the sixteen positions.
struct FieldIndexer {
    __m512d scale, grid;
    __m256i last;
    __m512i stride_x, stride_y, three;
};

KSM_STEP_WIDE static inline __m512i field_offsets(const FieldIndexer& f, __m512 x, __m512 y, __m512 z)
{
    __m512i cx = field_cells(x, f.scale, f.grid, f.last);
    __m512i cy = field_cells(y, f.scale, f.grid, f.last);
    __m512i cz = field_cells(z, f.scale, f.grid, f.last);
    return _mm512_add_epi32(_mm512_add_epi32(_mm512_mullo_epi32(cx, f.stride_x), _mm512_mullo_epi32(cy, f.stride_y)),
                            _mm512_mullo_epi32(cz, f.three));
}

// (float)((double)p - n · push), lanes of `pushed`; the others keep p.
KSM_STEP_WIDE static inline __m512 push_out(__m512 p, __m512i n, __m512d push, __mmask16 pushed)
{
    __m512d low = _mm512_sub_pd(low_pd(p), _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(n)), push));
    __m512d high =
        _mm512_sub_pd(high_pd(p), _mm512_mul_pd(_mm512_cvtepi32_pd(_mm512_extracti32x8_epi32(n, 1)), push));
    return _mm512_mask_mov_ps(p, pushed, join_ps(low, high));
}

// (float)((double)p + damp · ((double)p − q)), with fall added to the
// damped difference first when given (the y axis).
template <bool FALL>
KSM_STEP_WIDE static inline __m512 verlet(__m512 p, __m512 q, __m512d damp, __m512d fall)
{
    __m512d pl = low_pd(p), ph = high_pd(p);
    __m512d dl = _mm512_mul_pd(damp, _mm512_sub_pd(pl, low_pd(q)));
    __m512d dh = _mm512_mul_pd(damp, _mm512_sub_pd(ph, high_pd(q)));
    if (FALL) {
        dl = _mm512_add_pd(dl, fall);
        dh = _mm512_add_pd(dh, fall);
    }
    return join_ps(_mm512_add_pd(pl, dl), _mm512_add_pd(ph, dh));
}

// confine: not-a-number and below 1 become 1, above the extent the extent.
KSM_STEP_WIDE static inline __m512 confine_lanes(__m512 c, __m512 extent)
{
    const __m512 one = _mm512_set1_ps(1.0f);
    __m512 r = _mm512_mask_mov_ps(one, _mm512_cmp_ps_mask(c, one, _CMP_GE_OQ), c);
    return _mm512_mask_mov_ps(r, _mm512_cmp_ps_mask(r, extent, _CMP_GT_OQ), extent);
}

template <bool FETCH>
KSM_STEP_WIDE static int advance_blocks(const StepConstants& k, int begin, int end, std::vector<int>* moved)
{
    FieldIndexer f;
    f.scale = _mm512_set1_pd(k.scale);
    f.grid = _mm512_set1_pd((double)k.grid);
    f.last = _mm256_set1_epi32(k.grid - 1);
    f.stride_x = _mm512_set1_epi32((int)k.stride_x);
    f.stride_y = _mm512_set1_epi32((int)k.stride_y);
    f.three = _mm512_set1_epi32(3);
    const __m512d push = _mm512_set1_pd(k.push), damp = _mm512_set1_pd(k.damp), fall = _mm512_set1_pd(k.fall);
    const __m512 extent = _mm512_set1_ps(k.extent);
    const __m512i all = _mm512_set1_epi32(-1);
    Vec3* const pos = k.pos;
    Vec3* const prev = k.prev;
    const CellCoord* const cell = k.cell;

    int b = begin;
    for (; b + LANES <= end; b += LANES) {
        if (FETCH && b + (BLOCKS_AHEAD + 1) * LANES <= end) {
            __m512i ax, ay, az;
            load_triples(&pos[b + BLOCKS_AHEAD * LANES], &ax, &ay, &az);
            alignas(64) int ahead[LANES];
            _mm512_store_si512(ahead, field_offsets(f, _mm512_castsi512_ps(ax), _mm512_castsi512_ps(ay),
                                                    _mm512_castsi512_ps(az)));
            for (int l = 0; l < LANES; ++l)
                __builtin_prefetch(k.field + ahead[l]);
        }
        __m512i ix, iy, iz;
        load_triples(&pos[b], &ix, &iy, &iz);
        __m512 px = _mm512_castsi512_ps(ix), py = _mm512_castsi512_ps(iy), pz = _mm512_castsi512_ps(iz);
        load_triples(&prev[b], &ix, &iy, &iz);
        __m512 qx = _mm512_castsi512_ps(ix), qy = _mm512_castsi512_ps(iy), qz = _mm512_castsi512_ps(iz);

        // The field normal: components 0 and 1 from one 32-bit read, 1 and
        // 2 from the next, both within the cell.
        __m512i at = field_offsets(f, px, py, pz);
        __m512i n01 = _mm512_i32gather_epi32(at, (const void*)k.field, 2);
        __m512i n12 = _mm512_i32gather_epi32(_mm512_add_epi32(at, _mm512_set1_epi32(1)), (const void*)k.field, 2);
        __mmask16 pushed = _mm512_test_epi32_mask(_mm512_or_si512(n01, n12), all);
        if (pushed) {
            px = push_out(px, _mm512_srai_epi32(_mm512_slli_epi32(n01, 16), 16), push, pushed);
            py = push_out(py, _mm512_srai_epi32(n01, 16), push, pushed);
            pz = push_out(pz, _mm512_srai_epi32(n12, 16), push, pushed);
        }

        __m512 nx = confine_lanes(verlet<false>(px, qx, damp, fall), extent);
        __m512 ny = confine_lanes(verlet<true>(py, qy, damp, fall), extent);
        __m512 nz = confine_lanes(verlet<false>(pz, qz, damp, fall), extent);
        store_triples(&prev[b], _mm512_castps_si512(px), _mm512_castps_si512(py), _mm512_castps_si512(pz));
        store_triples(&pos[b], _mm512_castps_si512(nx), _mm512_castps_si512(ny), _mm512_castps_si512(nz));

        __m512i cx, cy, cz;
        load_triples(&cell[b], &cx, &cy, &cz);
        unsigned left = _mm512_cmpneq_epi32_mask(_mm512_cvttps_epi32(nx), cx) |
                        _mm512_cmpneq_epi32_mask(_mm512_cvttps_epi32(ny), cy) |
                        _mm512_cmpneq_epi32_mask(_mm512_cvttps_epi32(nz), cz);
        for (; left; left &= left - 1)
            moved->push_back(b + __builtin_ctz(left));
    }
    return b;
}

int advance_balls_wide(const StepConstants& k, int begin, int end, std::vector<int>* moved)
{
    // The same instruction sets as the sixteen-lane walks.
    static const bool supported = wide_walks_supported();
    // Offsets of field components are 32-bit in the lanes.
    if (!supported || field_cell_count((uint16_t)k.grid) * 3 > (uint64_t)INT32_MAX - 3)
        return begin;
    if (field_cell_count((uint16_t)k.grid) * 6 > FETCH_FIELD_BYTES)
        return advance_blocks<true>(k, begin, end, moved);
    return advance_blocks<false>(k, begin, end, moved);
}

#else

int advance_balls_wide(const StepConstants&, int begin, int, std::vector<int>*)
{
    return begin;
}

#endif
