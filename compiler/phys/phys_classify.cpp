// Fast classification (stage 1) of the collision field, giving the
// very class the exhaustive search gives for every cell.
//
// Two tools, both exact:
//  - Per cell, the nearest vertex, edge and face are found through bounding
//    volume hierarchies. A feature is left out only when a lower bound of the
//    float distance the shared measurement would compute for it exceeds the
//    threshold at which it could still matter (the nearest vertex distance
//    for edges, the nearest edge distance for faces). The bounds are worked
//    out in double with margins for every float rounding of the measurement;
//    candidates are compared by (distance, index) so that each kind keeps its
//    own tie rule whatever the visiting order.
//  - Whole blocks of cells are classified at once when every feature that
//    could decide any cell of the block (any vertex, edge or face whose
//    distance can be below the largest nearest-vertex distance in the block)
//    has the same side for every point of the block, with a margin that float
//    rounding cannot cross. The decision then gives that side whichever
//    feature decides. Blocks that fail are split down to single cells.
// Blocks at most four cells long on every axis gather their candidate
// features once for both (phys_cells.cpp, with the single cells).
// Meshes with coordinates that are no finite numbers, or huge ones, are left
// to the exhaustive search. The hierarchies are in phys_bvh.h, the bounds
// and their rounding margins in phys_bounds.h.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

#include "phys_classify_parts.h"

// ---- whole blocks -------------------------------------------------------------

namespace {

// Every feature of one kind within `reach` of the block (those of the
// hierarchy, then the `loose` ones outside it) has the side `common`, which
// the first certain one sets. Subtrees out of reach, or whose summary agrees,
// are passed over. False at the first feature that differs or is not certain.
template <typename Info, double (*NodeLower)(const Query&, const BvhNode&),
          double (*NodeMargin)(const Query&, const BvhNode&), bool (*Beyond)(const Query&, const Info&, double),
          RobustSide (*SideOf)(const Query&, const Info&)>
bool kind_agrees(const Bvh& bvh, const std::vector<Info>& infos, const std::vector<uint32_t>* loose, const Query& q,
                 double reach, RobustSide* common)
{
    auto feature_agrees = [&](uint32_t id) { return one_agrees<Info, Beyond, SideOf>(q, infos[id], reach, common); };
    bool all = walk_bvh(
        bvh, RightFirst(),
        [&](const BvhNode& n) {
            return node_beyond<NodeLower>(q, n, reach) || agree(node_robust_side(q, n, NodeMargin(q, n)), common);
        },
        feature_agrees);
    if (all && loose) {
        for (uint32_t id : *loose)
            if (!feature_agrees(id))
                return false;
    }
    return all;
}

}  // namespace

// Vertex 0 at a cell point of the block would make d0 zero there: such
// blocks are left to cells (1e-12 is a squared distance far below any float
// offset from a cell).
bool vertex0_clear_of(const Classifier* c, const Query& q)
{
    const double* v0 = c->features.vertices[0].p;
    double near2 = 0.0;
    for (int i = 0; i < 3; ++i)
        near2 += sq(v0[i] - std::min(std::max(std::round(v0[i]), q.box.lo[i]), q.box.hi[i]));
    return near2 > 1e-12;
}

// A vertex nearest to the block's centre, searched from `hint` (any
// vertex: the parent block's is near); every cell's nearest vertex is at
// most as far as the one found.
uint32_t vertex_nearest_centre(const Classifier* c, const Query& q, uint32_t hint)
{
    const double* h = c->features.vertices[hint].p;
    double best2 = point_dist2(h, q.centre);
    uint32_t best = hint;
    walk_bvh(
        c->features.vertex_bvh, NearerFirst{q.centre},
        [&](const BvhNode& n) { return box_point_dist2(n.box, q.centre) > best2; },
        [&](uint32_t i) {
            const double* p = c->features.vertices[i].p;
            double d2 = point_dist2(p, q.centre);
            if (d2 < best2) {
                best2 = d2;
                best = i;
            }
            return true;
        });
    return best;
}

// Largest possible nearest-vertex distance over the block, with the float
// slack: features beyond it decide no cell.
double block_reach(const Classifier* c, const Query& q, uint32_t nearest)
{
    double far = std::sqrt(box_point_maxdist2(q.box, c->features.vertices[nearest].p));
    return far * (1.0 + FLOAT_SLACK) + MARGIN_FLOOR;
}

double edge_reach(const Classifier* c, const Query& q, uint32_t nearest, double reach)
{
    // A deciding vertex is nearer than every edge that measures, a deciding
    // edge or face no farther than the nearest edge that measures: an edge
    // that surely measures at most `upper` for every cell bounds them all.
    for (uint32_t k = c->edge_start[nearest]; k < c->edge_start[nearest + 1]; ++k)
        reach = std::min(reach, edge_upper(q, c->features.edges[c->vertex_edges[k]], reach));
    return reach;
}

PhysSide certify_within(const Classifier* c, const Query& q, double reach)
{
    RobustSide common = ROBUST_UNSURE;
    // Faces first: where the sides differ, they are the likeliest to show it.
    if (!kind_agrees<FaceInfo, face_node_lower, face_node_margin, face_beyond, face_robust_side>(
            c->features.face_bvh, c->features.faces, &c->features.odd_faces, q, reach, &common) ||
        !kind_agrees<EdgeInfo, edge_node_lower, edge_node_margin, edge_beyond, edge_robust_side>(
            c->features.edge_bvh, c->features.edges, nullptr, q, reach, &common) ||
        !kind_agrees<VertexInfo, vertex_node_lower, vertex_node_margin, vertex_beyond, vertex_robust_side>(
            c->features.vertex_bvh, c->features.vertices, nullptr, q, reach, &common))
        return PHYS_SIDE_NONE;
    return side_of(common);
}

namespace {

// The class of every cell of the block when it is certain, else NONE.
// `*nearest` holds a hint for the vertex nearest to the centre and gets
// that vertex once searched.
PhysSide certify_block(const Classifier* c, const Query& q, uint32_t* nearest)
{
    if (!vertex0_clear_of(c, q))
        return PHYS_SIDE_NONE;
    *nearest = vertex_nearest_centre(c, q, *nearest);
    double reach = block_reach(c, q, *nearest);
    return certify_within(c, q, edge_reach(c, q, *nearest, reach));
}

// The edges at each vertex, in edge order.
void list_vertex_edges(Classifier* c)
{
    const std::vector<MeshEdge>& edges = c->mesh->edges;
    std::vector<uint32_t>& start = c->edge_start;
    start.assign(c->mesh->vertices.size() + 2, 0);
    for (const MeshEdge& e : edges) {
        ++start[e.a + 2];
        ++start[e.b + 2];
    }
    for (size_t i = 2; i < start.size(); ++i)
        start[i] += start[i - 1];
    c->vertex_edges.resize(edges.size() * 2);
    for (uint32_t k = 0; k < (uint32_t)edges.size(); ++k) {
        c->vertex_edges[start[edges[k].a + 1]++] = k;
        c->vertex_edges[start[edges[k].b + 1]++] = k;
    }
    start.pop_back();
}

}  // namespace

void mark_front(const Classifier* c, const Block& b)
{
    for (int64_t x = b.lo[0]; x <= b.hi[0]; ++x)
        for (int64_t y = b.lo[1]; y <= b.hi[1]; ++y)
            for (int64_t z = b.lo[2]; z <= b.hi[2]; ++z)
                c->marks[cell_index(x, y, z, c->g)] = CELL_PUSH | CELL_REGION;
}

int split_block(const Block& b, Block children[8])
{
    int n = 0;
    int64_t mid[3];
    for (int a = 0; a < 3; ++a)
        mid[a] = b.lo[a] + (b.hi[a] - b.lo[a]) / 2;
    for (int i = 0; i < (b.hi[0] > b.lo[0] ? 2 : 1); ++i)
        for (int j = 0; j < (b.hi[1] > b.lo[1] ? 2 : 1); ++j)
            for (int k = 0; k < (b.hi[2] > b.lo[2] ? 2 : 1); ++k) {
                const int part[3] = {i, j, k};
                Block& ch = children[n++];
                for (int a = 0; a < 3; ++a) {
                    bool split = b.hi[a] > b.lo[a];
                    ch.lo[a] = !split || part[a] == 0 ? b.lo[a] : mid[a] + 1;
                    ch.hi[a] = split && part[a] == 0 ? mid[a] : b.hi[a];
                }
            }
    return n;
}

namespace {

// Classifies a block of more than one cell as a whole when it can: true
// when done (marked and counted). `*nearest` as for certify_block.
bool certify_whole(Worker* w, const Block& b, uint32_t* nearest)
{
    double dlo[3] = {(double)b.lo[0], (double)b.lo[1], (double)b.lo[2]};
    double dhi[3] = {(double)b.hi[0], (double)b.hi[1], (double)b.hi[2]};
    PhysSide side = certify_block(w->c, make_query(dlo, dhi), nearest);
    if (side == PHYS_SIDE_NONE)
        return false;
    if (side == PHYS_SIDE_FRONT)
        mark_front(w->c, b);
    count_cells(w, block_cells(b));
    return true;
}

// `hint`: a vertex near the block (its parent's nearest), or any.
void classify_block(Worker* w, const Block& b, uint32_t hint)
{
    if (block_cells(b) == 1) {
        const Classifier* c = w->c;
        if (classify_cell_fast(c, b.lo[0], b.lo[1], b.lo[2]) == PHYS_SIDE_FRONT)
            c->marks[cell_index(b.lo[0], b.lo[1], b.lo[2], c->g)] = CELL_PUSH | CELL_REGION;
        count_cells(w, 1);
        return;
    }
    if (w->c->small_blocks && is_small(b, SMALL_BLOCK)) {
        classify_small_block(w, b, hint);
        return;
    }
    if (certify_whole(w, b, &hint))
        return;
    if (w->c->long_small_blocks && is_small(b, LONG_SMALL_BLOCK)) {
        classify_small_block(w, b, hint);
        return;
    }
    Block children[8];
    int n = split_block(b, children);
    for (int k = 0; k < n; ++k)
        classify_block(w, children[k], hint);
}

// Several threads: the first levels of the split are walked here until
// there are enough blocks to share, then every thread takes the next block
// of the list until none is left. The marks do not depend on how the box
// is cut into blocks, and the dots only on the count of cells, so the
// result and the transcript are those of one thread.
void classify_shared(Classifier* c, const Block& box, PhysProgress* pr, int threads)
{
    std::atomic<uint64_t> done{0};
    std::vector<Candidates> scratch((size_t)threads);
    Worker main_worker{c, pr, &done, &scratch[0], 0};
    std::vector<Block> level = {box}, next;
    const size_t wanted = (size_t)threads * 16;
    while (level.size() < wanted) {
        next.clear();
        bool split_any = false;
        for (const Block& b : level) {
            if (block_cells(b) == 1) {
                next.push_back(b);
            } else if (uint32_t hint = 0; !certify_whole(&main_worker, b, &hint)) {
                Block children[8];
                int n = split_block(b, children);
                next.insert(next.end(), children, children + n);
                split_any = true;
            }
        }
        level.swap(next);
        if (!split_any)
            break;
    }
    std::atomic<size_t> taken{0};
    auto work = [&level, &taken](Worker w) {
        for (size_t k = taken.fetch_add(1); k < level.size(); k = taken.fetch_add(1))
            classify_block(&w, level[k], 0);
        flush_count(&w);
    };
    std::vector<std::thread> helpers;
    helpers.reserve((size_t)threads);
    for (int t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(work, Worker{c, nullptr, &done, &scratch[(size_t)t], 0});
        } catch (const std::system_error&) {
            break;  // no more threads: the others share the work
        }
    }
    work(main_worker);
    for (std::thread& t : helpers)
        t.join();
    if (done.load() > pr->count)
        progress_advance(pr, done.load() - pr->count);
}

}  // namespace

bool classify_cells_fast(const PhysMesh* mesh, const PhysBox* box, int64_t g, uint8_t* marks, PhysProgress* pr,
                         int threads)
{
    uint64_t cells = box_cell_count(box);
    if (mesh->vertices.empty() || cells == 0) {
        progress_advance(pr, cells);
        return true;
    }
    Classifier c;
    c.mesh = mesh;
    if (!prepare_features(mesh, &c.features, threads))
        return false;
    c.g = g;
    c.marks = marks;
    double edge = mean_edge_length(c.features);
    c.small_blocks = edge != 0.0 && edge >= SMALL_BLOCK_EDGE;
    c.long_small_blocks = edge >= LONG_SMALL_BLOCK_EDGE;
    list_vertex_edges(&c);
    Block whole{{box->lo[0], box->lo[1], box->lo[2]}, {box->hi[0], box->hi[1], box->hi[2]}};
    if (threads > 1) {
        classify_shared(&c, whole, pr, threads);
    } else {
        Candidates scratch;
        Worker w{&c, pr, nullptr, &scratch, 0};
        classify_block(&w, whole, 0);
    }
    return true;
}
