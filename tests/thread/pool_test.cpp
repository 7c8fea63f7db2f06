#include <pthread.h>
#include <sched.h>

#include <latch>

#include "support/log_capture.h"
#include "thread_test.h"

namespace {

using kova::test::wait_until;

std::uint32_t pool_threads(std::uint32_t states)
{
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i)
        n += kova::thread::slot_use_count(i) != 0 && (kova::thread::slot_state(i) & states) != 0;
    return n;
}

struct Work {
    bool pin = false;
    std::latch *gate = nullptr;
    pthread_t self{};
    std::string name;
    kova_thread_s *record = nullptr;
    cpu_set_t cpus{};
    std::atomic<bool> done{false};

    static void *run(void *arg)
    {
        auto *w = static_cast<Work *>(arg);
        w->self = pthread_self();
        w->name = kova::test::kernel_name();
        w->record = m_current_thread;
        pthread_getaffinity_np(w->self, sizeof w->cpus, &w->cpus);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (w->pin) pthread_setaffinity_np(w->self, sizeof one, &one);
        if (w->gate != nullptr) w->gate->wait();
        w->done.store(true);
        return nullptr;
    }
    bool finished() { return wait_until([this] { return done.load(); }); }
};

// The pool is once per process, so its whole life is one test.
TEST(ThreadPool, ParkedThreadsTakeWorkUntilAllAreBusy)
{
    kova::test::LogCapture log;
    EXPECT_EQ(kova_thread_pool_destroy(), 0);
    // A quarter directly, then the seeder, which starts the rest and joins the pool itself.
    constexpr std::uint32_t kPool = 5;
    EXPECT_EQ(kova_thread_pool_create(kPool), 2u);
    EXPECT_EQ(log.count("Create OS thread pool 5, success 2."), 1u);
    EXPECT_EQ(kova_thread_pool_create(3), 0u);
    EXPECT_EQ(log.count("OS thread pool just allowed create once 3."), 1u);
    auto all_idle = [] { return wait_until([] { return pool_threads(KOVA_THRD_POOL_IDLE) == kPool; }); };
    ASSERT_TRUE(all_idle());

    cpu_set_t mine;
    pthread_getaffinity_np(pthread_self(), sizeof mine, &mine);
    Work pinning;
    pinning.pin = true;
    pthread_t handle{};
    ASSERT_EQ(kova_thrd_create(Work::run, &pinning, &handle), 0);
    ASSERT_TRUE(pinning.finished());
    EXPECT_EQ(pinning.name, "OSThrdPoolRun");
    EXPECT_TRUE(pthread_equal(handle, pinning.self));
    ASSERT_TRUE(all_idle());
    EXPECT_STREQ(pinning.record->name, "OSThrdPoolNull");

    // The same pool thread takes the next work, with the binding the last work chose undone.
    Work next;
    ASSERT_EQ(create_thread_nopreempt_raw(Work::run, &next, nullptr), 0);
    ASSERT_TRUE(next.finished());
    EXPECT_EQ(next.record, pinning.record);
    EXPECT_TRUE(CPU_EQUAL(&next.cpus, &mine));
    ASSERT_TRUE(all_idle());

    // With every pool thread busy, work gets a thread of its own.
    std::latch gate(1);
    Work busy[kPool];
    for (Work &w : busy) {
        w.gate = &gate;
        ASSERT_EQ(kova_thrd_create(Work::run, &w, nullptr), 0);
    }
    Work own;
    ASSERT_EQ(kova_thrd_create(Work::run, &own, nullptr), 0);
    ASSERT_TRUE(own.finished());
    EXPECT_NE(own.name, "OSThrdPoolRun");
    EXPECT_STREQ(own.record->name, "[NULL]");
    gate.count_down();
    for (Work &w : busy) EXPECT_TRUE(w.finished() && w.name == "OSThrdPoolRun");
    ASSERT_TRUE(all_idle());

    int second_pass = kova_thread_pool_destroy();
    EXPECT_EQ(log.count("TBA:res1 5, res2 " + std::to_string(second_pass) + "."), 1u);
    EXPECT_TRUE(wait_until([] { return pool_threads(KOVA_THRD_POOL_IDLE | KOVA_THRD_POOL_BUSY) == 0; }));
    EXPECT_EQ(create_thread_from_thread_pool(Work::run, nullptr, nullptr), -1);
}

}  // namespace
