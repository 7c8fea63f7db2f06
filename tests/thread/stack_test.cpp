#include <signal.h>
#include <ucontext.h>

#include <algorithm>

#include "kova/kova_signal.h"
#include "support/temp_root.h"
#include "thread_test.h"

namespace {

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

std::string in_handler;
uint64_t handler_low, handler_high;
void classify_own_local(int)
{
    volatile char local = 0;
    in_handler = classify(address_of(&local), handler_low, handler_high);
}

// level<0> -> level<1> -> level<2> -> kova_thrd_backtrace on a stack of their own: four frames, then
// the chain leaves that stack.
uint64_t frames[9], returns[3], skipped;

template <int N>
__attribute__((noinline)) void level()
{
    returns[N] = address_of(__builtin_return_address(0));
    if constexpr (N == 2) kova_thrd_backtrace(frames, 9, 0), kova_thrd_backtrace(&skipped, 1, 1);
    else level<N + 1>();
    asm volatile("" ::: "memory");  // no tail calls: every level keeps its frame
}

// In an adopted thread, whose record knows its stacks.
TEST(ThreadStacks, AddressesAreClassifiedAndBacktracesFollowTheirStack)
{
    std::thread([] {
        ASSERT_EQ(kova_thrd_setcurthreadinfo(), 0);
        uint64_t low = 0, high = 0, l = 0, h = 0;
        ASSERT_EQ(kova_thrd_getosstack(&low, &high), 0);
        EXPECT_TRUE(classify(low - 100, l, h) == "OS_STACK" && l + h == low + high);  // in the guard page
        EXPECT_EQ(classify(low - 5000, l, h), "-1:INVALID_STACK");
        EXPECT_EQ(kova_thrd_getcurrentstack(low, &l, &h, nullptr), -1);
        kova_lwt_stack_ops_s ops{is_lwt, [](uint64_t, uint64_t *, uint64_t *) { return -1; }};
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
        EXPECT_TRUE(in_handler == "SIG_STACK" && handler_low + handler_high == low + high) << in_handler;

        ops.get_lwt_stack = get_lwt;
        ASSERT_EQ(register_lwt_stack_ops(&ops), 0);
        ucontext_t caller, task;
        ASSERT_EQ(getcontext(&task), 0);
        task.uc_stack.ss_sp = lwt_stack;
        task.uc_stack.ss_size = sizeof lwt_stack;
        task.uc_link = &caller;
        makecontext(&task, level<0>, 0);
        ASSERT_EQ(swapcontext(&caller, &task), 0);
        unregister_lwt_stack_ops();
        EXPECT_TRUE(frames[0] != 0 && skipped == returns[2]) << "skipping a frame starts at the caller's return";
        EXPECT_EQ(std::vector<uint64_t>(frames + 1, frames + 9),
                  (std::vector<uint64_t>{returns[2], returns[1], returns[0], 0, 0, 0, 0, 0}));
        kova_thrd_clearcurthreadinfo();
    }).join();

    // Without a record only the caller's own frames are known, a page (the unknown size) each.
    std::thread([] {
        int local = 0;
        uint64_t low = 0, high = 0;
        EXPECT_EQ(classify(address_of(&local), low, high), "UNKNOWN_STACK");
        EXPECT_TRUE(low == (address_of(&local) & ~uint64_t{4095}) && high == low + 4096);
    }).join();
}

// The target keeps the signal blocked except inside sigsuspend, which returns once the handler
// has run to its end: each count is a whole record in the file.
TEST(FileDump, EachRequestAppendsATaggedBacktraceToTheThreadsFile)
{
    kova::test::TempRoot root;
    root.write("/var/log/dr/.keep", "");
    kova::test::LogCapture log;
    char process[32] = "";
    ASSERT_EQ(kova_get_process_name(process, sizeof process), 0);
    dump_signal_init();
    std::atomic<long> tid{0};
    std::atomic<int> handled{0};
    std::thread target([&] {
        sigset_t dump, others;
        sigemptyset(&dump);
        sigaddset(&dump, KOVA_SIG_FILE_DUMP);
        pthread_sigmask(SIG_BLOCK, &dump, &others);
        sigdelset(&others, KOVA_SIG_FILE_DUMP);
        for (tid = gettid(); handled < 2; ++handled) sigsuspend(&others);
    });
    while (tid == 0) std::this_thread::yield();
    auto dump_and_read = [&](int records) {
        dump_thread_stack_sig_roc(getpid(), static_cast<int32_t>(tid));
        while (handled < records) std::this_thread::yield();
        return root.read("/var/log/dr/block-stack-" + std::string(process) + "-" + std::to_string(tid.load()));
    };
    const std::string once = dump_and_read(1), tag = g_tag_buf, twice = dump_and_read(2);
    target.join();
    EXPECT_TRUE(tag.starts_with("dump_time:") && tag.ends_with("\n") && once.starts_with("---" + tag + "---\n") &&
                std::count(once.begin(), once.end(), '\n') > 3) << "a tag line and the backtrace: " << once;
    EXPECT_TRUE(twice.starts_with(once) && twice.find("---dump_time:", once.size()) == once.size())
        << "the second record is appended: " << twice;
    const std::string request = "Show backtrace pid=" + std::to_string(getpid()) + ", tid=" + std::to_string(tid.load());
    const auto requests = log.messages();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_TRUE(requests[0].module == 999 && requests[0].text == request + ", " + tag) << requests[0].text;
    EXPECT_EQ(requests[1].text, request + ", ret=0, errno=0.");
}

}  // namespace
