// Voxelising of one placed object into the shared collision field.
#pragma once

#include "map_format.h"

// Seeds, grows and fills the push vectors of one object into `field`,
// printing the three stages and their progress dots. Returns false after
// printing the reason when the compile must stop (a push component beyond
// +-200); the caller then leaves an empty output file.
bool calc_phys_info(const MapHeader* header, const MapObject* obj, NormalField* field);
