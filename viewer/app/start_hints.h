// Notes for a newcomer at start-up, on standard error: a map's layers that
// the settings leave unused, a start box too small for the balls asked for,
// and a map description opened in place of a compiled map. Pure texts, so
// tests can check them without a window.
#pragma once

#include <string>

#include "map_format.h"

// With layers=0: what the map's layers are and how to put them to use
// (layers=1 in the settings file `config_shown`, key l); empty when the map
// has none or the layers are in use.
std::string unused_layers_note(const MapLayers* layers, bool layers_enabled, const std::string& config_shown);

// Balls the start box holds at rest, roughly: one per unit cube of the box
// cut to the field [1, extent]; -1 when the box lies outside the field.
long start_box_capacity(const LayerBox* box, float extent);

// With layers=1 and a start box that holds fewer balls at rest than
// `ball_count`: says so with the box's rough capacity; otherwise empty.
std::string crowded_start_note(const MapLayers* layers, bool layers_enabled, float extent, int ball_count);

// True when the file at `path` is a map description rather than a compiled
// map: its name ends in ".ksd" (any case), or its first character that is
// no blank is '[' or ';', as an INI text's is.
bool looks_like_description(const std::string& path);

// The hint for a description given to the viewer: compile it first.
std::string compile_first_hint(const std::string& path);
