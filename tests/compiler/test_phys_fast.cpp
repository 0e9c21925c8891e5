// The fast collision field against the exhaustive search: the same marks,
// the same frontier order, the same cells, the same transcript, on random
// and adversarial meshes (fixed seeds, small grids).
#include <gtest/gtest.h>

#include <random>

#include "phys_geom.h"
#include "phys_stages.h"
#include "test_phys_meshes.h"

namespace {

struct Rng {
    std::mt19937 gen;
    explicit Rng(uint32_t seed) : gen(seed) {}
    int range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); }
    float real(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(gen); }
    bool chance(double p) { return std::bernoulli_distribution(p)(gen); }
    // A coordinate: on a grid point, on a half or quarter cell, or anywhere.
    float coord(float lo, float hi)
    {
        int kind = range(0, 3);
        float v = real(lo, hi);
        if (kind == 0)
            return std::round(v);
        if (kind == 1)
            return std::round(v * 2.0f) / 2.0f;
        if (kind == 2)
            return std::round(v * 4.0f) / 4.0f;
        return v;
    }
};

// A mesh of one of several kinds, in field units, inside about [-2, span + 2].
TestMesh random_mesh(Rng* r, float span)
{
    TestMesh m;
    int kind = r->range(0, 6);
    if (kind == 0) {  // box, either winding, possibly through the walls
        Vec3 lo{r->coord(-2, span * 0.6f), r->coord(-2, span * 0.6f), r->coord(-2, span * 0.6f)};
        Vec3 hi{lo.x + r->coord(0.5f, span), lo.y + r->coord(0.5f, span), lo.z + r->coord(0.5f, span)};
        m = box_mesh(lo, hi, r->chance(0.8));
    } else if (kind == 1 || kind == 2) {  // sphere, maybe noisy (not convex)
        Vec3 c{r->coord(2, span - 2), r->coord(2, span - 2), r->coord(2, span - 2)};
        float rad = kind == 1 ? std::round(r->real(1.5f, span * 0.45f)) : r->real(1.5f, span * 0.45f);
        m = sphere_mesh(c, rad, r->range(0, 2));
        if (kind == 2)
            for (Vec3& v : m.vertices)
                v = vec3_add(v, Vec3{r->real(-0.6f, 0.6f), r->real(-0.6f, 0.6f), r->real(-0.6f, 0.6f)});
        if (r->chance(0.2))
            for (MapFace& f : m.faces)
                std::swap(f.v[0], f.v[2]);
    } else if (kind == 3) {  // open triangle soup
        int nv = r->range(3, 12);
        for (int i = 0; i < nv; ++i)
            m.vertices.push_back(Vec3{r->coord(-1, span + 1), r->coord(-1, span + 1), r->coord(-1, span + 1)});
        int nf = r->range(1, 10);
        for (int j = 0; j < nf; ++j)
            m.faces.push_back(MapFace{{(uint32_t)r->range(0, nv - 1), (uint32_t)r->range(0, nv - 1),
                                       (uint32_t)r->range(0, nv - 1)}});
    } else if (kind == 4) {  // a bumpy open sheet on a grid of quads
        int n = r->range(2, 5);
        float y0 = r->coord(1, span - 1);
        for (int i = 0; i <= n; ++i)
            for (int k = 0; k <= n; ++k)
                m.vertices.push_back(Vec3{span * i / n, y0 + (r->chance(0.5) ? 0.0f : r->real(-1.5f, 1.5f)),
                                          span * k / n});
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < n; ++k) {
                uint32_t a = (uint32_t)(i * (n + 1) + k), b = a + 1, c = a + (uint32_t)n + 1, d = c + 1;
                m.faces.push_back(MapFace{{a, b, d}});
                m.faces.push_back(MapFace{{a, d, c}});
            }
    } else if (kind == 5) {  // box with duplicated vertices, zero-area faces and an unused vertex
        m = box_mesh(Vec3{r->coord(0, span / 2), r->coord(0, span / 2), r->coord(0, span / 2)},
                     Vec3{r->coord(span / 2 + 1, span), r->coord(span / 2 + 1, span), r->coord(span / 2 + 1, span)});
        uint32_t nv = (uint32_t)m.vertices.size();
        m.vertices.push_back(m.vertices[3]);                                      // duplicate of 3
        m.vertices.push_back(vec3_scale(vec3_add(m.vertices[0], m.vertices[7]), 0.5f));  // on a diagonal
        m.vertices.push_back(Vec3{r->coord(0, span), r->coord(0, span), r->coord(0, span)});  // unused
        m.faces.push_back(MapFace{{0, 7, nv + 1}});   // collinear: zero area
        m.faces.push_back(MapFace{{nv, 3, 5}});       // through the duplicate
        m.faces.push_back(MapFace{{2, 2, 6}});        // a vertex twice
        m.faces.push_back(MapFace{{1, 5, 1}});
    } else {  // a thin slab: cells close to two opposite faces
        Vec3 lo{r->coord(0, span / 2), r->coord(1, span - 2), r->coord(0, span / 2)};
        m = box_mesh(lo, Vec3{lo.x + r->coord(2, span / 2), lo.y + r->real(0.05f, 1.2f), lo.z + r->coord(2, span / 2)});
    }
    return m;
}

struct Case {
    int field_size, grid_size, geom1, geom2;
    std::vector<TestMesh> meshes;
};

Case random_case(uint32_t seed)
{
    Rng r(seed);
    Case c;
    c.grid_size = r.range(5, 16);
    int scale_kind = r.range(0, 2);
    c.field_size = scale_kind == 0 ? c.grid_size : (scale_kind == 1 ? c.grid_size * 2 : r.range(3, 40));
    c.geom1 = r.range(0, 3);
    c.geom2 = r.range(0, 2);
    int objects = r.chance(0.3) ? r.range(2, 3) : 1;
    for (int i = 0; i < objects; ++i)
        c.meshes.push_back(random_mesh(&r, (float)c.field_size));
    return c;
}

// Stage-1 marks by one search; `fast_ran` tells whether the fast form
// answered itself.
std::vector<uint8_t> stage1(const MapObject& obj, const Case& c, bool fast, bool* fast_ran = nullptr)
{
    int g = c.grid_size;
    float scale = phys_field_scale((uint16_t)g, (uint16_t)c.field_size);
    PhysMesh mesh;
    prepare_phys_mesh(&obj, scale, &mesh);
    if (fast)
        build_edge_table_hashed(&obj, &mesh);
    else
        build_edge_table_linear(&obj, &mesh);
    prepare_edge_geometry(&mesh);
    PhysBox box = phys_working_box(obj.box, scale);
    clamp_box(&box, g);
    std::vector<uint8_t> marks((size_t)g * g * g, 0);
    FILE* sink = std::fopen("/dev/null", "w");
    PhysProgress pr;
    progress_start(&pr, sink, box_cell_count(&box) + 1);
    bool ran = false;
    if (fast)
        ran = classify_cells_fast(&mesh, &box, g, marks.data(), &pr, 1);
    if (!ran)
        classify_cells_exhaustive(&mesh, &box, g, marks.data(), &pr);
    EXPECT_EQ(pr.count, box_cell_count(&box));
    std::fclose(sink);
    if (fast_ran)
        *fast_ran = ran;
    return marks;
}

// Compiles every object of a case into one field with each search (the
// fast one on one to three threads) and compares transcripts and fields.
void expect_same_run(const Case& c, uint32_t seed)
{
    NormalField exhaustive{0, nullptr}, fast{0, nullptr};
    ASSERT_TRUE(alloc_normal_field(&exhaustive, (uint16_t)c.grid_size));
    ASSERT_TRUE(alloc_normal_field(&fast, (uint16_t)c.grid_size));
    MapHeader h = phys_header(c.field_size, c.grid_size, c.geom1, c.geom2);
    for (const TestMesh& m : c.meshes) {
        MapObject obj = make_object(m);
        bool ok_e = false, ok_f = false;
        std::string out_e = run_phys(h, obj, &exhaustive, PHYS_SEARCH_EXHAUSTIVE, &ok_e);
        std::string out_f = run_phys(h, obj, &fast, PHYS_SEARCH_FAST, &ok_f, 1 + (int)(seed % 3));
        EXPECT_EQ(out_e, out_f) << "seed " << seed;
        EXPECT_EQ(ok_e, ok_f) << "seed " << seed;
        clear_object(&obj);
    }
    size_t bytes = (size_t)c.grid_size * c.grid_size * c.grid_size * 3 * sizeof(int16_t);
    EXPECT_EQ(std::memcmp(exhaustive.cells, fast.cells, bytes), 0) << "seed " << seed;
    free_normal_field(&exhaustive);
    free_normal_field(&fast);
}

}  // namespace

TEST(PhysFastEquivalence, ClassificationMatchesOnRandomMeshes)
{
    int fast_answers = 0, seeds = 0, objects = 0;
    for (uint32_t seed = 1; seed <= 400; ++seed) {
        Case c = random_case(seed);
        for (const TestMesh& m : c.meshes) {
            MapObject obj = make_object(m);
            bool ran = false;
            std::vector<uint8_t> fast = stage1(obj, c, true, &ran);
            std::vector<uint8_t> slow = stage1(obj, c, false);
            fast_answers += ran;
            ++objects;
            for (size_t i = 0; i < fast.size(); ++i) {
                if (fast[i] != slow[i]) {
                    ADD_FAILURE() << "seed " << seed << " cell " << i;
                    break;
                }
            }
            seeds += std::count(slow.begin(), slow.end(), CELL_PUSH | CELL_REGION) > 0;
            clear_object(&obj);
        }
    }
    // The fast form answered every finite mesh itself, and the cases seed
    // something often enough to mean anything.
    EXPECT_EQ(fast_answers, objects);
    EXPECT_GT(seeds, objects / 2);
}

TEST(PhysFastEquivalence, WholeRunsMatchOnRandomCases)
{
    for (uint32_t seed = 1000; seed < 1250; ++seed)
        expect_same_run(random_case(seed), seed);
}

TEST(PhysFastEquivalence, SymmetricMeshesFullOfTies)
{
    // Integer cubes and spheres centred on grid points: cells at equal
    // distance from several vertices, edges and faces, on planes, on edges
    // and on vertex 0.
    for (int k = 0; k < 6; ++k) {
        Case c;
        c.grid_size = 12;
        c.field_size = 12;
        c.geom1 = k % 4;
        c.geom2 = k % 3;
        c.meshes.push_back(box_mesh(Vec3{2, 2, 2}, Vec3{(float)(7 + k % 3), 8, 9}, k % 2 == 0));
        c.meshes.push_back(sphere_mesh(Vec3{6, 6, 6}, (float)(3 + k % 3), k % 3));
        c.meshes.push_back(box_mesh(Vec3{0, 0, 0}, Vec3{12, 12, 12}, k < 3));
        expect_same_run(c, (uint32_t)k);
    }
}

TEST(PhysFastEquivalence, GrowthKeepsTheFrontierOrderAndMarks)
{
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        Rng r(seed);
        int g = r.range(3, 14);
        std::vector<uint8_t> marks((size_t)g * g * g, 0);
        PhysBox box{{r.range(0, g / 2), r.range(-2, g / 2), r.range(0, g / 2)},
                    {r.range(g / 2, g + 2), r.range(g / 2, g - 1), r.range(g / 2, g - 1)}};
        clamp_box(&box, g);
        int blobs = r.range(0, 3);
        for (int b = 0; b < blobs; ++b) {
            int cx = r.range(0, g - 1), cy = r.range(0, g - 1), cz = r.range(0, g - 1), rad = r.range(0, 3);
            for (int64_t x = box.lo[0]; x <= box.hi[0]; ++x)
                for (int64_t y = box.lo[1]; y <= box.hi[1]; ++y)
                    for (int64_t z = box.lo[2]; z <= box.hi[2]; ++z)
                        if (std::abs((int)x - cx) + std::abs((int)y - cy) + std::abs((int)z - cz) <= rad ||
                            r.chance(0.02))
                            marks[cell_index(x, y, z, g)] = CELL_PUSH | CELL_REGION;
        }
        int geom1 = r.range(0, 4), geom2 = r.range(0, 3);
        std::vector<uint8_t> marks_fast = marks;
        PhysBox box_fast = box;
        std::vector<FrontierCell> ref, fast;
        char* buf_ref = nullptr;
        char* buf_fast = nullptr;
        size_t len_ref = 0, len_fast = 0;
        FILE* out_ref = open_memstream(&buf_ref, &len_ref);
        FILE* out_fast = open_memstream(&buf_fast, &len_fast);
        PhysProgress pr_ref, pr_fast;
        uint64_t total = (uint64_t)(geom1 + geom2 + 1) * box_cell_count(&box) + 1;
        progress_start(&pr_ref, out_ref, total);
        progress_start(&pr_fast, out_fast, total);
        grow_region_exhaustive(&box, g, marks.data(), geom1, geom2, &ref, &pr_ref);
        grow_region_fast(&box_fast, g, marks_fast.data(), geom1, geom2, &fast, &pr_fast, 1 + (int)(seed % 3));
        std::fclose(out_ref);
        std::fclose(out_fast);
        EXPECT_EQ(std::string(buf_ref, len_ref), std::string(buf_fast, len_fast)) << seed;
        std::free(buf_ref);
        std::free(buf_fast);
        EXPECT_EQ(marks, marks_fast) << seed;
        EXPECT_EQ(std::memcmp(&box, &box_fast, sizeof box), 0) << seed;
        ASSERT_EQ(ref.size(), fast.size()) << seed;
        for (size_t i = 0; i < ref.size(); ++i)
            ASSERT_TRUE(ref[i].x == fast[i].x && ref[i].y == fast[i].y && ref[i].z == fast[i].z) << seed << " " << i;
    }
}

TEST(PhysFastEquivalence, NearestTargetTiesGoToTheEarlierEntry)
{
    // Random target lists in random order, many at equal distances.
    for (uint32_t seed = 1; seed <= 80; ++seed) {
        Rng r(seed);
        int g = r.range(2, 12);
        PhysBox box{{r.range(0, g / 2), r.range(0, g / 2), r.range(0, g / 2)}, {g - 1, r.range(g / 2, g - 1), g - 1}};
        std::vector<uint8_t> marks((size_t)g * g * g, 0);
        for (size_t i = 0; i < marks.size(); ++i)
            if (r.chance(0.4))
                marks[i] = CELL_PUSH | CELL_REGION;
        std::vector<FrontierCell> targets;
        std::vector<uint8_t> used(marks.size(), 0);
        int nt = r.range(0, 3) == 0 ? 1 : r.range(1, g * 3);
        for (int k = 0; k < nt; ++k) {
            // Within the box grown by one, each cell once.
            int x = std::min(g - 1, std::max(0, r.range((int)box.lo[0] - 1, (int)box.hi[0] + 1)));
            int y = std::min(g - 1, std::max(0, r.range((int)box.lo[1] - 1, (int)box.hi[1] + 1)));
            int z = std::min(g - 1, std::max(0, r.range((int)box.lo[2] - 1, (int)box.hi[2] + 1)));
            if (used[cell_index(x, y, z, g)]++)
                continue;
            targets.push_back(FrontierCell{(uint16_t)x, (uint16_t)y, (uint16_t)z});
        }
        NormalField ref{0, nullptr}, fast{0, nullptr};
        ASSERT_TRUE(alloc_normal_field(&ref, (uint16_t)g));
        ASSERT_TRUE(alloc_normal_field(&fast, (uint16_t)g));
        FILE* sink = std::fopen("/dev/null", "w");
        PhysProgress pr_ref, pr_fast;
        progress_start(&pr_ref, sink, box_cell_count(&box) + 1);
        progress_start(&pr_fast, sink, box_cell_count(&box) + 1);
        PushFault fault;
        EXPECT_TRUE(fill_vectors_exhaustive(&box, g, marks.data(), &targets, &ref, &pr_ref, &fault));
        EXPECT_TRUE(fill_vectors_fast(&box, g, marks.data(), &targets, &fast, &pr_fast, &fault, 1 + (int)(seed % 3)));
        std::fclose(sink);
        EXPECT_EQ(pr_ref.count, pr_fast.count);
        EXPECT_EQ(std::memcmp(ref.cells, fast.cells, (size_t)g * g * g * 6), 0) << seed;
        free_normal_field(&ref);
        free_normal_field(&fast);
    }
}

TEST(PhysFastEquivalence, NotANumberVerticesFallBackToTheExhaustiveSearch)
{
    TestMesh m = box_mesh(Vec3{1, 1, 1}, Vec3{5, 5, 5});
    m.vertices.push_back(Vec3{NAN, 2, 2});
    m.faces.push_back(MapFace{{8, 0, 1}});
    Case c;
    c.grid_size = 8;
    c.field_size = 8;
    c.geom1 = 1;
    c.geom2 = 1;
    MapObject obj = make_object(m);
    obj.box[0] = 1;  // keep the box a number
    obj.box[1] = 4;
    bool ran = true;
    std::vector<uint8_t> fast = stage1(obj, c, true, &ran);
    EXPECT_FALSE(ran);
    clear_object(&obj);
}

TEST(PhysFastStop, ComponentBeyond200StopsTheRunWithAMessage)
{
    // A solid block from the low walls to x, y, z = 201.5 in a grid of 203:
    // the corner cell's nearest free cells are 202 cells away; the first of
    // them in the list is (0, 0, 202), found from (0, 0, 201).
    const int g = 203;
    MapObject obj = make_object(box_mesh(Vec3{-1, -1, -1}, Vec3{201.5f, 201.5f, 201.5f}));
    MapHeader h = phys_header(g, g, 0, 0);
    NormalField field{0, nullptr};
    ASSERT_TRUE(alloc_normal_field(&field, g));
    bool ok = true;
    std::string out = run_phys(h, obj, &field, PHYS_SEARCH_FAST, &ok);
    EXPECT_FALSE(ok);
    const std::string tail = "  Calc phys info #3:  ERROR! PUSH VECTOR (0, 0, -202) OF CELL (0, 0, 0) IS "
                             "LONGER THAN 200 CELLS: LOWER GEOM1 + GEOM2 OR MAKE THE OBJECT THINNER!\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    free_normal_field(&field);
    clear_object(&obj);
}

TEST(PhysFastStop, StopInALaterPlaneLeavesTheFieldAndDotsOfTheScan)
{
    // Push cells in the first two and the last two x planes of the box, one
    // target near the first planes: the first cell of plane 203 is 203 cells
    // away. Later planes, worked out on other threads, must store nothing.
    const int g = 205;
    std::vector<uint8_t> marks((size_t)g * g * g, 0);
    for (int x : {0, 1, 203, 204})
        for (int y = 0; y < 2; ++y)
            for (int z = 0; z < 2; ++z)
                marks[cell_index(x, y, z, g)] = CELL_PUSH | CELL_REGION;
    std::vector<FrontierCell> targets = {{0, 0, 2}, {1, 2, 0}};
    PhysBox box{{0, 0, 0}, {204, 1, 1}};
    for (int threads = 1; threads <= 3; ++threads) {
        NormalField ref{0, nullptr}, fast{0, nullptr};
        ASSERT_TRUE(alloc_normal_field(&ref, g));
        ASSERT_TRUE(alloc_normal_field(&fast, g));
        FILE* sink = std::fopen("/dev/null", "w");
        PhysProgress pr_ref, pr_fast;
        progress_start(&pr_ref, sink, box_cell_count(&box) + 1);
        progress_start(&pr_fast, sink, box_cell_count(&box) + 1);
        PushFault f_ref{}, f_fast{};
        EXPECT_FALSE(fill_vectors_exhaustive(&box, g, marks.data(), &targets, &ref, &pr_ref, &f_ref));
        EXPECT_FALSE(fill_vectors_fast(&box, g, marks.data(), &targets, &fast, &pr_fast, &f_fast, threads));
        std::fclose(sink);
        EXPECT_EQ(pr_fast.count, 8u);
        EXPECT_EQ(pr_ref.count, pr_fast.count);
        EXPECT_EQ(f_fast.x, 203);
        EXPECT_EQ(f_fast.dx, f_ref.dx);
        EXPECT_EQ(std::memcmp(ref.cells, fast.cells, (size_t)g * g * g * 6), 0) << threads;
        free_normal_field(&ref);
        free_normal_field(&fast);
    }
}
