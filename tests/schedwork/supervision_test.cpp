#include <set>

#include "schedwork_test.h"

namespace {

using kova::test::Job;
using kova::test::hex;
using kova::test::wait_until;

static_assert(sizeof(kova_sched_work_s) == 40 && offsetof(kova_sched_work_s, timeout) == 4 &&
              offsetof(kova_sched_work_s, list) == 8 && offsetof(kova_sched_work_s, pData) == 24 &&
              offsetof(kova_sched_work_s, func) == 32);
static_assert(sizeof(kova_heal_task_s) == 136 && offsetof(kova_heal_task_s, callback) == 32 &&
              offsetof(kova_heal_task_s, reserved0) == 40 && offsetof(kova_heal_task_s, reserved1) == 48 &&
              offsetof(kova_heal_task_s, mode) == 56 && offsetof(kova_heal_task_s, period) == 60 &&
              offsetof(kova_heal_task_s, threshold) == 64 && offsetof(kova_heal_task_s, reserved2) == 72 &&
              offsetof(kova_heal_task_s, framework) == 80 && offsetof(kova_heal_task_s, result) == 128);

constexpr std::uint64_t kNsPerJiffy = 4000000;

class Supervision : public kova::test::SchedWork {
protected:
    // Freezes the clock on a jiffy boundary.
    void freeze()
    {
        clock_->step_per_read(0);
        clock_->set(clock_->now() - clock_->now() % kNsPerJiffy);
    }
    void jiffies(std::uint64_t n) { clock_->advance(n * kNsPerJiffy); }
};

TEST_F(Supervision, TableClaimsUpToSixtyFourEntriesAndRefusesBadArguments)
{
    Job job;
    EXPECT_EQ(kova_set_sched_work_timeout(&job.work, 14), -1);
    EXPECT_TRUE(log_.contains("param " + hex(&job.work) + ", timeout 14."));
    EXPECT_TRUE(kova_set_sched_work_timeout(&job.work, 15) == 0 && job.work.timeout == 15);
    EXPECT_TRUE(kova_add_sched_work_timeout_check(1, nullptr) == -1 && log_.contains("Invalid index, param null."));
    std::vector<std::uint32_t> claimed;
    for (std::uint32_t index = 0; kova_add_sched_work_timeout_check(1000 + claimed.size(), &index) == 0;)
        claimed.push_back(index);
    EXPECT_EQ(claimed.size(), 64u);
    EXPECT_TRUE(log_.contains("can not find spare index for tid 1064."));
    for (std::uint32_t index : claimed) kova_del_sched_work_timeout_check(index);
    kova_del_sched_work_timeout_check(64);
    EXPECT_TRUE(log_.contains("Invalid index (64).\n"));
    kova_heal_task_s *task = nullptr;
    std::uint32_t count = 0;
    EXPECT_EQ(kova_get_sched_work_heal_task_info(&task, nullptr), -1);
    EXPECT_EQ(log_.count("Invalid param, heal_task(" + hex(&task) + "), task_num(0x0)."), 1u);
    EXPECT_TRUE(kova_heal_check_callback(nullptr) == -1 && log_.contains("Invalid param"));
    sched_work_init();
    ASSERT_EQ(kova_get_sched_work_heal_task_info(&task, &count), 0);
    EXPECT_EQ(std::string(task->name) + " " + std::to_string(count), "kova_schedwork_timeout_check 1");
    EXPECT_TRUE(task->callback == kova_heal_check_callback && task->mode == 1 && task->period == 5 &&
                task->threshold == 5 && task->reserved0 == 0 && task->reserved2 == 0);
}

// A work with a 15 s time-out is reported once it ran 3,750 jiffies and one more, every time
// until it returns; a work without one never is.
TEST_F(Supervision, OverdueWorkerIsReportedOneJiffyPastItsTimeout)
{
    std::latch gate(1);
    Job plain(&gate), watched(&gate);
    ASSERT_EQ(kova_set_sched_work_timeout(&watched.work, 15), 0);
    freeze();
    ASSERT_EQ(kova_sched_add_work(&plain.work), 0);
    ASSERT_EQ(kova_sched_add_work(&watched.work), 0);
    ASSERT_TRUE(wait_until([&] { return plain.runs.load() == 1 && watched.runs.load() == 1; }));
    jiffies(3750);
    EXPECT_EQ(kova_sched_work_timeout_theck(), 0);
    jiffies(1);
    EXPECT_EQ(kova_sched_work_timeout_theck(), 1);
    EXPECT_EQ(kova_sched_work_timeout_theck(), 1);
    std::size_t reports = 0;
    for (const auto &m : log_.messages()) reports += m.text.rfind("sched work timeout", 0) == 0;
    EXPECT_EQ(reports, 2u);
    std::string worker = std::to_string(watched.tid.load()), pid = std::to_string(getpid());
    EXPECT_EQ(log_.count("sched work timeout: tid " + worker + ", pid " + pid + "."), 2u);
    EXPECT_EQ(log_.count("<" + std::to_string(kova_thread_get_knl_tid()) + ">Show task context by signal ...: pid=" +
                         pid + ", tid=" + worker + "."), 2u);
    gate.count_down();
    ASSERT_TRUE(wait_until([this] { return finished() == 2; }));
    EXPECT_EQ(kova_sched_work_timeout_theck(), 0);
    // The worker's own dump comes from its signal handler (under TSan once it has left the wait).
    EXPECT_TRUE(wait_until([&] { return log_.contains("<" + worker + ">dump_stack info Success"); }));
}

// Every worker blocked and no work starting: healthy until 45,000 jiffies have passed, then
// stuck at every check with at most four dumps each, healthy again once works finish.
TEST_F(Supervision, AllStuckAfterOneHundredEightySecondsWithoutProgress)
{
    std::latch gate(1);
    std::vector<Job> jobs(64);
    ASSERT_TRUE(add_blocked(jobs, gate));
    freeze();
    kova_heal_task_s *task = nullptr;
    std::uint32_t count = 0;
    ASSERT_EQ(kova_get_sched_work_heal_task_info(&task, &count), 0);
    EXPECT_EQ(kova_is_all_work_timeout(), 0) << "the first call only starts watching";
    jiffies(44999);
    EXPECT_EQ(kova_is_all_work_timeout(), 0);
    log_.clear();
    jiffies(1);
    EXPECT_TRUE(task->callback(task) == 0 && task->result == 0);
    EXPECT_EQ(kova_is_all_work_timeout(), 1);
    std::set<std::string> workers;
    for (const Job &j : jobs) workers.insert("sched work timeout: tid " + std::to_string(j.tid.load()) + ", pid 0. ");
    std::size_t reported = 0;
    for (const auto &m : log_.messages())
        reported += m.function == "kova_dump_partial_sched_work_thread" && m.level == 3 && workers.count(m.text);
    EXPECT_EQ(reported, 8u);
    gate.count_down();
    ASSERT_TRUE(wait_until([this] { return finished() == 64; }));
    EXPECT_TRUE(task->callback(task) == 0 && task->result == 1);
}

}  // namespace
