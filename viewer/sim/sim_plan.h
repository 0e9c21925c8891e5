// The plans a frame can run: which lanes walk the neighbour lists (none,
// eight AVX2 lanes, sixteen AVX-512 lanes), over which lists (the reach
// lists where they hold, or the whole lists), whether the lanes run only
// where a sample says they pay, whether the step takes the AVX-512 lanes, and
// whether the frame runs sequentially or on the thread team. Every plan gives
// the bits of the plain walk in its mode; they differ only in speed. The
// processor's capabilities are found once (cpu_lanes), and choose_plan picks
// a frame's plan from them, the settings and a forced plan (tests, bench_sim).
#pragma once

struct SimState;

// What vector lanes this processor runs: sixteen (AVX-512 F, VL and DQ) and
// eight (AVX2). Both false where the build has no lane kernels.
struct CpuLanes {
    bool lanes16;
    bool lanes8;
};

// Found on the first call, then kept.
CpuLanes cpu_lanes();

// One way to run a frame. The registry (sim_plans) holds every plan.
struct SimPlan {
    const char* name;
    int walk_lanes;       // 0 (the plain walk), 8 or 16
    bool reach;           // the reach lists first, where they hold
    bool sampled;         // lanes only where wide_walks_pay says so, else forced
    int step_lanes;       // 0, or 16 (the AVX-512 step)
    bool parallel;        // the ordered engine on the thread team (s->sim_threads threads)
    const char* twin;     // the same plan in the other mode
    const char* narrower; // what runs instead where the processor lacks the lanes
};

// The registry, and its size.
const SimPlan* sim_plans(int* count);
// The plan of that name, or null.
const SimPlan* find_plan(const char* name);
// Whether this processor has the lanes the plan takes.
bool plan_supported(const SimPlan* plan, CpuLanes cpu);
// The plan a frame runs: the forced plan (s->forced_plan) or the default,
// in its parallel form when `parallel`, narrowed to what the processor runs.
const SimPlan* choose_plan_in_mode(const SimState* s, bool parallel);
// The same in the mode the settings ask for (parallel when s->sim_threads is
// at least one).
const SimPlan* choose_plan(const SimState* s);

// Forces the named plan on s for its lifetime and restores the one before
// (tests and bench_sim). plan is null when no plan has that name.
struct ScopedPlan {
    SimState* s;
    const SimPlan* saved;
    const SimPlan* plan;
    ScopedPlan(SimState* state, const char* name);
    ~ScopedPlan();
    ScopedPlan(const ScopedPlan&) = delete;
    ScopedPlan& operator=(const ScopedPlan&) = delete;
};
