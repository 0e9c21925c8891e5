// ksm_viewer: start-up, the GLUT callbacks and the frame.
//
// Built a second time with KSM_FIELD_VIEW as ksm_field_viewer, the field
// view: same start-up, settings, camera and shader build, but no simulation
// steps, and its frame shows the map's collision cells as points instead of
// the box, the meshes and the balls.
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "balls.h"
#include "frame_logic.h"
#include "map_format.h"
#include "render.h"
#include "viewer_state.h"

#ifdef KSM_FIELD_VIEW
static const char* const VIEWER_NOTICE = "Collision field view: every filled cell is a white point; drag to orbit.";
#else
static const char* const VIEWER_NOTICE = "Granular water viewer: drag to orbit, hold the middle button to lift gravity.";
#endif

// Radius passed to the sprite set-up, and the point size of balls drawn
// without the shader program.
static const float BALL_RADIUS = 8.0f;
static const float BALL_POINT_SIZE = 2.0f;

MapHeader map_header = {};
int window_width = 800;
int window_height = 600;
static FrameTiming frame_timing = {};

static void request_redraw()
{
    glutPostRedisplay();
}

// Seeds the generator from the clock and places the balls.
static bool start_simulation(MapHeader* header)
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

#ifndef KSM_FIELD_VIEW
static void step_simulation()
{
    static bool warned = false;
    // Should the neighbour table fail to grow, the balls concerned keep
    // their old registration and the run goes on; say so once.
    if (!simulate_frame(&map_header) && !warned) {
        std::printf("WARNING! Out of memory for the neighbour lists: some balls see stale neighbours.\n");
        std::fflush(stdout);
        warned = true;
    }
}
#endif

static void draw_frame()
{
    int previous = frame_timing.frame_start_ms;
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
#ifndef KSM_FIELD_VIEW
    step_simulation();
#endif
    int t1 = glutGet(GLUT_ELAPSED_TIME);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
#ifdef KSM_FIELD_VIEW
    draw_field_cells();
#else
    const float* view = camera.view_matrix.m;
    const float* projection = camera.projection_matrix.m;
    draw_field_box(map_header.field_size + 1);
    draw_map_objects(view, projection);
    glPointSize(BALL_POINT_SIZE);
    setup_ball_sprites((float)window_width, (float)window_height, BALL_RADIUS);
    draw_balls(view, projection);
    gl_entry_table.glUseProgramObjectARB(0);
    glDisable(GL_POINT_SPRITE);
#endif
    glutSwapBuffers();
    int t2 = glutGet(GLUT_ELAPSED_TIME);
    char title[TITLE_BUFFER_SIZE];
    if (account_frame(&frame_timing, previous, t1, t2, ball_count, title))
        glutSetWindowTitle(title);
}

static void print_gl_info()
{
    std::printf("OpenGL Info:\n");
    std::printf("- Vendor:     %s\n", (const char*)glGetString(GL_VENDOR));
    std::printf("- Renderer:   %s\n", (const char*)glGetString(GL_RENDERER));
    std::printf("- Version:    %s\n", (const char*)glGetString(GL_VERSION));
    std::printf("- Extensions: %s\n", (const char*)glGetString(GL_EXTENSIONS));
}

static void release_map()
{
    free_map_objects();
    free_normal_field(&map_header.field);
}

int main(int argc, char** argv)
{
    char title[TITLE_BUFFER_SIZE];
    format_init_title(title);
    glutInit(&argc, argv);
    // Closing the window returns from the main loop so that clean-up runs.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(window_width, window_height);
    glutCreateWindow(title);

    glutDisplayFunc(draw_frame);
    glutReshapeFunc(resize_view);
    glutMouseFunc(mouse_button);
    glutMotionFunc(mouse_drag);
    glutIdleFunc(request_redraw);

    std::printf("%s\n", VIEWER_TITLE);
    std::printf("%s\n\n", VIEWER_NOTICE);
    if (argc > 1 && std::strcmp(argv[1], "info") == 0)
        print_gl_info();
    std::fflush(stdout);

    MapLoadResult loaded = load_compiled_map(&map_header);
    const char* fault = loaded == MAP_LOADED ? check_loaded_map(&map_header) : map_load_result_text(loaded);
    if (fault) {
        std::printf("ERROR! Cannot use the compiled map \"map.ksm\": %s.\n", fault);
        std::fflush(stdout);
        release_map();
        return 1;
    }
    if (!start_simulation(&map_header)) {
        release_map();
        return 1;
    }
    build_ball_program();

    set_projection(&camera.projection_matrix, CAMERA_FOVY, window_aspect(window_width, window_height),
                   CAMERA_NEAR, CAMERA_FAR_START);
    load_projection_matrix();
    float n = (float)map_header.field_size;
    float h = (float)(n * 0.5);
    camera_look_at(&camera, Vec3{h, h, h}, Vec3{h, h, (float)(-n / 1.4)}, Vec3{0.0f, n, 0.0f});
    load_view_matrix();
    glViewport(0, 0, window_width, window_height);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    format_first_second_title(title);
    glutSetWindowTitle(title);
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
    glutMainLoop();

    free_balls();
    release_map();
    return 0;
}
