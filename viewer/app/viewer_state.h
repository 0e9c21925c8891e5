// Global state of the viewer shared by start-up, the frame and the callbacks.
#pragma once

#include "map_format.h"

extern LoadedMap viewer_map;  // the loaded map: header and field, objects, layers
extern int window_width;      // client size in pixels, set by the reshape callback
extern int window_height;
