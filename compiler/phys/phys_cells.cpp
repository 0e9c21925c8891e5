// Single cells and small blocks of the fast classification: the exact
// class of a cell point from candidate features found through the
// hierarchies or gathered once for a small block.
#include <algorithm>
#include <cmath>
#include <cstdint>

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
// A block at most four cells long on every axis gathers once every feature
// that can matter to any of its cells, with its lower bound over the block,
// nearest first. It certifies itself from those lists (a feature bounded
// beyond its reach agrees, and so do all after it). Failing that, each of
// its parts (or the block itself, when at most two cells long) certifies
// itself from the same lists, reusing the sides already worked out over the
// block, and failing that classifies its cells from lists narrowed to it:
// one set of walks instead of one per cell.

// Candidates up to which a small block longer than four cells keeps its
// lists for its parts.
const size_t SMALL_BLOCK_MAX_LISTED = 600;

// Marks a side not yet worked out.
const uint8_t SIDE_UNKNOWN = 255;

// The features of one kind whose float distance can be at most `limit` for
// some point of the query, and others near them: every feature of a leaf
// in reach (measuring a few more costs less than bounding each) for which
// `keep(slot)` holds. False, with the list left unfinished, once more than
// `*left` features have been looked at; `*left` counts them down.
template <double (*NodeLower)(const Query&, const BvhNode&), typename Keep>
bool gather(const Bvh& bvh, const Query& q, double limit, size_t* left, std::vector<uint32_t>* out, Keep keep)
{
    out->clear();
    return walk_bvh_slots(
        bvh, RightFirst(), [&](const BvhNode& n) { return node_beyond<NodeLower>(q, n, limit); },
        [&](uint32_t slot) {
            if (*left == 0)
                return false;
            --*left;
            if (keep(slot))
                out->push_back(bvh.items[slot]);
            return true;
        });
}

// Nearest first (the walks stop at the first bound beyond their threshold;
// the order among equal bounds does not matter).
void sort_by_bound(std::vector<Ranked>* list)
{
    std::sort(list->begin(), list->end(), [](const Ranked& a, const Ranked& b) { return a.first < b.first; });
}

// The ids whose lower bound over the block is at most `limit` (the others
// matter to no cell of it), with that bound, nearest first.
template <typename Info, double (*Lower)(const Query&, const Info&)>
void rank(const std::vector<Info>& infos, const std::vector<uint32_t>& ids, const Query& q, double limit,
          std::vector<Ranked>* out)
{
    // Room for every id first, then cut to those kept.
    out->resize(ids.size());
    size_t kept = 0;
    for (uint32_t id : ids) {
        double lower = Lower(q, infos[id]);
        if (lower <= limit)
            (*out)[kept++] = Ranked(lower, id);
    }
    out->resize(kept);
    sort_by_bound(out);
}

double vertex_lower(const Query& q, const VertexInfo& v)
{
    return std::sqrt(box_point_dist2(q.box, v.p)) * (1.0 - FLOAT_SLACK);
}

// Every ranked feature of one kind within `reach` of `part` (a part of the
// ranked block `whole`, or the block itself) agrees on the common side. A
// side worked out over the whole block holds for the part; where it does
// not settle the matter, the part's own side and bound do.
template <typename Info, bool (*Beyond)(const Query&, const Info&, double),
          RobustSide (*SideOf)(const Query&, const Info&)>
bool ranked_agree(const std::vector<Info>& infos, const std::vector<Ranked>& ranked, std::vector<uint8_t>* sides,
                  const Query& whole, const Query& part, bool same, double reach, RobustSide* common)
{
    // Locals, not reread after every store of a side (a byte store may
    // alias anything).
    const Ranked* list = ranked.data();
    const size_t n = ranked.size();
    const Info* info = infos.data();
    uint8_t* known = sides->data();
    RobustSide agreed = *common;
    bool all = true;
    for (size_t i = 0; i < n; ++i) {
        if (list[i].first > reach)
            break;
        const Info& f = info[list[i].second];
        if (known[i] == SIDE_UNKNOWN)
            known[i] = (uint8_t)SideOf(whole, f);
        RobustSide s = (RobustSide)known[i];
        if (s == ROBUST_NOWHERE || (s != ROBUST_UNSURE && s == agreed))
            continue;
        bool ok = same ? Beyond(part, f, reach) || agree(s, &agreed)
                       : one_agrees<Info, Beyond, SideOf>(part, f, reach, &agreed);
        if (!ok) {
            all = false;
            break;
        }
    }
    *common = agreed;
    return all;
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
    // reach: those kinds are gathered no farther. Every vertex a cell may
    // find nearest is gathered.
    double tight = edge_reach(c, q, nearest, reach);
    return Limits{limit, tight < reach ? tight : limit, tight};
}

// The certificate of `part` from the block's lists: faces first, as for
// whole blocks.
PhysSide certify_listed(const Classifier* c, Candidates* k, const Query& whole, const Query& part, bool same,
                        double reach)
{
    const MeshFeatures& f = c->features;
    RobustSide common = ROBUST_UNSURE;
    if (vertex0_clear_of(c, part) &&
        ranked_agree<FaceInfo, face_beyond, face_robust_side>(f.faces, k->ranked[2], &k->sides[2], whole, part, same,
                                                              reach, &common) &&
        list_agrees<FaceInfo, face_beyond, face_robust_side>(f.faces, f.odd_faces, part, reach, &common) &&
        ranked_agree<EdgeInfo, edge_beyond, edge_robust_side>(f.edges, k->ranked[1], &k->sides[1], whole, part, same,
                                                              reach, &common) &&
        ranked_agree<VertexInfo, vertex_beyond, vertex_robust_side>(f.vertices, k->ranked[0], &k->sides[0], whole,
                                                                    part, same, reach, &common))
        return side_of(common);
    return PHYS_SIDE_NONE;
}

// The ranked features of one kind that can matter to `part` (bounded
// within `limit` over it), with their bounds over the part, nearest first.
template <typename Info, double (*Lower)(const Query&, const Info&)>
void narrow(const std::vector<Info>& infos, const std::vector<Ranked>& ranked, const Query& part, double limit,
            std::vector<Ranked>* out)
{
    out->resize(ranked.size());
    size_t kept = 0;
    for (const Ranked& r : ranked) {
        if (r.first > limit)
            break;
        double lower = Lower(part, infos[r.second]);
        if (lower <= limit)
            (*out)[kept++] = Ranked(lower, r.second);
    }
    out->resize(kept);
    sort_by_bound(out);
}

// The block's lists narrowed to `part`; edges with the rounding part of
// their bound.
void narrow_lists(const MeshFeatures& f, Candidates* k, const Query& part, const Limits& l)
{
    narrow<VertexInfo, vertex_lower>(f.vertices, k->ranked[0], part, l.limit, &k->part[0]);
    narrow<EdgeInfo, edge_lower>(f.edges, k->ranked[1], part, l.near, &k->part[1]);
    narrow<FaceInfo, face_lower>(f.faces, k->ranked[2], part, l.near, &k->part[2]);
    k->part_edge_errors.clear();
    for (const Ranked& r : k->part[1])
        k->part_edge_errors.push_back(edge_error(part, f.edges[r.second]));
}

// Classifies the cells of `b` from the narrowed lists: each cell walks every
// kind nearest first and stops at the first feature whose bound is beyond
// its threshold, as a hierarchy walk would; edges and faces that surely do
// not measure at the cell are passed over on their own bounds for it.
void classify_listed_cells(const Classifier* c, const Candidates* k, const Block& b)
{
    const MeshFeatures& f = c->features;
    auto each_vertex = [k](auto limit, auto visit) {
        for (const Ranked& r : k->part[0]) {
            if (r.first > limit())
                break;
            visit(r.second);
        }
    };
    for (int64_t x = b.lo[0]; x <= b.hi[0]; ++x)
        for (int64_t y = b.lo[1]; y <= b.hi[1]; ++y)
            for (int64_t z = b.lo[2]; z <= b.hi[2]; ++z) {
                const double pd[3] = {(double)x, (double)y, (double)z};
                const double norm = std::sqrt(dot3(pd, pd));
                auto each_edge = [&](auto limit, auto visit) {
                    for (size_t i = 0; i < k->part[1].size(); ++i) {
                        const Ranked& r = k->part[1][i];
                        double l = limit();
                        if (r.first > l)
                            break;
                        if (!edge_point_beyond(f.edges[r.second], pd, k->part_edge_errors[i], l))
                            visit(r.second);
                    }
                };
                auto each_face = [&](auto limit, auto visit) {
                    for (const Ranked& r : k->part[2]) {
                        if (r.first > limit())
                            break;
                        if (!face_point_outside(f.faces[r.second], pd, norm))
                            visit(r.second);
                    }
                    for (uint32_t j : f.odd_faces)
                        visit(j);
                };
                PhysSide side = classify_point(c->mesh, Vec3{(float)x, (float)y, (float)z}, each_vertex, each_edge,
                                               each_face);
                if (side == PHYS_SIDE_FRONT)
                    c->marks[cell_index(x, y, z, c->g)] = CELL_PUSH | CELL_REGION;
            }
}

// The vertex of the block's lists nearest to the part's centre (the lists
// hold every vertex nearer to a point of the block than the block's own
// nearest vertex is), searched from `hint`.
uint32_t nearest_listed(const MeshFeatures& f, const Candidates* k, const Query& part, uint32_t hint)
{
    auto d2 = [&](uint32_t i) {
        const double* p = f.vertices[i].p;
        return point_dist2(p, part.centre);
    };
    uint32_t best = hint;
    double best2 = d2(hint);
    for (const Ranked& r : k->ranked[0]) {
        double e2 = d2(r.second);
        if (e2 < best2) {
            best2 = e2;
            best = r.second;
        }
    }
    return best;
}

// Classifies `part` of the block `whole` (the block itself when `same`)
// from the block's lists: by its certificate (when `certify`), else by its
// own parts when longer than two cells, else cell by cell. `l` are its
// limits, `nearest` a vertex near it.
void classify_part(Worker* w, const Query& whole, const Block& part, const Query& pq, const Limits& l,
                   uint32_t nearest, bool same, bool certify)
{
    const Classifier* c = w->c;
    const MeshFeatures& f = c->features;
    Candidates* k = w->candidates;
    PhysSide side = certify ? certify_listed(c, k, whole, pq, same, l.reach) : PHYS_SIDE_NONE;
    if (side == PHYS_SIDE_FRONT)
        mark_front(c, part);
    if (side != PHYS_SIDE_NONE) {
        count_cells(w, block_cells(part));
        return;
    }
    if (part.hi[0] - part.lo[0] <= 1 && part.hi[1] - part.lo[1] <= 1 && part.hi[2] - part.lo[2] <= 1) {
        narrow_lists(f, k, pq, l);
        classify_listed_cells(c, k, part);
        count_cells(w, block_cells(part));
        return;
    }
    Block parts[8];
    int n = split_block(part, parts);
    for (int i = 0; i < n; ++i) {
        // Each part's own limits, no wider than these (which hold for every
        // cell of it).
        Query sq = block_query(parts[i]);
        uint32_t near = nearest_listed(f, k, sq, nearest);
        Limits sl = block_limits(c, parts[i], sq, near);
        sl.limit = std::min(sl.limit, l.limit);
        sl.near = std::min(sl.near, l.near);
        sl.reach = std::min(sl.reach, l.reach);
        classify_part(w, whole, parts[i], sq, sl, near, false, true);
    }
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

double mean_edge_length(const MeshFeatures& f)
{
    double length = 0.0;
    size_t edges = 0;
    for (const EdgeInfo& e : f.edges)
        if (e.len > 0.0) {
            length += e.len;
            ++edges;
        }
    return edges != 0 ? length / (double)edges : 0.0;
}

bool is_small(const Block& b, int64_t cells)
{
    return b.hi[0] - b.lo[0] < cells && b.hi[1] - b.lo[1] < cells && b.hi[2] - b.lo[2] < cells;
}

void classify_small_block(Worker* w, const Block& b, uint32_t hint)
{
    const Classifier* c = w->c;
    const MeshFeatures& f = c->features;
    Query q = block_query(b);
    uint32_t nearest = vertex_nearest_centre(c, q, hint);
    Limits l = block_limits(c, b, q, nearest);
    Candidates* k = w->candidates;
    // A block longer than four cells with many candidates costs less as
    // parts with lists of their own.
    bool long_block = !is_small(b, SMALL_BLOCK);
    size_t left = long_block ? SMALL_BLOCK_MAX_LISTED : SIZE_MAX;
    // Edges whose foot lies off them over the whole block, and faces the
    // block does not project onto, measure at none of its cells: they are
    // left out here, from the compact copies (most features in reach are).
    double keep = f.edge_bvh.nodes.empty() ? 0.0 : slab_keep_bound(q, f.edge_bvh.nodes[0]);
    auto edge_in_slab = [&](uint32_t slot) {
        SlabTest t = edge_slab_test(q, f.edge_slabs[slot], keep);
        return t == SLAB_MEETS || (t == SLAB_UNSURE && !edge_outside_slab(q, f.edges[f.edge_bvh.items[slot]]));
    };
    auto face_in_prism = [&](uint32_t slot) { return !face_prism_excludes(q, f.face_prisms[slot]); };
    auto any = [](uint32_t) { return true; };
    bool listed = gather<edge_node_lower>(f.edge_bvh, q, l.near, &left, &k->edges, edge_in_slab) &&
                  gather<face_node_lower>(f.face_bvh, q, l.near, &left, &k->faces, face_in_prism) &&
                  gather<vertex_node_lower>(f.vertex_bvh, q, l.limit, &left, &k->vertices, any);
    if (!listed) {
        Block parts[8];
        int n = split_block(b, parts);
        for (int i = 0; i < n; ++i)
            classify_small_block(w, parts[i], nearest);
        return;
    }
    rank<VertexInfo, vertex_lower>(f.vertices, k->vertices, q, l.limit, &k->ranked[0]);
    rank<EdgeInfo, edge_lower_in_slab>(f.edges, k->edges, q, l.near, &k->ranked[1]);
    rank<FaceInfo, face_lower_in_prism>(f.faces, k->faces, q, l.near, &k->ranked[2]);
    for (int kind = 0; kind < 3; ++kind)
        k->sides[kind].assign(k->ranked[kind].size(), SIDE_UNKNOWN);
    // A long block comes here once its whole certificate has failed.
    classify_part(w, q, b, q, l, nearest, true, !long_block);
}
