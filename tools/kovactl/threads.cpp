#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

struct DemoThread {
    const char *name;
    uint32_t strategy;
};

constexpr DemoThread demo_threads[] = {
    {"demo-default", 0}, {"demo-critical", 1}, {"demo-ctrl", 2}, {"demo-io", 4}, {"demo-backgrnd", 5},
};

std::atomic<int> started{0};
std::atomic<bool> release{false};

void *demo_thread(void *arg)
{
    const auto *self = static_cast<const DemoThread *>(arg);
    kova_setCurThreadStrategy(self->strategy);
    kova_thrd_setname("%s", self->name);
    started.fetch_add(1);
    while (!release.load()) kova_msleep(5);
    return nullptr;
}

void configure_strategies()
{
    unsigned cpus = num_config_cpus();
    std::string all = "0-" + std::to_string(cpus > 0 ? cpus - 1 : 0);
    std::string last = std::to_string(cpus > 0 ? cpus - 1 : 0);
    const kova_thread_strategy_cfg_s table[] = {
        {0, all.c_str()}, {static_cast<uint32_t>(-5), "0"}, {0, all.c_str()},
        {5, all.c_str()}, {0, last.c_str()}, {15, all.c_str()},
    };
    for (uint32_t i = 0; i < KOVA_THRD_STRATEGIES; ++i) kova_initThreadStrategy(i, &table[i]);
}

}  // namespace

int run_threads(int argc, char **)
{
    if (argc > 0) return usage_error();
    kova_log_init(nullptr, 6);
    configure_strategies();
    int expected = 0;
    for (const DemoThread &t : demo_threads)
        if (kova_thrd_create(demo_thread, const_cast<DemoThread *>(&t), nullptr) == 0) ++expected;
    while (started.load() < expected) kova_msleep(1);

    std::printf("== kova_thrd_list\n");
    kova_thrd_list(std::printf);
    std::printf("\n== kova_showThreadStrategyDbg\n");
    kova_showThreadStrategyDbg(std::printf);
    release.store(true);
    kova_msleep(20);
    return expected == static_cast<int>(sizeof demo_threads / sizeof demo_threads[0]) ? 0 : 1;
}

KOVACTL_COMMAND("threads", "start named library threads with different strategies and list them", run_threads, "",
                "Takes no arguments. Configures the six strategies, starts five named threads under them, prints "
                "the thread list and the strategy table, then lets the threads end.",
                "0, 1 when a thread could not be started, 2 for a usage error.");

}  // namespace kovactl
