// Accelerated stages of the collision field (being built): for now each
// hands over to the exhaustive form.
#include "phys_stages.h"

bool classify_cells_fast(const PhysMesh*, const PhysBox*, int64_t, uint8_t*, PhysProgress*)
{
    return false;
}

void grow_region_fast(PhysBox* box, int64_t g, uint8_t* marks, int64_t geom1, int64_t geom2,
                      std::vector<CellCoord>* targets, PhysProgress* pr)
{
    grow_region_reference(box, g, marks, geom1, geom2, targets, pr);
}

bool fill_vectors_fast(const PhysBox* box, int64_t g, const uint8_t* marks, const std::vector<CellCoord>* targets,
                       NormalField* field, PhysProgress* pr, PushFault* fault)
{
    return fill_vectors_reference(box, g, marks, targets, field, pr, fault);
}
