// Sprite size arithmetic of the ball renderer and the field view's cell
// positions.
#include <gtest/gtest.h>

#include <cmath>

#include "map_format.h"
#include "render_math.h"

TEST(BallSprites, WorkedValuesAt800By600And1024By768)
{
    BallSpriteScale s = compute_ball_sprite_scale(800.0f, 600.0f, 8.0f);
    EXPECT_NEAR(s.angle, 0.0116352, 1e-7);
    EXPECT_NEAR(s.point_scale, 5.1565e4, 1.0);
    EXPECT_FLOAT_EQ(s.point_radius, 0.008f);
    // pointRadius * pointScale is the sprite width at eye distance 1.
    EXPECT_NEAR(s.point_radius * s.point_scale, 412.5, 0.1);
    BallSpriteScale t = compute_ball_sprite_scale(1024.0f, 768.0f, 8.0f);
    EXPECT_NEAR(t.point_radius * t.point_scale, 528.0, 0.1);
}

TEST(BallSprites, TwiceAsTallAtTheSameAspectDoublesTheSize)
{
    BallSpriteScale a = compute_ball_sprite_scale(400.0f, 300.0f, 8.0f);
    BallSpriteScale b = compute_ball_sprite_scale(800.0f, 600.0f, 8.0f);
    EXPECT_EQ(a.angle, b.angle);
    EXPECT_NEAR(b.point_scale / a.point_scale, 2.0, 1e-6);
}

// The scale follows the height alone, as the projection does: the 800 x 600
// value times height / 600, whatever the width.
TEST(BallSprites, WindowShapeDoesNotChangeTheSizeAgainstTheScene)
{
    BallSpriteScale ref = compute_ball_sprite_scale(800.0f, 600.0f, 8.0f);
    const float sizes[][2] = {{300.0f, 700.0f}, {1000.0f, 500.0f}, {1920.0f, 600.0f}};
    for (const auto& wh : sizes) {
        BallSpriteScale s = compute_ball_sprite_scale(wh[0], wh[1], 8.0f);
        EXPECT_EQ(s.angle, ref.angle);
        EXPECT_NEAR(s.point_scale, ref.point_scale * wh[1] / 600.0f, ref.point_scale * 1e-6)
            << wh[0] << " x " << wh[1];
    }
}

TEST(BallSprites, ZeroHeightCountsAsOne)
{
    BallSpriteScale z = compute_ball_sprite_scale(800.0f, 0.0f, 8.0f);
    BallSpriteScale one = compute_ball_sprite_scale(800.0f, 1.0f, 8.0f);
    EXPECT_TRUE(std::isfinite(z.angle) && std::isfinite(z.point_scale));
    EXPECT_EQ(z.point_scale, one.point_scale);
}

TEST(FieldView, CellsSitWhereTheSimulationFindsThem)
{
    MapHeader h{};
    h.field_size = 64;
    h.grid_size = 64;
    EXPECT_EQ(field_cell_scale(&h), 1.0f);
    h.grid_size = 128;  // whole multiple: same as the integer quotient
    EXPECT_EQ(field_cell_scale(&h), 2.0f);
    Vec3 p = field_cell_point(127, 64, 1, field_cell_scale(&h));
    EXPECT_EQ(p.x, 63.5f);
    EXPECT_EQ(p.y, 32.0f);
    EXPECT_EQ(p.z, 0.5f);

    h.grid_size = 96;  // not a whole multiple: 1.5 cells per field unit
    float s = field_cell_scale(&h);
    EXPECT_EQ(s, 1.5f);
    p = field_cell_point(95, 0, 48, s);
    EXPECT_NEAR(p.x, 63.3333, 1e-4);
    EXPECT_EQ(p.y, 0.0f);
    EXPECT_EQ(p.z, 32.0f);

    h.grid_size = 32;  // coarser than the field: cells two units apart
    s = field_cell_scale(&h);
    EXPECT_EQ(s, 0.5f);
    p = field_cell_point(31, 31, 31, s);
    EXPECT_EQ(p.x, 62.0f);

    h.field_size = 0;
    EXPECT_EQ(field_cell_scale(&h), 0.0f);
}

TEST(FieldView, FilledCellsAreThoseWithAnyComponentSet)
{
    NormalField f;
    ASSERT_TRUE(alloc_normal_field(&f, 4));
    f.cells[3 * ((1 * 4 + 2) * 4 + 3) + 2] = -1;  // cell (1, 2, 3), z component
    f.cells[3 * ((3 * 4 + 0) * 4 + 0) + 0] = 5;   // cell (3, 0, 0), x component
    int filled = 0;
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 4; ++y)
            for (int z = 0; z < 4; ++z)
                filled += field_cell_filled(&f, x, y, z) ? 1 : 0;
    EXPECT_EQ(filled, 2);
    EXPECT_TRUE(field_cell_filled(&f, 1, 2, 3));
    EXPECT_TRUE(field_cell_filled(&f, 3, 0, 0));
    EXPECT_FALSE(field_cell_filled(&f, 3, 2, 1));
    free_normal_field(&f);
}
