// Global state of the viewer shared by start-up, the frame and the callbacks.
#pragma once

#include "map_format.h"

extern MapHeader map_header;  // the loaded map and its collision field
extern int window_width;      // client size in pixels, set by the reshape callback
extern int window_height;
