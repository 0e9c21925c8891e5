#include "render_math.h"

#include <cmath>

BallSpriteScale compute_ball_sprite_scale(float width, float height, float radius)
{
    if (!(height >= 1.0f))
        height = 1.0f;
    BallSpriteScale s;
    s.angle = (float)((double)(width / height) * 0.5 * 3.1415 / 180.0);
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
