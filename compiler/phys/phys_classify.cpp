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

#include "phys_bounds.h"
#include "phys_bvh.h"
#include "phys_stages.h"

namespace {

// ---- the classifier ----------------------------------------------------------

struct Classifier {
    const PhysMesh* mesh;
    MeshFeatures features;
    int64_t g;
    uint8_t* marks;     // threads write disjoint cells
    bool small_blocks;  // small blocks gather their candidates once
};

// One thread's share of the work: it counts the cells it has classified
// into `done` (shared by all threads, or none with one thread); the thread
// that owns `pr` (or the only one) also prints the dots now due for them.
struct Candidates;

struct Worker {
    const Classifier* c;
    PhysProgress* pr;
    std::atomic<uint64_t>* done;
    Candidates* candidates;  // this thread's scratch for small blocks
};

void count_cells(Worker* w, uint64_t cells)
{
    if (!w->done) {
        progress_advance(w->pr, cells);
        return;
    }
    uint64_t total = w->done->fetch_add(cells, std::memory_order_relaxed) + cells;
    if (w->pr && total > w->pr->count)
        progress_advance(w->pr, total - w->pr->count);
}

// Inclusive cell bounds of one block.
struct Block {
    int64_t lo[3];
    int64_t hi[3];
};

uint64_t block_cells(const Block& b)
{
    return (uint64_t)(b.hi[0] - b.lo[0] + 1) * (uint64_t)(b.hi[1] - b.lo[1] + 1) * (uint64_t)(b.hi[2] - b.lo[2] + 1);
}

// ---- one cell, exactly ------------------------------------------------------

// The class of cell point p. The visitors hand over the candidates of each
// kind: each_vertex(limit, visit), each_edge(limit, visit) and
// each_face(limit, visit) call visit(i) for at least every feature whose
// float distance can be at most limit() (the walk's current threshold).
// Candidates are compared by (distance, index), so any superset and any
// order give the class the exhaustive search gives.
template <typename Vertices, typename Edges, typename Faces>
PhysSide classify_point(const PhysMesh* mesh, Vec3 p, Vertices each_vertex, Edges each_edge, Faces each_face)
{
    // Nearest vertex by (float distance, index).
    float d0 = vertex_distance(p, mesh->vertices[0]);
    float best_vertex = d0;
    uint32_t vertex = 0;
    each_vertex([&] { return best_vertex; },
                [&](uint32_t i) {
                    float d = vertex_distance(p, mesh->vertices[i]);
                    if (d < best_vertex || (d == best_vertex && i < vertex)) {
                        best_vertex = d;
                        vertex = i;
                    }
                    return true;
                });
    PhysSide vertex_sd = vertex_side(p, mesh->vertices[vertex], mesh->vertex_normals[vertex]);

    // Edges that can measure at most the vertex distance and the best edge so
    // far (ties to the later edge).
    float best_edge = 10.0f * d0;
    int64_t edge = -1;
    PhysSide edge_sd = PHYS_SIDE_NONE;
    each_edge([&] { return std::min(best_vertex, best_edge); },
              [&](uint32_t i) {
                  // Measuring an edge costs less than bounding it first.
                  float dist;
                  PhysSide sd;
                  if (edge_measure(&mesh->edge_geom[i], p, &dist, &sd) &&
                      (dist < best_edge || (dist == best_edge && (int64_t)i > edge))) {
                      best_edge = dist;
                      edge = i;
                      edge_sd = sd;
                  }
                  return true;
              });
    if (best_edge > best_vertex)
        return vertex_sd;

    // Faces that can measure at most the edge distance and the best face so
    // far (ties to the earlier face).
    float best_face = 10.0f * d0;
    int64_t face = -1;
    PhysSide face_sd = PHYS_SIDE_NONE;
    each_face([&] { return std::min(best_edge, best_face); },
              [&](uint32_t j) {
                  // A face farther than the best edge cannot decide: the edge
                  // does (or, with every distance zero, no face is ever taken).
                  const PhysFace* f = &mesh->faces[j];
                  float h = std::fabs(face_plane_value(f, p));
                  if (h > best_edge || !(h < best_face || (h == best_face && (int64_t)j < face)))
                      return true;
                  PhysSide sd;
                  if (face_inside(f, p, h, &sd)) {
                      best_face = h;
                      face = j;
                      face_sd = sd;
                  }
                  return true;
              });
    return decide_class(best_vertex, vertex_sd, best_edge, edge_sd, best_face, face_sd);
}

// One cell, its candidates found through the hierarchies.
PhysSide classify_cell_fast(const Classifier* c, int64_t x, int64_t y, int64_t z)
{
    Vec3 p = {(float)x, (float)y, (float)z};
    double pd[3] = {(double)x, (double)y, (double)z};
    Query q = make_query(pd, pd);
    const MeshFeatures& f = c->features;
    return classify_point(
        c->mesh, p,
        [&](auto limit, auto visit) {
            walk_bvh(
                f.vertex_bvh, NearerFirst{pd}, [&](const BvhNode& n) { return vertex_node_lower(q, n) > limit(); },
                visit);
        },
        [&](auto limit, auto visit) {
            walk_bvh(
                f.edge_bvh, RightFirst(), [&](const BvhNode& n) { return edge_node_lower(q, n) > limit(); }, visit);
        },
        [&](auto limit, auto visit) {
            walk_bvh(
                f.face_bvh, RightFirst(), [&](const BvhNode& n) { return face_node_lower(q, n) > limit(); }, visit);
            for (uint32_t j : f.odd_faces)
                visit(j);
        });
}

// ---- whole blocks -------------------------------------------------------------

PhysSide side_of(RobustSide common)
{
    if (common == ROBUST_FRONT)
        return PHYS_SIDE_FRONT;
    if (common == ROBUST_BACK)
        return PHYS_SIDE_BACK;
    return PHYS_SIDE_NONE;
}

// One feature is beyond `reach` of the block or has the common side.
template <typename Info, bool (*Beyond)(const Query&, const Info&, double),
          RobustSide (*SideOf)(const Query&, const Info&)>
bool one_agrees(const Query& q, const Info& f, double reach, RobustSide* common)
{
    // The side is the cheaper test: a feature already on the common side
    // agrees whether it is in reach or not.
    RobustSide s = SideOf(q, f);
    if (s != ROBUST_UNSURE && s == *common)
        return true;
    return Beyond(q, f, reach) || agree(s, common);
}

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
            return NodeLower(q, n) > reach || agree(node_robust_side(q, n, NodeMargin(q, n)), common);
        },
        feature_agrees);
    if (all && loose) {
        for (uint32_t id : *loose)
            if (!feature_agrees(id))
                return false;
    }
    return all;
}

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
    double best2 = sq(h[0] - q.centre[0]) + sq(h[1] - q.centre[1]) + sq(h[2] - q.centre[2]);
    uint32_t best = hint;
    walk_bvh(
        c->features.vertex_bvh, NearerFirst{q.centre},
        [&](const BvhNode& n) { return box_point_dist2(n.box, q.centre) > best2; },
        [&](uint32_t i) {
            const double* p = c->features.vertices[i].p;
            double d2 = sq(p[0] - q.centre[0]) + sq(p[1] - q.centre[1]) + sq(p[2] - q.centre[2]);
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

// The class of every cell of the block when it is certain, else NONE.
// `*nearest` holds a hint for the vertex nearest to the centre and gets
// that vertex once searched.
PhysSide certify_block(const Classifier* c, const Query& q, uint32_t* nearest)
{
    if (!vertex0_clear_of(c, q))
        return PHYS_SIDE_NONE;
    *nearest = vertex_nearest_centre(c, q, *nearest);
    double reach = block_reach(c, q, *nearest);
    RobustSide common = ROBUST_UNSURE;
    if (!kind_agrees<VertexInfo, vertex_node_lower, vertex_node_margin, vertex_beyond, vertex_robust_side>(
            c->features.vertex_bvh, c->features.vertices, nullptr, q, reach, &common) ||
        !kind_agrees<EdgeInfo, edge_node_lower, edge_node_margin, edge_beyond, edge_robust_side>(
            c->features.edge_bvh, c->features.edges, nullptr, q, reach, &common) ||
        !kind_agrees<FaceInfo, face_node_lower, face_node_margin, face_beyond, face_robust_side>(
            c->features.face_bvh, c->features.faces, &c->features.odd_faces, q, reach, &common))
        return PHYS_SIDE_NONE;
    return side_of(common);
}

void mark_front(const Classifier* c, const Block& b)
{
    for (int64_t x = b.lo[0]; x <= b.hi[0]; ++x)
        for (int64_t y = b.lo[1]; y <= b.hi[1]; ++y)
            for (int64_t z = b.lo[2]; z <= b.hi[2]; ++z)
                c->marks[cell_index(x, y, z, c->g)] = CELL_PUSH | CELL_REGION;
}

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

// The blocks a failed block splits into, in x, y, z order: every axis
// longer than one cell halved. Returns their count (at most eight).
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

// ---- small blocks -------------------------------------------------------------
//
// A block at most two cells long on every axis gathers once every feature
// that can matter to any of its cells, certifies itself from that list and,
// failing that, classifies its cells from it: one set of walks instead of
// one per cell.

struct Candidates {
    std::vector<uint32_t> vertices, edges, faces;
    std::vector<std::pair<double, uint32_t>> ranked_edges, ranked_faces;  // (lower bound, id)
};

// The ids with their lower bounds over the block, nearest first.
template <typename Info, double (*Lower)(const Query&, const Info&)>
void rank(const std::vector<Info>& infos, const std::vector<uint32_t>& ids, const Query& q,
          std::vector<std::pair<double, uint32_t>>* out)
{
    out->clear();
    for (uint32_t id : ids)
        out->emplace_back(Lower(q, infos[id]), id);
    std::sort(out->begin(), out->end());
}

// Mean edge length (cells) from which small blocks gather their candidates.
const double SMALL_BLOCK_EDGE = 1.5;

bool is_small(const Block& b)
{
    return b.hi[0] - b.lo[0] <= 1 && b.hi[1] - b.lo[1] <= 1 && b.hi[2] - b.lo[2] <= 1;
}

// The features of one kind whose float distance can be at most `limit` for
// some point of the query, and others near them: every feature of a leaf
// in reach (measuring a few more costs less than bounding each).
template <double (*NodeLower)(const Query&, const BvhNode&)>
void gather(const Bvh& bvh, const Query& q, double limit, std::vector<uint32_t>* out)
{
    out->clear();
    walk_bvh(
        bvh, RightFirst(), [&](const BvhNode& n) { return NodeLower(q, n) > limit; },
        [&](uint32_t id) {
            out->push_back(id);
            return true;
        });
}

template <typename Info, bool (*Beyond)(const Query&, const Info&, double),
          RobustSide (*SideOf)(const Query&, const Info&)>
bool list_agrees(const std::vector<Info>& infos, const std::vector<uint32_t>& ids, const Query& q, double reach,
                 RobustSide* common)
{
    for (uint32_t id : ids)
        if (!one_agrees<Info, Beyond, SideOf>(q, infos[id], reach, common))
            return false;
    return true;
}

void classify_small_block(Worker* w, const Block& b, uint32_t hint)
{
    const Classifier* c = w->c;
    const MeshFeatures& f = c->features;
    double dlo[3] = {(double)b.lo[0], (double)b.lo[1], (double)b.lo[2]};
    double dhi[3] = {(double)b.hi[0], (double)b.hi[1], (double)b.hi[2]};
    Query q = make_query(dlo, dhi);
    uint32_t nearest = vertex_nearest_centre(c, q, hint);
    double reach = block_reach(c, q, nearest);
    // No cell's nearest vertex is farther, in float, than `nearest` is.
    float upper = 0.0f;
    for (int64_t x = b.lo[0]; x <= b.hi[0]; ++x)
        for (int64_t y = b.lo[1]; y <= b.hi[1]; ++y)
            for (int64_t z = b.lo[2]; z <= b.hi[2]; ++z)
                upper = std::max(upper, vertex_distance(Vec3{(float)x, (float)y, (float)z}, c->mesh->vertices[nearest]));
    double limit = std::max(reach, (double)upper);
    Candidates* k = w->candidates;
    gather<vertex_node_lower>(f.vertex_bvh, q, limit, &k->vertices);
    gather<edge_node_lower>(f.edge_bvh, q, limit, &k->edges);
    gather<face_node_lower>(f.face_bvh, q, limit, &k->faces);

    RobustSide common = ROBUST_UNSURE;
    if (vertex0_clear_of(c, q) &&
        list_agrees<VertexInfo, vertex_beyond, vertex_robust_side>(f.vertices, k->vertices, q, reach, &common) &&
        list_agrees<EdgeInfo, edge_beyond, edge_robust_side>(f.edges, k->edges, q, reach, &common) &&
        list_agrees<FaceInfo, face_beyond, face_robust_side>(f.faces, k->faces, q, reach, &common) &&
        list_agrees<FaceInfo, face_beyond, face_robust_side>(f.faces, f.odd_faces, q, reach, &common) &&
        side_of(common) != PHYS_SIDE_NONE) {
        if (side_of(common) == PHYS_SIDE_FRONT)
            mark_front(c, b);
        count_cells(w, block_cells(b));
        return;
    }
    // Each cell walks the edges and faces nearest first and stops at the
    // first whose bound is beyond its threshold, as a hierarchy walk would.
    rank<EdgeInfo, edge_lower>(f.edges, k->edges, q, &k->ranked_edges);
    rank<FaceInfo, face_lower>(f.faces, k->faces, q, &k->ranked_faces);
    auto each_ranked = [](const std::vector<std::pair<double, uint32_t>>& ranked) {
        return [&ranked](auto limit, auto visit) {
            for (const std::pair<double, uint32_t>& r : ranked) {
                if (r.first > limit())
                    break;
                visit(r.second);
            }
        };
    };
    auto each_edge = each_ranked(k->ranked_edges);
    auto each_listed_face = each_ranked(k->ranked_faces);
    for (int64_t x = b.lo[0]; x <= b.hi[0]; ++x)
        for (int64_t y = b.lo[1]; y <= b.hi[1]; ++y)
            for (int64_t z = b.lo[2]; z <= b.hi[2]; ++z) {
                PhysSide side = classify_point(
                    c->mesh, Vec3{(float)x, (float)y, (float)z},
                    [&](auto, auto visit) {
                        for (uint32_t i : k->vertices)
                            visit(i);
                    },
                    each_edge,
                    [&](auto limit, auto visit) {
                        each_listed_face(limit, visit);
                        for (uint32_t j : f.odd_faces)
                            visit(j);
                    });
                if (side == PHYS_SIDE_FRONT)
                    c->marks[cell_index(x, y, z, c->g)] = CELL_PUSH | CELL_REGION;
            }
    count_cells(w, block_cells(b));
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
    if (w->c->small_blocks && is_small(b)) {
        classify_small_block(w, b, hint);
        return;
    }
    if (certify_whole(w, b, &hint))
        return;
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
    Worker main_worker{c, pr, &done, &scratch[0]};
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
    };
    std::vector<std::thread> helpers;
    helpers.reserve((size_t)threads);
    for (int t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(work, Worker{c, nullptr, &done, &scratch[(size_t)t]});
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
    // Gathering pays where features are sparse: with edges about a cell long
    // or shorter, a small block's lists grow longer than the walks of its
    // cells are. Either way gives the same marks.
    double length = 0.0;
    size_t edges = 0;
    for (const EdgeInfo& e : c.features.edges)
        if (e.len > 0.0) {
            length += e.len;
            ++edges;
        }
    c.small_blocks = edges != 0 && length >= SMALL_BLOCK_EDGE * (double)edges;
    Block whole{{box->lo[0], box->lo[1], box->lo[2]}, {box->hi[0], box->hi[1], box->hi[2]}};
    if (threads > 1) {
        classify_shared(&c, whole, pr, threads);
    } else {
        Candidates scratch;
        Worker w{&c, pr, nullptr, &scratch};
        classify_block(&w, whole, 0);
    }
    return true;
}
