#include <gtest/gtest.h>

#include <cstdio>

#include "kova/kova_exception.h"
#include "kova/kova_lwp.h"
#include "kova/kova_notifier.h"
#include "support/log_capture.h"

namespace kova::test {
namespace {

std::string text(const char *format, const void *p)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, p);
    return buffer;
}

TEST(WatchdogHook, ResetCallsTheLatestRegisteredFunctionAndNothingWithoutOne)
{
    LogCapture log;
    EXPECT_EQ(kova_exception_watchdog_timer_reset(5), 0);
    EXPECT_TRUE(log.messages().empty());
    kova_watchdog_reset_fn twice = [](uint32_t v) { return static_cast<int32_t>(v * 2); };
    kova_watchdog_reset_fn negate = [](uint32_t v) { return -static_cast<int32_t>(v); };
    for (auto [func, result] : {std::pair{twice, 42}, {negate, -21}, {nullptr, 0}}) {
        log.clear();
        EXPECT_EQ(kova_exception_watchdog_timer_func_register(func), 0);
        EXPECT_TRUE(log.contains(text("Kova_exception_watchdog_timer_func_register=%p", reinterpret_cast<void *>(func))));
        EXPECT_EQ(kova_exception_watchdog_timer_reset(21), result);
        EXPECT_EQ(log.count("Kova_exception_watchdog_timer_reset=21"), func != nullptr ? 1u : 0u);
    }
}

// The LWP layer reports into the exception chain once it is initialised, however often.
TEST(ExceptionChain, TheLwpHandlerIsRegisteredOnceByItsInitialisation)
{
    LogCapture log;
    ASSERT_TRUE(LwpDebugInit() == 0 && LwpDebugInit() == 0);
    kova_exception_call_chain(0, nullptr, nullptr, 0, 0, 11);
    std::string called = text("function:%p, action=0", reinterpret_cast<void *>(LwpExceptNotifyFn));
    std::size_t starts = 0;
    for (const LoggedMessage &m : log.messages()) starts += m.text.find(called) != std::string::npos;
    EXPECT_EQ(starts, 1u);
    EXPECT_TRUE(log.contains("Exception notifier kova_exception_chain call end: ret 1."));
}

}  // namespace
}  // namespace kova::test
