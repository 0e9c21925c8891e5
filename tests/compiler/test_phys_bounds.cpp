// The bounds of the fast classification against the float measurements
// themselves, point by point over blocks of cells: a lower bound above a
// distance some point measures, or a certain side that some point
// contradicts where the feature measures (a face: passes the inside test),
// is a margin too small for float rounding. The meshes put
// cell points on planes, edges and vertices, where rounding decides.
#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <random>

#include "phys_bounds.h"
#include "phys_geom.h"
#include "test_phys_meshes.h"

namespace {

// What one feature measures at one point: whether it measures at all (edge
// foot on the edge, face passing the inside test), the distance, the side.
struct Measured {
    bool ok;
    float dist;
    PhysSide side;
};

struct Kind {
    const char* name;
    const Bvh* bvh;
    std::function<Measured(uint32_t, Vec3)> measure;
    std::function<bool(const Query&, uint32_t, double)> beyond;
    std::function<RobustSide(const Query&, uint32_t)> side;
    std::function<double(const Query&, const BvhNode&)> node_lower;
    std::function<double(const Query&, const BvhNode&)> node_margin;
};

PhysSide as_side(RobustSide s)
{
    return s == ROBUST_FRONT ? PHYS_SIDE_FRONT : PHYS_SIDE_BACK;
}

// Checks every item and node of one kind over the block `q` with cell
// points `points`; counts the certain sides it met, and the features said
// to measure nowhere (by their side or by a bound beyond every distance).
void check_kind(const Kind& k, const Query& q, const std::vector<Vec3>& points, int* certain, int* nowhere)
{
    std::vector<float> nearest(k.bvh->items.size(), INFINITY);
    for (size_t slot = 0; slot < k.bvh->items.size(); ++slot) {
        uint32_t id = k.bvh->items[slot];
        RobustSide s = k.side(q, id);
        *certain += s != ROBUST_UNSURE;
        *nowhere += s == ROBUST_NOWHERE || k.beyond(q, id, DBL_MAX);
        for (Vec3 p : points) {
            Measured m = k.measure(id, p);
            if (m.ok)
                nearest[slot] = std::fmin(nearest[slot], m.dist);
            if (m.ok && s == ROBUST_NOWHERE) {
                ADD_FAILURE() << k.name << " " << id << " measures where it is said to measure nowhere";
            } else if (m.ok && s != ROBUST_UNSURE) {
                EXPECT_EQ(m.side, as_side(s)) << k.name << " " << id;
            }
        }
        if (nearest[slot] < INFINITY) {
            EXPECT_FALSE(k.beyond(q, id, nearest[slot])) << k.name << " " << id << " at " << nearest[slot];
        }
    }
    for (const BvhNode& n : k.bvh->nodes) {
        RobustSide s = node_robust_side(q, n, k.node_margin(q, n));
        *certain += s != ROBUST_UNSURE;
        double lower = k.node_lower(q, n);
        for (uint32_t slot = n.first; slot < n.last; ++slot) {
            EXPECT_LE(lower, nearest[slot]) << k.name << " node";
            if (s == ROBUST_UNSURE)
                continue;
            for (Vec3 p : points) {
                Measured m = k.measure(k.bvh->items[slot], p);
                if (m.ok) {
                    EXPECT_EQ(m.side, as_side(s)) << k.name << " node item " << k.bvh->items[slot];
                }
            }
        }
    }
}

TestMesh bounds_mesh(std::mt19937* gen, int kind)
{
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    auto half = [&](float lo, float hi) { return std::round((lo + (hi - lo) * u(*gen)) * 2.0f) / 2.0f; };
    if (kind == 0)  // planes and edges through cell points
        return box_mesh(Vec3{half(0, 3), half(0, 3), half(0, 3)}, Vec3{half(5, 9), half(5, 9), half(5, 9)},
                        u(*gen) < 0.7f);
    if (kind == 1) {  // curved and dented
        TestMesh m = sphere_mesh(Vec3{half(4, 6), half(4, 6), half(4, 6)}, half(2, 4), 1);
        for (Vec3& v : m.vertices)
            v = vec3_add(v, Vec3{0.3f * u(*gen), 0.3f * u(*gen), 0.3f * u(*gen)});
        return m;
    }
    TestMesh m;  // open soup on half cells, slivers and repeated corners included
    for (int i = 0; i < 8; ++i)
        m.vertices.push_back(Vec3{half(0, 9), half(0, 9), half(0, 9)});
    std::uniform_int_distribution<uint32_t> pick(0, 7);
    for (int j = 0; j < 10; ++j)
        m.faces.push_back(MapFace{{pick(*gen), pick(*gen), pick(*gen)}});
    return m;
}

TEST(PhysBounds, HoldForEveryCellPointOfEveryBlock)
{
    std::mt19937 gen(17);
    int certain = 0, bounded = 0, nowhere = 0;
    for (int round = 0; round < 12; ++round) {
        MapObject obj = make_object(bounds_mesh(&gen, round % 3));
        PhysMesh mesh;
        prepare_phys_mesh(&obj, 1.0f, &mesh);
        build_edge_table_hashed(&obj, &mesh);
        prepare_edge_geometry(&mesh);
        MeshFeatures f;
        ASSERT_TRUE(prepare_features(&mesh, &f, 2));
        Kind kinds[3] = {
            {"vertex", &f.vertex_bvh,
             [&](uint32_t i, Vec3 p) {
                 return Measured{true, vertex_distance(p, mesh.vertices[i]),
                                 vertex_side(p, mesh.vertices[i], mesh.vertex_normals[i])};
             },
             [&](const Query& q, uint32_t i, double limit) { return vertex_beyond(q, f.vertices[i], limit); },
             [&](const Query& q, uint32_t i) { return vertex_robust_side(q, f.vertices[i]); }, vertex_node_lower,
             vertex_node_margin},
            {"edge", &f.edge_bvh,
             [&](uint32_t i, Vec3 p) {
                 Measured m{false, 0.0f, PHYS_SIDE_NONE};
                 m.ok = edge_measure(&mesh.edge_geom[i], p, &m.dist, &m.side);
                 return m;
             },
             [&](const Query& q, uint32_t i, double limit) { return edge_beyond(q, f.edges[i], limit); },
             [&](const Query& q, uint32_t i) { return edge_robust_side(q, f.edges[i]); }, edge_node_lower,
             edge_node_margin},
            {"face", &f.face_bvh,
             [&](uint32_t j, Vec3 p) {
                 Measured m{false, std::fabs(face_plane_value(&mesh.faces[j], p)), PHYS_SIDE_NONE};
                 m.ok = face_inside(&mesh.faces[j], p, m.dist, &m.side);
                 return m;
             },
             [&](const Query& q, uint32_t j, double limit) { return face_beyond(q, f.faces[j], limit); },
             [&](const Query& q, uint32_t j) { return face_robust_side(q, f.faces[j]); }, face_node_lower,
             face_node_margin},
        };
        std::uniform_int_distribution<int> corner(-1, 9), extent(0, 3);
        for (int b = 0; b < 25; ++b) {
            double lo[3], hi[3];
            std::vector<Vec3> points;
            for (int a = 0; a < 3; ++a) {
                lo[a] = corner(gen);
                hi[a] = lo[a] + extent(gen);
            }
            for (double x = lo[0]; x <= hi[0]; ++x)
                for (double y = lo[1]; y <= hi[1]; ++y)
                    for (double z = lo[2]; z <= hi[2]; ++z)
                        points.push_back(Vec3{(float)x, (float)y, (float)z});
            Query q = make_query(lo, hi);
            for (const Kind& k : kinds)
                check_kind(k, q, points, &certain, &nowhere);
            // An edge's upper bound, when it gives one, holds for every point.
            for (uint32_t i = 0; i < (uint32_t)f.edges.size(); ++i) {
                double upper = edge_upper(q, f.edges[i], INFINITY);
                if (upper == INFINITY)
                    continue;
                ++bounded;
                for (Vec3 p : points) {
                    Measured m{false, 0.0f, PHYS_SIDE_NONE};
                    m.ok = edge_measure(&mesh.edge_geom[i], p, &m.dist, &m.side);
                    EXPECT_TRUE(m.ok && m.dist <= upper) << "edge " << i << " upper " << upper;
                }
            }
        }
        clear_object(&obj);
    }
    // The bounds were put to work, not only left unsure.
    EXPECT_GT(certain, 1000);
    EXPECT_GT(bounded, 500);
    EXPECT_GT(nowhere, 1000);
}

}  // namespace
