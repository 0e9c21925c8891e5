#include "keyboard.h"

#include <GL/freeglut.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "balls.h"
#include "png_file.h"
#include "render.h"
#include "viewer_args.h"
#include "viewer_state.h"

static_assert(GLUT_KEY_F1 == SPECIAL_KEY_F1 && GLUT_KEY_LEFT == SPECIAL_KEY_LEFT &&
                  GLUT_KEY_UP == SPECIAL_KEY_UP && GLUT_KEY_RIGHT == SPECIAL_KEY_RIGHT &&
                  GLUT_KEY_DOWN == SPECIAL_KEY_DOWN && GLUT_KEY_HOME == SPECIAL_KEY_HOME,
              "GLUT special key numbers");

ViewerControls viewer_controls = {};

// Bitmap font of the overlay, its line height and the margin from the edge.
static void* const OVERLAY_FONT = GLUT_BITMAP_9_BY_15;
static const int OVERLAY_LINE = 16;
static const int OVERLAY_MARGIN = 10;

static void run_key(KeyAction action)
{
    if (apply_key_toggle(&viewer_controls, action))
        return;
    float units = KEY_ORBIT_UNITS;
    switch (action) {
    case KEY_QUIT:
        glutLeaveMainLoop();
        break;
    case KEY_RESET:
        restart_simulation();
        break;
    case KEY_RELOAD:
        reload_viewer_map();
        break;
    case KEY_GRAVITY:
        reverse_gravity();
        break;
    case KEY_ORBIT_LEFT: orbit_view(-units, 0.0f); break;
    case KEY_ORBIT_RIGHT: orbit_view(units, 0.0f); break;
    case KEY_ORBIT_UP: orbit_view(0.0f, units); break;
    case KEY_ORBIT_DOWN: orbit_view(0.0f, -units); break;
    case KEY_ZOOM_IN: zoom_view(1); break;
    case KEY_ZOOM_OUT: zoom_view(-1); break;
    case KEY_VIEW_RESET: fit_view_to_field(); break;
    default:
        break;
    }
}

void key_pressed(unsigned char key, int, int)
{
    run_key(key_action(key));
}

void special_key_pressed(int key, int, int)
{
    run_key(special_key_action(key));
}

static void draw_text_line(int row, const char* text)
{
    glRasterPos2i(OVERLAY_MARGIN, window_height - OVERLAY_MARGIN - OVERLAY_LINE * (row + 1) + 4);
    glutBitmapString(OVERLAY_FONT, (const unsigned char*)text);
}

void draw_overlay()
{
    if (!viewer_controls.show_help && !viewer_controls.paused)
        return;
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_TEXTURE_2D);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0.0, (double)window_width, 0.0, (double)window_height, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glColor3f(1.0f, 0.85f, 0.3f);
    int row = 0;
    if (viewer_controls.paused)
        draw_text_line(row++, "PAUSED");
    if (viewer_controls.show_help)
        for (int i = 0; i < KEY_HELP_LINE_COUNT; ++i)
            draw_text_line(row++, KEY_HELP_LINES[i]);
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glPopAttrib();
}

// Saves the pixels under the first name of the day that no file has,
// trying the next one when a name is taken meanwhile: an existing file is
// never replaced.
void save_screenshot()
{
    int w = window_width, h = window_height;
    if (w < 1 || h < 1)
        return;
    std::vector<uint8_t> pixels((size_t)w * (size_t)h * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    std::string name, error;
    bool existed = true;
    for (int n = 1; existed; ++n) {
        name = screenshot_file_name(&local, n);
        existed = access(name.c_str(), F_OK) == 0;
        if (!existed && write_new_png_rgb(name.c_str(), w, h, pixels.data(), &existed, &error)) {
            std::printf("Screenshot saved: %s\n", absolute_path(name).c_str());
            std::fflush(stdout);
            return;
        }
    }
    std::fprintf(stderr, "Cannot save the screenshot \"%s\": %s.\n", absolute_path(name).c_str(), error.c_str());
}
