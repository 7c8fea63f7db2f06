#include <unistd.h>

#include <vector>

#include "kova/kova_cfg.h"
#include "schedwork_test.h"
#include "support/temp_root.h"

namespace {

using kova::test::Gate;
using kova::test::Job;
using kova::test::SchedWork;
using kova::test::hex;
using kova::test::wait_until;
using kova::schedwork::counts_now;

static_assert(sizeof(kova_sched_work_s) == 40 && offsetof(kova_sched_work_s, timeout) == 4 &&
              offsetof(kova_sched_work_s, list) == 8 && offsetof(kova_sched_work_s, pData) == 24 &&
              offsetof(kova_sched_work_s, func) == 32);

bool unqueued(const kova_sched_work_s &w)
{
    return w.list.next == KOVA_LIST_POISON_NEXT && w.list.prev == KOVA_LIST_POISON_PREV;
}

TEST_F(SchedWork, RefusalsLeaveTheRecordAsItWas)
{
    Job job;
    EXPECT_EQ(job.work.pid, getpid());
    EXPECT_TRUE(job.work.timeout == 0 && unqueued(job.work));
    sched_work_destroy();
    EXPECT_EQ(kova_sched_delete_work(&job.work), -1);
    EXPECT_TRUE(log_.contains("Deleting work failed, as the sched_work not inited."));
    EXPECT_EQ(kova_sched_add_work(nullptr), -1);
    EXPECT_EQ(kova_sched_delete_work(nullptr), -1);
    EXPECT_EQ(log_.count("The v_pstWork is equal NULL."), 2u);
    ASSERT_EQ(sched_work_init(), 0);
    EXPECT_EQ(kova_sched_delete_work(&job.work), KOVA_SCHED_WORK_NOT_QUEUED);
    job.work.list.next = &job.work.list;
    EXPECT_EQ(kova_sched_add_work(&job.work), -1);
    EXPECT_TRUE(log_.contains("Work in list is not initial, PID = (" + std::to_string(getpid()) + ")"));
    EXPECT_EQ(job.runs.load(), 0);
}

// Bounds from section "KOVA" of the loaded configuration; an item missing counts as its default.
TEST_F(SchedWork, ConfiguredIdleBoundsAreClampedAndKeptWhenMinExceedsMax)
{
    kova::test::TempRoot root;
    struct Case {
        const char *items;
        std::uint32_t want_min, want_max;
    } cases[] = {{"SCHED_THREAD_FREE_NUM_MIN=6\nSCHED_THREAD_FREE_NUM_MAX=10\n", 4, 8},
                 {"SCHED_THREAD_FREE_NUM_MIN=2\nSCHED_THREAD_FREE_NUM_MAX=0x3\n", 2, 3},
                 {"SCHED_THREAD_FREE_NUM_MIN=5\nSCHED_THREAD_FREE_NUM_MAX=3\n", 2, 3},
                 {"SCHED_THREAD_FREE_NUM_MAX=5\n", 4, 5},
                 {"SCHED_THREAD_FREE_NUM_MIN=0\nSCHED_THREAD_FREE_NUM_MAX=0\n", 1, 0},
                 {"OTHER=1\n", 4, 8}};
    for (const Case &c : cases) {
        root.write("/kova.ini", std::string("[KOVA]\n") + c.items);
        ASSERT_EQ(kova_cfg_init(root.path("/kova.ini").c_str()), 0);
        sched_work_thread_num_set();
        EXPECT_EQ(kova::schedwork::scheduler().minFreeThread.load(), c.want_min) << c.items;
        EXPECT_EQ(kova::schedwork::scheduler().maxFreeThread.load(), c.want_max) << c.items;
        kova_cfg_destroy_ex(root.path("/kova.ini").c_str());
    }
}

// 100 blocking works: 64 run, the rest wait in order; a deleted one never runs; releasing the
// gate runs every other work exactly once and the idle workers shrink back to the bound.
TEST_F(SchedWork, BlockingBurstStopsAtSixtyFourWorkersAndLosesNothing)
{
    Gate gate;
    std::vector<Job> jobs(100);
    for (Job &j : jobs) j.gate = &gate;
    for (Job &j : jobs) ASSERT_EQ(kova_sched_add_work(&j.work), 0);
    ASSERT_TRUE(wait_until([this] { return started() == 64; }));
    EXPECT_TRUE(wait_until([] { return kova::test::live_workers() == 64; }));
    EXPECT_EQ(counts_now().total, 64u);
    EXPECT_EQ(counts_now().free, 0u);
    EXPECT_EQ(kova::schedwork::queued_count(), 36u);
    EXPECT_TRUE(log_.contains("All kova_sched_work threads is running."));
    EXPECT_EQ(kova_sched_add_work(&jobs[70].work), -1) << "queued twice";
    EXPECT_EQ(kova_sched_delete_work(&jobs[0].work), KOVA_SCHED_WORK_NOT_QUEUED) << "running";
    EXPECT_EQ(kova_sched_delete_work(&jobs[65].work), 0);
    EXPECT_TRUE(unqueued(jobs[65].work));
    gate.release();
    ASSERT_TRUE(wait_until([this] { return finished() == 99; }));
    for (std::size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(jobs[i].runs.load(), i == 65 ? 0 : 1) << i;
    EXPECT_TRUE(wait_until([] { return counts_now().total <= 8 && counts_now().total == counts_now().free; }));
    EXPECT_EQ(kova_sched_add_work(&jobs[65].work), 0);
    EXPECT_TRUE(wait_until([&] { return jobs[65].runs.load() == 1; }));
}

// Destruction drops the queued works and lets the busy ones finish; a later add starts anew.
TEST_F(SchedWork, DestroyDropsQueuedWorksAndALaterAddStartsAgain)
{
    kova::schedwork::store_bounds(1, 1);
    Gate gate;
    std::vector<Job> jobs(70);
    for (Job &j : jobs) j.gate = &gate;
    for (Job &j : jobs) ASSERT_EQ(kova_sched_add_work(&j.work), 0);
    ASSERT_TRUE(wait_until([this] { return started() == 64; }));
    EXPECT_EQ(sched_work_destroy(), 0);
    EXPECT_TRUE(log_.contains("some sched work thread exited abnormally. totalThread = 64"));
    for (std::size_t i = 64; i < jobs.size(); ++i) EXPECT_TRUE(unqueued(jobs[i].work));
    Job after;
    ASSERT_EQ(kova_sched_add_work(&after.work), 0);
    EXPECT_TRUE(wait_until([&] { return after.runs.load() == 1; })) << "no worker after destruction";
    gate.release();
    EXPECT_TRUE(wait_until([this] { return finished() == 65; }));
    for (std::size_t i = 64; i < jobs.size(); ++i) EXPECT_EQ(jobs[i].runs.load(), 0);
    // The old workers ended without touching the new counts.
    EXPECT_TRUE(wait_until([] { return kova::test::live_workers() == counts_now().total; }));
    EXPECT_EQ(counts_now().total, counts_now().free);
}

TEST_F(SchedWork, HandlerRequeuingItselfRunsAgain)
{
    struct Again {
        kova_sched_work_s work{};
        std::atomic<int> runs{0};
    } again;
    kova_sched_init_work(&again.work, [](kova_sched_work_s *w) {
        auto *self = static_cast<Again *>(w->pData);
        if (self->runs.fetch_add(1) < 4) {
            EXPECT_EQ(kova_sched_add_work(w), 0);
        }
    }, &again);
    ASSERT_EQ(kova_sched_add_work(&again.work), 0);
    EXPECT_TRUE(wait_until([&] { return again.runs.load() == 5; }));
}

TEST_F(SchedWork, ShowGivesRecordDataAndHandlerTexts)
{
    Job job;
    KovaSchedWorkShow(&job.work.list);
    EXPECT_TRUE(log_.contains("Sched work entry:" + hex(&job.work) + ", schedWork pid:" + std::to_string(getpid()) +
                              ", sched work pData:" + hex(&job) + ", sched work process         function: " +
                              hex(reinterpret_cast<const void *>(&Job::run))));
    job.work.func = nullptr;
    sched_work_run_task(&job.work, KOVA_SCHED_WORK_NO_INDEX);
    EXPECT_TRUE(log_.contains("NULL sched work data handler, PID = (" + std::to_string(getpid()) + ")."));
}

}  // namespace
