// One frame of the simulation as both the window and a headless run make
// it, the map's layers put to use, and the swap of a newly loaded map under
// the running balls. No GL here.
#pragma once

#include <cstdint>

#include "map_format.h"
#include "sim_state.h"
#include "vec3.h"

// The units min(a, b) .. max(a, b) a box covers along axis k (0 x, 1 y, 2 z).
void layer_box_units(const LayerBox* box, int k, int* min, int* max);

// The part of the field where balls start: per axis [lo, hi], the start box
// (its units min .. max cover [min, max + 1]) cut to the field [1, F]. False
// when the box lies wholly outside the field.
bool start_box_region(const LayerBox* box, float extent, double lo[3], double hi[3]);

// True when the position lies in the box's units: min <= trunc(c) <= max on
// every axis.
bool point_in_layer_box(const LayerBox* box, Vec3 p);

// After a step: each ball inside a teleport's from box moves by the offset
// between the lower corners of the from and to boxes, held inside the field;
// its previous position moves with it, so its velocity is kept. Teleports
// are tried in tag order, at most one move per ball. False when the
// neighbour table could not grow for a moved ball (it keeps its old
// registration).
bool apply_teleports(SimState* s, const MapLayers* layers);

// Once s->partner_limit_hit is set, writes one warning line to standard
// error, the first time only (*warned remembers it): what the window and a
// headless run say when a walk was cut short.
void warn_partner_limit_once(const SimState* s, bool* warned);

// One simulation frame: the repulsion pass and the integration step
// (sequential, or parallel with threads=N), then, with layers=1, the
// teleports. False when the neighbour table could not grow.
bool simulate_frame(SimState* s, const LoadedMap* map);

// Puts the running balls into a newly loaded map (field_size and grid_size at
// least 1): positions, velocities and colours are kept, balls outside a
// smaller field are moved into it, and the neighbour lists are rebuilt when
// the field size changes. Returns false with nothing changed, and a reason,
// when the new neighbour table cannot be allocated; true with `*reason` null,
// or naming a fault the run survives (balls the table could not hold).
bool adopt_map(SimState* s, const MapHeader* header, const char** reason);

// FNV-1a (64 bits) over every ball's position and velocity (position minus
// previous position), as little-endian float bits, in ball order.
uint64_t ball_checksum(const SimState* s);
