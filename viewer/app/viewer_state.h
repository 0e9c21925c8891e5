// Global state of the viewer and the steps of its start-up and frame.
#pragma once

#include "map_format.h"

extern MapHeader map_header;
extern int window_width;
extern int window_height;

// Start-up after the map is loaded: simulation, shader, projection, camera.
// False when the viewer cannot go on (the reason has been printed).
bool viewer_start(MapHeader* header);
// Mouse, motion and reshape callbacks.
void viewer_register_input_callbacks();
// One simulation step of the frame.
void viewer_step_simulation();
// Everything drawn between the clear and the swap.
void viewer_draw_scene();
int viewer_ball_count();
// Releases what viewer_start allocated.
void viewer_stop();
