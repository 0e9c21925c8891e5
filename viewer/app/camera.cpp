// The GLUT side of the camera: reshape, mouse buttons and drags.
#include <GL/freeglut.h>

#include "balls.h"
#include "render.h"
#include "viewer_state.h"

static_assert(GLUT_DOWN == MOUSE_PRESSED && GLUT_UP == MOUSE_RELEASED, "GLUT button states");
static_assert(GLUT_LEFT_BUTTON == MOUSE_LEFT && GLUT_MIDDLE_BUTTON == MOUSE_MIDDLE &&
                  GLUT_RIGHT_BUTTON == MOUSE_RIGHT,
              "GLUT button numbers");

Camera camera;
// Runs before main, after `camera` is constructed (same file, earlier line).
static const bool camera_ready = (camera_reset(&camera), true);

void load_projection_matrix()
{
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(camera.projection_matrix.m);
}

void load_view_matrix()
{
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixf(camera.view_matrix.m);
}

// Projection for the window's shape, far enough for the whole field box.
static void update_projection()
{
    set_projection(&camera.projection_matrix, CAMERA_FOVY, window_aspect(window_width, window_height),
                   CAMERA_NEAR, camera_far_plane(&camera));
    load_projection_matrix();
}

void fit_view_to_field()
{
    camera_fit_field(&camera, (float)viewer_map.header.field_size, window_aspect(window_width, window_height));
    update_projection();
    load_view_matrix();
}

void resize_view(int width, int height)
{
    window_width = width;
    window_height = height;
    // A view nobody has turned or zoomed yet fits the new shape.
    if (camera.fitted)
        camera_fit_field(&camera, camera.field_size, window_aspect(width, height));
    update_projection();
    glViewport(0, 0, window_width, window_height);
    if (camera.fitted)
        load_view_matrix();
}

void orbit_view(float dx, float dy)
{
    camera_orbit(&camera, dx, dy);
    load_view_matrix();
}

void zoom_view(int notches)
{
    if (!camera_zoom(&camera, notches))
        return;
    update_projection();
    load_view_matrix();
}

static void mouse_in_field_units(int x, int y, float* fx, float* fy)
{
    mouse_to_field((float)viewer_map.header.field_size, x, y, window_width, window_height, fx, fy);
}

void mouse_button(int button, int state, int x, int y)
{
    float fx, fy;
    mouse_in_field_units(x, y, &fx, &fy);
    switch (camera_mouse_button(&camera, button, state, fx, fy)) {
    case MOUSE_ACTION_LIFT_GRAVITY:
        lift_gravity();
        break;
    case MOUSE_ACTION_FLIP_GRAVITY:
        reverse_gravity();
        break;
    case MOUSE_ACTION_VIEW_CHANGED:
        update_projection();
        load_view_matrix();
        break;
    case MOUSE_ACTION_NONE:
        break;
    }
}

void mouse_drag(int x, int y)
{
    float fx, fy;
    mouse_in_field_units(x, y, &fx, &fy);
    if (camera_mouse_drag(&camera, fx, fy))
        load_view_matrix();
}
