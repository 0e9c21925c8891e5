// Global state of the viewer shared by start-up, the frame and the callbacks.
#pragma once

#include "map_format.h"

extern LoadedMap viewer_map;  // the loaded map: header and field, objects, layers
extern int window_width;      // client size in pixels, set by the reshape callback
extern int window_height;

// Scatters the balls anew as at start-up, with the run's settings file
// (keys); false, with a message on stderr, when memory cannot be had.
bool restart_simulation();
// Loads the map file again and, when it is complete and usable, swaps it in
// under the running balls (key u, and the file watch); otherwise one line on
// stderr and the current map stays.
void reload_viewer_map();
// Reverses gravity and makes it active (middle button released, key g).
void reverse_gravity();
// Turns gravity off until reverse_gravity (middle button held).
void lift_gravity();
// Turns the camera as a drag of (dx, dy) field units does (arrow keys).
void orbit_view(float dx, float dy);
// Zooms as that many wheel notches do (> 0 in).
void zoom_view(int notches);
// Fits the camera to the loaded map's field and the window's shape, far
// plane included (start-up, a reload to another field size, Home and 0).
void fit_view_to_field();
