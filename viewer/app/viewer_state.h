// Global state of the viewer shared by start-up, the frame and the callbacks.
#pragma once

#include "map_format.h"

extern MapHeader map_header;  // the loaded map and its collision field
extern int window_width;      // client size in pixels, set by the reshape callback
extern int window_height;

// Scatters the balls anew as at start-up, with the run's settings file
// (keys); false, with a message on stderr, when memory cannot be had.
bool restart_simulation();
// Reverses gravity and makes it active (middle button released, key g).
void reverse_gravity();
// Turns the camera as a drag of (dx, dy) field units does (arrow keys).
void orbit_view(float dx, float dy);
// Zooms as that many wheel notches do (> 0 in).
void zoom_view(int notches);
