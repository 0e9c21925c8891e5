// The repulsion walks in sixteen AVX-512 lanes: the kernel of
// repulsion_lanes.h at this width, and the ring both widths share.
#include <cstdlib>

#include "lanes.h"
#include "repulsion_walk.h"
#include "sim_plan.h"

#if KSM_HAVE_LANES
#define KSM_LANES_TARGET KSM_LANES16_TARGET
#include "repulsion_lanes.h"

// Direct gathers and partner offsets by shifts: about 4% of a frame of
// 100,000 balls (90d6664); a starting ball read lane by lane.
struct Walk16 {
    typedef Lanes16 L;
    static const bool DIRECT = true, START_QUADS = false, SHIFTS = true;
};

bool repel_wide16(const WalkSequence& q, double coef, WideScratch* scratch, const WalkSpace& space)
{
    return walk_in_lanes<Walk16, false>(q, coef, scratch, space, 0.0f);
}

bool repel_wide16_travel(const WalkSequence& q, double coef, float rounding, WideScratch* scratch,
                         const WalkSpace& space)
{
    return cpu_lanes().lanes16 && walk_in_lanes<Walk16, true>(q, coef, scratch, space, rounding);
}

#else

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
