// Neighbour cell lists: order of entries, block registration, growth and
// the invariant check.
#include <gtest/gtest.h>

#include <vector>

#include "sim_fixture.h"

using CellLists = SimFixture;

static std::vector<int> list_of(const SimState& sim, int x, int y, int z)
{
    size_t k = cell_index(&sim, x, y, z);
    const int* list = cell_list(&sim, k);
    return std::vector<int>(list + 1, list + 1 + list[0]);
}

static long long total_entries(const SimState& sim)
{
    long long n = 0;
    for (int x = 0; x < sim.cell_side; ++x)
        for (int y = 0; y < sim.cell_side; ++y)
            for (int z = 0; z < sim.cell_side; ++z)
                n += cell_count(&sim, cell_index(&sim, x, y, z));
    return n;
}

static long long margin_entries(const SimState& sim)
{
    long long n = 0;
    int last = sim.cell_side - 1;
    for (int x = 0; x < sim.cell_side; ++x)
        for (int y = 0; y < sim.cell_side; ++y)
            for (int z = 0; z < sim.cell_side; ++z)
                if (x == 0 || y == 0 || z == 0 || x == last || y == last || z == last)
                    n += cell_count(&sim, cell_index(&sim, x, y, z));
    return n;
}

TEST_F(CellLists, RemovalMovesTheLastEntryIntoTheGap)
{
    start(8, 8, "count=10");
    unregister_all();
    ASSERT_EQ(total_entries(sim), 0);
    const int a = 3, b = 7, c = 1, d = 9;
    for (int ball : {a, b, c, d})
        ASSERT_TRUE(cell_insert(&sim, 4, 4, 4, ball));
    EXPECT_EQ(list_of(sim, 4, 4, 4), (std::vector<int>{a, b, c, d}));
    EXPECT_TRUE(cell_remove(&sim, 4, 4, 4, b));
    EXPECT_EQ(list_of(sim, 4, 4, 4), (std::vector<int>{a, d, c}));
    EXPECT_TRUE(cell_remove(&sim, 4, 4, 4, c));
    EXPECT_EQ(list_of(sim, 4, 4, 4), (std::vector<int>{a, d}));
    EXPECT_TRUE(cell_remove(&sim, 4, 4, 4, a));
    EXPECT_EQ(list_of(sim, 4, 4, 4), (std::vector<int>{d}));
    EXPECT_TRUE(cell_remove(&sim, 4, 4, 4, d));
    EXPECT_TRUE(list_of(sim, 4, 4, 4).empty());
}

TEST_F(CellLists, RemovingAnAbsentBallChangesNothing)
{
    start(8, 8, "count=10");
    unregister_all();
    for (int ball : {0, 1, 2})
        cell_insert(&sim, 5, 5, 5, ball);
    EXPECT_FALSE(cell_remove(&sim, 5, 5, 5, 8));
    EXPECT_EQ(list_of(sim, 5, 5, 5), (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(cell_remove(&sim, 6, 6, 6, 0));
    EXPECT_EQ(cell_count(&sim, cell_index(&sim, 6, 6, 6)), 0);
    block_remove(&sim, 3, 3, 3, 4);
    EXPECT_EQ(total_entries(sim), 3);
}

TEST_F(CellLists, BlockSizesAtCornerFaceAndInterior)
{
    const int F = 6;
    start(F, 6, "count=4");
    unregister_all();
    struct Case {
        int x, y, z;
        long long cells;
    } cases[] = {{1, 1, 1, 8}, {F, F, F, 8}, {1, 3, 3, 18}, {3, F, 4, 18}, {3, 3, 3, 27}, {2, 5, 4, 27}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << "," << c.z);
        ASSERT_TRUE(block_insert(&sim, c.x, c.y, c.z, 0));
        EXPECT_EQ(total_entries(sim), c.cells);
        EXPECT_EQ(margin_entries(sim), 0);
        block_remove(&sim, c.x, c.y, c.z, 0);
        EXPECT_EQ(total_entries(sim), 0);
    }
}

TEST_F(CellLists, MovedBallIsLastInCellsOfBothBlocks)
{
    start(10, 10, "count=3");
    unregister_all();
    place(0, Vec3{4.5f, 5.5f, 5.5f});
    place(1, Vec3{4.2f, 5.2f, 5.2f});
    place(2, Vec3{5.5f, 5.5f, 5.5f});
    EXPECT_EQ(list_of(sim, 5, 5, 5), (std::vector<int>{0, 1, 2}));
    // Ball 0 crosses from cell 4 to cell 5 along x.
    block_remove(&sim, 4, 5, 5, 0);
    ASSERT_TRUE(block_insert(&sim, 5, 5, 5, 0));
    sim.ball_cell[0] = CellCoord{5, 5, 5};
    EXPECT_EQ(list_of(sim, 5, 5, 5), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(list_of(sim, 3, 5, 5), (std::vector<int>{1}));
    EXPECT_EQ(list_of(sim, 6, 5, 5), (std::vector<int>{2, 0}));
    EXPECT_TRUE(check_cell_lists(&sim));
}

// A list that outgrows its block moves to a larger one; every list keeps
// its entries in order.
TEST_F(CellLists, GrowthKeepsEveryListInOrder)
{
    start(5, 5, "count=200", 77);
    size_t crowded = cell_index(&sim, 3, 3, 3);
    int before = cell_list_capacity(&sim, crowded);
    std::vector<std::vector<int>> lists;
    for (int x = 0; x < sim.cell_side; ++x)
        for (int y = 0; y < sim.cell_side; ++y)
            for (int z = 0; z < sim.cell_side; ++z)
                lists.push_back(list_of(sim, x, y, z));
    ASSERT_TRUE(check_cell_lists(&sim));
    int crowd = cell_count(&sim, crowded);
    for (int n = crowd; n < before + 5; ++n)
        ASSERT_TRUE(cell_insert(&sim, 3, 3, 3, n % sim.ball_count));
    EXPECT_GT(cell_list_capacity(&sim, crowded), before);
    size_t at = 0;
    for (int x = 0; x < sim.cell_side; ++x)
        for (int y = 0; y < sim.cell_side; ++y)
            for (int z = 0; z < sim.cell_side; ++z, ++at) {
                std::vector<int> now = list_of(sim, x, y, z);
                if (x == 3 && y == 3 && z == 3)
                    now.resize(lists[at].size());
                ASSERT_EQ(now, lists[at]) << x << "," << y << "," << z;
            }
}

TEST_F(CellLists, CheckFindsMissingDuplicateStrayAndMarginEntries)
{
    start(6, 6, "count=50", 3);
    char fault[256] = "";
    ASSERT_TRUE(check_cell_lists(&sim, fault)) << fault;
    CellCoord c = sim.ball_cell[10];

    ASSERT_TRUE(cell_remove(&sim, c.x, c.y, c.z, 10));
    EXPECT_FALSE(check_cell_lists(&sim, fault));
    EXPECT_NE(std::string(fault), "");
    cell_insert(&sim, c.x, c.y, c.z, 10);
    ASSERT_TRUE(check_cell_lists(&sim));

    cell_insert(&sim, c.x, c.y, c.z, 10);
    EXPECT_FALSE(check_cell_lists(&sim, fault));
    EXPECT_NE(std::string(fault).find("twice"), std::string::npos) << fault;
    cell_remove(&sim, c.x, c.y, c.z, 10);
    ASSERT_TRUE(check_cell_lists(&sim));

    // Ball 10 entered somewhere its block does not reach.
    int far_x = c.x <= 3 ? 6 : 1;
    cell_insert(&sim, far_x, c.y, c.z, 10);
    EXPECT_FALSE(check_cell_lists(&sim, fault));
    cell_remove(&sim, far_x, c.y, c.z, 10);

    cell_insert(&sim, 0, 3, 3, 10);
    EXPECT_FALSE(check_cell_lists(&sim, fault));
    EXPECT_NE(std::string(fault).find("margin"), std::string::npos) << fault;
    cell_remove(&sim, 0, 3, 3, 10);
    EXPECT_TRUE(check_cell_lists(&sim));
}

// A ball crossing the field leaves empty lists behind: their blocks serve the
// lists it enters next, so the table does not grow with the distance.
TEST_F(CellLists, ListsLeftEmptyGiveTheirMemoryBack)
{
    start(60, 4, "count=1 g=0 t=0");
    unregister_all();
    block_release_empty(&sim, sim.ball_cell[0].x, sim.ball_cell[0].y, sim.ball_cell[0].z);
    place(0, Vec3{2.5f, 30.5f, 30.5f});
    sim.ball_prev[0] = Vec3{2.0f, 30.5f, 30.5f};
    ASSERT_TRUE(step_balls(&sim, &map));
    size_t bytes = cell_lists_bytes(&sim);
    for (int n = 0; n < 100; ++n)
        ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_GT(sim.ball_cell[0].x, 50);
    EXPECT_EQ(cell_lists_bytes(&sim), bytes);
    long long lists = 0;
    for (size_t k = 0; k < (size_t)sim.cell_side * sim.cell_side * sim.cell_side; ++k)
        lists += sim.cell_start[k] != 0;
    EXPECT_EQ(lists, 27);
    EXPECT_TRUE(check_cell_lists(&sim));
}

// A scattered start that gathers in one corner leaves most of the pool in
// given-back blocks: tidying compacts it in place, returns the room and keeps
// every list's entries in their order.
TEST_F(CellLists, TidyingCompactsThePoolAndKeepsEveryList)
{
    start(40, 4, "count=20000 g=0 t=0");
    for (int i = 0; i < sim.ball_count; ++i) {
        if (i % 4 == 0)
            continue;
        CellCoord c = sim.ball_cell[i];
        Vec3 p = {1.5f + (float)(i % 5), 1.5f + (float)(i / 5 % 5), 1.5f + (float)(i / 25 % 5)};
        CellCoord now = {(int)p.x, (int)p.y, (int)p.z};
        block_remove(&sim, c.x, c.y, c.z, i);
        ASSERT_TRUE(block_insert(&sim, now.x, now.y, now.z, i));
        block_release_empty(&sim, c.x, c.y, c.z);
        sim.ball_pos[i] = sim.ball_prev[i] = p;
        sim.ball_cell[i] = now;
    }
    std::vector<std::vector<int>> before;
    for (int x = 0; x < sim.cell_side; ++x)
        for (int y = 0; y < sim.cell_side; ++y)
            for (int z = 0; z < sim.cell_side; ++z)
                before.push_back(list_of(sim, x, y, z));
    size_t bytes = cell_lists_bytes(&sim);
    tidy_cell_lists(&sim);
    EXPECT_LT(cell_lists_bytes(&sim), bytes * 3 / 4);
    size_t k = 0;
    for (int x = 0; x < sim.cell_side; ++x)
        for (int y = 0; y < sim.cell_side; ++y)
            for (int z = 0; z < sim.cell_side; ++z)
                ASSERT_EQ(list_of(sim, x, y, z), before[k++]) << x << " " << y << " " << z;
    char fault[256] = "";
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
    // The lists still grow and shrink as before.
    ASSERT_TRUE(step_balls(&sim, &map));
    EXPECT_TRUE(check_cell_lists(&sim, fault)) << fault;
}
