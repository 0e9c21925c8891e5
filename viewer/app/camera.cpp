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

void resize_view(int width, int height)
{
    window_width = width;
    window_height = height;
    set_projection(&camera.projection_matrix, CAMERA_FOVY, window_aspect(width, height),
                   CAMERA_NEAR, CAMERA_FAR);
    load_projection_matrix();
    glViewport(0, 0, window_width, window_height);
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
        gravity = 0.0f;
        break;
    case MOUSE_ACTION_FLIP_GRAVITY:
        gravity_setting = -gravity_setting;
        gravity = gravity_setting;
        break;
    case MOUSE_ACTION_VIEW_CHANGED:
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
