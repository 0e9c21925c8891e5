// The plan registry and the one choice of a frame's plan.
#include "sim_plan.h"

#include <cstring>

#include "lanes.h"
#include "sim_state.h"

static CpuLanes find_cpu_lanes()
{
#if KSM_HAVE_LANES
    __builtin_cpu_init();
    CpuLanes cpu;
    cpu.lanes16 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                  __builtin_cpu_supports("avx512dq");
    cpu.lanes8 = __builtin_cpu_supports("avx2");
    return cpu;
#else
    return CpuLanes{false, false};
#endif
}

CpuLanes cpu_lanes()
{
    static const CpuLanes cpu = find_cpu_lanes();
    return cpu;
}

// The sequential plans, then the parallel ones. "auto" is the default;
// "auto8" is what it narrows to on a processor with AVX2 alone. "wide8"
// stands for such a processor with the lanes forced (bench_sim's avx2 row),
// "wide" forces the widest lanes over the whole lists, "plain" the plain walk
// with the step ball by ball, as on a processor without lanes. The parallel
// mode runs the ordered engine (ordered.cpp): "ordered" with the widest
// lanes, "ordered8" with eight, "ordered_plain" with the plain walk.
static const SimPlan PLANS[] = {
    // name            walk  reach  sampled step parallel twin             narrower
    {"auto",            16,  true,  true,   16,  false,  "ordered",       "auto8"},
    {"auto8",           8,   true,  true,   0,   false,  "ordered8",      "plain"},
    {"wide8",           8,   true,  false,  0,   false,  "ordered8",      "plain"},
    {"wide",            16,  false, false,  16,  false,  "ordered",       "whole8"},
    {"whole8",          8,   false, false,  0,   false,  "ordered8",      "plain"},
    {"plain",           0,   false, false,  0,   false,  "ordered_plain", nullptr},
    {"ordered",         16,  false, true,   16,  true,   "auto",          "ordered8"},
    {"ordered8",        8,   false, true,   0,   true,   "auto8",         "ordered_plain"},
    {"ordered_plain",   0,   false, false,  0,   true,   "plain",         nullptr},
};
static const int PLAN_COUNT = (int)(sizeof PLANS / sizeof PLANS[0]);

const SimPlan* sim_plans(int* count)
{
    *count = PLAN_COUNT;
    return PLANS;
}

const SimPlan* find_plan(const char* name)
{
    for (const SimPlan& p : PLANS)
        if (name && std::strcmp(p.name, name) == 0)
            return &p;
    return nullptr;
}

bool plan_supported(const SimPlan* plan, CpuLanes cpu)
{
    bool wants16 = plan->walk_lanes == 16 || plan->step_lanes == 16;
    return (!wants16 || cpu.lanes16) && (plan->walk_lanes != 8 || cpu.lanes8);
}

const SimPlan* choose_plan_in_mode(const SimState* s, bool parallel)
{
    const SimPlan* plan = s->forced_plan ? s->forced_plan : &PLANS[0];
    if (plan->parallel != parallel)
        plan = find_plan(plan->twin);
    // Narrowest last: "plain" and "ordered_plain" need nothing.
    const CpuLanes cpu = cpu_lanes();
    while (!plan_supported(plan, cpu))
        plan = find_plan(plan->narrower);
    return plan;
}

const SimPlan* choose_plan(const SimState* s)
{
    return choose_plan_in_mode(s, s->sim_threads >= 1);
}

ScopedPlan::ScopedPlan(SimState* state, const char* name)
    : s(state), saved(state->forced_plan), plan(find_plan(name))
{
    s->forced_plan = plan;
}

ScopedPlan::~ScopedPlan()
{
    s->forced_plan = saved;
}
