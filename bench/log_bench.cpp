// A guarded log call whose level is disabled must cost a level check and nothing else; the
// baseline is formatting the same message, which the guard avoids.
//
// The raw writers' async-signal-safe formatter against glibc's snprintf, same format, same
// values, same buffer: a stack-dump line, integers, and each floating-point style.
#include <cstdarg>
#include <cstdio>

#include <benchmark/benchmark.h>

#include "init/kova_log.h"
#include "signal_safe_format.h"

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

std::size_t raw_format(char *buf, std::size_t cap, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::size_t n = kovalog_internal::format_signal_safe(buf, cap, format, args);
    va_end(args);
    return n;
}

template <typename... Args>
void raw_writer_format(benchmark::State &state, const char *format, Args... args)
{
    char line[KOVALOG_MESSAGE_MAX];
    for (auto _ : state) {
        benchmark::DoNotOptimize(raw_format(line, sizeof line, format, args...));
        benchmark::ClobberMemory();
    }
}

template <typename... Args>
void baseline_snprintf(benchmark::State &state, const char *format, Args... args)
{
    char line[KOVALOG_MESSAGE_MAX];
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(line, sizeof line, format, args...));
        benchmark::ClobberMemory();
    }
}

#define FORMAT_PAIR(name, ...)                                \
    BENCHMARK_CAPTURE(raw_writer_format, name, __VA_ARGS__); \
    BENCHMARK_CAPTURE(baseline_snprintf, name, __VA_ARGS__)

FORMAT_PAIR(stack_frame, "<%d>#%-2d %018p %s+0x%lx", 61, 7, reinterpret_cast<void *>(0x7f0012345678),
            "kova_thrd_create", 0x1a4ul);
FORMAT_PAIR(integers, "%d %u %08x %lld %5.3d", -12345, 4000000000u, 0xbeefu, -1ll << 40, 7);
FORMAT_PAIR(fixed, "%.3f", 3.14159265358979);
FORMAT_PAIR(scientific, "%e", 6.02214076e23);
FORMAT_PAIR(general, "%g", 0.000123456789);
FORMAT_PAIR(large_fixed, "%f", 1.7976931348623157e308);
FORMAT_PAIR(tiny_exact, "%.60e", 4.9406564584124654e-324);
FORMAT_PAIR(hex_float, "%a", 0.1);
FORMAT_PAIR(long_double, "%Lg", 1234.5678L);

}  // namespace

BENCHMARK_MAIN();
