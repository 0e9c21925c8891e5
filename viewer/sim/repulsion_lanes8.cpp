// The repulsion walks in eight AVX2 lanes, for processors without AVX-512:
// the kernel of repulsion_lanes.h at this width.
#include "lanes.h"
#include "repulsion_walk.h"
#include "sim_plan.h"

#if KSM_HAVE_LANES
#define KSM_LANES_TARGET KSM_LANES8_TARGET
#include "repulsion_lanes.h"

// The sixteen-lane form (direct, lane by lane, shifts) made the 10,000- and
// 100,000-ball avx2 frames 8% and 17% faster, but the 1,000,000-ball one
// about 13% slower (fastest of 10 runs each, bench_sim, a busy machine);
// until that is settled the eight lanes keep the ring, the transposed start
// and the multiply.
struct Walk8 {
    typedef Lanes8 L;
    static const bool DIRECT = false, START_QUADS = true, SHIFTS = false;
};

bool repel_wide8(const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space)
{
    return walk_in_lanes<Walk8, false>(q, coef, scratch, space, 0.0f);
}

bool repel_wide8_travel(const WalkSequence& q, double coef, float rounding, WideScratch* scratch,
                        const WalkSpace& space)
{
    return cpu_lanes().lanes8 && walk_in_lanes<Walk8, true>(q, coef, scratch, space, rounding);
}

#else

bool repel_wide8(const WalkSequence&, double, WideScratch*, const WalkSpace&)
{
    return false;
}

bool repel_wide8_travel(const WalkSequence&, double, float, WideScratch*, const WalkSpace&)
{
    return false;
}

#endif
