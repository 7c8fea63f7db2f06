#include <pthread.h>
#include <signal.h>
#include <ucontext.h>

#include <vector>

#include "thread_test.h"

namespace {

using kova::test::run_in;

uint64_t address_of(const volatile void *p) { return reinterpret_cast<uint64_t>(p); }

// The kind name, bounds in low/high; "-1:" before the name when the classification failed.
std::string classify(uint64_t address, uint64_t &low, uint64_t &high)
{
    const char *kind = nullptr;
    int result = kova_thrd_getcurrentstack(address, &low, &high, &kind);
    return (result == 0 ? "" : "-1:") + std::string(kind);
}

alignas(16) char lwt_stack[0x10000];
int is_lwt(uint64_t a) { return a - address_of(lwt_stack) < sizeof lwt_stack ? 0 : 1; }
int get_lwt(uint64_t a, uint64_t *low, uint64_t *high)
{
    *low = address_of(lwt_stack);
    *high = *low + sizeof lwt_stack;
    return is_lwt(a);
}
int get_lwt_fails(uint64_t, uint64_t *, uint64_t *) { return -1; }

std::string in_handler;
uint64_t handler_low, handler_high;
void classify_own_local(int)
{
    volatile char local = 0;
    in_handler = classify(address_of(&local), handler_low, handler_high);
}

TEST(ThreadStacks, AddressesAreClassifiedByTheStackTheyLieOn)
{
    run_in([] {
        uint64_t low = 0, high = 0, l = 0, h = 0;
        ASSERT_EQ(kova_thrd_getosstack(&low, &high), 0);
        EXPECT_EQ(classify(low - 100, l, h), "OS_STACK");  // in the guard page
        EXPECT_EQ(l + h, low + high);
        EXPECT_EQ(classify(low - 5000, l, h), "-1:INVALID_STACK");
        EXPECT_EQ(kova_thrd_getcurrentstack(low, &l, &h, nullptr), -1);
        kova_lwt_stack_ops_s ops{is_lwt, get_lwt_fails};
        ASSERT_EQ(register_lwt_stack_ops(&ops), 0);
        EXPECT_EQ(classify(address_of(lwt_stack), l, h), "-1:INVALID_LWT_STACK");
        unregister_lwt_stack_ops();
        EXPECT_EQ(kova_thrd_islwtstack(address_of(lwt_stack)), -1);

        // No other classification may step in front of the alternate stack during a signal.
        struct sigaction action {}, previous{};
        action.sa_handler = classify_own_local;
        action.sa_flags = SA_ONSTACK;
        ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
        pthread_kill(pthread_self(), SIGUSR2);
        sigaction(SIGUSR2, &previous, nullptr);
        ASSERT_EQ(kova_thrd_getsigstack(&low, &high), 0);
        EXPECT_EQ(in_handler, "SIG_STACK");
        EXPECT_EQ(handler_low + handler_high, low + high);
    });

    // Without a record only the caller's own frames are known, a page (the unknown size) each.
    std::thread([] {
        int local = 0;
        uint64_t low = 0, high = 0;
        EXPECT_EQ(classify(address_of(&local), low, high), "UNKNOWN_STACK");
        EXPECT_EQ(low, address_of(&local) & ~uint64_t{4095});
        EXPECT_EQ(high, low + 4096);
    }).join();
}

// level1 -> level2 -> level3 -> kova_thrd_backtrace on a stack of their own: four frames, then
// the chain leaves that stack.
uint64_t frames[9], returns[3];

__attribute__((noinline)) void level3()
{
    returns[2] = address_of(__builtin_return_address(0));
    kova_thrd_backtrace(frames, 9, 0);
    asm volatile("" ::: "memory");  // no tail calls: every level keeps its frame
}
__attribute__((noinline)) void level2()
{
    returns[1] = address_of(__builtin_return_address(0));
    level3();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void level1()
{
    returns[0] = address_of(__builtin_return_address(0));
    level2();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) uint64_t return_address_skipping_own_frame(uint64_t *walked)
{
    kova_thrd_backtrace(walked, 1, 1);
    asm volatile("" ::: "memory");
    return address_of(__builtin_return_address(0));
}

TEST(ThreadStacks, BacktraceFollowsTheFrameChainWithinTheStack)
{
    run_in([] {
        uint64_t walked = 0;
        EXPECT_EQ(return_address_skipping_own_frame(&walked), walked);

        kova_lwt_stack_ops_s ops{is_lwt, get_lwt};
        ASSERT_EQ(register_lwt_stack_ops(&ops), 0);
        ucontext_t caller, task;
        ASSERT_EQ(getcontext(&task), 0);
        task.uc_stack.ss_sp = lwt_stack;
        task.uc_stack.ss_size = sizeof lwt_stack;
        task.uc_link = &caller;
        makecontext(&task, level1, 0);
        ASSERT_EQ(swapcontext(&caller, &task), 0);
        unregister_lwt_stack_ops();
        EXPECT_NE(frames[0], 0u);
        EXPECT_EQ(std::vector<uint64_t>(frames + 1, frames + 9),
                  (std::vector<uint64_t>{returns[2], returns[1], returns[0], 0, 0, 0, 0, 0}));
    });
}

}  // namespace
