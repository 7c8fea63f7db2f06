#include "timer/timer_test_util.h"

namespace {

using namespace kova::test;
using HrTimer = OnFakeClock;

TEST(HrTimerModule, RefusedUntilTheFirstAddUnderTheCallersName)
{
    if (kova::timer::hr_state() != 6) GTEST_SKIP() << "another test in this process started the timers";
    LogCapture log;
    kova_timer_s timer{};
    timer.func = record_fired, timer.flags = KOVA_TIMER_HR;
    EXPECT_EQ(kova_hr_timer_delete(&timer) + kova_hr_timer_modify(&timer, 10) + kova_timer_delete(&timer) +
                  kova_timer_modify(&timer, 10) + kova_hr_timer_diagnose_func(0, nullptr), -5);
    std::string callers;
    for (const auto &m : log.with_text("kova hr timer is not inited.")) callers += m.function + " ";
    EXPECT_EQ(callers, "kova_hr_timer_delete kova_hr_timer_modify kova_timer_delete kova_timer_modify "
                       "kova_hr_timer_diagnose_func ");
}

TEST_F(HrTimer, FiresEarliestFirstInArmingOrderAndDeleteCancels)
{
    clock_->set((clock_->now() / 1000000000 + 2) * 1000000000 - 500000);  // x.9995 s
    for (auto [delay, data] : {std::pair{900000, 2}, {500000, 1}, {800000, 3}, {500000, 4}})
        ASSERT_EQ(kova_timer_add_ns(make(delay, data)), 0);
    const kova_timer_expire_s &carried = timers_[1]->hrExpire;
    EXPECT_TRUE(carried.tv_nsec == 0 && carried.tv_sec == static_cast<std::int64_t>(clock_->now() / 1000000000 + 1));
    EXPECT_TRUE(kova_timer_delete(timers_[2].get()) == 0 && kova_timer_is_pending(timers_[2].get()) == 0);
    clock_->advance(1000000);
    wait_until([] { return fired_so_far().size() == 3; });
    EXPECT_EQ(fired_so_far(), (Values{1, 4, 2})) << "the cancelled one would come before 2";
}

TEST_F(HrTimer, DiagnosticListsPendingTimers)
{
    ASSERT_EQ(kova_timer_add_ns(make(1000000, 0)), 0);
    LogCapture log;
    char cmd[] = "hrtimer", sub[] = "show", list[] = "listall", lis[] = "lis";
    char *listing[] = {cmd, sub, list}, *wrong[] = {cmd, sub, lis};
    EXPECT_EQ(kova_hr_timer_diagnose_func(3, listing) + kova_hr_timer_diagnose_func(3, wrong) +
                  kova_hr_timer_diagnose_func(2, listing), -2);
    auto m = log.messages();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0].text + m[1].text.substr(0, 44) + m[2].text + m[3].text,
              "list of timer\n[NO.] [Timer Handler]          [Expire(ms)] [file:line]\n"
              "1     make                     1000000      cmd input wrong.\ncmd input wrong.\n");
}

// Limits and refusals. A record is in at most one structure: arming it in the other is refused
// while it is pending, set refuses and init takes it out of the tree. delete_sync takes it out of
// whichever holds it, whatever its flags say, so its memory may go: ASan sees any later use, and
// the sentinels fire only after every earlier expiry has been handled.
TEST_F(HrTimer, LimitsAndARecordInOneStructureAtATime)
{
    enum First { kNone, kWheel, kTree };
    const char *too_long = "expire must less than 1 ms.", *in_wheel = "the timer is pending in the timer wheel.",
               *in_tree = "The timer is pending in the hr timer tree.";
    struct Case {
        First first;
        int (*then)(kova_timer_s *);
        const char *refusal;
    } cases[] = {
        {kNone, [](kova_timer_s *t) { return t->timeOut = 1000001, kova_timer_add_ns(t); }, too_long},
        {kTree, kova_timer_add_ns, "the hr timer is pending."},
        {kTree, [](kova_timer_s *t) { return kova_timer_modify(t, 1000001); }, too_long},
        {kWheel, kova_timer_add_ns, in_wheel},
        {kWheel, [](kova_timer_s *t) { return kova_hr_timer_modify(t, 1000); }, in_wheel},
        {kTree, kova_timer_add, in_tree},
        {kTree, [](kova_timer_s *t) { return t->flags = 0, kova_timer_modify(t, 5); }, in_tree},
        {kTree, [](kova_timer_s *t) { return kova_timer_set(t, 5, 7, record_fired); }, "The timer is pending."},
        {kTree, kova_timer_init, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.refusal != nullptr ? c.refusal : "init");
        LogCapture log;
        auto owned = std::make_unique<kova_timer_s>();
        kova_timer_s *t = owned.get();
        kova_timer_init(t), kova_timer_set(t, c.first == kTree ? 1000000 : 5, 7, record_fired);
        ASSERT_EQ(c.first == kTree ? kova_timer_add_ns(t) : c.first == kWheel ? kova_timer_add(t) : 0, 0);
        EXPECT_EQ(c.then(t), c.refusal != nullptr ? -1 : 0);
        EXPECT_EQ(c.refusal != nullptr ? log.count(c.refusal) : 1u, 1u);
        EXPECT_FALSE(kova::timer::is_pending(t) && kova::timer::in_hr_tree(t));
        EXPECT_EQ(kova_timer_delete_sync(t), 0);
        EXPECT_FALSE(kova::timer::is_pending(t) || kova::timer::in_hr_tree(t)) << "in neither structure: may be freed";
    }
    ASSERT_EQ(kova_timer_add(make(6, 100)) + kova_timer_add_ns(make(1000000, 100)), 0);
    advance_ms(6);
    wait_until([] { return fired_so_far().size() >= 2; });
    EXPECT_EQ(fired_so_far(), (Values{100, 100})) << "nothing deleted may run";
}

}  // namespace
