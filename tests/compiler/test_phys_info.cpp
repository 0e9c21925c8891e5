// The collision field of one object: classification, growth, vectors, the
// transcript and its progress dots (exhaustive search).
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <tuple>

#include "phys_geom.h"
#include "phys_stages.h"
#include "test_phys_meshes.h"

namespace {

// Stage-1 marks of one object in a grid of g cells over a field of
// field_size units.
std::vector<uint8_t> classify(const MapObject& obj, int field_size, int g, PhysBox* box_out = nullptr)
{
    float scale = phys_field_scale((uint16_t)g, (uint16_t)field_size);
    PhysMesh mesh;
    prepare_phys_mesh(&obj, scale, &mesh);
    build_edge_table_linear(&obj, &mesh);
    prepare_edge_geometry(&mesh);
    PhysBox box = phys_working_box(obj.box, scale);
    clamp_box(&box, g);
    std::vector<uint8_t> marks((size_t)g * g * g, 0);
    FILE* sink = std::fopen("/dev/null", "w");
    PhysProgress pr;
    progress_start(&pr, sink, box_cell_count(&box) + 1);
    classify_cells_exhaustive(&mesh, &box, g, marks.data(), &pr);
    std::fclose(sink);
    if (box_out)
        *box_out = box;
    return marks;
}

bool is_seed(const std::vector<uint8_t>& marks, int g, int x, int y, int z)
{
    return marks[((size_t)x * g + y) * g + z] == (CELL_PUSH | CELL_REGION);
}

struct FieldHolder {
    NormalField field{0, nullptr};
    explicit FieldHolder(int g) { EXPECT_TRUE(alloc_normal_field(&field, (uint16_t)g)); }
    ~FieldHolder() { free_normal_field(&field); }
};

std::string dots(int n)
{
    return std::string((size_t)n, '.');
}

std::string transcript(int d1, int d2, int d3)
{
    return "  Calc phys info #1: " + dots(d1) + " OK!\n  Calc phys info #2: " + dots(d2) +
           " OK!\n  Calc phys info #3: " + dots(d3) + " OK!\n";
}

}  // namespace

TEST(PhysPreparation, WorkingBoxTruncatesTowardZeroAndClampsToTheGrid)
{
    // Field 20 over a grid of 10: half a cell per unit.
    float scale = phys_field_scale(10, 20);
    EXPECT_EQ(scale, 0.5f);
    float box[6] = {-3.0f, 30.0f, 1.5f, 2.0f, 7.0f, 0.5f};
    PhysBox b = phys_working_box(box, scale);
    EXPECT_EQ(b.lo[0], -1);  // trunc(-1.5)
    EXPECT_EQ(b.hi[0], 13);  // trunc(13.5)
    EXPECT_EQ(b.lo[1], 0);   // trunc(0.75)
    EXPECT_EQ(b.hi[1], 1);   // trunc(1.75)
    EXPECT_EQ(b.lo[2], 3);
    EXPECT_EQ(b.hi[2], 3);
    clamp_box(&b, 10);
    EXPECT_EQ(b.lo[0], 0);
    EXPECT_EQ(b.hi[0], 9);
    EXPECT_EQ(box_cell_count(&b), 10u * 2u * 1u);

    // A box wholly beyond the far wall stays empty until growth reaches in.
    PhysBox far{{12, 0, 0}, {15, 3, 3}};
    clamp_box(&far, 10);
    EXPECT_EQ(box_cell_count(&far), 0u);
    grow_box(&far, 10);
    grow_box(&far, 10);
    EXPECT_EQ(box_cell_count(&far), 0u);  // 10..9
    grow_box(&far, 10);
    EXPECT_EQ(far.lo[0], 9);
    EXPECT_EQ(far.hi[0], 9);
    EXPECT_EQ(far.lo[1], 0);
    EXPECT_EQ(far.hi[1], 6);
}

TEST(PhysPreparation, EdgeTableKeepsItsOrderAndSumsSharedEdges)
{
    // A quad split along 0-2: the second face finds (2, 0) already there.
    TestMesh m;
    m.vertices = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 1}};
    m.faces = {{{0, 1, 2}}, {{0, 2, 3}}};
    MapObject obj = make_object(m);
    PhysMesh mesh;
    prepare_phys_mesh(&obj, 1.0f, &mesh);
    build_edge_table_linear(&obj, &mesh);
    ASSERT_EQ(mesh.edges.size(), 5u);
    const uint32_t expect[5][2] = {{0, 1}, {1, 2}, {2, 0}, {2, 3}, {3, 0}};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(mesh.edges[k].a, expect[k][0]);
        EXPECT_EQ(mesh.edges[k].b, expect[k][1]);
    }
    Vec3 sum = vec3_add(obj.face_normals[0], obj.face_normals[1]);
    EXPECT_EQ(mesh.edges[2].normal.x, sum.x);
    EXPECT_EQ(mesh.edges[2].normal.y, sum.y);
    EXPECT_EQ(mesh.edges[2].normal.z, sum.z);
    EXPECT_EQ(mesh.edges[3].normal.z, obj.face_normals[1].z);
    clear_object(&obj);
}

TEST(PhysPreparation, HashedEdgeTableMatchesTheLinearOneOnDegenerateFaces)
{
    // A face naming a vertex twice adds (a, b) and (b, a) as two entries; a
    // later face on that pair adds its normal to both; repeated faces add
    // again; a vertex used by nothing is fine.
    TestMesh m;
    m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {2, 2, 2}, {1, 1, 1}};
    m.faces = {{{0, 1, 0}}, {{0, 1, 2}}, {{1, 0, 3}}, {{0, 1, 2}}, {{2, 2, 2}}, {{3, 2, 1}}, {{2, 0, 5}}};
    MapObject obj = make_object(m);
    // Give the degenerate faces ordinary numbers so that sums are comparable.
    obj.face_normals[0] = Vec3{0.25f, 0.5f, 0.125f};
    obj.face_normals[4] = Vec3{-1.0f, 2.0f, 3.0f};
    PhysMesh lin, hashed;
    prepare_phys_mesh(&obj, 1.0f, &lin);
    prepare_phys_mesh(&obj, 1.0f, &hashed);
    build_edge_table_linear(&obj, &lin);
    build_edge_table_hashed(&obj, &hashed);
    ASSERT_EQ(lin.edges.size(), hashed.edges.size());
    for (size_t k = 0; k < lin.edges.size(); ++k) {
        EXPECT_EQ(lin.edges[k].a, hashed.edges[k].a) << k;
        EXPECT_EQ(lin.edges[k].b, hashed.edges[k].b) << k;
        EXPECT_EQ(std::memcmp(&lin.edges[k].normal, &hashed.edges[k].normal, sizeof(Vec3)), 0) << k;
    }
    // (0, 1) and (1, 0) from face 0 both collect faces 1, 2 and 3.
    EXPECT_EQ(lin.edges[0].a, 0u);
    EXPECT_EQ(lin.edges[1].a, 1u);
    float expect_x = ((0.25f + obj.face_normals[1].x) + obj.face_normals[2].x) + obj.face_normals[3].x;
    EXPECT_EQ(lin.edges[0].normal.x, expect_x);
    EXPECT_EQ(lin.edges[1].normal.x, expect_x);
    clear_object(&obj);
}

TEST(PhysFaceTest, PointOnThePlaneStrictlyInsideIsFrontAtDistanceZero)
{
    TestMesh m;
    m.vertices = {{0, 0, 0}, {4, 0, 0}, {0, 4, 0}};
    m.faces = {{{0, 1, 2}}};
    for (int flip = 0; flip < 2; ++flip) {
        if (flip)
            std::swap(m.faces[0].v[0], m.faces[0].v[2]);
        MapObject obj = make_object(m);
        PhysMesh mesh;
        prepare_phys_mesh(&obj, 1.0f, &mesh);
        build_edge_table_linear(&obj, &mesh);
        prepare_edge_geometry(&mesh);
        Vec3 p{1, 1, 0};
        float h = std::fabs(face_plane_value(&mesh.faces[0], p));
        EXPECT_EQ(h, 0.0f);
        PhysSide side = PHYS_SIDE_NONE;
        EXPECT_TRUE(face_inside(&mesh.faces[0], p, h, &side));
        EXPECT_EQ(side, PHYS_SIDE_FRONT);
        // The nearest edges are 1 away, the nearest vertex sqrt(2): the face
        // decides.
        EXPECT_EQ(classify_cell_exhaustive(&mesh, p), PHYS_SIDE_FRONT);
        // Off the plane the side follows the normal.
        Vec3 above{1, 1, 1};
        h = std::fabs(face_plane_value(&mesh.faces[0], above));
        EXPECT_TRUE(face_inside(&mesh.faces[0], above, h, &side));
        EXPECT_EQ(side, obj.face_normals[0].z > 0 ? PHYS_SIDE_FRONT : PHYS_SIDE_BACK);
        // Outside the triangle the inside test fails.
        Vec3 beside{3, 3, 0};
        EXPECT_FALSE(face_inside(&mesh.faces[0], beside, 0.0f, &side));
        clear_object(&obj);
    }
}

TEST(PhysFaceTest, PointOnTheDiagonalOfAQuadPassesNeitherTriangle)
{
    // The split line gives a zero cross product: not a number, so neither
    // triangle claims the point.
    TestMesh m;
    m.vertices = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}};
    m.faces = {{{0, 1, 2}}, {{0, 2, 3}}};
    MapObject obj = make_object(m);
    PhysMesh mesh;
    prepare_phys_mesh(&obj, 1.0f, &mesh);
    Vec3 p{2, 2, 1};
    PhysSide side;
    for (const PhysFace& f : mesh.faces)
        EXPECT_FALSE(face_inside(&f, p, std::fabs(face_plane_value(&f, p)), &side));
    clear_object(&obj);
}

TEST(PhysEdgeTest, FootOutsideTheEdgeIsSkippedAndTheSideFollowsTheNormal)
{
    PhysEdge e;
    e.a = Vec3{0, 0, 0};
    e.b = Vec3{4, 0, 0};
    e.length = 4.0f;
    e.toward_a = Vec3{-1, 0, 0};
    e.normal = Vec3{0, 2, 0};
    e.normal_length = 2.0f;
    float dist = -1;
    PhysSide side;
    ASSERT_TRUE(edge_measure(&e, Vec3{1, 3, 0}, &dist, &side));
    EXPECT_NEAR(dist, 3.0f, 1e-5f);
    EXPECT_EQ(side, PHYS_SIDE_FRONT);
    ASSERT_TRUE(edge_measure(&e, Vec3{3, -2, 0}, &dist, &side));
    EXPECT_NEAR(dist, 2.0f, 1e-5f);
    EXPECT_EQ(side, PHYS_SIDE_BACK);
    EXPECT_FALSE(edge_measure(&e, Vec3{-1, 1, 0}, &dist, &side));
    EXPECT_FALSE(edge_measure(&e, Vec3{5, 1, 0}, &dist, &side));
    // A point on the edge has no direction to the foot: back.
    ASSERT_TRUE(edge_measure(&e, Vec3{2, 0, 0}, &dist, &side));
    EXPECT_EQ(dist, 0.0f);
    EXPECT_EQ(side, PHYS_SIDE_BACK);
    // A zero-length edge never measures a number.
    PhysEdge z = e;
    z.b = z.a;
    z.length = 0.0f;
    bool measured = edge_measure(&z, Vec3{1, 1, 1}, &dist, &side);
    EXPECT_TRUE(!measured || !(dist == dist));
}

TEST(PhysClassification, ClosedCubeWoundCounterClockwiseSeedsItsInterior)
{
    MapObject obj = make_object(box_mesh({2.5f, 2.5f, 2.5f}, {7.5f, 7.5f, 7.5f}));
    PhysBox box;
    std::vector<uint8_t> marks = classify(obj, 10, 10, &box);
    EXPECT_EQ(box.lo[0], 2);
    EXPECT_EQ(box.hi[0], 7);
    int seeds = 0;
    for (int x = 0; x < 10; ++x)
        for (int y = 0; y < 10; ++y)
            for (int z = 0; z < 10; ++z) {
                bool inside = x >= 3 && x <= 7 && y >= 3 && y <= 7 && z >= 3 && z <= 7;
                EXPECT_EQ(is_seed(marks, 10, x, y, z), inside) << x << " " << y << " " << z;
                seeds += is_seed(marks, 10, x, y, z);
            }
    EXPECT_EQ(seeds, 125);
    clear_object(&obj);
}

TEST(PhysClassification, ClockwiseModelSeedsTheOutsideOfItsBox)
{
    MapObject obj = make_object(box_mesh({2.5f, 2.5f, 2.5f}, {7.5f, 7.5f, 7.5f}, false));
    std::vector<uint8_t> marks = classify(obj, 10, 10);
    for (int x = 2; x <= 7; ++x)
        for (int y = 2; y <= 7; ++y)
            for (int z = 2; z <= 7; ++z) {
                bool outside = x == 2 || y == 2 || z == 2;
                EXPECT_EQ(is_seed(marks, 10, x, y, z), outside) << x << " " << y << " " << z;
            }
    clear_object(&obj);
}

TEST(PhysClassification, SphereSeedsCellsInsideAndNoneOutside)
{
    Vec3 c{8.3f, 7.9f, 8.1f};
    float r = 5.2f;
    MapObject obj = make_object(sphere_mesh(c, r, 2));
    std::vector<uint8_t> marks = classify(obj, 16, 16);
    for (int x = 0; x < 16; ++x)
        for (int y = 0; y < 16; ++y)
            for (int z = 0; z < 16; ++z) {
                float d = vec3_length(vec3_sub(Vec3{(float)x, (float)y, (float)z}, c));
                // Away from the faceted surface the answer is certain.
                if (d < r - 0.5f) {
                    EXPECT_TRUE(is_seed(marks, 16, x, y, z)) << x << " " << y << " " << z;
                }
                if (d > r + 0.1f) {
                    EXPECT_FALSE(is_seed(marks, 16, x, y, z)) << x << " " << y << " " << z;
                }
            }
    clear_object(&obj);
}

TEST(PhysInfo, SingleSeedWithGeom3And2PushesThreeStepsOutAndAimsSixStepsOut)
{
    // A cube a quarter cell wide around the grid point (10, 10, 10): its box
    // is cells 9..10 on each axis and only that point lies inside.
    const int g = 21;
    MapObject obj = make_object(box_mesh({9.75f, 9.75f, 9.75f}, {10.25f, 10.25f, 10.25f}));
    MapHeader h = phys_header(g, g, 3, 2);
    FieldHolder fh(g);
    bool ok = false;
    std::string out = run_phys(h, obj, &fh.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    ASSERT_TRUE(ok);
    // Stage 1: 8 cells, total 9: trunc(8 * 55 / 9) = 48 dots. Stage 2: the
    // totals 49, 329, 937, 1825, 2801, 3529 as the box grows from 2 to 12
    // cells wide; 3528 cells scanned: 54 dots. Stage 3: 63 push cells
    // against 12^3 + 1: trunc(63 * 55 / 1729) = 2 dots.
    EXPECT_EQ(out, transcript(48, 54, 2));

    // Manhattan-6 shell around the seed: where every target must lie.
    std::vector<std::tuple<int, int, int>> shell;
    for (int x = 0; x < g; ++x)
        for (int y = 0; y < g; ++y)
            for (int z = 0; z < g; ++z)
                if (std::abs(x - 10) + std::abs(y - 10) + std::abs(z - 10) == 6)
                    shell.emplace_back(x, y, z);
    int pushed = 0;
    for (int x = 0; x < g; ++x)
        for (int y = 0; y < g; ++y)
            for (int z = 0; z < g; ++z) {
                int steps = std::abs(x - 10) + std::abs(y - 10) + std::abs(z - 10);
                const int16_t* v = field_cell(&fh.field, x, y, z);
                if (steps > 3) {
                    EXPECT_TRUE(cell_is_zero(&fh.field, x, y, z)) << x << " " << y << " " << z;
                    continue;
                }
                ++pushed;
                ASSERT_FALSE(cell_is_zero(&fh.field, x, y, z)) << x << " " << y << " " << z;
                int tx = x - v[0], ty = y - v[1], tz = z - v[2];
                EXPECT_EQ(std::abs(tx - 10) + std::abs(ty - 10) + std::abs(tz - 10), 6);
                int best = 1 << 30;
                for (auto& s : shell) {
                    int dx = x - std::get<0>(s), dy = y - std::get<1>(s), dz = z - std::get<2>(s);
                    best = std::min(best, dx * dx + dy * dy + dz * dz);
                }
                EXPECT_EQ(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], best);
            }
    EXPECT_EQ(pushed, 63);
    clear_object(&obj);
}

TEST(PhysInfo, Geom0And0PushesOnlySeedsFromTheNearestFreeNeighbour)
{
    const int g = 12;
    MapObject obj = make_object(box_mesh({2.5f, 3.5f, 2.5f}, {7.5f, 6.5f, 8.5f}));
    std::vector<uint8_t> marks = classify(obj, g, g);
    MapHeader h = phys_header(g, g, 0, 0);
    FieldHolder fh(g);
    bool ok = false;
    run_phys(h, obj, &fh.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    ASSERT_TRUE(ok);
    // Free cells next to the seed region: the only possible targets.
    auto seed = [&](int x, int y, int z) {
        return x >= 0 && y >= 0 && z >= 0 && x < g && y < g && z < g && is_seed(marks, g, x, y, z);
    };
    std::vector<std::tuple<int, int, int>> free_next;
    for (int x = 0; x < g; ++x)
        for (int y = 0; y < g; ++y)
            for (int z = 0; z < g; ++z)
                if (!seed(x, y, z) && (seed(x + 1, y, z) || seed(x - 1, y, z) || seed(x, y + 1, z) ||
                                       seed(x, y - 1, z) || seed(x, y, z + 1) || seed(x, y, z - 1)))
                    free_next.emplace_back(x, y, z);
    int seeds = 0;
    for (int x = 0; x < g; ++x)
        for (int y = 0; y < g; ++y)
            for (int z = 0; z < g; ++z) {
                EXPECT_EQ(!cell_is_zero(&fh.field, x, y, z), seed(x, y, z)) << x << " " << y << " " << z;
                if (!seed(x, y, z))
                    continue;
                ++seeds;
                const int16_t* v = field_cell(&fh.field, x, y, z);
                int best = 1 << 30;
                for (auto& t : free_next) {
                    int dx = x - std::get<0>(t), dy = y - std::get<1>(t), dz = z - std::get<2>(t);
                    best = std::min(best, dx * dx + dy * dy + dz * dz);
                }
                EXPECT_EQ(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], best);
            }
    EXPECT_EQ(seeds, 5 * 3 * 6);
    clear_object(&obj);
}

TEST(PhysInfo, ObjectBelowZeroStartsItsBoxAtZero)
{
    const int g = 10;
    MapObject obj = make_object(box_mesh({-3.0f, -3.0f, -3.0f}, {4.5f, 4.5f, 4.5f}));
    PhysBox box;
    std::vector<uint8_t> marks = classify(obj, g, g, &box);
    EXPECT_EQ(box.lo[0], 0);
    EXPECT_EQ(box.hi[0], 4);
    EXPECT_TRUE(is_seed(marks, g, 0, 0, 0));
    EXPECT_TRUE(is_seed(marks, g, 4, 4, 4));
    MapHeader h = phys_header(g, g, 1, 0);
    FieldHolder fh(g);
    bool ok = false;
    run_phys(h, obj, &fh.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    ASSERT_TRUE(ok);
    // The corner cell is pushed out through the free side, never through
    // the walls.
    const int16_t* v = field_cell(&fh.field, 0, 0, 0);
    EXPECT_TRUE(v[0] <= 0 && v[1] <= 0 && v[2] <= 0);
    EXPECT_FALSE(cell_is_zero(&fh.field, 0, 0, 0));
    clear_object(&obj);
}

TEST(PhysInfo, RegionFillingTheWholeGridLeavesCellsAndWarns)
{
    // The box reaches past both walls; every cell is a seed, so there is no
    // target surface at all.
    const int g = 6;
    MapObject obj = make_object(box_mesh({-2.5f, -2.5f, -2.5f}, {8.5f, 8.5f, 8.5f}));
    PhysBox box;
    std::vector<uint8_t> marks = classify(obj, g, g, &box);
    EXPECT_EQ(box.lo[2], 0);
    EXPECT_EQ(box.hi[2], g - 1);
    for (size_t i = 0; i < marks.size(); ++i)
        ASSERT_EQ(marks[i], CELL_PUSH | CELL_REGION) << i;
    MapHeader h = phys_header(g, g, 0, 0);
    FieldHolder fh(g);
    // Cells an earlier object wrote keep their vectors.
    int16_t* c = fh.field.cells + 3 * 7;
    c[0] = 3;
    c[1] = -1;
    bool ok = false;
    std::string out = run_phys(h, obj, &fh.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    ASSERT_TRUE(ok);
    const std::string warning = "  WARNING! The grown region fills the whole grid: no target surface, "
                                "the object's push cells are left as they were.\n";
    // 216 cells: 54 dots in stages 1 and 2; stage 3 counts all 216 push cells.
    EXPECT_EQ(out, transcript(54, 54, 54) + warning);
    for (int i = 0; i < g * g * g; ++i) {
        if (i == 7) {
            EXPECT_EQ(fh.field.cells[3 * i], 3);
            EXPECT_EQ(fh.field.cells[3 * i + 1], -1);
        } else {
            EXPECT_TRUE(fh.field.cells[3 * i] == 0 && fh.field.cells[3 * i + 1] == 0 && fh.field.cells[3 * i + 2] == 0);
        }
    }
    clear_object(&obj);
}

TEST(PhysInfo, LaterObjectReplacesVectorsOnlyInItsOwnPushCells)
{
    const int g = 14;
    MapObject a = make_object(box_mesh({2.5f, 2.5f, 2.5f}, {7.5f, 7.5f, 7.5f}));
    MapObject b = make_object(box_mesh({5.5f, 4.5f, 3.5f}, {10.5f, 9.5f, 8.5f}));
    MapHeader h = phys_header(g, g, 1, 1);
    FieldHolder both(g), only_a(g), only_b(g);
    bool ok = false;
    run_phys(h, a, &both.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    ASSERT_TRUE(ok);
    run_phys(h, b, &both.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    ASSERT_TRUE(ok);
    run_phys(h, a, &only_a.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    run_phys(h, b, &only_b.field, PHYS_SEARCH_EXHAUSTIVE, &ok);
    int shared = 0, kept = 0;
    for (int i = 0; i < g * g * g; ++i) {
        const int16_t* from_b = only_b.field.cells + 3 * i;
        const int16_t* from_a = only_a.field.cells + 3 * i;
        const int16_t* got = both.field.cells + 3 * i;
        bool b_push = from_b[0] || from_b[1] || from_b[2];
        bool a_push = from_a[0] || from_a[1] || from_a[2];
        const int16_t* want = b_push ? from_b : from_a;
        EXPECT_EQ(std::memcmp(got, want, 6), 0) << i;
        shared += a_push && b_push;
        kept += a_push && !b_push;
    }
    EXPECT_GT(shared, 0);
    EXPECT_GT(kept, 0);
    clear_object(&a);
    clear_object(&b);
}

TEST(PhysVectors, StopsAtTheFirstComponentBeyond200)
{
    // A target 201 cells away along x: the stored -201 ends the stage at the
    // first push cell; the next push cell is not reached.
    for (int exhaustive = 0; exhaustive < 2; ++exhaustive) {
        const int g = 202;
        FieldHolder fh(g);
        std::vector<uint8_t> marks((size_t)g * g * g, 0);
        marks[cell_index(0, 0, 0, g)] = CELL_PUSH | CELL_REGION;
        marks[cell_index(0, 0, 1, g)] = CELL_PUSH | CELL_REGION;
        std::vector<FrontierCell> targets = {{201, 0, 0}};
        PhysBox box{{0, 0, 0}, {0, 0, 1}};
        FILE* sink = std::fopen("/dev/null", "w");
        PhysProgress pr;
        progress_start(&pr, sink, box_cell_count(&box) + 1);
        PushFault fault{};
        bool ok = exhaustive ? fill_vectors_exhaustive(&box, g, marks.data(), &targets, &fh.field, &pr, &fault)
                             : fill_vectors_fast(&box, g, marks.data(), &targets, &fh.field, &pr, &fault, 1);
        std::fclose(sink);
        EXPECT_FALSE(ok);
        EXPECT_EQ(fault.x, 0);
        EXPECT_EQ(fault.z, 0);
        EXPECT_EQ(fault.dx, -201);
        EXPECT_EQ(pr.count, 0u);
        EXPECT_EQ(field_cell(&fh.field, 0, 0, 0)[0], -201);
        EXPECT_TRUE(cell_is_zero(&fh.field, 0, 0, 1));

        // Exactly 200 is allowed.
        targets[0] = FrontierCell{200, 0, 1};
        progress_start(&pr, sink = std::fopen("/dev/null", "w"), 3);
        ok = exhaustive ? fill_vectors_exhaustive(&box, g, marks.data(), &targets, &fh.field, &pr, &fault)
                        : fill_vectors_fast(&box, g, marks.data(), &targets, &fh.field, &pr, &fault, 1);
        std::fclose(sink);
        EXPECT_TRUE(ok);
        EXPECT_EQ(field_cell(&fh.field, 0, 0, 1)[0], -200);
        EXPECT_EQ(pr.count, 2u);
    }
}

TEST(PhysProgressDots, AtMost54PerStageAndExactForSmallTotals)
{
    FILE* sink = nullptr;
    char* buf = nullptr;
    size_t len = 0;
    for (uint64_t n : {1u, 2u, 9u, 54u, 55u, 1000u, 123457u}) {
        sink = open_memstream(&buf, &len);
        PhysProgress pr;
        progress_start(&pr, sink, n + 1);
        for (uint64_t i = 0; i < n; ++i)
            progress_advance(&pr, 1);
        std::fclose(sink);
        int want = (int)((float)n * 55.0f / (float)(n + 1));
        EXPECT_EQ(len, (size_t)want) << n;
        EXPECT_LE(len, 54u);
        std::free(buf);
    }
    // Advancing in one step prints what single steps would have.
    sink = open_memstream(&buf, &len);
    PhysProgress pr;
    progress_start(&pr, sink, 1001);
    progress_advance(&pr, 400);
    progress_advance(&pr, 600);
    std::fclose(sink);
    EXPECT_EQ(len, 54u);
    std::free(buf);
}
