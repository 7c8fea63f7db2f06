#include "timer/timer_test_util.h"

namespace {

using namespace kova::test;
using Wheel = OnFakeClock;

TEST_F(Wheel, EveryLevelFiresAtItsExpiryNeverEarly)
{
    const std::uint64_t delays[] = {999,     1000,      59999,     60000,   3599999,
                                    3600000, 215999999, 216000000, 5184000000ull + 123456789};
    const std::uint64_t start = clock_->now() / 1000000;
    for (std::size_t i = 0; i < std::size(delays); ++i) ASSERT_EQ(kova_timer_add(make(delays[i], i)), 0);
    for (std::size_t i = 0; i < std::size(delays); ++i) {
        std::uint64_t due = start + delays[i];
        advance_ms(due - 1 - clock_->now() / 1000000);
        wait_until([&] { return wheel_passed(due); });
        ASSERT_EQ(fired_so_far().size(), i) << "timer " << i << " fired before its millisecond";
        advance_ms(1);
        wait_until([&] { return fired_so_far().size() == i + 1; });
        EXPECT_EQ(fired_so_far()[i], i);
    }
}

TEST_F(Wheel, SameMillisecondFiresInArmingOrderAndRearmMovesTheTimer)
{
    kova_timer_s *t[3];
    for (std::uint64_t i = 0; i < 3; ++i) ASSERT_EQ(kova_timer_add(t[i] = make(500, i)), 0);
    EXPECT_EQ(kova_timer_modify(t[1], 500), 0) << "same expiry: a no-op, so the order stays";
    ASSERT_EQ(kova_timer_modify(t[0], 700), 0);
    EXPECT_EQ(pending_count(), 3u) << "moving a timer keeps the count";
    advance_ms(700);
    wait_until([] { return fired_so_far().size() == 3; });
    EXPECT_EQ(fired_so_far(), (Values{1, 2, 0}));
}

FakeClock *slow_clock = nullptr;
void take_ms(std::uint64_t ms) { slow_clock->advance(ms * 1000000); }

// Handlers that run more than 300 ms are reported. Each run first moves the clock a minute past
// the last report of earlier runs, so that this one is never suppressed as a fourth within one.
TEST_F(Wheel, HandlerOver300MsIsReported)
{
    LogCapture log;
    slow_clock = clock_.get();
    static std::uint64_t runs = 0;
    advance_ms(61000 * ++runs);
    ASSERT_EQ(kova_timer_add(make(10, 300, take_ms)) + kova_timer_add(make(10, 301, take_ms)), 0);
    advance_ms(10);
    wait_until([] { return wheel_passed(0, true); });
    char expected[160];
    std::snprintf(expected, sizeof expected, "Timer %p func %p added by make cost 301 ms.",
                  static_cast<void *>(timers_[1].get()), reinterpret_cast<void *>(&take_ms));
    auto warned = log.messages();
    std::erase_if(warned, [](auto &m) { return m.text.find(" cost ") == std::string::npos; });
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_TRUE(warned[0].text == expected && warned[0].level == 4 && warned[0].function == "run_timer_func");
}

// A record overwritten while pending (kova_timer_init on it, or the caller's memset) leaves its
// slot pointing at it. The tick thread reports the broken links, drops the record without
// writing to it, fires the others and keeps the count right, also when the record was armed
// again meanwhile and when the slot is cascaded.
TEST_F(Wheel, RecordOverwrittenWhilePendingIsReportedAndTheRestFire)
{
    struct Case {
        std::size_t victim, delay;
        bool by_memset, rearmed;
        const char *reporter;
        Values fire;
    } cases[] = {{0, 5, false, false, "run_timers", {1, 2}}, {1, 5, false, false, "detachTimerFromList", {0, 2}},
                 {2, 5, true, false, "run_timers", {0, 1}}, {1, 1500, true, false, "recalculate_timer_slot", {0, 2}},
                 {1, 5, false, true, "detachTimerFromList", {9, 0, 2}}};
    for (const Case &c : cases) {
        SCOPED_TRACE("victim " + std::to_string(c.victim) + " delay " + std::to_string(c.delay));
        LogCapture log;
        clear_fired();
        kova_timer_s *t[3];
        for (std::uint64_t i = 0; i < 3; ++i) ASSERT_EQ(kova_timer_add(t[i] = make(c.delay, i)), 0);
        if (c.by_memset) std::memset(static_cast<void *>(t[c.victim]), 0, sizeof(kova_timer_s));
        if (!c.by_memset) kova_timer_init(t[c.victim]);
        if (c.rearmed) kova_timer_set(t[c.victim], 2, 9, record_fired), kova_timer_add(t[c.victim]);
        advance_ms(c.delay);
        wait_until([] { return wheel_passed(0, true); });
        EXPECT_EQ(fired_so_far(), c.fire);
        bool reported = false, shown = false;
        for (const auto &m : log.messages()) {
            reported |= m.level == 3 && m.function == c.reporter && m.text.starts_with("Abnormal list node");
            shown |= m.module == 0 && m.text.starts_with("[Infra]Timer entry:0x");
        }
        EXPECT_TRUE(reported && shown) << "reported by " << c.reporter << ", records shown on the infrastructure log";
    }
}

}  // namespace
