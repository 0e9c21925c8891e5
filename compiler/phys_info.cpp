// The collision field of one object: the stage driver and the exhaustive
// (reference) form of every stage.
#include "phys_info.h"

#include <cstdlib>

#include "phys_geom.h"
#include "phys_stages.h"

static PhysSearch phys_search_mode = PHYS_SEARCH_FAST;

void set_phys_search(PhysSearch search)
{
    phys_search_mode = search;
}

PhysSearch get_phys_search()
{
    return phys_search_mode;
}

// The six neighbour steps, in the order the frontier is built.
static const int NEIGHBOUR_STEPS[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};

// ---- stage 1 ------------------------------------------------------------

void classify_cells_exhaustive(const PhysMesh* mesh, const PhysBox* box, int64_t g, uint8_t* marks,
                               PhysProgress* pr)
{
    if (box_cell_count(box) == 0)
        return;
    for (int64_t x = box->lo[0]; x <= box->hi[0]; ++x) {
        for (int64_t y = box->lo[1]; y <= box->hi[1]; ++y) {
            for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z) {
                Vec3 p = {(float)x, (float)y, (float)z};
                if (!mesh->vertices.empty() && classify_cell_exhaustive(mesh, p) == PHYS_SIDE_FRONT)
                    marks[cell_index(x, y, z, g)] = CELL_PUSH | CELL_REGION;
                progress_advance(pr, 1);
            }
        }
    }
}

// ---- stage 2 ------------------------------------------------------------

static bool frontier_contains(const std::vector<CellCoord>* list, int64_t x, int64_t y, int64_t z)
{
    for (const CellCoord& c : *list) {
        if (c.x == x && c.y == y && c.z == z)
            return true;
    }
    return false;
}

void grow_region_reference(PhysBox* box, int64_t g, uint8_t* marks, int64_t geom1, int64_t geom2,
                           std::vector<CellCoord>* targets, PhysProgress* pr)
{
    std::vector<CellCoord>* list = targets;
    list->clear();
    for (int64_t m = geom1 + geom2; m >= 0; --m) {
        if (box_cell_count(box) != 0) {
            for (int64_t x = box->lo[0]; x <= box->hi[0]; ++x) {
                for (int64_t y = box->lo[1]; y <= box->hi[1]; ++y) {
                    for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z) {
                        if (marks[cell_index(x, y, z, g)] & CELL_REGION) {
                            for (const int* d : NEIGHBOUR_STEPS) {
                                int64_t nx = x + d[0], ny = y + d[1], nz = z + d[2];
                                if (nx < 0 || ny < 0 || nz < 0 || nx >= g || ny >= g || nz >= g)
                                    continue;
                                if (marks[cell_index(nx, ny, nz, g)] & CELL_REGION)
                                    continue;
                                if (frontier_contains(list, nx, ny, nz))
                                    continue;
                                list->push_back(CellCoord{(uint16_t)nx, (uint16_t)ny, (uint16_t)nz});
                            }
                        }
                        progress_advance(pr, 1);
                    }
                }
            }
        }
        if (m > 0) {
            uint8_t flags = m >= geom2 + 1 ? (CELL_PUSH | CELL_REGION) : CELL_REGION;
            for (const CellCoord& c : *list)
                marks[cell_index(c.x, c.y, c.z, g)] |= flags;
            list->clear();
            grow_box(box, g);
            pr->total = pr->count + (uint64_t)m * box_cell_count(box) + 1;
        }
    }
}

// ---- stage 3 ------------------------------------------------------------

bool fill_vectors_reference(const PhysBox* box, int64_t g, const uint8_t* marks,
                            const std::vector<CellCoord>* targets, NormalField* field, PhysProgress* pr,
                            PushFault* fault)
{
    if (box_cell_count(box) == 0)
        return true;
    size_t nt = targets->size();
    return store_pushes(box, g, marks, targets, field, pr, fault, [&](int64_t x, int64_t y, int64_t z) {
        size_t best = 0;
        int64_t best_d2 = -1;
        for (size_t k = 0; k < nt; ++k) {
            const CellCoord& t = (*targets)[k];
            int64_t dx = x - t.x, dy = y - t.y, dz = z - t.z;
            int64_t d2 = dx * dx + dy * dy + dz * dz;
            if (best_d2 < 0 || d2 < best_d2) {
                best_d2 = d2;
                best = k;
            }
        }
        return best;
    });
}

// ---- the driver -----------------------------------------------------------

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

bool calc_phys_info_with(const MapHeader* header, const MapObject* obj, NormalField* field, PhysSearch search,
                         FILE* out)
{
    const int64_t g = header->grid_size;
    const bool exhaustive = search == PHYS_SEARCH_EXHAUSTIVE;
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
    PhysProgress pr;
    progress_start(&pr, out, stage1_cells + 1);
    if (exhaustive || !classify_cells_fast(&mesh, &box, g, marks, &pr))
        classify_cells_exhaustive(&mesh, &box, g, marks, &pr);

    // Stage 2: growth.
    std::fputs(" OK!\n  Calc phys info #2: ", out);
    int64_t geom1 = header->geom1, geom2 = header->geom2;
    progress_start(&pr, out, (uint64_t)(geom1 + geom2 + 1) * stage1_cells + 1);
    std::vector<CellCoord> targets;
    if (exhaustive)
        grow_region_reference(&box, g, marks, geom1, geom2, &targets, &pr);
    else
        grow_region_fast(&box, g, marks, geom1, geom2, &targets, &pr);

    // Stage 3: vectors.
    std::fputs(" OK!\n  Calc phys info #3: ", out);
    progress_start(&pr, out, box_cell_count(&box) + 1);
    PushFault fault{};
    bool ok = exhaustive ? fill_vectors_reference(&box, g, marks, &targets, field, &pr, &fault)
                         : fill_vectors_fast(&box, g, marks, &targets, field, &pr, &fault);
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
    std::free(marks);
    return ok;
}

bool calc_phys_info(const MapHeader* header, const MapObject* obj, NormalField* field)
{
    return calc_phys_info_with(header, obj, field, phys_search_mode, stdout);
}
