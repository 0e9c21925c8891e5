// One frame's scene, the same in the window and in offscreen pictures: the
// field box, the meshes, the balls and the overlays asked for.
#include "render.h"

// Radius passed to the sprite set-up, and the point size of balls drawn
// without the shader program.
static const float BALL_RADIUS = 8.0f;
static const float BALL_POINT_SIZE = 2.0f;

void draw_scene(const SimState* sim, const LoadedMap* map, const float* view, const float* projection, int width,
                int height, const SceneOverlays* overlays)
{
    draw_field_box(map->header.field_size + 1);
    draw_map_objects(map, view, projection);
    glPointSize(BALL_POINT_SIZE);
    setup_ball_sprites((float)width, (float)height, BALL_RADIUS);
    draw_balls(sim, view, projection);
    gl_entry_table.glUseProgramObjectARB(0);
    glDisable(GL_POINT_SPRITE);
    if (overlays->field_points)
        draw_field_points(*overlays->field_points);
    if (overlays->layers)
        draw_layers_overlay(overlays->layers, view, projection);
}
