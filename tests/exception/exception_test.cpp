#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "kova/kova_exception.h"
#include "kova/kova_lock.h"
#include "kova/kova_lwp.h"
#include "kova/kova_notifier.h"
#include "kova/kova_signal.h"
#include "kova/kova_symbol.h"
#include "kova/kova_thrd.h"
#include "support/log_capture.h"
#include "symbol/symbol_internal.h"

namespace kova::test {
namespace {

template <typename... Args>
std::string text(const char *format, Args... args)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, args...);
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

volatile sig_atomic_t chain_raises = 0;  // a signal the chain handler raises: a fault inside the handler

std::uint32_t report_signal(kova_notifier_node_s *, unsigned long, void *data)
{
    kovalog_original("exception chain saw signal %u", static_cast<kova_exception_data_s *>(data)->signo);
    if (chain_raises != 0) raise(chain_raises);
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
    kova_symbol_init_sync();  // the walk needs the index, which the asynchronous first load may not have yet
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
        // The walk ends at the genuine frame that returns into the thread start (unnamed in Debian's libc).
        {SIGSEGV, [] { *reinterpret_cast<volatile int *>(bad_address) = 1; }, "\\+0x[0-9a-f]+ \n<[0-9]+>dump_stack info Success"},
        // On the alternate stack, with the stack pointer beyond the OS stack's guard: raw words.
        {SIGSEGV, overflow_stack, "Try to dump OS stack"},
        {SIGABRT, [] { std::abort(); }},
        {SIGFPE, [] { raise(SIGFPE); }},
        {SIGBUS, [] { (void)*static_cast<volatile char *>(mmap(nullptr, 8, PROT_READ, MAP_SHARED, memfd_create("", 0), 0)); }},
    };
    for (const Case &c : cases) {
        std::string expected = "Critical fault: pid=[0-9]+, tid=[0-9]+, thrd=faulty, sig = \\[" + std::to_string(c.signal) +
                               "\\].*R30: .*RIP=0x.*" + c.stack + ".*exception chain saw signal " +
                               std::to_string(c.signal);
        EXPECT_EXIT(fault_on_library_thread(c.fault), ::testing::KilledBySignal(c.signal), expected) << c.signal;
    }
#if !defined(__SANITIZE_THREAD__)  // which holds back a signal raised in a handler until it returns
    // A fault inside the handler: the nested handler dumps, finds the chain busy and re-raises.
    chain_raises = SIGFPE;
    EXPECT_EXIT(fault_on_library_thread(cases[0].fault), ::testing::KilledBySignal(SIGFPE),
                "sig = \\[11\\].*chain saw signal 11.*<1>, sig SIGFPE.*sig = \\[8\\].*trylock fail");
    chain_raises = 0;
#endif
}

std::atomic<int> held{0};
std::atomic<bool> release{false};

// Three handlers of reporting signals held open on three threads; a fourth must not dump.
void three_handlers_and_a_fourth()
{
    kova_exception_init();
    kovalog_content_callback_s hold{0, [](const kovalog_message_s *m) {
        if (release || std::strstr(m->text, "start of stack of general fault_handler()") == nullptr) return;
        if (std::strstr(m->text, "sig SIGPIPE") != nullptr) std::_Exit(3);
        held.fetch_add(1);
        while (!release) sched_yield();
    }};
    kovalog_register_content_callback(&hold);
    std::thread threads[3];
    for (auto &t : threads) pthread_kill((t = std::thread([] { while (!release) usleep(1000); })).native_handle(), SIGUSR2);
    while (held < 3) sched_yield();
    raise(SIGPIPE);
    release = true;
    for (auto &t : threads) t.join();
    raise(SIGPIPE);
    std::_Exit(7);
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
    // The re-entry count is the process's: three handlers on three threads, so a fourth is cut off.
    EXPECT_EXIT(three_handlers_and_a_fourth(), ::testing::ExitedWithCode(7),
                "fault handler reentrant<4> too much. sig 13.*<1>, sig SIGPIPE");
}

// The OS stack in lines of four words, each code address named before its line, a run of zero
// lines once as "...", whole lines below the end only; nothing for reporting signals.
TEST(StackDumps, TheBrokenStackDumpFoldsZeroRunsAndNamesCode)
{
    kova_symbol_init_sync();
    ASSERT_EQ(kova_thrd_setcurthreadinfo(), 0);
    const auto code = reinterpret_cast<std::uint64_t>(&kova_dump_stack) + 4;
    alignas(32) std::uint64_t w[20] = {code, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 5, code};
    auto at = [&](int i) { return reinterpret_cast<std::uint64_t>(w + i); };
    const std::string tid = text("<%d>", kova_thread_get_knl_tid()), row = "%16p: %016lx %016lx %016lx %016lx";
    const std::string all[] = {"", tid + text("                  (rip)%016lx: kova_dump_stack+0x4 ???", code),
                               tid + text(row.c_str(), w, code, 2ul, 3ul, 4ul), tid + text("%16p: %016lx ...", w + 4, 0ul),
                               tid + text("%18s%016lx: %016lx  (rip)%016lx: kova_dump_stack+0x4 ???", "(rbp)", at(12), 5ul, code),
                               tid + text(row.c_str(), w + 12, 5ul, code, 0ul, 0ul), tid + text("%16p: %016lx ...", w + 16, 0ul)};
    symbol_rwlock_rdlock_mayblock(kova::symbol::index_lock());  // no update pass while the dumps look up
    for (auto [signal, end, count] : {std::tuple{SIGSEGV, at(20), 7}, {SIGBUS, at(20) - 8, 6}, {SIGSEGV, at(3), 1},
                                      {SIGUSR2, at(20), 0}, {KOVA_SIG_LOG_DUMP, at(20), 0}, {SIGPIPE, at(20), 0}}) {
        LogCapture log;
        m_current_thread->os_stack_low = at(0);
        m_current_thread->os_stack_high = end;
        kova_thread_dump_broken_stack(signal, 0);
        std::vector<std::string> lines, expected(all, all + count);
        for (const LoggedMessage &m : log.messages())
            if (m.text.starts_with(tid)) lines.push_back(m.text);
        if (count != 0) expected[0] = tid + text("Try to dump OS stack, start(0x%lx) end(0x%lx):", at(0), end);
        EXPECT_EQ(lines, expected) << signal;
    }
    kova_rwlock_read_unlock(kova::symbol::index_lock());
    kova_thrd_clearcurthreadinfo();
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
