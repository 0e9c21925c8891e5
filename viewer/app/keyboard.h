// The GLUT side of the keys: the keyboard callbacks, the on-screen help and
// the screenshot. What each key means is in viewer_keys.h.
#pragma once

#include "viewer_keys.h"

// What the keys have switched on or asked for; the frame reads it.
extern ViewerControls viewer_controls;

// GLUT keyboard and special-key callbacks.
void key_pressed(unsigned char key, int x, int y);
void special_key_pressed(int key, int x, int y);

// The help in the window's upper left corner when it is switched on, and
// "PAUSED" while the simulation holds still. Leaves the GL state as it was.
void draw_overlay();
// Saves the back buffer (the frame just drawn) as a PNG in the working
// directory and prints its path; a failure is reported on stderr.
void save_screenshot();
