#include "kova/kova_cfg.h"
#include "schedwork/dropped.h"
#include "schedwork_test.h"
#include "support/temp_root.h"

namespace {

using kova::test::Job;
using kova::test::SchedWork;
using kova::test::hex;
using kova::test::wait_until;
using kova::schedwork::counts_now;

std::vector<kova_sched_work_s *> dropped_works;

bool unqueued(const kova_sched_work_s &w)
{
    return w.list.next == KOVA_LIST_POISON_NEXT && w.list.prev == KOVA_LIST_POISON_PREV;
}

TEST_F(SchedWork, RefusalsLeaveTheRecordAsItWas)
{
    Job job;
    EXPECT_TRUE(job.work.pid == getpid() && job.work.timeout == 0 && unqueued(job.work));
    sched_work_destroy();
    EXPECT_TRUE(kova_sched_delete_work(&job.work) == -1 &&
                log_.contains("Deleting work failed, as the sched_work not inited."));
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
    struct {
        const char *min, *max;  // null: no such item
        std::uint32_t want_min, want_max;
    } cases[] = {{"6", "10", 4, 8}, {"2", "0x3", 2, 3}, {"5", "3", 2, 3}, {nullptr, "5", 4, 5}, {"0", "0", 1, 0},
                 {nullptr, nullptr, 4, 8}};
    for (const auto &c : cases) {
        std::string items = std::string("[KOVA]\nOTHER=1\n") + (c.min ? "SCHED_THREAD_FREE_NUM_MIN=" : "") +
                            (c.min ? c.min : "") + "\n" + (c.max ? "SCHED_THREAD_FREE_NUM_MAX=" : "") + (c.max ? c.max : "");
        root.write("/kova.ini", items + "\n");
        ASSERT_EQ(kova_cfg_init(root.path("/kova.ini").c_str()), 0);
        sched_work_thread_num_set();
        EXPECT_EQ(kova::schedwork::scheduler().minFreeThread.load(), c.want_min) << items;
        EXPECT_EQ(kova::schedwork::scheduler().maxFreeThread.load(), c.want_max) << items;
        kova_cfg_destroy_ex(root.path("/kova.ini").c_str());
    }
}

// 100 blocking works: 64 run, the rest wait in order; a deleted one never runs; releasing the
// gate runs every other work exactly once and the idle workers shrink back to the bound.
TEST_F(SchedWork, BlockingBurstStopsAtSixtyFourWorkersAndLosesNothing)
{
    std::latch gate(1);
    std::vector<Job> jobs(100);
    ASSERT_TRUE(add_blocked(jobs, gate));
    EXPECT_TRUE(wait_until([] { return kova::test::live_workers() == 64; }));
    EXPECT_TRUE(counts_now().total == 64 && counts_now().free == 0);
    EXPECT_EQ(kova::schedwork::queued_count(), 36u);
    EXPECT_TRUE(log_.contains("All kova_sched_work threads is running."));
    EXPECT_EQ(kova_sched_add_work(&jobs[70].work), -1) << "queued twice";
    EXPECT_EQ(kova_sched_delete_work(&jobs[0].work), KOVA_SCHED_WORK_NOT_QUEUED) << "running";
    EXPECT_TRUE(kova_sched_delete_work(&jobs[65].work) == 0 && unqueued(jobs[65].work));
    gate.count_down();
    ASSERT_TRUE(wait_until([this] { return finished() == 99; }));
    for (std::size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(jobs[i].runs.load(), i == 65 ? 0 : 1) << i;
    EXPECT_TRUE(wait_until([] { return counts_now().total <= 8 && counts_now().total == counts_now().free; }));
}

// Destruction drops the queued works and lets the busy ones finish; a later add starts anew.
TEST_F(SchedWork, DestroyDropsQueuedWorksAndALaterAddStartsAgain)
{
    kova::schedwork::store_bounds(1, 1);
    std::latch gate(1);
    std::vector<Job> jobs(70);
    ASSERT_TRUE(add_blocked(jobs, gate));
    dropped_works.clear();
    auto previous = kova::schedwork::set_dropped_work_hook([](kova_sched_work_s *w) { dropped_works.push_back(w); });
    EXPECT_EQ(sched_work_destroy(), 0);
    kova::schedwork::set_dropped_work_hook(previous);
    EXPECT_TRUE(log_.contains("some sched work thread exited abnormally. totalThread = 64"));
    ASSERT_EQ(dropped_works.size(), 6u) << "the owner is handed every dropped work, once";
    for (std::size_t i = 64; i < jobs.size(); ++i)
        EXPECT_TRUE(unqueued(jobs[i].work) && dropped_works[i - 64] == &jobs[i].work);
    Job after;
    ASSERT_EQ(kova_sched_add_work(&after.work), 0);
    EXPECT_TRUE(wait_until([&] { return after.runs.load() == 1; })) << "no worker after destruction";
    gate.count_down();
    EXPECT_TRUE(wait_until([this] { return finished() == 65; }));
    for (std::size_t i = 64; i < jobs.size(); ++i) EXPECT_EQ(jobs[i].runs.load(), 0);
    // The old workers ended without touching the new counts.
    EXPECT_TRUE(wait_until([] { return kova::test::live_workers() == counts_now().total; }));
    EXPECT_EQ(counts_now().total, counts_now().free);
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
