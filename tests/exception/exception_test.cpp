#include <gtest/gtest.h>

#include <cstdio>

#include "kova/kova_exception.h"
#include "kova/kova_lwp.h"
#include "kova/kova_notifier.h"
#include "support/log_capture.h"

namespace kova::test {
namespace {

int32_t double_it(uint32_t value) { return static_cast<int32_t>(value * 2); }
int32_t negate_it(uint32_t value) { return -static_cast<int32_t>(value); }

TEST(WatchdogHook, ResetCallsTheLatestRegisteredFunction)
{
    LogCapture log;
    EXPECT_EQ(kova_exception_watchdog_timer_reset(5), 0);
    EXPECT_TRUE(log.messages().empty());
    struct Step {
        kova_watchdog_reset_fn func;
        uint32_t value;
        int32_t result;
    };
    for (const Step &step : {Step{double_it, 21, 42}, Step{negate_it, 3, -3}, Step{nullptr, 3, 0}}) {
        log.clear();
        EXPECT_EQ(kova_exception_watchdog_timer_func_register(step.func), 0);
        char expected[64];
        std::snprintf(expected, sizeof expected, "Kova_exception_watchdog_timer_func_register=%p",
                      reinterpret_cast<void *>(step.func));
        EXPECT_TRUE(log.contains(expected)) << expected;
        EXPECT_EQ(kova_exception_watchdog_timer_reset(step.value), step.result);
        std::snprintf(expected, sizeof expected, "Kova_exception_watchdog_timer_reset=%d", static_cast<int>(step.value));
        EXPECT_EQ(log.count(expected), step.func != nullptr ? 1u : 0u);
    }
}

// The LWP layer reports into the exception chain once it is initialised, however often.
TEST(ExceptionChain, TheLwpHandlerIsRegisteredOnceByItsInitialisation)
{
    LogCapture log;
    ASSERT_EQ(LwpDebugInit(), 0);
    ASSERT_EQ(LwpDebugInit(), 0);
    kova_exception_call_chain(0, nullptr, nullptr, 0, 0, 11);
    char expected[200];
    std::snprintf(expected, sizeof expected, "function:%p, action=0, data=", reinterpret_cast<void *>(LwpExceptNotifyFn));
    std::size_t starts = 0;
    for (const LoggedMessage &m : log.messages()) starts += m.text.find(expected) != std::string::npos;
    EXPECT_EQ(starts, 1u);
    EXPECT_TRUE(log.contains("Exception notifier kova_exception_chain call end: ret 1."));
}

}  // namespace
}  // namespace kova::test
