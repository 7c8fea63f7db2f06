#include "kova/kova_time.h"
#include "platform/clock.h"
#include "time/time_base.h"

namespace kova::time {
std::atomic<std::uint64_t> ns_per_cycle{0};
}  // namespace kova::time

using namespace kova::time;

namespace {
constexpr int kStableReadAttempts = 200;
// Two reads agree when they lie within 8 counts of the target's 100 MHz counter, 80 ns. The
// window is that time in counts of the counter that runs: 8 at 100 MHz, 80 on the 1 GHz stand-in
// (where a count-for-count window would be shorter than one read), 1 at 24 MHz.
constexpr std::uint64_t kStableReadSpread = 8;
constexpr std::uint64_t kTargetCounterHz = 100000000u;
}  // namespace

extern "C" uint64_t kova_rte_get_timer_cycles(void)
{
    const std::uint64_t window = kStableReadSpread * kova::platform::counter_frequency() / kTargetCounterHz;
    std::uint64_t second = 0;
    for (int attempt = 0; attempt < kStableReadAttempts; ++attempt) {
        std::uint64_t first = kova::platform::counter_now();
        second = kova::platform::counter_now();
        if (second - first <= window) break;
    }
    return second;
}

extern "C" uint64_t kova_time_getnanosec(void)
{
    return kova::platform::counter_now() * ns_per_cycle.load(std::memory_order_relaxed);
}

extern "C" uint64_t kova_time_cycles2ns(uint64_t cycles)
{
    return cycles * ns_per_cycle.load(std::memory_order_relaxed);
}

extern "C" uint64_t kova_time_getmillisec(void) { return kova_time_getnanosec() / kNsPerMs; }
