// kova_Init from nothing to ready. Every iteration forks a fresh child of this process, which has
// never initialised the library, and the child runs the whole chain and exits; the baseline is
// the same bare process start (fork, a report through a pipe, _exit, waitpid) without kova_Init.
// The child times each step through kova_init_traced and reports it; the counters give each
// step's mean in microseconds, so the costliest step can be read off. The cpuinfo segment lives
// under a name of the benchmark's own: argument 0 removes it before each start (the first
// process on the machine builds it), argument 1 leaves it (every later process reuses it).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "init/init_steps.h"
#include "kova/kova_init.h"
#include "kova/kova_shm.h"
#include "platform/paths.h"

namespace {

using kova::init::kStepCount;

struct Report {
    std::uint64_t step_ns[kStepCount];
    std::size_t steps;
    int status;
};

void record_step(const char *, int, std::uint64_t elapsed_ns, void *arg)
{
    auto &report = *static_cast<Report *>(arg);
    if (report.steps < kStepCount) report.step_ns[report.steps++] = elapsed_ns;
}

// False when the child could not be started or did not report.
bool start_process(bool initialise, Report &report)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return false;
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);  // the library's start-up messages
        Report mine{};
        if (initialise) mine.status = kova_init_traced(record_step, &mine);
        _exit(write(pipe_ends[1], &mine, sizeof mine) == sizeof mine ? 0 : 1);
    }
    close(pipe_ends[1]);
    bool reported = child > 0 && read(pipe_ends[0], &report, sizeof report) == sizeof report;
    close(pipe_ends[0]);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && reported && status == 0;
}

void run_starts(benchmark::State &state, bool initialise, bool segment_kept)
{
    kova::platform::set_shm_prefix("kova-bench-init-");
    std::uint64_t step_ns[kStepCount] = {};
    for (auto _ : state) {
        if (!segment_kept) {
            state.PauseTiming();
            kova_shm_destroy("cpuinfo_shm");
            state.ResumeTiming();
        }
        Report report{};
        if (!start_process(initialise, report) || report.status != 0) {
            state.SkipWithError("the child failed");
            break;
        }
        for (std::size_t i = 0; i < report.steps; ++i) step_ns[i] += report.step_ns[i];
    }
    for (std::size_t i = 0; initialise && i < kStepCount; ++i) {
        std::string name = kova::init::steps[i].name;
        state.counters[name.substr(0, name.find(','))] =
            benchmark::Counter(static_cast<double>(step_ns[i]) / 1e3, benchmark::Counter::kAvgIterations);
    }
    kova_shm_destroy("cpuinfo_shm");
    kova::platform::set_shm_prefix(nullptr);
}

void BM_ProcessStart(benchmark::State &state) { run_starts(state, false, true); }
BENCHMARK(BM_ProcessStart)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ProcessStartWithInit(benchmark::State &state) { run_starts(state, true, state.range(0) == 1); }
BENCHMARK(BM_ProcessStartWithInit)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
