// The frame's steps. The simulation and the renderers plug in here.
#include <GL/freeglut.h>

#include "viewer_state.h"

static void resize_view(int width, int height)
{
    window_width = width;
    window_height = height > 0 ? height : 1;
    glViewport(0, 0, width, height);
}

bool viewer_start(MapHeader*)
{
    return true;
}

void viewer_register_input_callbacks()
{
    glutReshapeFunc(resize_view);
}

void viewer_step_simulation() {}
void viewer_draw_scene() {}
int viewer_ball_count() { return 0; }
void viewer_stop() {}
