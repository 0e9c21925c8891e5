// Single cells and small blocks of the fast classification: the exact
// class of a cell point from candidate features found through the
// hierarchies or gathered once for a small block.
#include <algorithm>
#include <cmath>

#include "phys_classify_parts.h"

namespace {

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

// ---- small blocks -------------------------------------------------------------
//
// A block at most two cells long on every axis gathers once every feature
// that can matter to any of its cells, certifies itself from that list and,
// failing that, classifies its cells from it: one set of walks instead of
// one per cell.

// Mean edge length (cells) from which small blocks gather their candidates.
const double SMALL_BLOCK_EDGE = 1.5;

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

// The features of one kind whose float distance can be at most `limit` for
// some point of the query, and others near them: every feature of a leaf
// in reach (measuring a few more costs less than bounding each).
template <double (*NodeLower)(const Query&, const BvhNode&)>
void gather(const Bvh& bvh, const Query& q, double limit, std::vector<uint32_t>* out)
{
    out->clear();
    walk_bvh(
        bvh, RightFirst(), [&](const BvhNode& n) { return node_beyond<NodeLower>(q, n, limit); },
        [&](uint32_t id) {
            out->push_back(id);
            return true;
        });
}

// The same from the leaves kept for a block around the query.
template <bool (*BeyondInner)(const Query&, const BvhNode&, double, double)>
void gather_kept(const Bvh& bvh, const std::vector<std::pair<uint32_t, double>>& leaves, const Query& q, double limit,
                 std::vector<uint32_t>* out)
{
    out->clear();
    for (const std::pair<uint32_t, double>& leaf : leaves) {
        const BvhNode& n = bvh.nodes[leaf.first];
        if (!BeyondInner(q, n, leaf.second, limit))
            out->insert(out->end(), bvh.items.begin() + n.start, bvh.items.begin() + n.start + n.count);
    }
}

// The leaves of a hierarchy in reach, as `gather` would reach them, each
// with its `Outer` part of the bound for the block.
template <double (*NodeLower)(const Query&, const BvhNode&), double (*Outer)(const Query&, const BvhNode&)>
void collect_leaves(const Bvh& bvh, const Query& q, double limit, std::vector<std::pair<uint32_t, double>>* out)
{
    out->clear();
    if (bvh.nodes.empty())
        return;
    uint32_t stack[128];
    int top = 0;
    stack[top++] = 0;
    while (top) {
        uint32_t i = stack[--top];
        const BvhNode& n = bvh.nodes[i];
        if (node_beyond<NodeLower>(q, n, limit))
            continue;
        if (n.count) {
            out->emplace_back(i, Outer(q, n));
        } else {
            stack[top++] = n.left;
            stack[top++] = n.right;
        }
    }
}

double no_outer(const Query&, const BvhNode&)
{
    return 0.0;
}

// What a block's candidates must cover: `limit` for vertices (every cell's
// nearest, in float, is no farther), `near` for edges and faces, `reach`
// for the certificate.
struct Limits {
    double limit, near, reach;
};

Query block_query(const Block& b)
{
    double dlo[3] = {(double)b.lo[0], (double)b.lo[1], (double)b.lo[2]};
    double dhi[3] = {(double)b.hi[0], (double)b.hi[1], (double)b.hi[2]};
    return make_query(dlo, dhi);
}

Limits block_limits(const Classifier* c, const Block& b, const Query& q, uint32_t nearest)
{
    double reach = block_reach(c, q, nearest);
    // No cell's nearest vertex is farther, in float, than `nearest` is.
    float upper = 0.0f;
    for (int64_t x = b.lo[0]; x <= b.hi[0]; ++x)
        for (int64_t y = b.lo[1]; y <= b.hi[1]; ++y)
            for (int64_t z = b.lo[2]; z <= b.hi[2]; ++z)
                upper = std::max(upper, vertex_distance(Vec3{(float)x, (float)y, (float)z}, c->mesh->vertices[nearest]));
    double limit = std::max(reach, (double)upper);
    // An edge at the nearest vertex that surely measures less for every cell
    // bounds what decides them and what their walks of edges and faces
    // reach: those kinds are gathered no farther. Vertices are all gathered,
    // as every cell needs its nearest.
    double tight = edge_reach(c, q, nearest, reach);
    return Limits{limit, tight < reach ? tight : limit, tight};
}

// A vertex nearest to the block's centre among those of the kept leaves
// (they hold every vertex nearer to any point of the kept block than its
// own nearest is), searched from `hint`.
uint32_t nearest_kept(const Classifier* c, const Candidates* k, const Query& q, uint32_t hint)
{
    const std::vector<VertexInfo>& v = c->features.vertices;
    auto d2 = [&](uint32_t i) { return sq(v[i].p[0] - q.centre[0]) + sq(v[i].p[1] - q.centre[1]) + sq(v[i].p[2] - q.centre[2]); };
    uint32_t best = hint;
    double best2 = d2(hint);
    const Bvh& bvh = c->features.vertex_bvh;
    for (const std::pair<uint32_t, double>& leaf : k->vertex_leaves) {
        const BvhNode& n = bvh.nodes[leaf.first];
        for (uint32_t s = n.start; s < n.start + n.count; ++s) {
            double e2 = d2(bvh.items[s]);
            if (e2 < best2) {
                best2 = e2;
                best = bvh.items[s];
            }
        }
    }
    return best;
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

}  // namespace

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
                f.vertex_bvh, NearerFirst{pd}, [&](const BvhNode& n) { return node_beyond<vertex_node_lower>(q, n, limit()); },
                visit);
        },
        [&](auto limit, auto visit) {
            walk_bvh(
                f.edge_bvh, RightFirst(), [&](const BvhNode& n) { return node_beyond<edge_node_lower>(q, n, limit()); }, visit);
        },
        [&](auto limit, auto visit) {
            walk_bvh(
                f.face_bvh, RightFirst(), [&](const BvhNode& n) { return node_beyond<face_node_lower>(q, n, limit()); }, visit);
            for (uint32_t j : f.odd_faces)
                visit(j);
        });
}

bool wants_small_blocks(const MeshFeatures& f)
{
    // Gathering pays where features are sparse: with edges about a cell long
    // or shorter, a small block's lists grow longer than the walks of its
    // cells are.
    double length = 0.0;
    size_t edges = 0;
    for (const EdgeInfo& e : f.edges)
        if (e.len > 0.0) {
            length += e.len;
            ++edges;
        }
    return edges != 0 && length >= SMALL_BLOCK_EDGE * (double)edges;
}

bool is_small(const Block& b)
{
    return b.hi[0] - b.lo[0] <= 1 && b.hi[1] - b.lo[1] <= 1 && b.hi[2] - b.lo[2] <= 1;
}

bool is_mid(const Block& b)
{
    return b.hi[0] - b.lo[0] <= 3 && b.hi[1] - b.lo[1] <= 3 && b.hi[2] - b.lo[2] <= 3;
}

void keep_leaves(Worker* w, const Block& b, uint32_t hint)
{
    const Classifier* c = w->c;
    const MeshFeatures& f = c->features;
    Query q = block_query(b);
    Limits l = block_limits(c, b, q, vertex_nearest_centre(c, q, hint));
    Candidates* k = w->candidates;
    collect_leaves<vertex_node_lower, no_outer>(f.vertex_bvh, q, l.limit, &k->vertex_leaves);
    collect_leaves<edge_node_lower, edge_node_outer>(f.edge_bvh, q, l.near, &k->edge_leaves);
    collect_leaves<face_node_lower, no_outer>(f.face_bvh, q, l.near, &k->face_leaves);
    k->from_leaves = true;
}

void classify_small_block(Worker* w, const Block& b, uint32_t hint)
{
    const Classifier* c = w->c;
    const MeshFeatures& f = c->features;
    Query q = block_query(b);
    Candidates* k = w->candidates;
    bool kept = k->from_leaves;
    uint32_t nearest = kept ? nearest_kept(c, k, q, hint) : vertex_nearest_centre(c, q, hint);
    Limits l = block_limits(c, b, q, nearest);
    double reach = l.reach;
    if (kept) {
        gather_kept<vertex_node_beyond_inner>(f.vertex_bvh, k->vertex_leaves, q, l.limit, &k->vertices);
        gather_kept<edge_node_beyond_inner>(f.edge_bvh, k->edge_leaves, q, l.near, &k->edges);
        gather_kept<face_node_beyond_inner>(f.face_bvh, k->face_leaves, q, l.near, &k->faces);
    } else {
        gather<vertex_node_lower>(f.vertex_bvh, q, l.limit, &k->vertices);
        gather<edge_node_lower>(f.edge_bvh, q, l.near, &k->edges);
        gather<face_node_lower>(f.face_bvh, q, l.near, &k->faces);
    }

    // Faces first, as for whole blocks.
    RobustSide common = ROBUST_UNSURE;
    if (vertex0_clear_of(c, q) &&
        list_agrees<FaceInfo, face_beyond, face_robust_side>(f.faces, k->faces, q, reach, &common) &&
        list_agrees<FaceInfo, face_beyond, face_robust_side>(f.faces, f.odd_faces, q, reach, &common) &&
        list_agrees<EdgeInfo, edge_beyond, edge_robust_side>(f.edges, k->edges, q, reach, &common) &&
        list_agrees<VertexInfo, vertex_beyond, vertex_robust_side>(f.vertices, k->vertices, q, reach, &common) &&
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

