// The collision field of one object: the stage driver.
#include "phys_info.h"

#include <cstdlib>
#include <new>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "phys_geom.h"
#include "phys_stages.h"

static bool any_push_cell(const PhysBox* box, int64_t g, const uint8_t* marks)
{
    if (box_cell_count(box) == 0)
        return false;
    for (int64_t x = box->lo[0]; x <= box->hi[0]; ++x)
        for (int64_t y = box->lo[1]; y <= box->hi[1]; ++y)
            for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z)
                if (marks[cell_index(x, y, z, g)] & CELL_PUSH)
                    return true;
    return false;
}

// Boxes of fewer cells grow faster on one thread than helpers start.
static const uint64_t SMALL_GROWTH_CELLS = 1 << 16;

// The three stages into `marks` (zeroed, one byte per grid cell); may throw
// std::bad_alloc from its scratch lists.
static bool run_stages(const MapHeader* header, const MapObject* obj, NormalField* field,
                       const PhysOptions* options, FILE* out, uint8_t* marks)
{
    const int64_t g = header->grid_size;
    const bool exhaustive = options->search == PHYS_SEARCH_EXHAUSTIVE;

    // Preparation: working box, grid-unit vertices, plane offsets, edge table.
    float field_scale = phys_field_scale(header->grid_size, header->field_size);
    PhysBox box = phys_working_box(obj->box, field_scale);
    PhysMesh mesh;
    prepare_phys_mesh(obj, field_scale, &mesh);
    if (exhaustive)
        build_edge_table_linear(obj, &mesh);
    else
        build_edge_table_hashed(obj, &mesh);
    prepare_edge_geometry(&mesh);
    clamp_box(&box, g);

    // Stage 1: classification.
    uint64_t stage1_cells = box_cell_count(&box);
    PhysProgress pr{};
    pr.line = options->progress;
    progress_start(&pr, out, stage1_cells + 1);
    if (exhaustive || !classify_cells_fast(&mesh, &box, g, marks, &pr, options->threads))
        classify_cells_exhaustive(&mesh, &box, g, marks, &pr);

    // Stage 2: growth.
    std::fputs(" OK!\n  Calc phys info #2: ", out);
    int64_t geom1 = header->geom1, geom2 = header->geom2;
    progress_start(&pr, out, (uint64_t)(geom1 + geom2 + 1) * stage1_cells + 1);
    std::vector<FrontierCell> targets;
    if (exhaustive)
        grow_region_exhaustive(&box, g, marks, geom1, geom2, &targets, &pr);
    else
        grow_region_fast(&box, g, marks, geom1, geom2, &targets, &pr,
                         stage1_cells < SMALL_GROWTH_CELLS ? 1 : options->threads);

    // Stage 3: vectors.
    std::fputs(" OK!\n  Calc phys info #3: ", out);
    progress_start(&pr, out, box_cell_count(&box) + 1);
    PushFault fault{};
    bool ok = exhaustive ? fill_vectors_exhaustive(&box, g, marks, &targets, field, &pr, &fault)
                         : fill_vectors_fast(&box, g, marks, &targets, field, &pr, &fault, options->threads);
    if (!ok) {
        std::fprintf(out,
                     " ERROR! PUSH VECTOR (%d, %d, %d) OF CELL (%lld, %lld, %lld) IS LONGER THAN %d CELLS: "
                     "LOWER GEOM1 + GEOM2 OR MAKE THE OBJECT THINNER!\n",
                     fault.dx, fault.dy, fault.dz, (long long)fault.x, (long long)fault.y, (long long)fault.z,
                     PUSH_LIMIT);
    } else {
        std::fputs(" OK!\n", out);
        if (targets.empty() && any_push_cell(&box, g, marks))
            std::fputs("  WARNING! The grown region fills the whole grid: no target surface, "
                       "the object's push cells are left as they were.\n",
                       out);
    }
    return ok;
}

// Every object's scratch (features, hierarchies, lists, threads' lists)
// is freed at its end and taken again by the next object. glibc would hand
// the freed top of its heaps back to the system each time, and each page
// taken again costs a fault: on a small object a sixth of its time. Freed
// memory is kept for reuse up to 64 MB; blocks up to 32 MB come from the
// heaps (larger ones, such as the cell marks of large grids, are mapped and
// returned as before).
static void keep_freed_scratch()
{
#ifdef __GLIBC__
    static const bool kept = [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
        return true;
    }();
    (void)kept;
#endif
}

bool calc_phys_info(const MapHeader* header, const MapObject* obj, NormalField* field, const PhysOptions* options,
                    FILE* out)
{
    keep_freed_scratch();
    std::fputs("  Calc phys info #1: ", out);
    if (field->cells == nullptr || field->grid_size != header->grid_size) {
        std::fputs("ERROR! NO COLLISION FIELD OF THIS GRID SIZE!\n", out);
        return false;
    }
    uint64_t grid_cells = field_cell_count(header->grid_size);
    uint8_t* marks = (uint8_t*)std::calloc(grid_cells ? grid_cells : 1, 1);
    if (marks == nullptr) {
        std::fputs("ERROR! NOT ENOUGH MEMORY FOR THE CELL MARKS!\n", out);
        return false;
    }
    // The scratch lists (mesh copy, edge table, hierarchies, frontier) are
    // standard containers: a failed allocation among them stops the compile
    // like a failed calloc instead of ending the process.
    bool ok = false;
    try {
        ok = run_stages(header, obj, field, options, out, marks);
    } catch (const std::bad_alloc&) {
        std::fputs(" ERROR! NOT ENOUGH MEMORY FOR THE SCRATCH DATA!\n", out);
        ok = false;
    }
    std::free(marks);
    return ok;
}
