// Placeholder until the collision field computation lands: adds nothing.
#include "phys_info.h"

bool calc_phys_info(const MapHeader*, const MapObject*, NormalField*)
{
    return true;
}
