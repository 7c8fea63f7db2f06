#include "timer/timer_test_util.h"

namespace {

void ignore(std::uint64_t) {}

TEST(TimerApi, BadInputAndCallsBeforeInitialisationAreRefused)
{
    ASSERT_EQ(kova_timer_module_init(), 0);
    kova::test::LogCapture log;
    kova_timer_s timer;
    EXPECT_EQ(kova_timer_init(nullptr) + kova_timer_delete(nullptr) + kova_timer_delete_sync(nullptr) +
                  static_cast<int>(kova_timer_is_pending(nullptr)), -3);
    EXPECT_EQ(kova_timer_set(nullptr, 10, 0, ignore) + kova_timer_set(&timer, 10, 0, nullptr), -2);
    kova_timer_init(&timer);
    EXPECT_EQ(kova_timer_add(&timer) + kova_timer_add_ns(&timer), -2) << "no handler";
    kova_timer_set(&timer, 0, 0, ignore);
    EXPECT_EQ(kova_timer_add(&timer), -1) << "a time-out of 0";
    EXPECT_TRUE(log.count("Input timer is null.") == 4 && log.count("Input timer is null or not initiated.") == 2);
    auto invalid = log.with_text("Input para is invalid.");
    EXPECT_TRUE(invalid.size() == 3 && invalid[2].function == "kova_timer_modify") << "add hands a 0 time-out to it";

    kova_timer_set(&timer, 60000, 0, ignore);
    ASSERT_EQ(kova_timer_add(&timer), 0);
    EXPECT_EQ(kova_timer_is_pending(&timer), 1u);
    EXPECT_EQ(kova_timer_add(&timer) + kova_timer_set(&timer, 5, 0, ignore), -2);
    auto pending = log.with_text("The timer is pending.");
    EXPECT_TRUE(pending.size() == 2 && pending[0].file == "timer/kova_timer");
    EXPECT_EQ(kova_timer_delete(&timer) + kova_timer_delete(&timer), 0) << "deleting an idle timer is fine";
    EXPECT_TRUE(kova_timer_is_pending(&timer) == 0 && timer.entry.prev == KOVA_LIST_POISON_PREV);

    kova::timer::module_state.store(kova::timer::kNotInitialised);
    EXPECT_EQ(kova_timer_add(&timer) + kova_timer_modify(&timer, 10) + kova_timer_delete(&timer) +
                  kova_timer_delete_sync(&timer), -4);
    kova::timer::module_state.store(kova::timer::kReady);
    EXPECT_EQ(log.count("kova timer is not inited."), 4u);
}

}  // namespace
