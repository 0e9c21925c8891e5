// ksm_viewer: start-up, the GLUT callbacks and the frame.
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame_logic.h"
#include "map_format.h"
#include "viewer_state.h"

static const char* const VIEWER_NOTICE = "Granular water viewer: drag to orbit, hold the middle button to lift gravity.";

MapHeader map_header = {};
int window_width = 800;
int window_height = 600;
static FrameTiming frame_timing = {};

static void request_redraw()
{
    glutPostRedisplay();
}

static void draw_frame()
{
    int previous = frame_timing.frame_start_ms;
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
    viewer_step_simulation();
    int t1 = glutGet(GLUT_ELAPSED_TIME);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    viewer_draw_scene();
    glutSwapBuffers();
    int t2 = glutGet(GLUT_ELAPSED_TIME);
    char title[TITLE_BUFFER_SIZE];
    if (account_frame(&frame_timing, previous, t1, t2, viewer_ball_count(), title))
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
    viewer_register_input_callbacks();
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
        free_map_objects();
        free_normal_field(&map_header.field);
        return 1;
    }

    if (!viewer_start(&map_header)) {
        free_map_objects();
        free_normal_field(&map_header.field);
        return 1;
    }

    glViewport(0, 0, window_width, window_height);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    format_first_second_title(title);
    glutSetWindowTitle(title);
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
    glutMainLoop();

    viewer_stop();
    free_map_objects();
    free_normal_field(&map_header.field);
    return 0;
}
