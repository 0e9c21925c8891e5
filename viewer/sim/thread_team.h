// A team of threads that outlives the calls it serves, so that the short
// passes of a frame do not each pay for starting a thread: waking an idle
// core for a new thread takes about 0.1 ms, longer than some passes last.
// Each simulation owns its team (SimState::team).
#pragma once

struct Team;

// A team with no threads yet; null when out of memory.
Team* make_team();

// Runs fn(ctx, t) for t = 0 .. n - 1 and returns when all are done: part 0
// on the caller, the others on the team's threads. Parts for which no
// thread can be started run on the caller afterwards. Between calls the
// threads look for the next one for some tens of microseconds, then sleep,
// so that they do not hold a core that another program needs. One caller
// at a time per team.
void run_team(Team* team, int n, void (*fn)(void*, int), void* ctx);

// Ends the team's threads; the next call starts them again.
void stop_team(Team* team);

// Ends the team's threads and releases it; null is allowed.
void free_team(Team* team);
