#include "viewer_keys.h"

#include <cstdio>

static const unsigned char KEY_ESCAPE = 27;

// The field view (ksm_field_viewer) runs no simulation: the keys that act
// on the balls are not its own.
#ifdef KSM_FIELD_VIEW
const char* const KEY_HELP_LINES[] = {
    "Esc, q    quit",
    "arrows    orbit",
    "+, -      zoom in, out",
    "Home, 0   fit the view to the field again",
    "h, F1     show or hide this help",
    "p         save a screenshot (PNG)",
    "l         show the map's start box and teleports",
    "u         reload the map file now",
};
#else
const char* const KEY_HELP_LINES[] = {
    "Esc, q    quit",
    "Space     pause or resume",
    "n         one step while paused",
    "r         scatter the balls anew",
    "g         reverse gravity",
    "arrows    orbit",
    "+, -      zoom in, out",
    "Home, 0   fit the view to the field again",
    "f         show the collision field",
    "h, F1     show or hide this help",
    "p         save a screenshot (PNG)",
    "l         show the map's start box and teleports",
    "u         reload the map file now",
};
#endif
const int KEY_HELP_LINE_COUNT = (int)(sizeof KEY_HELP_LINES / sizeof KEY_HELP_LINES[0]);

KeyAction key_action(unsigned char key)
{
    switch (key) {
    case KEY_ESCAPE: case 'q': case 'Q': return KEY_QUIT;
#ifndef KSM_FIELD_VIEW
    case ' ': return KEY_PAUSE;
    case 'n': case 'N': return KEY_STEP;
    case 'r': case 'R': return KEY_RESET;
    case 'g': case 'G': return KEY_GRAVITY;
    case 'f': case 'F': return KEY_FIELD;
#endif
    case '+': case '=': return KEY_ZOOM_IN;
    case '-': case '_': return KEY_ZOOM_OUT;
    case 'h': case 'H': return KEY_HELP;
    case 'p': case 'P': return KEY_SCREENSHOT;
    case 'l': case 'L': return KEY_LAYERS;
    case 'u': case 'U': return KEY_RELOAD;
    case '0': return KEY_VIEW_RESET;
    default: return KEY_NONE;
    }
}

KeyAction special_key_action(int key)
{
    switch (key) {
    case SPECIAL_KEY_F1: return KEY_HELP;
    case SPECIAL_KEY_LEFT: return KEY_ORBIT_LEFT;
    case SPECIAL_KEY_RIGHT: return KEY_ORBIT_RIGHT;
    case SPECIAL_KEY_UP: return KEY_ORBIT_UP;
    case SPECIAL_KEY_DOWN: return KEY_ORBIT_DOWN;
    case SPECIAL_KEY_HOME: return KEY_VIEW_RESET;
    default: return KEY_NONE;
    }
}

bool apply_key_toggle(ViewerControls* controls, KeyAction action)
{
    switch (action) {
    case KEY_PAUSE:
        controls->paused = !controls->paused;
        controls->step_requested = false;
        return true;
    case KEY_STEP:
        // Only meaningful while paused; a running simulation steps anyway.
        if (controls->paused)
            controls->step_requested = true;
        return true;
    case KEY_HELP:
        controls->show_help = !controls->show_help;
        return true;
    case KEY_FIELD:
        controls->show_field = !controls->show_field;
        return true;
    case KEY_SCREENSHOT:
        controls->screenshot_requested = true;
        return true;
    case KEY_LAYERS:
        controls->show_layers = !controls->show_layers;
        return true;
    default:
        return false;
    }
}

bool frame_runs_simulation(ViewerControls* controls)
{
    if (!controls->paused)
        return true;
    if (!controls->step_requested)
        return false;
    controls->step_requested = false;
    return true;
}

std::string screenshot_file_name(const std::tm* t, int n)
{
    char name[64];
    if (n > 1)
        std::snprintf(name, sizeof name, "ksm_%04d%02d%02d_%02d%02d%02d_%d.png", t->tm_year + 1900,
                      t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec, n);
    else
        std::snprintf(name, sizeof name, "ksm_%04d%02d%02d_%02d%02d%02d.png", t->tm_year + 1900,
                      t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec);
    return name;
}
