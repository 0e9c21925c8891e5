// A team of threads that outlives the calls it serves, so that the short
// passes of a frame do not each pay for starting a thread: waking an idle
// core for a new thread takes about 0.1 ms, longer than some passes last.
#pragma once

// Runs fn(ctx, t) for t = 0 .. n - 1 and returns when all are done: part 0
// on the caller, the others on the team's threads. Parts for which no
// thread can be started run on the caller afterwards. Between calls the
// threads look for the next one for some tens of microseconds, then sleep,
// so that they do not hold a core that another program needs.
void run_team(int n, void (*fn)(void*, int), void* ctx);

// Ends the team's threads; the next call starts them again.
void stop_team();
