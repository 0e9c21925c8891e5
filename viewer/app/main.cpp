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
#include "sim_frame.h"
#include "viewer_args.h"
#include "viewer_run.h"
#include "viewer_state.h"

#ifdef KSM_FIELD_VIEW
static const char* const VIEWER_NOTICE = "Collision field view: every filled cell is a white point; drag to orbit.";
#else
static const char* const VIEWER_NOTICE = "Granular water viewer: drag to orbit, hold the middle button to lift gravity.";
#endif

LoadedMap viewer_map = {};
// The window's simulation, here for the GLUT callbacks.
static SimState viewer_sim;
int window_width = 800;
int window_height = 600;
static FrameTiming frame_timing = {};
// Settings file of the run, read again when the balls are scattered anew.
static std::string settings_path;
static std::string map_path;     // the map as named on the command line
static bool watch_map = true;    // reload the map when its file changes
static FileWatch map_watch;
static bool seed_given = false;  // --seed: key r starts again from the same seed
static unsigned seed = 0;
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

// Loads the map file again and, when it is usable, swaps it in under the
// running balls; a new field size fits the camera to the new field.
void reload_viewer_map()
{
    uint16_t old_size = viewer_map.header.field_size;
    mark_file_seen(&map_watch);
    if (!reload_map(&viewer_sim, map_path, &viewer_map))
        return;
#ifndef KSM_FIELD_VIEW
    field_points_ready = false;
#endif
    if (viewer_map.header.field_size != old_size)
        fit_view_to_field();
}

// Between two frames: reload the map when its file has changed on disk.
static void check_map_file()
{
    if (watch_map && poll_file_watch(&map_watch, glutGet(GLUT_ELAPSED_TIME)))
        reload_viewer_map();
}

bool restart_simulation()
{
#ifdef KSM_FIELD_VIEW
    return true;
#else
    if (seed_given)
        seed_ball_random(&viewer_sim, seed);
    const char* reason = "";
    if (init_balls_from(&viewer_sim, &viewer_map.header, settings_path.c_str(), &reason, &viewer_map.layers)) {
        set_frame_cap(&frame_pacer, viewer_sim.frame_rate_cap);
        return true;
    }
    std::fprintf(stderr, "Cannot scatter the balls anew: %s.\n", reason);
    return false;
#endif
}

#ifndef KSM_FIELD_VIEW
// The filled cells, gathered when first shown.
static const std::vector<Vec3>* shown_field_points()
{
    if (!field_points_ready) {
        field_points = collect_field_points(&viewer_map.header);
        field_points_ready = true;
    }
    return &field_points;
}

static void step_simulation()
{
    static bool warned = false;
    // Should the neighbour table fail to grow, the balls concerned keep
    // their old registration and the run goes on; say so once.
    if (!simulate_frame(&viewer_sim, &viewer_map) && !warned) {
        std::printf("WARNING! Out of memory for the neighbour lists: some balls see stale neighbours.\n");
        std::fflush(stdout);
        warned = true;
    }
    static bool warned_limit = false;
    warn_partner_limit_once(&viewer_sim, &warned_limit);
}
#endif

static void draw_frame()
{
    check_map_file();
    int previous = frame_timing.frame_start_ms;
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
#ifndef KSM_FIELD_VIEW
    if (frame_runs_simulation(&viewer_controls))
        step_simulation();
#endif
    int t1 = glutGet(GLUT_ELAPSED_TIME);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    const float* view = camera.view_matrix.m;
    const float* projection = camera.projection_matrix.m;
#ifdef KSM_FIELD_VIEW
    draw_field_cells(&viewer_map.header);
    if (viewer_controls.show_layers)
        draw_layers_overlay(&viewer_map.layers, view, projection);
#else
    SceneOverlays overlays = {viewer_controls.show_field ? shown_field_points() : nullptr,
                              viewer_controls.show_layers ? &viewer_map.layers : nullptr};
    draw_scene(&viewer_sim, &viewer_map, view, projection, window_width, window_height, &overlays);
#endif
    draw_overlay();
    if (viewer_controls.screenshot_requested) {
        viewer_controls.screenshot_requested = false;
        save_screenshot();
    }
    glutSwapBuffers();
    int t2 = glutGet(GLUT_ELAPSED_TIME);
    char title[TITLE_BUFFER_SIZE];
    if (account_frame(&frame_timing, previous, t1, t2, viewer_sim.ball_count, title))
        glutSetWindowTitle(title);
}

void reverse_gravity()
{
    viewer_sim.gravity_setting = -viewer_sim.gravity_setting;
    viewer_sim.gravity = viewer_sim.gravity_setting;
}

void lift_gravity()
{
    viewer_sim.gravity = 0.0f;
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
    free_loaded_map(&viewer_map);
}

int main(int argc, char** argv)
{
    ViewerArgs args = parse_viewer_args(argc, argv);
    int answered = answer_viewer_command(args);
    if (answered >= 0)
        return answered;
#ifndef KSM_FIELD_VIEW
    if (args.headless)
        return run_headless(args);
#endif
    map_path = args.map_path;
    watch_map = args.watch;
    seed_given = args.seed_given;
    seed = args.seed;

    char title[TITLE_BUFFER_SIZE];
    format_init_title(title);
    glutInit(&argc, argv);
    // Closing the window returns from the main loop so that clean-up runs.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    if (args.geometry_width > 0) {
        window_width = args.geometry_width;
        window_height = args.geometry_height;
    }
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

    if (!load_start_map(args.map_path, &viewer_map)) {
        release_map();
        return 1;
    }
    start_file_watch(&map_watch, map_path, glutGet(GLUT_ELAPSED_TIME));
    settings_path = args.config_path;
    print_settings_notes(args);
    if (!start_balls(&viewer_sim, &viewer_map, settings_path.c_str(), args.seed_given, args.seed)) {
        release_map();
        return 1;
    }
    build_ball_program();

    set_projection(&camera.projection_matrix, CAMERA_FOVY, window_aspect(window_width, window_height),
                   CAMERA_NEAR, CAMERA_FAR_START);
    load_projection_matrix();
    camera_fit_field(&camera, (float)viewer_map.header.field_size, window_aspect(window_width, window_height));
    load_view_matrix();
    glViewport(0, 0, window_width, window_height);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    format_first_second_title(title);
    glutSetWindowTitle(title);
    frame_timing.frame_start_ms = glutGet(GLUT_ELAPSED_TIME);
    set_frame_cap(&frame_pacer, viewer_sim.frame_rate_cap);
    glutMainLoop();

    free_balls(&viewer_sim);
    release_map();
    return 0;
}
