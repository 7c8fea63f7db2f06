// The time base's readers against one clock_gettime(CLOCK_MONOTONIC), side by side: the plain
// readers within 1.2x of it; the stable read, two reads at least, within 3x.
#include <time.h>

#include <benchmark/benchmark.h>

#include "kova/kova_time.h"

namespace {

void clock_gettime_monotonic(benchmark::State &state)
{
    timespec ts;
    for (auto _ : state) {
        clock_gettime(CLOCK_MONOTONIC, &ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(clock_gettime_monotonic);

void kova_time_getnanosec_read(benchmark::State &state)
{
    kova_gettime_init();
    for (auto _ : state) benchmark::DoNotOptimize(kova_time_getnanosec());
}
BENCHMARK(kova_time_getnanosec_read);

void kova_get_jiffies_read(benchmark::State &state)
{
    jiffies_Init();
    for (auto _ : state) benchmark::DoNotOptimize(kova_get_jiffies());
}
BENCHMARK(kova_get_jiffies_read);

void kova_time_getmillisec_read(benchmark::State &state)
{
    kova_gettime_init();
    for (auto _ : state) benchmark::DoNotOptimize(kova_time_getmillisec());
}
BENCHMARK(kova_time_getmillisec_read);

void kova_rte_get_timer_cycles_read(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(kova_rte_get_timer_cycles());
}
BENCHMARK(kova_rte_get_timer_cycles_read);

}  // namespace

BENCHMARK_MAIN();
