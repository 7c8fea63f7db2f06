#include <sched.h>

#include <algorithm>

#include "kova/kova_sched.h"
#include "thread_test.h"

namespace {

using kova::test::wait_until;

bool all_idle(std::uint32_t count)
{
    return wait_until([count] {
        std::uint32_t idle = 0;
        for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i)
            idle += kova::thread::slot_use_count(i) != 0 && kova::thread::slot_state(i) == KOVA_THRD_POOL_IDLE;
        return idle == count;
    });
}

// A pool is made once per process: each test starts with none.
class ThreadPool : public ::testing::Test {
protected:
    void TearDown() override
    {
        kova_thread_pool_destroy();
        ASSERT_TRUE(kova::test::registry_drains());
        kova::thread::reset_pool_for_test();
    }
    kova::test::LogCapture log_;
};

// Notes where it ran and its binding, pins itself to its CPU if asked, waits at a gate if given.
struct Work {
    bool pin = false;
    std::latch *gate = nullptr;
    std::string name;
    pthread_t self{};
    kova_thread_s *record = nullptr;
    cpu_set_t cpus{};
    std::atomic<bool> done{false};

    static void *run(void *arg)
    {
        auto *w = static_cast<Work *>(arg);
        w->name = kova::test::kernel_name();
        w->record = m_current_thread;
        pthread_getaffinity_np(w->self = pthread_self(), sizeof w->cpus, &w->cpus);
        if (w->pin) kova_sched_setaffinity(static_cast<uint32_t>(sched_getcpu()));
        if (w->gate != nullptr) w->gate->wait();
        w->done.store(true);
        return nullptr;
    }
    bool finished() { return wait_until([this] { return done.load(); }); }
};

TEST_F(ThreadPool, ParkedThreadsTakeWorkUntilAllAreBusy)
{
    EXPECT_EQ(kova_thread_pool_destroy(), 0);
    // A quarter directly, then the seeder, which starts the rest and joins the pool itself.
    constexpr std::uint32_t kPool = 5;
    EXPECT_EQ(kova_thread_pool_create(kPool) * 10 + kova_thread_pool_create(3), 20u);
    EXPECT_EQ(log_.count("Create OS thread pool 5, success 2."), 1u);
    EXPECT_EQ(log_.count("OS thread pool just allowed create once 3."), 1u);
    ASSERT_TRUE(all_idle(kPool));
    cpu_set_t mine;
    pthread_getaffinity_np(pthread_self(), sizeof mine, &mine);
    Work pinning, next, busy[kPool], own;
    pinning.pin = true;
    pthread_t handle{};
    ASSERT_EQ(kova_thrd_create(Work::run, &pinning, &handle), 0);
    ASSERT_TRUE(pinning.finished() && all_idle(kPool));
    EXPECT_EQ(pinning.name + "|" + pinning.record->name, "OSThrdPoolRun|OSThrdPoolNull");
    EXPECT_TRUE(pthread_equal(handle, pinning.self));
    // The same pool thread takes the next work, with the binding the last work chose undone.
    ASSERT_EQ(create_thread_nopreempt_raw(Work::run, &next, nullptr), 0);
    ASSERT_TRUE(next.finished() && all_idle(kPool));
    EXPECT_TRUE(next.record == pinning.record && CPU_EQUAL(&next.cpus, &mine));
    // With every pool thread busy, work gets a thread of its own.
    std::latch gate(1);
    for (Work &w : busy) {
        w.gate = &gate;
        ASSERT_EQ(kova_thrd_create(Work::run, &w, nullptr), 0);
    }
    ASSERT_EQ(kova_thrd_create(Work::run, &own, nullptr), 0);
    ASSERT_TRUE(own.finished());
    EXPECT_TRUE(own.name != "OSThrdPoolRun" && std::string(own.record->name) == "[NULL]") << own.name;
    gate.count_down();
    for (Work &w : busy) EXPECT_TRUE(w.finished() && w.name == "OSThrdPoolRun");
    ASSERT_TRUE(all_idle(kPool));
    int second_pass = kova_thread_pool_destroy();
    EXPECT_EQ(log_.count("TBA:res1 5, res2 " + std::to_string(second_pass) + "."), 1u);
    EXPECT_EQ(create_thread_from_thread_pool(Work::run, nullptr, nullptr), -1);
}

TEST_F(ThreadPool, PoolOfOneIsTheSeederAloneAndSaysNothing)
{
    EXPECT_EQ(kova_thread_pool_create(1), 1u);
    ASSERT_TRUE(all_idle(1));
    for (const auto &m : log_.messages()) EXPECT_NE(m.function, "kova_thread_pool_create") << m.text;
    Work work;
    ASSERT_EQ(kova_thrd_create(Work::run, &work, nullptr), 0);
    EXPECT_TRUE(work.finished() && work.name == "OSThrdPoolRun");
}

std::atomic<int> runs[2][400];

// Invariant: every work accepted while the pool is being destroyed runs exactly once, whether a
// pool thread took it or it fell back to a thread of its own.
TEST_F(ThreadPool, WorkAcceptedDuringDestroyRunsExactlyOnce)
{
    const int works = kova::test::under_qemu() ? 60 : 400;
    for (auto &row : runs) std::fill(row, row + works, 0);
    ASSERT_TRUE(kova_thread_pool_create(4) > 0 && all_idle(4));
    std::atomic<int> accepted{0};
    std::vector<std::thread> creators;
    for (auto &row : runs)
        creators.emplace_back([&row, &accepted, works] {
            for (int i = 0; i < works; ++i, accepted.fetch_add(1))
                ASSERT_EQ(kova_thrd_create([](void *run) -> void * {
                    static_cast<std::atomic<int> *>(run)->fetch_add(1);
                    return nullptr;
                }, &row[i], nullptr), 0);
        });
    ASSERT_TRUE(wait_until([&] { return accepted.load() >= works / 4; }));
    kova_thread_pool_destroy();
    for (auto &t : creators) t.join();
    auto runs_other_than = [works](int n) {
        long found = 0;
        for (auto &row : runs) found += std::count_if(row, row + works, [n](auto &r) { return r != n; });
        return found;
    };
    EXPECT_TRUE(wait_until([&] { return runs_other_than(0) == 2 * works; })) << "accepted work was lost";
    ASSERT_TRUE(kova::test::registry_drains());
    EXPECT_EQ(runs_other_than(1), 0) << "a work ran twice";
}

}  // namespace
