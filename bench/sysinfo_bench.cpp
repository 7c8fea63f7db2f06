// Machine facts.
//  - Reading one CPU's usage figure from the sampler against what a caller without it does:
//    re-read /proc/stat and work the percentage out from two readings.
//  - Start-up of a process that finds a valid cpuinfo segment and reuses it, against the first
//    process, which runs lscpu and reads /proc/cpuinfo and then publishes the segment. Each
//    iteration forks a child that runs cpuinfo_init and exits; the segment lives under a name of
//    the benchmark's own, so the product's segment is never touched.
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <benchmark/benchmark.h>

#include "kova/kova_shm.h"
#include "kova/kova_sysinfo.h"
#include "platform/paths.h"
#include "sysinfo/cpuinfo_record.h"

namespace {

void BM_UsageFromSampler(benchmark::State &state)
{
    sysinfo_init();
    sysinfo_update_all_cpu_usage();
    uint32_t cpu = 0;
    for (auto _ : state) benchmark::DoNotOptimize(kova_sysinfo_core_usage(&cpu));
    sysinfo_exit();
}
BENCHMARK(BM_UsageFromSampler);

// The baseline: the caller reads CPU 0's line of /proc/stat and compares with its last reading.
void BM_UsageFromProcStat(benchmark::State &state)
{
    uint64_t last_idle = 0, last_total = 0;
    for (auto _ : state) {
        std::FILE *file = std::fopen("/proc/stat", "r");
        char line[160];
        uint64_t f[7] = {};
        unsigned cpu = 0;
        while (std::fgets(line, sizeof line, file) != nullptr &&
               std::sscanf(line, "cpu%u %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                                 " %" SCNu64, &cpu, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]) != 8) {}
        std::fclose(file);
        uint64_t total = f[0] + f[1] + f[2] + f[3] + f[4] + f[5] + f[6];
        uint64_t elapsed = total - last_total, busy = elapsed - (f[3] - last_idle);
        benchmark::DoNotOptimize(elapsed != 0 ? busy * 100 / elapsed : 0);
        last_idle = f[3];
        last_total = total;
    }
}
BENCHMARK(BM_UsageFromProcStat);

void start_process(benchmark::State &state, bool segment_valid)
{
    for (auto _ : state) {
        if (!segment_valid) {
            state.PauseTiming();
            kova_shm_destroy("cpuinfo_shm");
            state.ResumeTiming();
        }
        pid_t child = fork();
        if (child == 0) _exit(cpuinfo_init() == 0 ? 0 : 1);
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || status != 0) state.SkipWithError("cpuinfo_init failed");
    }
    kova_shm_destroy("cpuinfo_shm");
    kova::platform::set_shm_prefix(nullptr);
}

void BM_StartReusingSegment(benchmark::State &state)
{
    kova::platform::set_shm_prefix("kova-bench-");
    cpuinfo_init();  // builds the segment the children reuse
    kova::sysinfo::forget_cpuinfo_for_test();
    start_process(state, true);
}
BENCHMARK(BM_StartReusingSegment)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_StartBuildingSegment(benchmark::State &state)
{
    kova::platform::set_shm_prefix("kova-bench-");
    start_process(state, false);
}
BENCHMARK(BM_StartBuildingSegment)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
