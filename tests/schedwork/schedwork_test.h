// Shared by the scheduler tests: works that block at a gate, and a fixture that leaves no worker
// and no scheduler state behind.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <latch>
#include <vector>

#include "kova/kova_schedwork.h"
#include "kova/kova_time.h"
#include "schedwork/schedwork.h"
#include "support/fake_clock.h"
#include "thread/thread_test.h"

namespace kova::test {

struct Job {
    kova_sched_work_s work{};
    std::latch *gate = nullptr;  // handlers wait here until the test counts it down
    std::atomic<int> runs{0};
    std::atomic<std::int64_t> tid{0};

    explicit Job(std::latch *g = nullptr) : gate(g) { kova_sched_init_work(&work, run, this); }
    static void run(kova_sched_work_s *w)
    {
        auto *job = static_cast<Job *>(w->pData);
        job->tid.store(kova_thread_get_knl_tid());
        job->runs.fetch_add(1);
        if (job->gate != nullptr) job->gate->wait();
    }
};

inline std::string hex(const void *address)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

inline std::uint32_t live_workers()
{
    std::uint32_t found = 0;
    for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i) {
        kova_thread_s *record = kova::thread::slot_record(i);
        if (record == nullptr || kova::thread::slot_use_count(i) == 0) continue;
        char name[KOVA_THRD_NAME_LEN];
        kova::thread::read_name(record, name);
        found += std::strcmp(name, "kova_schedwork") == 0;
    }
    return found;
}

// Each test runs an hour of fake time after the last one, so rate limits never carry over; the
// clock moves 1 us per read, so spinning lock waiters still back off.
class SchedWork : public ::testing::Test {
protected:
    static constexpr std::uint64_t kHourNs = 3600000000000ull;
    void SetUp() override
    {
        static std::uint64_t hours = 0;
        clock_ = std::make_unique<FakeClock>(1000000000u, kova_time_getnanosec() + ++hours * kHourNs);
        clock_->step_per_read(1000);
    }
    void TearDown() override
    {
        sched_work_destroy();
        EXPECT_TRUE(wait_until([] { return live_workers() == 0; })) << "a worker outlived the scheduler";
        kova::schedwork::store_bounds(std::nullopt, std::nullopt);
        kova::schedwork::scheduler().idleWaitSeconds.store(10);
        kova::schedwork::reset_detector_for_test();
        clock_.reset();
    }
    // Queues the jobs, all blocking at `gate`, and waits until the first 64 have started.
    bool add_blocked(std::vector<Job> &jobs, std::latch &gate)
    {
        for (Job &j : jobs) j.gate = &gate;
        for (Job &j : jobs)
            if (kova_sched_add_work(&j.work) != 0) return false;
        return wait_until([this] { return started() == 64; });
    }
    // Works started and finished since the test began.
    std::uint64_t started() const { return kova::schedwork::scheduler().startedWork.load() - started_; }
    std::uint64_t finished() const { return kova::schedwork::scheduler().finishedWork.load() - finished_; }

    LogCapture log_;
    std::unique_ptr<FakeClock> clock_;
    std::uint64_t started_ = kova::schedwork::scheduler().startedWork.load();
    std::uint64_t finished_ = kova::schedwork::scheduler().finishedWork.load();
};

}  // namespace kova::test
