#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "sink.h"

namespace kovalog_internal {
namespace {

struct Group {
    std::atomic<std::uint32_t> burst{0};
    std::uint32_t interval_ms = 0;
    std::mutex lock;
    std::uint64_t window_start_ms = 0;
    std::uint32_t used = 0;
    std::uint32_t dropped = 0;
};

Group groups[KOVALOG_MODULE_MAX];

std::uint64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

void report_dropped(unsigned group, std::uint32_t dropped)
{
    char line[96];
    int n = std::snprintf(line, sizeof line, "kovalog: %u messages of group %u dropped by the rate limit\n",
                          dropped, group);
    if (n > 0) sink_write(line, static_cast<std::size_t>(n));
}

}  // namespace

bool ratelimit_admit(unsigned module)
{
    if (module >= KOVALOG_MODULE_MAX) return true;
    Group &g = groups[module];
    if (g.burst.load(std::memory_order_relaxed) == 0) return true;
    std::uint32_t dropped_before = 0;
    bool admitted;
    {
        std::lock_guard guard(g.lock);
        std::uint32_t burst = g.burst.load(std::memory_order_relaxed);
        if (burst == 0) return true;
        std::uint64_t now = now_ms();
        if (now - g.window_start_ms >= g.interval_ms) {
            g.window_start_ms = now;
            g.used = 0;
            dropped_before = g.dropped;
            g.dropped = 0;
        }
        admitted = g.used < burst;
        if (admitted) ++g.used;
        else ++g.dropped;
    }
    if (dropped_before != 0) report_dropped(module, dropped_before);
    return admitted;
}

void reset_ratelimits()
{
    for (unsigned i = 0; i < KOVALOG_MODULE_MAX; ++i) kovalog_ratelimit_set(static_cast<int>(i), 0, 0);
}

}  // namespace kovalog_internal

using namespace kovalog_internal;

extern "C" int kovalog_get_group_id(uint32_t module)
{
    return module < KOVALOG_MODULE_MAX ? static_cast<int>(module) : -1;
}

extern "C" int kovalog_ratelimit_set(int group, uint32_t burst, uint32_t interval_ms)
{
    if (group < 0 || static_cast<unsigned>(group) >= KOVALOG_MODULE_MAX) return -1;
    if (burst != 0 && interval_ms == 0) return -1;
    Group &g = groups[group];
    std::lock_guard guard(g.lock);
    g.interval_ms = interval_ms;
    g.window_start_ms = 0;
    g.used = 0;
    g.dropped = 0;
    g.burst.store(burst, std::memory_order_relaxed);
    return 0;
}
