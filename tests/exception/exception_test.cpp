#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "kova/kova_exception.h"
#include "kova/kova_lwp.h"
#include "kova/kova_notifier.h"
#include "kova/kova_signal.h"
#include "kova/kova_thrd.h"
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

std::uint32_t report_signal(kova_notifier_node_s *, unsigned long, void *data)
{
    kovalog_original("exception chain saw signal %u", static_cast<kova_exception_data_s *>(data)->signo);
    return 0;
}

volatile std::uintptr_t bad_address = 16;  // not null, which UBSan would report first

void overflow_stack()
{
    volatile char pad[1024];
    pad[0] = 1;
    if (bad_address != 0) overflow_stack();
    pad[1] = pad[0];
}

// In a child: the handler installed, a chain handler registered, then `fault` on a library thread.
void fault_on_library_thread(void (*fault)())
{
    static kova_notifier_node_s node{report_signal, nullptr, 1};
    kova_exception_init();
    kova_exception_chain_register(&node);
    pthread_t thread;
    kova_thrd_create([](void *arg) -> void * {
        kova_thrd_setname("faulty");
        reinterpret_cast<void (*)()>(arg)();
        return nullptr;
    }, reinterpret_cast<void *>(fault), &thread);
    pause();
}

// Each fatal signal: the critical-fault line names the thread, then registers, the program
// counter, the frame walk and the chain, and the process dies by the same signal.
TEST(FaultHandlerDeathTest, FatalSignalsDumpReportAndDieByTheSameSignal)
{
    struct Case {
        int signal;
        void (*fault)();
        const char *stack = "dump_stack info Success";  // the frame walk's last line
    };
    const Case cases[] = {
        {SIGSEGV, [] { *reinterpret_cast<volatile int *>(bad_address) = 1; }},
        // On the alternate stack, with the stack pointer beyond the OS stack's guard: raw words.
        {SIGSEGV, overflow_stack, "Try to dump OS stack"},
        {SIGABRT, [] { std::abort(); }},
        {SIGFPE, [] { raise(SIGFPE); }},
        {SIGBUS, [] { raise(SIGBUS); }},
    };
    for (const Case &c : cases) {
        std::string expected = "Critical fault: pid=[0-9]+, tid=[0-9]+, thrd=faulty, sig = \\[" + std::to_string(c.signal) +
                               "\\].*R30: .*RIP=0x.*" + c.stack + ".*exception chain saw signal " +
                               std::to_string(c.signal);
        EXPECT_EXIT(fault_on_library_thread(c.fault), ::testing::KilledBySignal(c.signal), expected) << c.signal;
    }
}

TEST(FaultHandlerDeathTest, ReportingSignalsDumpAndTheProcessGoesOn)
{
    EXPECT_EXIT(
        {
            kova_exception_init();
            raise(SIGPIPE);
            dump_thread_stack_sig(getpid(), static_cast<int32_t>(kova_thread_get_knl_tid()));
            std::_Exit(7);
        },
        ::testing::ExitedWithCode(7), "sig SIGPIPE.*sig = \\[13\\].*sig SIGTASKTRACK.*sig = \\[61\\]");
}

TEST(FaultHandler, InstallationFlagsAndTheCoreDumpFlag)
{
    LogCapture log;
    const uint32_t none[] = {0};
    EXPECT_EQ(kova_exception_init_with_list(nullptr, none, 0), -1);
    EXPECT_EQ(kova_exception_init_with_list(nullptr, nullptr, 3), -1);
    EXPECT_TRUE(log.contains("parm is invaild, sigList is null or sigNum is not bigger than 0(0)."));
    int32_t flag = 5;
    kova_thread_set_coredump_off();
    EXPECT_TRUE(kova_thread_coredump_flag_get(&flag) == 0 && flag == 0);
    kova_thread_set_coredump_on();
    EXPECT_TRUE(kova_thread_coredump_flag_get(&flag) == 0 && flag == 1);
    EXPECT_EQ(kova_thread_coredump_flag_get(nullptr), -1);
}

}  // namespace
}  // namespace kova::test
