// Integration step: push out of solid cells, damped Verlet with gravity along
// y, confinement to the field and the move of the neighbour registration,
// ball after ball.
#include "integration_ball.h"

bool step_balls(const MapHeader* header)
{
    const StepConstants k = step_constants(header);
    bool all_registered = true;
    for (int i = 0; i < ball_count; ++i) {
        if (i + FIELD_AHEAD < ball_count)
            __builtin_prefetch(field_normal_at(k, ball_pos[i + FIELD_AHEAD]));
        advance_ball(k, i);
        all_registered &= move_registration(i);
    }
    tidy_cell_lists();
    return all_registered;
}
