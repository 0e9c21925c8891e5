// Integration step: push out of solid cells, damped Verlet with gravity along
// y, confinement to the field and the move of the neighbour registration,
// ball after ball.
#include <vector>

#include "integration_ball.h"
#include "ordered.h"

// Moves ahead of the one at hand whose list offsets, and then whose lists,
// are fetched early.
// Trades time for the fetch to land against lines evicted before use:
// moving the registrations after the step with these fetches took 1,000,000
// balls from about 95 to 50 ms of a step (a9c6fe6); 16 and 6 not tuned apart.
static const size_t OFFSETS_AHEAD = 16;
static const size_t LISTS_AHEAD = 6;

// Fetches early, for the move of ball i, what fetch fetches around its old
// cell and its new one.
static inline void prefetch_move(const SimState* s, int i, void (*fetch)(const SimState*, int, int, int))
{
    Vec3 p = s->ball_pos[i];
    CellCoord old = s->ball_cell[i];
    fetch(s, old.x, old.y, old.z);
    fetch(s, (int)p.x, (int)p.y, (int)p.z);
}

bool move_registrations(SimState* s, const int* balls, size_t count)
{
    bool all_registered = true;
    for (size_t m = 0; m < count; ++m) {
        if (m + OFFSETS_AHEAD < count)
            prefetch_move(s, balls[m + OFFSETS_AHEAD], prefetch_block_offsets);
        if (m + LISTS_AHEAD < count)
            prefetch_move(s, balls[m + LISTS_AHEAD], prefetch_block_lists);
        all_registered &= move_registration(s, balls[m]);
    }
    return all_registered;
}

// s->moved: balls that left their cells in this step. A ball's step reads
// neither the lists nor other balls, so the registrations can wait until
// all balls have stepped and then move in ball order, as they would ball
// after ball.
bool step_balls(SimState* s, const MapHeader* header)
{
    return step_with_plan(s, header, choose_plan_in_mode(s, false));
}

bool step_with_plan(SimState* s, const MapHeader* header, const SimPlan* plan)
{
    if (!refresh_cell_lists(s))
        return false;
    const StepConstants k = step_constants(s, header);
    std::vector<int>& moved = s->moved;
    const int balls = s->ball_count;
    moved.clear();
    int first = plan->step_lanes == 16 ? advance_balls_wide(k, 0, balls, &moved) : 0;
    for (int i = first; i < balls; ++i) {
        if (i + FIELD_AHEAD < balls)
            __builtin_prefetch(field_normal_at(k, k.pos[i + FIELD_AHEAD]));
        advance_ball(k, i);
        if (leaves_cell(k, i))
            moved.push_back(i);
    }
    bool all_registered = move_registrations(s, moved.data(), moved.size());
    tidy_cell_lists(s);
    return all_registered;
}
