// The GL side of the viewer: the camera's GLUT callbacks, the ball renderer
// and the map renderer. The arithmetic behind them is in camera_math.h and
// render_math.h; the entry points they reach through gl_entry_table are in
// gl_entry.h.
#pragma once

#include <vector>

#include "camera_math.h"
#include "gl_entry.h"
#include "map_format.h"
#include "sim_state.h"

// The orbit camera, in its reset state before main runs.
extern Camera camera;

// GLUT reshape: window size, projection (far 200) and viewport. The
// projection stack stays selected.
void resize_view(int width, int height);
// GLUT mouse: buttons, the middle-button gravity switch, wheel zoom.
void mouse_button(int button, int state, int x, int y);
// GLUT motion: left or right drag orbits the camera.
void mouse_drag(int x, int y);
// Loads the projection matrix into the projection stack, and the view matrix
// into the modelview stack, each leaving its stack selected.
void load_projection_matrix();
void load_view_matrix();

// Handle of the linked ball program; 0 when it could not be created.
extern GLhandleARB ball_program;
// Swap interval 0, then the ball shaders compiled and linked. Failures print
// the driver's log and start-up goes on.
void build_ball_program();
// Prints the info log of a shader or program whose `status` query is 0.
void print_object_log(GLhandleARB object, GLenum status);
// Point sprites with shader-controlled size, depth test on, the program
// bound and its two uniforms set for a window of width x height pixels.
void setup_ball_sprites(float width, float height, float radius);
// Every ball of sim as a point, straight from the simulation's arrays.
void draw_balls(const SimState* sim, const float* view, const float* projection);

// The field's outline: a white wireframe box from 0 to side on each axis.
void draw_field_box(int side);
// Every mesh of `map` as white wireframe, back faces culled.
void draw_map_objects(const LoadedMap* map, const float* view, const float* projection);

// The camera's matrices on both stacks, the previous ones kept beneath;
// pop_camera_matrices restores them and leaves the modelview stack selected.
void push_camera_matrices(const float* view, const float* projection);
void pop_camera_matrices();
// The map's layers over the scene, seen through everything: the start box in
// green, each teleport's from box in blue and its to box in orange as
// wireframes, with a thin line between their centres.
void draw_layers_overlay(const MapLayers* layers, const float* view, const float* projection);
// The field view: one white point at every filled collision cell.
void draw_field_cells(const MapHeader* header);
// The filled cells as white points over the scene (not hidden by the
// balls), with the current matrices (the camera's).
void draw_field_points(const std::vector<Vec3>& points);

// What a frame shows besides the box, the meshes and the balls.
struct SceneOverlays {
    const std::vector<Vec3>* field_points;  // key f: drawn when not null
    const MapLayers* layers;                // key l: drawn when not null
};
// One frame's scene after the clear, with the view and projection already
// on their stacks: the field box, the meshes, the balls as sprites for a
// picture of width x height pixels, then the overlays. Leaves the fixed
// pipeline bound and point sprites off. The window and the offscreen
// pictures both draw through it.
void draw_scene(const SimState* sim, const LoadedMap* map, const float* view, const float* projection, int width,
                int height, const SceneOverlays* overlays);
