// Starting a shell from a large process: kova_system / kova_popen (vfork) against the C
// library's system / popen and against a plain fork + exec + waitpid runner, which copies the
// parent's page tables on every start.
//
// The process first touches KOVA_BENCH_TOUCH_MB MiB (default 2048) so that it is large.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <benchmark/benchmark.h>

#include "kova/kova_str.h"

namespace {

void touch_memory()
{
    std::size_t megabytes = 2048;
    if (const char *text = std::getenv("KOVA_BENCH_TOUCH_MB")) megabytes = std::strtoull(text, nullptr, 10);
    std::size_t bytes = megabytes << 20;
    if (bytes == 0) return;
    void *area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
    auto *bytes_of = static_cast<volatile char *>(area);
    long page = sysconf(_SC_PAGESIZE);
    for (std::size_t offset = 0; offset < bytes; offset += static_cast<std::size_t>(page)) bytes_of[offset] = 1;
}

int fork_system(const char *command)
{
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child ? status : -1;
}

void check(benchmark::State &state, int status)
{
    if (status != 0) state.SkipWithError("the command failed");
}

void BM_kova_system(benchmark::State &state)
{
    for (auto _ : state) check(state, kova_system("true"));
}
BENCHMARK(BM_kova_system)->UseRealTime();

void BM_glibc_system(benchmark::State &state)
{
    for (auto _ : state) check(state, std::system("true"));
}
BENCHMARK(BM_glibc_system)->UseRealTime();

void BM_fork_exec_system(benchmark::State &state)
{
    for (auto _ : state) check(state, fork_system("true"));
}
BENCHMARK(BM_fork_exec_system)->UseRealTime();

void BM_kova_popen(benchmark::State &state)
{
    for (auto _ : state) {
        FILE *stream = kova_popen("true", "r");
        if (stream == nullptr) {
            state.SkipWithError("kova_popen failed");
            break;
        }
        check(state, kova_pclose(stream));
    }
}
BENCHMARK(BM_kova_popen)->UseRealTime();

void BM_glibc_popen(benchmark::State &state)
{
    for (auto _ : state) {
        FILE *stream = popen("true", "r");
        if (stream == nullptr) {
            state.SkipWithError("popen failed");
            break;
        }
        check(state, pclose(stream));
    }
}
BENCHMARK(BM_glibc_popen)->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    touch_memory();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
