#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

constexpr std::uint32_t kPerDomain = 2;

int print_text(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = std::vprintf(format, args);
    va_end(args);
    return n;
}

// The switch log's lines end without a line feed (the raw logger adds one): so does this.
int print_line(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    return n + 1;
}

struct Demo {
    std::uint64_t inst[LWP_DOMAIN_TYPES][kPerDomain];
    std::uint64_t visits[LWP_DOMAIN_TYPES];
    std::mutex output;
};

// Works in a few instances of every domain in turn, counting each visit in the instance's
// "visits" variable, then shows the thread's last three switches.
void switcher(Demo &demo, std::uint32_t first)
{
    kova_thrd_setcurthreadinfo();
    for (std::uint32_t step = 0; step < 5; ++step) {
        std::uint32_t domain = (first + step) % LWP_DOMAIN_TYPES;
        std::uint64_t id = demo.inst[domain][(first + step) % kPerDomain];
        LwpCtxAttach(id, nullptr);
        if (LWP_INST_GET_COUNTED(0) == 0) {
            __atomic_fetch_add(static_cast<std::uint64_t *>(LwpVarRaw(0, demo.visits[domain])), 1, __ATOMIC_RELAXED);
            LWP_INST_PUT_COUNTED(0);
        }
    }
    LwpCtxAttach(LWP_INST_ID_INVALID, nullptr);
    {
        std::lock_guard guard(demo.output);
        std::printf("switch log of thread %ld:\n", static_cast<long>(kova_thread_get_knl_tid()));
        LwpCtxSwitchShow(print_line);
    }
    kova_thrd_clearcurthreadinfo();
}

}  // namespace

int run_lwp(int argc, char **)
{
    if (argc > 0) return usage_error();
    kova_log_init(nullptr, 4);
    LwpCfgSetMaxInstNum(4);
    LwpCfgSetCtxTraceState(1);
    if (LwpModuleInit() != 0) return 1;
    Demo demo{};
    for (std::uint32_t d = 0; d < LWP_DOMAIN_TYPES; ++d) {
        std::uint64_t weight = 10 * (d + 1), none = 0;
        LwpVarRegister("weight", d, &weight, sizeof weight, nullptr, nullptr);
        demo.visits[d] = LwpVarRegister("visits", d, &none, sizeof none, nullptr, nullptr);
        for (std::uint32_t i = 0; i < kPerDomain; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "domain%u-instance%u", d, i);
            demo.inst[d][i] = LwpInstNew(name, d, 0, nullptr, nullptr);
            if (demo.inst[d][i] == LWP_INST_ID_INVALID) return 1;
        }
    }
    std::thread one(switcher, std::ref(demo), 0u), two(switcher, std::ref(demo), 1u);
    one.join();
    two.join();
    std::printf("\n");
    LwpVarShowAll(print_text);
    LwpShowAutoStatAll(print_line, "");
    int failed = 0;
    for (auto &domain : demo.inst)
        for (std::uint64_t id : domain) failed += LwpInstDelete(id, 1000) != 0;
    std::printf("deleted %u instances, %d failed\n", LWP_DOMAIN_TYPES * kPerDomain, failed);
    return failed != 0 ? 1 : 0;
}

KOVACTL_COMMAND("lwp", "create LWP instances with variables, switch between them on two threads, show them", run_lwp, "",
                "Takes no arguments. Shows the per-instance variables, the automatic statistics and the switch log, "
                "then deletes the instances.",
                "0, 1 when the module cannot start or an instance cannot be created or deleted, 2 for a usage error.");

}  // namespace kovactl
