// Fast edge table and growth (stage 2) of the collision field. Each gives
// exactly what its exhaustive form in phys_exhaustive.cpp gives: the same
// table, the same frontier lists in the same order, the same dots. The fast
// classification (stage 1) is in phys_classify.cpp, the fast vectors
// (stage 3) in phys_vectors.cpp.
#include <algorithm>
#include <cstdlib>
#include <unordered_map>

#include "phys_stages.h"
#include "phys_threads.h"

// Scratch flag of a cell already in the frontier list of the current pass.
static const uint8_t CELL_LISTED = 4;

// ---- edge table -----------------------------------------------------------

static uint64_t edge_key(uint32_t p, uint32_t q)
{
    uint32_t lo = p < q ? p : q;
    uint32_t hi = p < q ? q : p;
    return ((uint64_t)hi << 32) | lo;
}

void build_edge_table_hashed(const MapObject* obj, PhysMesh* mesh)
{
    std::vector<MeshEdge>& edges = mesh->edges;
    edges.clear();
    edges.reserve((size_t)obj->face_count * 3);
    // Entries with the same vertex pair are chained: first entry per pair,
    // then the next entry of the same pair (a face naming one vertex twice
    // can add a pair twice).
    std::unordered_map<uint64_t, uint32_t> first;
    first.reserve((size_t)obj->face_count * 2);
    std::vector<uint32_t> next;
    next.reserve((size_t)obj->face_count * 3);
    const uint32_t none = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < obj->face_count; ++i) {
        uint32_t v[3] = {obj->faces[i].v[0], obj->faces[i].v[1], obj->faces[i].v[2]};
        Vec3 n = phys_face_normal(obj, i);
        bool fresh[3];
        // The three edges ab, bc, ca in this order: for each entry, the
        // normal additions happen in the same order as in the linear build.
        for (int k = 0; k < 3; ++k) {
            fresh[k] = true;
            auto it = first.find(edge_key(v[k], v[(k + 1) % 3]));
            for (uint32_t e = it == first.end() ? none : it->second; e != none; e = next[e]) {
                fresh[k] = false;
                edges[e].normal = vec3_add(edges[e].normal, n);
            }
        }
        for (int k = 0; k < 3; ++k) {
            if (!fresh[k])
                continue;
            uint32_t p = v[k], q = v[(k + 1) % 3];
            uint32_t index = (uint32_t)edges.size();
            edges.push_back(MeshEdge{p, q, n});
            // Append at the end of the pair's chain.
            auto it = first.find(edge_key(p, q));
            next.push_back(none);
            if (it == first.end()) {
                first.emplace(edge_key(p, q), index);
            } else {
                uint32_t e = it->second;
                while (next[e] != none)
                    e = next[e];
                next[e] = index;
            }
        }
    }
}

// ---- stage 2 ------------------------------------------------------------
//
// A pass of the exhaustive form scans the whole box and looks at the six
// neighbours of every region cell. Only region cells with a neighbour outside
// the region can add anything, and after a pass every neighbour of a cell
// that was in the region at its start has joined the region. So from the
// second pass on, only the cells added by the previous pass need a look, in
// increasing cell index (the scan order). A flag per cell replaces the
// search of the list for duplicates.

// Appends, in scan order, the region cells of row (x, y) of the box with a
// neighbour in the grid outside the region.
static void find_row_candidates(const PhysBox* box, int64_t g, const uint8_t* marks, int64_t x, int64_t y,
                                std::vector<int64_t>* out)
{
    const int64_t plane = g * g;
    int64_t base = cell_index(x, y, 0, g);
    const uint8_t* row = marks + base;
    bool x_lo = x > 0, x_hi = x < g - 1, y_lo = y > 0, y_hi = y < g - 1;
    for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z) {
        if (!(row[z] & CELL_REGION))
            continue;
        bool open = (z > 0 && !(row[z - 1] & CELL_REGION)) || (z < g - 1 && !(row[z + 1] & CELL_REGION)) ||
                    (y_lo && !(row[z - g] & CELL_REGION)) || (y_hi && !(row[z + g] & CELL_REGION)) ||
                    (x_lo && !(row[z - plane] & CELL_REGION)) || (x_hi && !(row[z + plane] & CELL_REGION));
        if (open)
            out->push_back(base + z);
    }
}

// A neighbour of a region cell outside the region.
struct Neighbour {
    int64_t index;
    FrontierCell cell;
};

// The neighbours of region cell `index` outside the region, in the order of
// the neighbour steps.
static void find_free_neighbours(const uint8_t* marks, int64_t g, int64_t index, std::vector<Neighbour>* out)
{
    int64_t xy = index / g, z = index - xy * g, x = xy / g, y = xy - x * g;
    auto add = [&](bool in_grid, int64_t n, int64_t nx, int64_t ny, int64_t nz) {
        if (in_grid && !(marks[n] & CELL_REGION))
            out->push_back(Neighbour{n, FrontierCell{(uint16_t)nx, (uint16_t)ny, (uint16_t)nz}});
    };
    // NEIGHBOUR_STEPS, in its order, as steps of the cell index.
    add(x + 1 < g, index + g * g, x + 1, y, z);
    add(x > 0, index - g * g, x - 1, y, z);
    add(y + 1 < g, index + g, x, y + 1, z);
    add(y > 0, index - g, x, y - 1, z);
    add(z + 1 < g, index + 1, x, y, z + 1);
    add(z > 0, index - 1, x, y, z - 1);
}

// Sorts `v`: pieces on the threads, then merged.
static void sort_on_threads(std::vector<int64_t>* v, int threads)
{
    int64_t n = (int64_t)v->size();
    int64_t pieces = std::max<int64_t>(1, std::min<int64_t>(threads, n / 65536));
    int64_t step = (n + pieces - 1) / std::max<int64_t>(pieces, 1);
    parallel_chunks(threads, pieces, 1, [&](int64_t begin, int64_t end) {
        for (int64_t p = begin; p < end; ++p)
            std::sort(v->begin() + p * step, v->begin() + std::min(n, (p + 1) * step));
    });
    for (int64_t p = 1; p < pieces; ++p)
        std::inplace_merge(v->begin(), v->begin() + p * step, v->begin() + std::min(n, (p + 1) * step));
}

void grow_region_fast(PhysBox* box, int64_t g, uint8_t* marks, int64_t geom1, int64_t geom2,
                      std::vector<FrontierCell>* targets, PhysProgress* pr, int threads)
{
    // The first pass looks at the region cells with a neighbour in the grid
    // outside the region: the others add nothing to the list. The x planes
    // are scanned on the threads and their lists joined in order.
    std::vector<int64_t> candidates;
    if (box_cell_count(box) != 0) {
        int64_t planes = box->hi[0] - box->lo[0] + 1;
        std::vector<std::vector<int64_t>> found((size_t)planes);
        parallel_chunks(threads, planes, 1, [&](int64_t begin, int64_t end) {
            for (int64_t x = box->lo[0] + begin; x < box->lo[0] + end; ++x) {
                std::vector<int64_t>& cells = found[(size_t)(x - box->lo[0])];
                for (int64_t y = box->lo[1]; y <= box->hi[1]; ++y)
                    find_row_candidates(box, g, marks, x, y, &cells);
            }
        });
        size_t total = 0;
        for (const std::vector<int64_t>& cells : found)
            total += cells.size();
        candidates.reserve(total);
        for (std::vector<int64_t>& cells : found) {
            candidates.insert(candidates.end(), cells.begin(), cells.end());
            std::vector<int64_t>().swap(cells);
        }
    }
    std::vector<FrontierCell>* list = targets;
    list->clear();
    // Each pass: the neighbours outside the region, per run of candidates on
    // the threads (the region does not change during a pass); then each is
    // listed once, in candidate order.
    const int64_t RUN = 4096;
    std::vector<std::vector<Neighbour>> found;
    for (int64_t m = geom1 + geom2; m >= 0; --m) {
        int64_t runs = ((int64_t)candidates.size() + RUN - 1) / RUN;
        found.resize((size_t)runs);
        parallel_chunks(threads, runs, 1, [&](int64_t begin, int64_t end) {
            for (int64_t r = begin; r < end; ++r) {
                std::vector<Neighbour>& out = found[(size_t)r];
                out.clear();
                int64_t stop = std::min((int64_t)candidates.size(), (r + 1) * RUN);
                for (int64_t k = r * RUN; k < stop; ++k)
                    find_free_neighbours(marks, g, candidates[(size_t)k], &out);
            }
        });
        for (int64_t r = 0; r < runs; ++r) {
            for (const Neighbour& n : found[(size_t)r]) {
                uint8_t* mark = &marks[n.index];
                if (*mark & CELL_LISTED)
                    continue;
                *mark |= CELL_LISTED;
                list->push_back(n.cell);
            }
        }
        // The whole box counts as scanned, as in the plain pass.
        progress_advance(pr, box_cell_count(box));
        if (m == 0)
            break;
        uint8_t flags = m >= geom2 + 1 ? (CELL_PUSH | CELL_REGION) : CELL_REGION;
        candidates.resize(list->size());
        parallel_chunks(threads, (int64_t)list->size(), 1 << 16, [&](int64_t begin, int64_t end) {
            for (int64_t k = begin; k < end; ++k) {
                const FrontierCell& c = (*list)[(size_t)k];
                int64_t index = cell_index(c.x, c.y, c.z, g);
                marks[index] = (uint8_t)((marks[index] & ~CELL_LISTED) | flags);
                candidates[(size_t)k] = index;
            }
        });
        sort_on_threads(&candidates, threads);
        list->clear();
        grow_box(box, g);
        pr->total = pr->count + (uint64_t)m * box_cell_count(box) + 1;
    }
    for (const FrontierCell& c : *list)
        marks[cell_index(c.x, c.y, c.z, g)] &= (uint8_t)~CELL_LISTED;
}
