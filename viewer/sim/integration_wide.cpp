// The integration step of sixteen balls at a time in AVX-512 lanes, written
// against the lane layer (lanes.h). Each lane performs exactly the IEEE
// operations of advance_ball (integration_ball.h) on its ball, in the same
// order, so the results are the same bits; only the memory traffic and the
// branches differ.
#include <cstdint>
#include <cstring>
#include <vector>

#include "integration_ball.h"
#include "lanes.h"
#include "repulsion_walk.h"

#if KSM_HAVE_LANES
#define KSM_STEP_TARGET KSM_LANES16_TARGET
#define KSM_STEP_INLINE KSM_STEP_TARGET __attribute__((always_inline)) static inline

// Blocks ahead of the one at hand whose field cells are fetched early, in a
// field too large to stay in the caches.
// Trades fetches a small field does not need against misses in a large one;
// no figure was recorded for 2 blocks and 8 MB (b161a18: the lanes alone,
// 10,000 balls, made the step about 12% faster).
static const int BLOCKS_AHEAD = 2;
static const size_t FETCH_FIELD_BYTES = (size_t)8 << 20;

static_assert(sizeof(Vec3) == 12 && sizeof(CellCoord) == 12, "triples of 32-bit values");

// What turns positions into offsets of field components.
template <class L>
struct FieldIndexer {
    typename L::D scale, last, zero;
    typename L::I stride_x, stride_y, three;
};

// field_cell of the lanes' coordinates c: trunc(c · scale) held to
// 0 .. G − 1, not-a-number to 0. Held before the truncation, to 0 and
// G − 1 in double: the same cells (trunc of [G − 1, G) is G − 1), fewer
// operations.
template <class L>
KSM_STEP_INLINE typename L::I field_cells(typename L::F c, const FieldIndexer<L>& f)
{
    typename L::D low = mul(widen_low(c), f.scale), high = mul(widen_high(c), f.scale);
    return truncate(min(max(low, f.zero), f.last), min(max(high, f.zero), f.last));
}

// Offsets of the field normals of the cells holding the lanes' positions.
template <class L>
KSM_STEP_INLINE typename L::I field_offsets(const FieldIndexer<L>& f, typename L::F x, typename L::F y,
                                            typename L::F z)
{
    return add(add(mul(field_cells<L>(x, f), f.stride_x), mul(field_cells<L>(y, f), f.stride_y)),
               mul(field_cells<L>(z, f), f.three));
}

// (float)((double)p - n · push) in the lanes of `pushed`; the others keep p.
template <class L>
KSM_STEP_INLINE typename L::F push_out(typename L::F p, typename L::I n, typename L::D push, typename L::M pushed)
{
    typename L::D low = sub(widen_low(p), mul(widen_low(n), push));
    typename L::D high = sub(widen_high(p), mul(widen_high(n), push));
    return select(pushed, narrow(low, high), p);
}

// (float)((double)p + damp · ((double)p − q)), with fall added to the damped
// difference first when given (the y axis).
template <class L, bool FALL>
KSM_STEP_INLINE typename L::F verlet(typename L::F p, typename L::F q, typename L::D damp, typename L::D fall)
{
    typename L::D pl = widen_low(p), ph = widen_high(p);
    typename L::D dl = mul(damp, sub(pl, widen_low(q)));
    typename L::D dh = mul(damp, sub(ph, widen_high(q)));
    if (FALL) {
        dl = add(dl, fall);
        dh = add(dh, fall);
    }
    return narrow(add(pl, dl), add(ph, dh));
}

// confine: not-a-number and below 1 become 1, above the extent the extent.
template <class L>
KSM_STEP_INLINE typename L::F confine_lanes(typename L::F c, typename L::F extent)
{
    const typename L::F one = L::splat(1.0f);
    typename L::F r = select(at_least(c, one), c, one);
    return select(greater(r, extent), extent, r);
}

// QUADS: the positions are four floats a ball at `quads` (the ordered
// engine's), not k.pos; instead of the balls that leave their cells, *far
// notes whether a ball ends farther than sqrt(limit2) from its place in
// `built` (travelled_far in ordered_state.h, the same float operations).
template <class L, bool FETCH, bool QUADS>
KSM_STEP_TARGET static int advance_blocks(const StepConstants& k, float* quads, int begin, int end,
                                          std::vector<int>* moved, const Vec3* built, float limit2, bool* far)
{
    typedef typename L::F F;
    typedef typename L::I I;
    typedef typename L::D D;
    typedef typename L::M M;
    const int W = L::WIDTH;
    FieldIndexer<L> f;
    f.scale = L::splat(k.scale);
    f.last = L::splat((double)(k.grid - 1));
    f.zero = L::splat(0.0);
    f.stride_x = L::splat((int)k.stride_x);
    f.stride_y = L::splat((int)k.stride_y);
    f.three = L::splat(3);
    const D push = L::splat(k.push), damp = L::splat(k.damp), fall = L::splat(k.fall);
    const F extent = L::splat(k.extent);
    const I zero = L::splat(0), one = L::splat(1);
    const F limit = L::splat(limit2);
    unsigned far_lanes = 0;

    int b = begin;
    for (; b + W <= end; b += W) {
        alignas(64) int at_quads[W];
        if (QUADS)
            for (int l = 0; l < W; ++l)
                at_quads[l] = 4 * (b + l);
        if (FETCH && b + (BLOCKS_AHEAD + 1) * W <= end) {
            F ax, ay, az;
            if (QUADS) {
                load_quads(quads + 4 * BLOCKS_AHEAD * W, at_quads, &ax, &ay, &az, (F*)nullptr);
            } else {
                I jx, jy, jz;
                load_triples(&k.pos[b + BLOCKS_AHEAD * W], &jx, &jy, &jz);
                ax = as_floats(jx);
                ay = as_floats(jy);
                az = as_floats(jz);
            }
            alignas(64) int ahead[W];
            store(ahead, field_offsets<L>(f, ax, ay, az));
            for (int l = 0; l < W; ++l)
                __builtin_prefetch(k.field + ahead[l]);
        }
        I ix, iy, iz;
        F px, py, pz;
        if (QUADS) {
            load_quads(quads, at_quads, &px, &py, &pz, (F*)nullptr);
        } else {
            load_triples(&k.pos[b], &ix, &iy, &iz);
            px = as_floats(ix);
            py = as_floats(iy);
            pz = as_floats(iz);
        }
        load_triples(&k.prev[b], &ix, &iy, &iz);
        F qx = as_floats(ix), qy = as_floats(iy), qz = as_floats(iz);

        // The field normal: components 0 and 1 from one 32-bit read, 1 and
        // 2 from the next, both within the cell.
        I at = field_offsets<L>(f, px, py, pz);
        I n01 = gather<2>(at, k.field), n12 = gather<2>(add(at, one), k.field);
        M pushed = unequal(either(n01, n12), zero);
        if (bits(pushed)) {
            px = push_out<L>(px, shift_right<16>(shift_left<16>(n01)), push, pushed);
            py = push_out<L>(py, shift_right<16>(n01), push, pushed);
            pz = push_out<L>(pz, shift_right<16>(n12), push, pushed);
        }

        F nx = confine_lanes<L>(verlet<L, false>(px, qx, damp, fall), extent);
        F ny = confine_lanes<L>(verlet<L, true>(py, qy, damp, fall), extent);
        F nz = confine_lanes<L>(verlet<L, false>(pz, qz, damp, fall), extent);
        store_triples(&k.prev[b], as_ints(px), as_ints(py), as_ints(pz));
        if (QUADS) {
            alignas(64) float quad[4 * W];
            store_quads(quad, nx, ny, nz, L::splat(0.0f));
            for (int l = 0; l < W; ++l)
                std::memcpy(quads + 4 * (b + l), quad + W * (l & 3) + 4 * (l >> 2), 4 * sizeof(float));
        } else {
            store_triples(&k.pos[b], as_ints(nx), as_ints(ny), as_ints(nz));
        }

        if (QUADS) {
            load_triples(&built[b], &ix, &iy, &iz);
            F dx = sub(nx, as_floats(ix)), dy = sub(ny, as_floats(iy)), dz = sub(nz, as_floats(iz));
            F d2 = add(add(mul(dx, dx), mul(dy, dy)), mul(dz, dz));
            far_lanes |= ~bits(at_most(d2, limit)) & ((1u << W) - 1);
            continue;
        }
        I cx, cy, cz;
        load_triples(&k.cell[b], &cx, &cy, &cz);
        unsigned left = bits(either(either(unequal(truncate(nx), cx), unequal(truncate(ny), cy)),
                                    unequal(truncate(nz), cz)));
        for (; left; left &= left - 1)
            moved->push_back(b + __builtin_ctz(left));
    }
    if (QUADS)
        *far |= far_lanes != 0;
    return b;
}

int advance_balls_wide(const StepConstants& k, int begin, int end, std::vector<int>* moved)
{
    // The same instruction sets as the sixteen-lane walks.
    const bool supported = cpu_lanes().lanes16;
    // Offsets of field components are 32-bit in the lanes.
    if (!supported || field_cell_count((uint16_t)k.grid) * 3 > (uint64_t)INT32_MAX - 3)
        return begin;
    if (field_cell_count((uint16_t)k.grid) * 6 > FETCH_FIELD_BYTES)
        return advance_blocks<Lanes16, true, false>(k, nullptr, begin, end, moved, nullptr, 0.0f, nullptr);
    return advance_blocks<Lanes16, false, false>(k, nullptr, begin, end, moved, nullptr, 0.0f, nullptr);
}

int advance_quads_wide(const StepConstants& k, float* quads, int begin, int end, const Vec3* built, float limit2,
                       bool* far)
{
    const bool supported = cpu_lanes().lanes16;
    if (!supported || field_cell_count((uint16_t)k.grid) * 3 > (uint64_t)INT32_MAX - 3 ||
        (size_t)end > (size_t)INT32_MAX / 4)
        return begin;
    if (field_cell_count((uint16_t)k.grid) * 6 > FETCH_FIELD_BYTES)
        return advance_blocks<Lanes16, true, true>(k, quads, begin, end, nullptr, built, limit2, far);
    return advance_blocks<Lanes16, false, true>(k, quads, begin, end, nullptr, built, limit2, far);
}

#else

int advance_balls_wide(const StepConstants&, int begin, int, std::vector<int>*)
{
    return begin;
}

int advance_quads_wide(const StepConstants&, float*, int begin, int, const Vec3*, float, bool*)
{
    return begin;
}

#endif
