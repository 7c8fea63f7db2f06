#include <cstdlib>
#include <random>

#include "timer/timer_test_util.h"

namespace {

using namespace kova::test;

// Runs `op(worker, random)` many times in each of four threads.
template <typename Op> void from_four_threads(Op op)
{
    const int rounds = std::getenv("UNDER_QEMU") != nullptr ? 10000 : 100000;
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&, w] {
            std::mt19937 random(w);
            for (int round = 0; round < rounds; ++round) op(w, random);
        });
    for (auto &w : workers) w.join();
}

void on_fire(std::uint64_t data);

// `armed` is 1 from an arm until the firing that consumes it: a handler that finds 0 ran
// without an arm, after a cancellation, or twice; one that comes before `not_before`, early.
struct Tracked {
    Tracked() { kova_timer_init(&timer), kova_timer_set(&timer, 1, reinterpret_cast<std::uint64_t>(this), on_fire); }
    kova_timer_s timer;
    std::atomic<int> armed{0};
    std::atomic<std::uint64_t> not_before{0};  // ms (wheel) or ns (high-resolution)
    std::atomic<bool> rearm{false};
};
std::atomic<std::uint64_t> fires{0}, violations{0};

std::uint64_t now_for(const Tracked &t)  // CLOCK_MONOTONIC (high-resolution) or the wheel's clock
{
    return t.timer.flags != 0 ? std::chrono::steady_clock::now().time_since_epoch().count() : kova_time_getmillisec();
}

void arm(Tracked &t, std::uint64_t delay)
{
    t.not_before = now_for(t) + delay, t.armed = 1, kova_timer_modify(&t.timer, delay);
}

void on_fire(std::uint64_t data)
{
    auto *t = reinterpret_cast<Tracked *>(data);
    int expected = 1;
    if (now_for(*t) < t->not_before || !t->armed.compare_exchange_strong(expected, 0)) ++violations;
    if (t->rearm.exchange(false)) arm(*t, t->timer.flags != 0 ? 200000 : 2);
    ++fires;
}

// Every armed timer fires exactly once, never early and never after delete_sync has returned,
// while four threads cancel and re-arm their own timers and handlers re-arm themselves; then
// every timer, armed at once, fires and re-arms itself once from its handler.
TEST(TimerStress, EveryArmedTimerFiresOnce)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    kova_hr_timer_add(nullptr);  // refused, but starts the high-resolution thread
    std::vector<Tracked> timers(std::getenv("UNDER_QEMU") != nullptr ? 160 : 1600);
    for (std::size_t i = 0; i < timers.size(); i += 8) timers[i].timer.flags = KOVA_TIMER_HR;  // routes modify
    const std::size_t share = timers.size() / 4;
    from_four_threads([&](int w, std::mt19937 &random) {
        Tracked &t = timers[w * share + random() % share];
        kova_timer_delete_sync(&t.timer);  // so that no handler of the last arm meets the next
        t.armed = 0;
        if (random() % 4 == 0) return;
        t.rearm = random() % 5 == 0;
        arm(t, t.timer.flags != 0 ? 100000 + random() % 900000 : 1 + random() % 10);
    });
    for (Tracked &t : timers) kova_timer_delete_sync(&t.timer), t.armed = 0, t.rearm = false;
    EXPECT_EQ(pending_count(), 0u);
    std::uint64_t before = fires.load();
    for (Tracked &t : timers) t.rearm = true, arm(t, t.timer.flags != 0 ? 1000 : 1);
    wait_until([&] { return fires.load() >= before + 2 * timers.size(); });
    for (Tracked &t : timers) kova_timer_delete_sync(&t.timer);
    EXPECT_EQ(violations.load(), 0u);
}

// Four threads add, modify and delete the same records as wheel and high-resolution timers at
// once. A record is never linked twice nor in both structures (a second link makes the tree's
// insert loop for ever or corrupts a slot), and after delete_sync its memory may go: ASan sees a
// later use, and the sentinels fire only after every earlier expiry has been handled.
TEST(TimerStress, SharedRecordsArmedBothWays)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    std::vector<std::unique_ptr<kova_timer_s>> records(8);
    for (auto &t : records)
        kova_timer_init((t = std::make_unique<kova_timer_s>()).get()), kova_timer_set(t.get(), 1, 0, record_fired);
    LogCapture quiet(2);  // the refusals come by the thousand
    from_four_threads([&](int, std::mt19937 &random) {
        kova_timer_s *t = records[random() % records.size()].get();
        int op = static_cast<int>(random() % 6);
        op == 0   ? kova_timer_add(t)
        : op == 1 ? kova_timer_add_ns(t)
        : op == 2 ? kova_timer_modify(t, 1 + random() % 3)
        : op == 3 ? kova_hr_timer_modify(t, random() % 1000000)
        : op == 4 ? kova_timer_delete(t)
                  : kova_timer_delete_sync(t);
    });
    for (auto &t : records) {
        EXPECT_FALSE(kova::timer::is_pending(t.get()) && kova::timer::in_hr_tree(t.get()));
        EXPECT_EQ(kova_timer_delete_sync(t.get()), 0);
        EXPECT_FALSE(kova::timer::is_pending(t.get()) || kova::timer::in_hr_tree(t.get()));
        t.reset();
    }
    kova_timer_s last[2];
    clear_fired();
    for (kova_timer_s &t : last) kova_timer_init(&t), kova_timer_set(&t, &t == last ? 4 : 1000000, 0, record_fired);
    ASSERT_EQ(kova_timer_add(&last[0]) + kova_timer_add_ns(&last[1]), 0);
    wait_until([] { return fired_so_far().size() == 2; });
    EXPECT_EQ(pending_count(), 0u);
}

}  // namespace
