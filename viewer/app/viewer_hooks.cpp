// The frame's steps. The simulation and the renderers plug in here.
#include <GL/freeglut.h>

#include <cstdio>
#include <ctime>

#include "balls.h"
#include "viewer_state.h"

static void resize_view(int width, int height)
{
    window_width = width;
    window_height = height > 0 ? height : 1;
    glViewport(0, 0, width, height);
}

bool viewer_start(MapHeader* header)
{
    seed_ball_random((unsigned)std::time(nullptr));
    const char* reason = "";
    if (!init_balls(header, &reason)) {
        std::printf("ERROR! Cannot start the simulation: %s.\n", reason);
        std::fflush(stdout);
        return false;
    }
    return true;
}

void viewer_register_input_callbacks()
{
    glutReshapeFunc(resize_view);
}

void viewer_step_simulation()
{
    static bool warned = false;
    repel_balls();
    // Should the neighbour table fail to grow, the balls concerned keep
    // their old registration and the run goes on; say so once.
    if (!step_balls(&map_header) && !warned) {
        std::printf("WARNING! Out of memory for the neighbour lists: some balls see stale neighbours.\n");
        std::fflush(stdout);
        warned = true;
    }
}

void viewer_draw_scene() {}
int viewer_ball_count() { return ball_count; }
void viewer_stop() { free_balls(); }
