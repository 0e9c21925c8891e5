// The thread team runs every part of every call exactly once and returns
// only when all are done, for any number of parts, and starts again after
// being stopped.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "thread_team.h"

namespace {

struct Tally {
    std::atomic<int> runs[8];
    std::atomic<int> total{0};
};

void count_part(void* ctx, int t)
{
    Tally* tally = (Tally*)ctx;
    tally->runs[t]++;
    tally->total++;
}

}  // namespace

TEST(ThreadTeam, RunsEachPartOnceAndWaitsForAll)
{
    std::unique_ptr<Team, void (*)(Team*)> owner(make_team(), free_team);
    Team* team = owner.get();
    ASSERT_NE(team, nullptr);
    for (int n : {1, 3, 2, 5, 2}) {
        SCOPED_TRACE(n);
        Tally tally;
        for (std::atomic<int>& r : tally.runs)
            r = 0;
        for (int call = 1; call <= 300; ++call) {
            run_team(team, n, count_part, &tally);
            ASSERT_EQ(tally.total.load(), n * call);
        }
        for (int t = 0; t < 8; ++t)
            EXPECT_EQ(tally.runs[t].load(), t < n ? 300 : 0) << "part " << t;
        if (n == 5)
            stop_team(team);
    }
}
