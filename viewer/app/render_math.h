// Arithmetic of the renderers, free of GL so tests can check it.
#pragma once

#include <vector>

#include "map_format.h"
#include "vec3.h"

// Uniforms of the ball program for a window of width x height pixels and a
// ball radius. The scale depends on the height alone, as the projection
// does, so a ball keeps its size against the scene whatever the window's
// shape: it is the one an 800 x 600 window has always had, height over
// tan of the angle (800 / 600) * 0.5 * 3.1415 / 180, which makes a sprite
// about 412.5 / d pixels wide at eye distance d there and scales with the
// height. The width is not used. A height below 1 counts as 1.
struct BallSpriteScale {
    float angle;         // (800 / 600) * 0.5 * 3.1415 / 180
    float point_scale;   // "pointScale": height / tan(angle)
    float point_radius;  // "pointRadius": radius * 0.001
};
BallSpriteScale compute_ball_sprite_scale(float width, float height, float radius);

// Field units per collision cell inverted: grid_size / field_size as a float,
// the same ratio the simulation uses to find a ball's cell. 0 when the map
// has no field size.
float field_cell_scale(const MapHeader* header);
// Where the field view draws collision cell (x, y, z): its coordinates
// divided by the cell scale, i.e. in field units.
Vec3 field_cell_point(int x, int y, int z, float cell_scale);
// True when collision cell (x, y, z) holds a push vector.
bool field_cell_filled(const NormalField* field, int x, int y, int z);
// Where the field view draws every filled cell, in cell order; empty when
// the map has no field.
std::vector<Vec3> collect_field_points(const MapHeader* header);
