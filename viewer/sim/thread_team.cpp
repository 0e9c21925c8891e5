// The team behind run_team: worker w runs part w + 1 of each call.
#include "thread_team.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
static inline void pause_briefly()
{
    _mm_pause();
}
#else
static inline void pause_briefly()
{
}
#endif

// Pauses a thread spends looking for the next call, or the caller for the
// end of one, before it sleeps.
// Trades a wake-up's latency against a core kept busy: a team that spun
// until the next call made a 10,000-ball frame take 12.5 ms instead of
// 2.5 ms with another program on one of two cores (34d0ac7); no figure was
// recorded for 2000 (0dadb06).
static const int SPIN_PAUSES = 2000;

struct Team {
    std::mutex mutex;
    std::condition_variable wake;      // a call starts, or the team stops
    std::condition_variable finished;  // the last worker of a call is done
    std::vector<std::thread> workers;
    std::atomic<unsigned> call{0};     // calls so far
    std::atomic<int> busy{0};          // workers that have not answered the current call
    std::atomic<bool> stopping{false};
    // The current call; written before `call` moves on.
    void (*fn)(void*, int) = nullptr;
    void* ctx = nullptr;
    int parts = 0;

    ~Team() { stop(); }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping.store(true, std::memory_order_relaxed);
            call.fetch_add(1, std::memory_order_release);
        }
        wake.notify_all();
        for (std::thread& w : workers)
            w.join();
        workers.clear();
        stopping.store(false, std::memory_order_relaxed);
    }
};

// Worker for `part`, started when `seen` calls had been made.
static void serve(Team* team_at, int part, unsigned seen)
{
    Team& team = *team_at;
    for (;;) {
        unsigned now = team.call.load(std::memory_order_acquire);
        for (int k = 0; now == seen && k < SPIN_PAUSES; ++k) {
            pause_briefly();
            now = team.call.load(std::memory_order_acquire);
        }
        if (now == seen) {
            std::unique_lock<std::mutex> lock(team.mutex);
            team.wake.wait(lock, [&] { return team.call.load(std::memory_order_acquire) != seen; });
            now = team.call.load(std::memory_order_acquire);
        }
        seen = now;
        if (team.stopping.load(std::memory_order_relaxed))
            return;
        // Every worker answers every call, those without a part at once: the
        // caller then never writes the next call while one still reads this.
        if (part < team.parts)
            team.fn(team.ctx, part);
        if (team.busy.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(team.mutex);
            team.finished.notify_one();
        }
    }
}

Team* make_team()
{
    return new (std::nothrow) Team();
}

void run_team(Team* team_at, int n, void (*fn)(void*, int), void* ctx)
{
    Team& team = *team_at;
    while ((int)team.workers.size() < n - 1) {
        int part = (int)team.workers.size() + 1;
        try {
            team.workers.emplace_back(serve, team_at, part, team.call.load(std::memory_order_acquire));
        } catch (const std::system_error&) {
            break;
        }
    }
    const int workers = (int)team.workers.size();
    int helped = n - 1 < workers ? n - 1 : workers;
    if (helped > 0) {
        team.fn = fn;
        team.ctx = ctx;
        team.parts = helped + 1;
        team.busy.store(workers, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(team.mutex);
            team.call.fetch_add(1, std::memory_order_release);
        }
        team.wake.notify_all();
    }
    fn(ctx, 0);
    for (int t = helped + 1; t < n; ++t)
        fn(ctx, t);
    if (helped > 0) {
        for (int k = 0; team.busy.load(std::memory_order_acquire) != 0 && k < SPIN_PAUSES; ++k)
            pause_briefly();
        std::unique_lock<std::mutex> lock(team.mutex);
        team.finished.wait(lock, [&] { return team.busy.load(std::memory_order_acquire) == 0; });
    }
}

void stop_team(Team* team)
{
    team->stop();
}

void free_team(Team* team)
{
    delete team;
}
