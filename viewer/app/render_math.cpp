#include "render_math.h"

#include <cmath>

// The window shape whose aspect ratio fixes the sprite angle.
static const float SPRITE_REFERENCE_WIDTH = 800.0f;
static const float SPRITE_REFERENCE_HEIGHT = 600.0f;

BallSpriteScale compute_ball_sprite_scale(float, float height, float radius)
{
    if (!(height >= 1.0f))
        height = 1.0f;
    BallSpriteScale s;
    float aspect = SPRITE_REFERENCE_WIDTH / SPRITE_REFERENCE_HEIGHT;
    s.angle = (float)((double)aspect * 0.5 * 3.1415 / 180.0);
    s.point_scale = (float)((double)height / std::tan((double)s.angle));
    s.point_radius = (float)((double)radius * 0.001);
    return s;
}

float field_cell_scale(const MapHeader* header)
{
    if (header->field_size == 0)
        return 0.0f;
    return (float)((double)header->grid_size / (double)header->field_size);
}

Vec3 field_cell_point(int x, int y, int z, float cell_scale)
{
    double s = cell_scale;
    return Vec3{(float)(x / s), (float)(y / s), (float)(z / s)};
}

bool field_cell_filled(const NormalField* field, int x, int y, int z)
{
    size_t g = field->grid_size;
    const int16_t* c = field->cells + 3 * (((size_t)x * g + (size_t)y) * g + (size_t)z);
    return c[0] != 0 || c[1] != 0 || c[2] != 0;
}

std::vector<Vec3> collect_field_points(const MapHeader* header)
{
    std::vector<Vec3> points;
    const NormalField* field = &header->field;
    float scale = field_cell_scale(header);
    if (!field->cells || !(scale > 0.0f))
        return points;
    int g = field->grid_size;
    for (int x = 0; x < g; ++x)
        for (int y = 0; y < g; ++y)
            for (int z = 0; z < g; ++z)
                if (field_cell_filled(field, x, y, z))
                    points.push_back(field_cell_point(x, y, z, scale));
    return points;
}
