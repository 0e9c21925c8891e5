// ksm_viewer: start-up, the GLUT callbacks and the frame.
//
// Built a second time with KSM_FIELD_VIEW as ksm_field_viewer, the field
// view: same start-up, settings, camera and shader build, but no simulation
// steps, and its frame shows the map's collision cells as points instead of
// the box, the meshes and the balls.
#include <GL/freeglut.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#include <ctime>

#include "balls.h"
#include "frame_logic.h"
#include "keyboard.h"
#include "map_format.h"
#include "render.h"
#include "render_math.h"
#include "settings_notes.h"
#include "viewer_args.h"
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
// Settings file of the run, read again when the balls are scattered anew.
static std::string settings_path;
#ifndef KSM_FIELD_VIEW
// The collision field's filled cells, gathered when first shown.
static std::vector<Vec3> field_points;
static bool field_points_ready = false;
#endif

static FramePacer frame_pacer = {};

static double steady_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Longest single wait, so that input is still handled promptly under a low
// frame cap.
static const double LONGEST_IDLE_WAIT_MS = 20.0;

// Asks for the next frame; under a frame cap, first waits until it is due.
static void request_redraw()
{
    double wait = frame_wait_ms(&frame_pacer, steady_ms());
    if (wait > 0.0) {
        double ms = wait < LONGEST_IDLE_WAIT_MS ? wait : LONGEST_IDLE_WAIT_MS;
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
        return;
    }
    glutPostRedisplay();
}

// Notes on the settings file on stderr: entries that are not read as they
// look, a missing file named on the command line, a directory.
static void print_settings_notes(const ViewerArgs& args)
{
    std::string shown = absolute_path(args.config_path);
    std::vector<std::string> notes;
    if (path_is_directory(args.config_path))
        notes.push_back(shown + ": is a directory; the defaults apply");
    else
        notes = check_ball_settings_file(args.config_path.c_str(), shown, args.config_given);
    for (const std::string& note : notes)
        std::fprintf(stderr, "note: %s\n", note.c_str());
}

// Seeds the generator from the clock and places the balls, with the
// settings of `config_path`.
static bool start_simulation(MapHeader* header, const char* config_path)
{
    seed_ball_random((unsigned)std::time(nullptr));
    const char* reason = "";
    if (!init_balls_from(header, config_path, &reason)) {
        std::printf("ERROR! Cannot start the simulation: %s.\n", reason);
        std::fflush(stdout);
        return false;
    }
    return true;
}

bool restart_simulation()
{
#ifdef KSM_FIELD_VIEW
    return true;
#else
    const char* reason = "";
    if (init_balls_from(&map_header, settings_path.c_str(), &reason)) {
        set_frame_cap(&frame_pacer, frame_rate_cap);
        return true;
    }
    std::fprintf(stderr, "Cannot scatter the balls anew: %s.\n", reason);
    return false;
#endif
}

#ifndef KSM_FIELD_VIEW
// The filled cells as white points over the scene, with the current
// matrices (the camera's).
static void draw_field_points()
{
    if (!field_points_ready) {
        field_points = collect_field_points(&map_header);
        field_points_ready = true;
    }
    if (field_points.empty())
        return;
    glPointSize(1.0f);
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, field_points.data());
    glDrawArrays(GL_POINTS, 0, (GLsizei)field_points.size());
    glDisableClientState(GL_VERTEX_ARRAY);
}

static void step_simulation()
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
#endif

static void draw_frame()
{
    int previous = frame_timing.frame_start_ms;
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
#ifndef KSM_FIELD_VIEW
    if (frame_runs_simulation(&viewer_controls))
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
    if (viewer_controls.show_field)
        draw_field_points();
#endif
    draw_overlay();
    if (viewer_controls.screenshot_requested) {
        viewer_controls.screenshot_requested = false;
        save_screenshot();
    }
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

// Loads the map at `path`; on failure prints why, naming the absolute path.
static bool load_map(const std::string& path)
{
    const char* fault = nullptr;
    if (path_is_directory(path)) {
        fault = "it is a directory, not a compiled map";
    } else {
        MapLoadResult loaded = load_compiled_map_file(&map_header, path.c_str());
        fault = loaded == MAP_LOADED ? check_loaded_map(&map_header) : map_load_result_text(loaded);
    }
    if (!fault)
        return true;
    std::printf("ERROR! Cannot use the compiled map \"%s\": %s.\n", absolute_path(path).c_str(), fault);
    std::fflush(stdout);
    return false;
}

int main(int argc, char** argv)
{
    ViewerArgs args = parse_viewer_args(argc, argv);
    switch (args.command) {
    case VIEWER_HELP:
        print_viewer_usage(stdout);
        return 0;
    case VIEWER_VERSION:
        print_viewer_version(stdout);
        return 0;
    case VIEWER_USAGE_ERROR:
        print_viewer_usage_error(stderr, args.error);
        return VIEWER_EXIT_USAGE;
    case VIEWER_RUN:
        break;
    }

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
    glutKeyboardFunc(key_pressed);
    glutSpecialFunc(special_key_pressed);

    std::printf("%s\n", VIEWER_TITLE);
    std::printf("%s\n\n", VIEWER_NOTICE);
    if (args.info)
        print_gl_info();
    std::fflush(stdout);

    if (!load_map(args.map_path)) {
        release_map();
        return 1;
    }
    settings_path = args.config_path;
    print_settings_notes(args);
    if (!start_simulation(&map_header, settings_path.c_str())) {
        release_map();
        return 1;
    }
    build_ball_program();

    set_projection(&camera.projection_matrix, CAMERA_FOVY, window_aspect(window_width, window_height),
                   CAMERA_NEAR, CAMERA_FAR_START);
    load_projection_matrix();
    float n = (float)map_header.field_size;
    float h = (float)(n * 0.5);
    camera_set_field(&camera, n);
    camera_look_at(&camera, Vec3{h, h, h}, Vec3{h, h, (float)(-n / 1.4)}, Vec3{0.0f, n, 0.0f});
    load_view_matrix();
    glViewport(0, 0, window_width, window_height);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    format_first_second_title(title);
    glutSetWindowTitle(title);
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
    set_frame_cap(&frame_pacer, frame_rate_cap);
    glutMainLoop();

    free_balls();
    release_map();
    return 0;
}
