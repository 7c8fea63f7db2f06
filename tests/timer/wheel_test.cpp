#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_time.h"
#include "kova/kova_timer.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "timer/timer_test_util.h"
#include "timer/wheel.h"

namespace {

using kova::test::eventually;
using kova::timer::SlotRef;
using kova::timer::wheel_slot_for;

TEST(WheelGeometry, LevelBoundaries)
{
    const std::uint64_t now = 7'000'000'123;
    struct Case {
        std::uint64_t delay;
        std::uint32_t level;
    } cases[] = {{0, 0},         {999, 0},         {1000, 1},        {59999, 1},         {60000, 2},
                 {3599999, 2},   {3600000, 3},     {215999999, 3},   {216000000, 4},     {5184000000, 4}};
    for (const Case &c : cases) EXPECT_EQ(wheel_slot_for(now, now + c.delay).level, c.level) << "delay " << c.delay;
    EXPECT_EQ(wheel_slot_for(now, now + 999).index, (now + 999) % 1000);
    EXPECT_EQ(wheel_slot_for(now, now + 1000).index, ((now + 1000) / 1000) % 60);
    EXPECT_EQ(wheel_slot_for(now, now - 5).index, now % 1000) << "an expiry in the past is due now";
    // Beyond 60 days the slot is chosen as if the timer were 60 days ahead.
    SlotRef far = wheel_slot_for(now, now + 9'000'000'000ull);
    EXPECT_TRUE(far.level == 4 && far.index == ((now + 5184000000ull) / 216000000) % 24);
}

std::mutex fired_lock;
std::vector<std::pair<std::uint64_t, std::uint64_t>> fired;  // (data, clock at firing)

void record_fire(std::uint64_t data)
{
    std::lock_guard guard(fired_lock);
    fired.emplace_back(data, kova_time_getmillisec());
}

std::size_t fired_count()
{
    std::lock_guard guard(fired_lock);
    return fired.size();
}

// Moves the clock by hand over the real tick thread; puts the wheel back on the real clock after.
class WheelOnFakeClock : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kova_timer_module_init(), 0);
        fired.clear();
        clock_ = std::make_unique<kova::test::FakeClock>(1000000000u, kova_time_getnanosec());
        kova::timer::rebase_for_test();
    }
    void TearDown() override
    {
        for (kova_timer_s &t : timers_) kova_timer_delete_sync(&t);
        clock_.reset();
        kova::timer::rebase_for_test();
    }
    void advance_ms(std::uint64_t ms) { clock_->advance(ms * 1000000); }
    // Arms timers_[i] after delay(i) ms with data i.
    void arm(std::size_t count, const std::function<std::uint64_t(std::size_t)> &delay, void (*handler)(std::uint64_t))
    {
        timers_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            kova_timer_init(&timers_[i]);
            kova_timer_set(&timers_[i], delay(i), i, handler);
            EXPECT_EQ(kova_timer_add(&timers_[i]), 0) << i;
        }
    }
    std::uint64_t now_ms() const { return clock_->now() / 1000000; }

    std::unique_ptr<kova::test::FakeClock> clock_;
    std::vector<kova_timer_s> timers_;
};

TEST_F(WheelOnFakeClock, EveryLevelFiresAtItsExpiryNeverEarly)
{
    const std::uint64_t delays[] = {999,    1000,     59999,     60000,     3599999,
                                    3600000, 215999999, 216000000, 5184000000ull + 123456789};
    arm(std::size(delays), [&](std::size_t i) { return delays[i]; }, record_fire);
    EXPECT_EQ(kova::test::wheel_field(&kova_timer_root_s::timerNum), std::size(delays));
    std::uint64_t start = now_ms();
    for (std::size_t i = 0; i < std::size(delays); ++i) {
        std::uint64_t due = start + delays[i];
        // One millisecond short of the expiry nothing may fire.
        advance_ms(due - 1 - now_ms());
        std::this_thread::sleep_for(std::chrono::milliseconds(kova::test::under_qemu() ? 120 : 40));
        ASSERT_EQ(fired_count(), i) << "timer " << i << " fired early";
        advance_ms(1);
        ASSERT_TRUE(eventually([&] { return fired_count() == i + 1; })) << "timer " << i << " did not fire";
        std::lock_guard guard(fired_lock);
        EXPECT_EQ(fired[i].first, i);
        EXPECT_EQ(fired[i].second, due) << "timer " << i;
    }
    EXPECT_EQ(kova::test::wheel_field(&kova_timer_root_s::timerNum), 0u);
}

TEST_F(WheelOnFakeClock, SameMillisecondFiresInArmingOrderAndRearmMovesTheTimer)
{
    arm(3, [](std::size_t) { return 500; }, record_fire);
    std::uint64_t expiry = timers_[0].expirTime;
    EXPECT_EQ(kova_timer_modify(&timers_[0], 500), 0) << "same expiry: a no-op";
    EXPECT_EQ(timers_[0].expirTime, expiry);
    ASSERT_EQ(kova_timer_modify(&timers_[2], 700), 0);
    EXPECT_EQ(kova::test::wheel_field(&kova_timer_root_s::timerNum), 3u) << "moving a timer keeps the count";
    advance_ms(500);
    ASSERT_TRUE(eventually([] { return fired_count() == 2; }));
    advance_ms(200);
    ASSERT_TRUE(eventually([] { return fired_count() == 3; }));
    std::lock_guard guard(fired_lock);
    EXPECT_TRUE(fired[0].first == 0 && fired[1].first == 1 && fired[2].first == 2);
}

kova::test::FakeClock *slow_clock = nullptr;
void slow_handler(std::uint64_t) { slow_clock->advance(301ull * 1000000); }

TEST_F(WheelOnFakeClock, SlowHandlersAreReportedThreeTimesAMinute)
{
    kova::test::LogCapture log;
    slow_clock = clock_.get();
    arm(4, [](std::size_t i) { return 10 + i; }, slow_handler);
    advance_ms(20);
    ASSERT_TRUE(eventually([&] { return kova::test::wheel_field(&kova_timer_root_s::timerNum) == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<kova::test::LoggedMessage> warnings;
    for (const auto &m : log.messages())
        if (m.text.find(" cost 301 ms.") != std::string::npos) warnings.push_back(m);
    ASSERT_EQ(warnings.size(), 3u) << "the fourth within a minute is suppressed";
    char expected[160];
    std::snprintf(expected, sizeof expected, "Timer 0x%llx func 0x%llx added by %s cost 301 ms.",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&timers_[0])),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&slow_handler)),
                  timers_[0].funcName);
    EXPECT_EQ(warnings[0].text, expected);
    EXPECT_TRUE(warnings[0].level == 4 && warnings[0].function == "run_timer_func");
}

TEST_F(WheelOnFakeClock, IdleWheelFollowsTheClock)
{
    advance_ms(12345);
    EXPECT_TRUE(eventually([&] { return kova::test::wheel_field(&kova_timer_root_s::curMs) == now_ms(); }));
}

}  // namespace
