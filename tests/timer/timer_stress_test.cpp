#include <time.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_time.h"
#include "kova/kova_timer.h"
#include "timer/timer_test_util.h"

namespace {

// One timer and what its owner knows about it. `armed` is 1 from an arm until the firing that
// consumes it: a handler that finds 0 ran without an arm, after a cancellation, or twice.
struct Tracked {
    kova_timer_s timer;
    std::atomic<int> armed{0};
    std::atomic<std::uint64_t> not_before{0};  // ms (wheel) or ns (high-resolution)
    bool high_resolution = false;
    std::atomic<bool> rearm_once{false};
};

std::atomic<std::uint64_t> fires{0}, violations{0}, early{0};

std::uint64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t now_for(const Tracked &t) { return t.high_resolution ? monotonic_ns() : kova_time_getmillisec(); }

void arm(Tracked &t, std::uint64_t delay)
{
    t.not_before = now_for(t) + delay;
    t.armed = 1;
    kova_timer_modify(&t.timer, delay);
}

void on_fire(std::uint64_t data)
{
    auto *t = reinterpret_cast<Tracked *>(data);
    ++fires;
    if (now_for(*t) < t->not_before) ++early;
    int expected = 1;
    if (!t->armed.compare_exchange_strong(expected, 0)) ++violations;
    if (t->rearm_once.exchange(false)) {
        arm(*t, t->high_resolution ? 200000 : 2);
    }
}

TEST(TimerStress, ArmDeleteAndRearmFromFourThreads)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    kova_timer_s starter;
    kova_timer_init(&starter);
    kova_timer_set(&starter, 1000, 0, [](std::uint64_t) {});
    ASSERT_EQ(kova_timer_add_ns(&starter), 0) << "starts the high-resolution thread";
    kova_timer_delete_sync(&starter);
    const bool slow = kova::test::under_qemu();
    const int per_thread = slow ? 40 : 400;
    const auto duration = std::chrono::milliseconds(slow ? 1500 : 3000);
    std::vector<std::vector<Tracked>> owned(4);
    for (auto &timers : owned) {
        timers = std::vector<Tracked>(per_thread);
        for (std::size_t i = 0; i < timers.size(); ++i) {
            Tracked &t = timers[i];
            t.high_resolution = i % 8 == 0;
            kova_timer_init(&t.timer);
            kova_timer_set(&t.timer, 1, reinterpret_cast<std::uint64_t>(&t), on_fire);
            if (t.high_resolution) t.timer.flags = KOVA_TIMER_HR;
        }
    }
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&, w] {
            std::mt19937 random(w);
            auto stop = std::chrono::steady_clock::now() + duration;
            while (std::chrono::steady_clock::now() < stop) {
                Tracked &t = owned[w][random() % owned[w].size()];
                // Cancel first, so that a handler of the previous arm can never meet the new one.
                kova_timer_delete_sync(&t.timer);
                t.armed = 0;
                if (random() % 4 == 0) continue;
                t.rearm_once = random() % 5 == 0;
                arm(t, t.high_resolution ? 100000 + random() % 900000 : 1 + random() % 30);
                if (random() % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            for (Tracked &t : owned[w]) {
                kova_timer_delete_sync(&t.timer);
                t.armed = 0;
            }
        });
    for (auto &w : workers) w.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(fires.load(), 100u) << "the test must actually fire timers";
    EXPECT_EQ(violations.load(), 0u) << "a handler ran without a live arm";
    EXPECT_EQ(early.load(), 0u) << "a timer fired before its expiry";
    EXPECT_EQ(kova::test::wheel_field(&kova_timer_root_s::timerNum), 0u);
    for (auto &timers : owned)
        for (Tracked &t : timers) EXPECT_EQ(kova_timer_is_pending(&t.timer), 0u);
}

}  // namespace
