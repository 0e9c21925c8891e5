// The viewer's keys: what each one asks for, the help lines that list them,
// and the toggles they drive. Free of GL and GLUT so tests can drive it.
#pragma once

#include <ctime>
#include <string>

enum KeyAction {
    KEY_NONE,
    KEY_QUIT,         // Esc, q
    KEY_PAUSE,        // Space: pause or resume the simulation
    KEY_STEP,         // n: one frame's simulation while paused
    KEY_RESET,        // r: scatter the balls anew
    KEY_GRAVITY,      // g: reverse gravity
    KEY_ORBIT_LEFT,   // arrows: orbit as a drag does
    KEY_ORBIT_RIGHT,
    KEY_ORBIT_UP,
    KEY_ORBIT_DOWN,
    KEY_ZOOM_IN,      // + (and =): one wheel notch in
    KEY_ZOOM_OUT,     // - (and _): one wheel notch out
    KEY_FIELD,        // f: show the collision field's filled cells
    KEY_HELP,         // h, F1: show or hide the on-screen help
    KEY_SCREENSHOT,   // p: save the window as a PNG
    KEY_LAYERS,       // l: show the map's start box and teleports
    KEY_RELOAD,       // u: load the map file again now
    KEY_VIEW_RESET    // Home, 0: fit the view to the field again
};

// GLUT's numbers for the special keys used here (GLUT_KEY_F1, ...).
const int SPECIAL_KEY_F1 = 1;
const int SPECIAL_KEY_LEFT = 100;
const int SPECIAL_KEY_UP = 101;
const int SPECIAL_KEY_RIGHT = 102;
const int SPECIAL_KEY_DOWN = 103;
const int SPECIAL_KEY_HOME = 106;

// An ordinary key (GLUT keyboard callback); letters in either case. The
// field view knows no simulation keys (Space, n, r, g, f).
KeyAction key_action(unsigned char key);
// A special key (GLUT special callback).
KeyAction special_key_action(int key);

// Mouse travel, in field units, that one arrow press stands for: the same
// turn as a drag over that distance (0.1 radian per unit).
const float KEY_ORBIT_UNITS = 1.0f;

// The key lines of --help and of the on-screen help.
extern const char* const KEY_HELP_LINES[];
extern const int KEY_HELP_LINE_COUNT;

// What the keys have switched on or asked for, read by the frame.
struct ViewerControls {
    bool paused;           // the simulation holds still; drawing goes on
    bool step_requested;   // one simulation step while paused
    bool show_help;        // the on-screen help
    bool show_field;       // the collision field's filled cells as points
    bool screenshot_requested;
    bool show_layers;      // the map's start box and teleports as wireframes
};

// Applies the toggles among the actions (pause, step, help, field,
// screenshot, layers); returns false for the actions the caller carries out itself.
bool apply_key_toggle(ViewerControls* controls, KeyAction action);
// Whether this frame runs the simulation: always while running, once after
// a step request while paused (the request is used up).
bool frame_runs_simulation(ViewerControls* controls);

// "ksm_YYYYMMDD_HHMMSS.png" for a local time, with "_<n>" before ".png" for
// n > 1 (the n-th file of the same second).
std::string screenshot_file_name(const std::tm* local_time, int n);
