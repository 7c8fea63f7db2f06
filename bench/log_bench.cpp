// A guarded log call whose level is disabled must cost a level check and nothing else; the
// baseline is formatting the same message, which the guard avoids.
#include <cstdio>

#include <benchmark/benchmark.h>

#include "init/kova_log.h"

KOVA_LOG_SOURCE("bench/log")

namespace {

void disabled_guarded_call(benchmark::State &state)
{
    kovalog_loglevel_set(KOVA_MODULE_ID, 3);
    int i = 0;
    for (auto _ : state) {
        KOVA_LOG(kova::log::kDebug, "work %d of %s took %llu ns", i, "queue", 12345ull);
        benchmark::DoNotOptimize(++i);
    }
}
BENCHMARK(disabled_guarded_call);

void disabled_rate_limited_call(benchmark::State &state)
{
    kovalog_loglevel_set(KOVA_MODULE_ID, 3);
    int i = 0;
    for (auto _ : state) {
        KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kWarning, "retry %d", i);
        benchmark::DoNotOptimize(++i);
    }
}
BENCHMARK(disabled_rate_limited_call);

void baseline_format_only(benchmark::State &state)
{
    char line[256];
    int i = 0;
    for (auto _ : state) {
        std::snprintf(line, sizeof line, "work %d of %s took %llu ns", i, "queue", 12345ull);
        benchmark::DoNotOptimize(line);
        benchmark::DoNotOptimize(++i);
    }
}
BENCHMARK(baseline_format_only);

}  // namespace

BENCHMARK_MAIN();
