// Vector lanes for the simulation's wide kernels: one record per width, with
// the few operations the kernels need as always-inline free functions, so
// that a kernel is written once as a template over the width and compiles to
// the intrinsics a hand-written form would use.
//
// Lanes16: sixteen floats or ints in AVX-512 (F, VL, DQ); its masks are
// AVX-512 mask registers. Lanes8: eight in AVX2; its masks are vectors with
// all bits set in the lanes of the mask. In both, D holds half the lanes in
// double (the low or the high half of an F).
//
// Every function carries its width's target: a kernel that uses them must
// carry it too (KSM_LANES16_TARGET, KSM_LANES8_TARGET), and must only run
// where the processor has it (a runtime check picks the kernel). Nothing here
// reads or writes memory but through the pointers given.
#pragma once

#if defined(__GNUC__) && defined(__x86_64__)
#define KSM_HAVE_LANES 1

// GCC 12's AVX-512 headers leave the undefined source of some conversions
// uninitialised on purpose and then warn about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#define KSM_LANES16_TARGET __attribute__((target("avx512f,avx512vl,avx512dq")))
#define KSM_LANES8_TARGET __attribute__((target("avx2")))
#define KSM_LANE16 KSM_LANES16_TARGET __attribute__((always_inline)) inline
#define KSM_LANE8 KSM_LANES8_TARGET __attribute__((always_inline)) inline

// ---------------------------------------------------------------------------
// Sixteen lanes, AVX-512
// ---------------------------------------------------------------------------

struct Floats16 { __m512 v; };
struct Ints16 { __m512i v; };
struct Doubles16 { __m512d v; };
struct Mask16 { __mmask16 m; };

struct Lanes16 {
    static const int WIDTH = 16;
    typedef Floats16 F;
    typedef Ints16 I;
    typedef Doubles16 D;
    typedef Mask16 M;
    KSM_LANE16 static F splat(float x) { return F{_mm512_set1_ps(x)}; }
    KSM_LANE16 static I splat(int x) { return I{_mm512_set1_epi32(x)}; }
    KSM_LANE16 static D splat(double x) { return D{_mm512_set1_pd(x)}; }
    // The lanes of bit set `bits`.
    KSM_LANE16 static M mask(unsigned bits) { return M{(__mmask16)bits}; }
    // From 64-byte aligned memory.
    KSM_LANE16 static I load(const int* p) { return I{_mm512_load_si512(p)}; }
    // The lanes of m from p (unaligned), zero in the others, which are not read.
    KSM_LANE16 static I load_where(M m, const int* p) { return I{_mm512_maskz_loadu_epi32(m.m, p)}; }
    KSM_LANE16 static F load_where(M m, const float* p) { return F{_mm512_maskz_loadu_ps(m.m, p)}; }
};

KSM_LANE16 Floats16 add(Floats16 a, Floats16 b) { return {_mm512_add_ps(a.v, b.v)}; }
KSM_LANE16 Floats16 sub(Floats16 a, Floats16 b) { return {_mm512_sub_ps(a.v, b.v)}; }
KSM_LANE16 Floats16 mul(Floats16 a, Floats16 b) { return {_mm512_mul_ps(a.v, b.v)}; }
KSM_LANE16 Floats16 abs(Floats16 a) { return {_mm512_and_ps(a.v, _mm512_castsi512_ps(_mm512_set1_epi32(0x7fffffff)))}; }
KSM_LANE16 Doubles16 add(Doubles16 a, Doubles16 b) { return {_mm512_add_pd(a.v, b.v)}; }
KSM_LANE16 Doubles16 sub(Doubles16 a, Doubles16 b) { return {_mm512_sub_pd(a.v, b.v)}; }
KSM_LANE16 Doubles16 mul(Doubles16 a, Doubles16 b) { return {_mm512_mul_pd(a.v, b.v)}; }
KSM_LANE16 Doubles16 div(Doubles16 a, Doubles16 b) { return {_mm512_div_pd(a.v, b.v)}; }
// The larger and the smaller of a and b; b where either is not a number.
KSM_LANE16 Doubles16 max(Doubles16 a, Doubles16 b) { return {_mm512_max_pd(a.v, b.v)}; }
KSM_LANE16 Doubles16 min(Doubles16 a, Doubles16 b) { return {_mm512_min_pd(a.v, b.v)}; }
KSM_LANE16 Ints16 add(Ints16 a, Ints16 b) { return {_mm512_add_epi32(a.v, b.v)}; }
KSM_LANE16 Ints16 sub(Ints16 a, Ints16 b) { return {_mm512_sub_epi32(a.v, b.v)}; }
KSM_LANE16 Ints16 mul(Ints16 a, Ints16 b) { return {_mm512_mullo_epi32(a.v, b.v)}; }
KSM_LANE16 Ints16 abs(Ints16 a) { return {_mm512_abs_epi32(a.v)}; }
KSM_LANE16 Ints16 either(Ints16 a, Ints16 b) { return {_mm512_or_si512(a.v, b.v)}; }
template <int N> KSM_LANE16 Ints16 shift_left(Ints16 a) { return {_mm512_slli_epi32(a.v, N)}; }
// Arithmetic: the sign bit fills in.
template <int N> KSM_LANE16 Ints16 shift_right(Ints16 a) { return {_mm512_srai_epi32(a.v, N)}; }

// a − b in the lanes of m, a in the others; the same for a + b.
KSM_LANE16 Floats16 sub_where(Mask16 m, Floats16 a, Floats16 b) { return {_mm512_mask_sub_ps(a.v, m.m, a.v, b.v)}; }
KSM_LANE16 Floats16 add_where(Mask16 m, Floats16 a, Floats16 b) { return {_mm512_mask_add_ps(a.v, m.m, a.v, b.v)}; }
KSM_LANE16 Ints16 sub_where(Mask16 m, Ints16 a, Ints16 b) { return {_mm512_mask_sub_epi32(a.v, m.m, a.v, b.v)}; }

// Comparisons as C++ compares floats: false with not-a-number.
KSM_LANE16 Mask16 less(Floats16 a, Floats16 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LT_OQ)}; }
KSM_LANE16 Mask16 greater(Floats16 a, Floats16 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GT_OQ)}; }
KSM_LANE16 Mask16 at_least(Floats16 a, Floats16 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GE_OQ)}; }
KSM_LANE16 Mask16 at_most(Floats16 a, Floats16 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LE_OQ)}; }
KSM_LANE16 Mask16 less(Ints16 a, Ints16 b) { return {_mm512_cmplt_epi32_mask(a.v, b.v)}; }
KSM_LANE16 Mask16 at_most(Ints16 a, Ints16 b) { return {_mm512_cmple_epi32_mask(a.v, b.v)}; }
KSM_LANE16 Mask16 greater(Ints16 a, Ints16 b) { return {_mm512_cmpgt_epi32_mask(a.v, b.v)}; }
KSM_LANE16 Mask16 equal(Ints16 a, Ints16 b) { return {_mm512_cmpeq_epi32_mask(a.v, b.v)}; }
KSM_LANE16 Mask16 unequal(Ints16 a, Ints16 b) { return {_mm512_cmpneq_epi32_mask(a.v, b.v)}; }

KSM_LANE16 Mask16 both(Mask16 a, Mask16 b) { return {(__mmask16)(a.m & b.m)}; }
KSM_LANE16 Mask16 either(Mask16 a, Mask16 b) { return {(__mmask16)(a.m | b.m)}; }
KSM_LANE16 unsigned bits(Mask16 m) { return m.m; }

// a in the lanes of m, b in the others.
KSM_LANE16 Floats16 select(Mask16 m, Floats16 a, Floats16 b) { return {_mm512_mask_mov_ps(b.v, m.m, a.v)}; }
KSM_LANE16 Ints16 select(Mask16 m, Ints16 a, Ints16 b) { return {_mm512_mask_mov_epi32(b.v, m.m, a.v)}; }

// The low and the high half of a in double, exactly; and back, each value
// rounded to float.
KSM_LANE16 Doubles16 widen_low(Floats16 a) { return {_mm512_cvtps_pd(_mm512_castps512_ps256(a.v))}; }
KSM_LANE16 Doubles16 widen_high(Floats16 a) { return {_mm512_cvtps_pd(_mm512_extractf32x8_ps(a.v, 1))}; }
KSM_LANE16 Floats16 narrow(Doubles16 low, Doubles16 high)
{
    return {_mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(low.v)), _mm512_cvtpd_ps(high.v), 1)};
}
// (double)(float)a.
KSM_LANE16 Doubles16 round_to_float(Doubles16 a) { return {_mm512_cvtps_pd(_mm512_cvtpd_ps(a.v))}; }
KSM_LANE16 Doubles16 widen_low(Ints16 a) { return {_mm512_cvtepi32_pd(_mm512_castsi512_si256(a.v))}; }
KSM_LANE16 Doubles16 widen_high(Ints16 a) { return {_mm512_cvtepi32_pd(_mm512_extracti32x8_epi32(a.v, 1))}; }
// Towards zero; the values must fit.
KSM_LANE16 Ints16 truncate(Floats16 a) { return {_mm512_cvttps_epi32(a.v)}; }
KSM_LANE16 Ints16 truncate(Doubles16 low, Doubles16 high)
{
    return {_mm512_inserti32x8(_mm512_castsi256_si512(_mm512_cvttpd_epi32(low.v)), _mm512_cvttpd_epi32(high.v), 1)};
}
KSM_LANE16 Floats16 as_floats(Ints16 a) { return {_mm512_castsi512_ps(a.v)}; }
KSM_LANE16 Ints16 as_ints(Floats16 a) { return {_mm512_castps_si512(a.v)}; }

// To 64-byte aligned memory.
KSM_LANE16 void store(float* p, Floats16 a) { _mm512_store_ps(p, a.v); }
KSM_LANE16 void store(int* p, Ints16 a) { _mm512_store_si512(p, a.v); }
// The lanes of m, packed together at p (unaligned).
KSM_LANE16 void store_packed(int* p, Mask16 m, Ints16 a) { _mm512_mask_compressstoreu_epi32(p, m.m, a.v); }

// base[at[l]] in the lanes of m, src in the others; and the 32 bits at byte
// SCALE · at[l] from base in every lane.
KSM_LANE16 Ints16 gather_where(Ints16 src, Mask16 m, Ints16 at, const int* base)
{
    return {_mm512_mask_i32gather_epi32(src.v, m.m, at.v, base, 4)};
}
KSM_LANE16 Floats16 gather_where(Floats16 src, Mask16 m, Ints16 at, const float* base)
{
    return {_mm512_mask_i32gather_ps(src.v, m.m, at.v, base, 4)};
}
template <int SCALE> KSM_LANE16 Ints16 gather(Ints16 at, const void* base)
{
    return {_mm512_i32gather_epi32(at.v, base, SCALE)};
}

// The four floats at base + at[l] of every lane, transposed: x holds the
// first of each, y the second, and so on. Sixteen 16-byte loads.
KSM_LANE16 void load_quads(const float* base, const int* at, Floats16* x, Floats16* y, Floats16* z, Floats16* w)
{
    __m512 quad[4];
    // Unrolled, the four quads stay in registers instead of going through
    // the stack (about 7% of the walks).
#pragma GCC unroll 4
    for (int g = 0; g < 4; ++g) {
        __m512 v = _mm512_castps128_ps512(_mm_loadu_ps(base + at[4 * g]));
        v = _mm512_insertf32x4(v, _mm_loadu_ps(base + at[4 * g + 1]), 1);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(base + at[4 * g + 2]), 2);
        v = _mm512_insertf32x4(v, _mm_loadu_ps(base + at[4 * g + 3]), 3);
        quad[g] = v;
    }
    const __m512i pick_xy = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
    const __m512i pick_zw = _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
    __m512 xy_low = _mm512_permutex2var_ps(quad[0], pick_xy, quad[1]);
    __m512 xy_high = _mm512_permutex2var_ps(quad[2], pick_xy, quad[3]);
    __m512 zw_low = _mm512_permutex2var_ps(quad[0], pick_zw, quad[1]);
    __m512 zw_high = _mm512_permutex2var_ps(quad[2], pick_zw, quad[3]);
    x->v = _mm512_shuffle_f32x4(xy_low, xy_high, 0x44);
    y->v = _mm512_shuffle_f32x4(xy_low, xy_high, 0xEE);
    z->v = _mm512_shuffle_f32x4(zw_low, zw_high, 0x44);
    if (w)
        w->v = _mm512_shuffle_f32x4(zw_low, zw_high, 0xEE);
}

// The inverse, to 64-byte aligned memory: lane 4k + m's x, y, z and w as
// four floats at quad + 16m + 4k.
KSM_LANE16 void store_quads(float* quad, Floats16 x, Floats16 y, Floats16 z, Floats16 w)
{
    // Per 128-bit block k: xy_low = x4k y4k x4k+1 y4k+1, xy_high the next two.
    __m512 xy_low = _mm512_unpacklo_ps(x.v, y.v), xy_high = _mm512_unpackhi_ps(x.v, y.v);
    __m512 z_low = _mm512_unpacklo_ps(z.v, w.v), z_high = _mm512_unpackhi_ps(z.v, w.v);
    _mm512_store_pd((double*)quad, _mm512_unpacklo_pd(_mm512_castps_pd(xy_low), _mm512_castps_pd(z_low)));
    _mm512_store_pd((double*)(quad + 16), _mm512_unpackhi_pd(_mm512_castps_pd(xy_low), _mm512_castps_pd(z_low)));
    _mm512_store_pd((double*)(quad + 32), _mm512_unpacklo_pd(_mm512_castps_pd(xy_high), _mm512_castps_pd(z_high)));
    _mm512_store_pd((double*)(quad + 48), _mm512_unpackhi_pd(_mm512_castps_pd(xy_high), _mm512_castps_pd(z_high)));
}

// Sixteen triples of 32-bit values at p (unaligned), element l of component
// c at 3l + c, one vector per component; and back.
struct TripleTables16 {
    alignas(64) int take_low[3][16];   // component c from the first two vectors
    alignas(64) int take_high[3][16];  // the rest of it from the third
    alignas(64) int put_xy[3][16];     // output vector q: its x and y elements
    alignas(64) int put_z[3][16];      // then its z elements
};
constexpr TripleTables16 make_triple_tables16()
{
    TripleTables16 t = {};
    for (int c = 0; c < 3; ++c)
        for (int l = 0; l < 16; ++l) {
            int f = 3 * l + c;
            t.take_low[c][l] = f < 32 ? f : 0;
            t.take_high[c][l] = f < 32 ? l : 16 + f - 32;
        }
    for (int q = 0; q < 3; ++q)
        for (int e = 0; e < 16; ++e) {
            int f = 16 * q + e, l = f / 3, c = f % 3;
            t.put_xy[q][e] = c == 0 ? l : c == 1 ? 16 + l : 0;
            t.put_z[q][e] = c == 2 ? 16 + l : e;
        }
    return t;
}
constexpr TripleTables16 TRIPLE_TABLES16 = make_triple_tables16();

KSM_LANE16 void load_triples(const void* p, Ints16* x, Ints16* y, Ints16* z)
{
    const __m512i* v = (const __m512i*)p;
    __m512i a = _mm512_loadu_si512(v), b = _mm512_loadu_si512(v + 1), c = _mm512_loadu_si512(v + 2);
    Ints16* out[3] = {x, y, z};
    for (int k = 0; k < 3; ++k) {
        __m512i low = _mm512_permutex2var_epi32(a, _mm512_load_si512(TRIPLE_TABLES16.take_low[k]), b);
        out[k]->v = _mm512_permutex2var_epi32(low, _mm512_load_si512(TRIPLE_TABLES16.take_high[k]), c);
    }
}
KSM_LANE16 void store_triples(void* p, Ints16 x, Ints16 y, Ints16 z)
{
    __m512i* v = (__m512i*)p;
    for (int q = 0; q < 3; ++q) {
        __m512i xy = _mm512_permutex2var_epi32(x.v, _mm512_load_si512(TRIPLE_TABLES16.put_xy[q]), y.v);
        _mm512_storeu_si512(v + q, _mm512_permutex2var_epi32(xy, _mm512_load_si512(TRIPLE_TABLES16.put_z[q]), z.v));
    }
}

// ---------------------------------------------------------------------------
// Eight lanes, AVX2
// ---------------------------------------------------------------------------

struct Floats8 { __m256 v; };
struct Ints8 { __m256i v; };
struct Doubles8 { __m256d v; };
struct Mask8 { __m256i v; };

struct Lanes8 {
    static const int WIDTH = 8;
    typedef Floats8 F;
    typedef Ints8 I;
    typedef Doubles8 D;
    typedef Mask8 M;
    KSM_LANE8 static F splat(float x) { return F{_mm256_set1_ps(x)}; }
    KSM_LANE8 static I splat(int x) { return I{_mm256_set1_epi32(x)}; }
    KSM_LANE8 static D splat(double x) { return D{_mm256_set1_pd(x)}; }
    KSM_LANE8 static M mask(unsigned bits)
    {
        const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        return M{_mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32((int)bits), lane_bit), lane_bit)};
    }
    KSM_LANE8 static I load(const int* p) { return I{_mm256_load_si256((const __m256i*)p)}; }
    KSM_LANE8 static I load_where(M m, const int* p) { return I{_mm256_maskload_epi32(p, m.v)}; }
};

KSM_LANE8 Floats8 add(Floats8 a, Floats8 b) { return {_mm256_add_ps(a.v, b.v)}; }
KSM_LANE8 Floats8 sub(Floats8 a, Floats8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
KSM_LANE8 Floats8 mul(Floats8 a, Floats8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
KSM_LANE8 Floats8 abs(Floats8 a) { return {_mm256_and_ps(a.v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)))}; }
KSM_LANE8 Doubles8 add(Doubles8 a, Doubles8 b) { return {_mm256_add_pd(a.v, b.v)}; }
KSM_LANE8 Doubles8 sub(Doubles8 a, Doubles8 b) { return {_mm256_sub_pd(a.v, b.v)}; }
KSM_LANE8 Doubles8 mul(Doubles8 a, Doubles8 b) { return {_mm256_mul_pd(a.v, b.v)}; }
KSM_LANE8 Doubles8 div(Doubles8 a, Doubles8 b) { return {_mm256_div_pd(a.v, b.v)}; }
KSM_LANE8 Doubles8 max(Doubles8 a, Doubles8 b) { return {_mm256_max_pd(a.v, b.v)}; }
KSM_LANE8 Doubles8 min(Doubles8 a, Doubles8 b) { return {_mm256_min_pd(a.v, b.v)}; }
KSM_LANE8 Ints8 add(Ints8 a, Ints8 b) { return {_mm256_add_epi32(a.v, b.v)}; }
KSM_LANE8 Ints8 sub(Ints8 a, Ints8 b) { return {_mm256_sub_epi32(a.v, b.v)}; }
KSM_LANE8 Ints8 mul(Ints8 a, Ints8 b) { return {_mm256_mullo_epi32(a.v, b.v)}; }
KSM_LANE8 Ints8 abs(Ints8 a) { return {_mm256_abs_epi32(a.v)}; }
KSM_LANE8 Ints8 either(Ints8 a, Ints8 b) { return {_mm256_or_si256(a.v, b.v)}; }
template <int N> KSM_LANE8 Ints8 shift_left(Ints8 a) { return {_mm256_slli_epi32(a.v, N)}; }
template <int N> KSM_LANE8 Ints8 shift_right(Ints8 a) { return {_mm256_srai_epi32(a.v, N)}; }

KSM_LANE8 Floats8 sub_where(Mask8 m, Floats8 a, Floats8 b)
{
    return {_mm256_blendv_ps(a.v, _mm256_sub_ps(a.v, b.v), _mm256_castsi256_ps(m.v))};
}
KSM_LANE8 Floats8 add_where(Mask8 m, Floats8 a, Floats8 b)
{
    return {_mm256_blendv_ps(a.v, _mm256_add_ps(a.v, b.v), _mm256_castsi256_ps(m.v))};
}
KSM_LANE8 Ints8 sub_where(Mask8 m, Ints8 a, Ints8 b) { return {_mm256_sub_epi32(a.v, _mm256_and_si256(m.v, b.v))}; }

KSM_LANE8 Mask8 less(Floats8 a, Floats8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ))}; }
KSM_LANE8 Mask8 greater(Floats8 a, Floats8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ))}; }
KSM_LANE8 Mask8 at_least(Floats8 a, Floats8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ))}; }
KSM_LANE8 Mask8 at_most(Floats8 a, Floats8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ))}; }
KSM_LANE8 Mask8 less(Ints8 a, Ints8 b) { return {_mm256_cmpgt_epi32(b.v, a.v)}; }
KSM_LANE8 Mask8 at_most(Ints8 a, Ints8 b) { return {_mm256_xor_si256(_mm256_cmpgt_epi32(a.v, b.v), _mm256_set1_epi32(-1))}; }
KSM_LANE8 Mask8 greater(Ints8 a, Ints8 b) { return {_mm256_cmpgt_epi32(a.v, b.v)}; }
KSM_LANE8 Mask8 equal(Ints8 a, Ints8 b) { return {_mm256_cmpeq_epi32(a.v, b.v)}; }
KSM_LANE8 Mask8 unequal(Ints8 a, Ints8 b) { return {_mm256_xor_si256(_mm256_cmpeq_epi32(a.v, b.v), _mm256_set1_epi32(-1))}; }

KSM_LANE8 Mask8 both(Mask8 a, Mask8 b) { return {_mm256_and_si256(a.v, b.v)}; }
KSM_LANE8 Mask8 either(Mask8 a, Mask8 b) { return {_mm256_or_si256(a.v, b.v)}; }
KSM_LANE8 unsigned bits(Mask8 m) { return (unsigned)_mm256_movemask_ps(_mm256_castsi256_ps(m.v)); }

KSM_LANE8 Floats8 select(Mask8 m, Floats8 a, Floats8 b) { return {_mm256_blendv_ps(b.v, a.v, _mm256_castsi256_ps(m.v))}; }
KSM_LANE8 Ints8 select(Mask8 m, Ints8 a, Ints8 b) { return {_mm256_blendv_epi8(b.v, a.v, m.v)}; }

KSM_LANE8 Doubles8 widen_low(Floats8 a) { return {_mm256_cvtps_pd(_mm256_castps256_ps128(a.v))}; }
KSM_LANE8 Doubles8 widen_high(Floats8 a) { return {_mm256_cvtps_pd(_mm256_extractf128_ps(a.v, 1))}; }
KSM_LANE8 Floats8 narrow(Doubles8 low, Doubles8 high)
{
    return {_mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(low.v)), _mm256_cvtpd_ps(high.v), 1)};
}
KSM_LANE8 Doubles8 round_to_float(Doubles8 a) { return {_mm256_cvtps_pd(_mm256_cvtpd_ps(a.v))}; }

KSM_LANE8 void store(float* p, Floats8 a) { _mm256_store_ps(p, a.v); }
KSM_LANE8 void store(int* p, Ints8 a) { _mm256_store_si256((__m256i*)p, a.v); }

KSM_LANE8 Ints8 gather_where(Ints8 src, Mask8 m, Ints8 at, const int* base)
{
    return {_mm256_mask_i32gather_epi32(src.v, base, at.v, m.v, 4)};
}

KSM_LANE8 void load_quads(const float* base, const int* at, Floats8* x, Floats8* y, Floats8* z, Floats8* w)
{
    __m256 v[4];
    // Unrolled, the four halves stay in registers instead of going through
    // the stack.
#pragma GCC unroll 4
    for (int g = 0; g < 4; ++g)
        v[g] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(base + at[g])), _mm_loadu_ps(base + at[g + 4]),
                                    1);
    __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]);  // x0 x1 y0 y1 | x4 x5 y4 y5
    __m256 t1 = _mm256_unpackhi_ps(v[0], v[1]);  // z0 z1 .. .. | z4 z5 .. ..
    __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]);
    __m256 t3 = _mm256_unpackhi_ps(v[2], v[3]);
    x->v = _mm256_shuffle_ps(t0, t2, 0x44);
    y->v = _mm256_shuffle_ps(t0, t2, 0xEE);
    z->v = _mm256_shuffle_ps(t1, t3, 0x44);
    if (w)
        w->v = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// Lane 4k + m's four floats at quad + 8m + 4k.
KSM_LANE8 void store_quads(float* quad, Floats8 x, Floats8 y, Floats8 z, Floats8 w)
{
    __m256 xy_low = _mm256_unpacklo_ps(x.v, y.v), xy_high = _mm256_unpackhi_ps(x.v, y.v);
    __m256 z_low = _mm256_unpacklo_ps(z.v, w.v), z_high = _mm256_unpackhi_ps(z.v, w.v);
    _mm256_store_pd((double*)quad, _mm256_unpacklo_pd(_mm256_castps_pd(xy_low), _mm256_castps_pd(z_low)));
    _mm256_store_pd((double*)(quad + 8), _mm256_unpackhi_pd(_mm256_castps_pd(xy_low), _mm256_castps_pd(z_low)));
    _mm256_store_pd((double*)(quad + 16), _mm256_unpacklo_pd(_mm256_castps_pd(xy_high), _mm256_castps_pd(z_high)));
    _mm256_store_pd((double*)(quad + 24), _mm256_unpackhi_pd(_mm256_castps_pd(xy_high), _mm256_castps_pd(z_high)));
}

#endif
