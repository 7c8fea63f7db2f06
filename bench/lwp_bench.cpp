// LWP hot paths against the primitives they stand in for, same work side by side:
//   variable slot of the current instance (LwpVarRaw(0, var)) and of a named instance
//                                   vs a thread_local variable
//   reference get + put pair        vs copying (and dropping) a std::shared_ptr
// Each on one thread and on two threads sharing one instance / one control block.
#include <cstdint>
#include <memory>

#include <benchmark/benchmark.h>

#include "kova/kova_lwp.h"

namespace {

struct Setup {
    std::uint64_t inst = 0;
    std::uint64_t var = 0;
    Setup()
    {
        LwpModuleInit();
        std::uint64_t seven = 7;
        var = LwpVarRegister("bench", 0, &seven, sizeof seven, nullptr, nullptr);
        inst = LwpInstNew("bench", 0, 0, nullptr, nullptr);
    }
};

Setup &setup()
{
    static Setup s;
    return s;
}

thread_local std::uint64_t tls_value = 7;
std::shared_ptr<std::uint64_t> shared = std::make_shared<std::uint64_t>(7);

void BM_LwpVarRaw_Current(benchmark::State &state)
{
    LwpCtxAttach(setup().inst, nullptr);
    std::uint64_t var = setup().var;
    for (auto _ : state) benchmark::DoNotOptimize(*static_cast<std::uint64_t *>(LwpVarRaw(0, var)));
    LwpCtxAttach(LWP_INST_ID_INVALID, nullptr);
}

void BM_LwpVarRaw_ById(benchmark::State &state)
{
    std::uint64_t inst = setup().inst, var = setup().var;
    for (auto _ : state) benchmark::DoNotOptimize(*static_cast<std::uint64_t *>(LwpVarRaw(inst, var)));
}

void BM_ThreadLocal(benchmark::State &state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(&tls_value);
        benchmark::DoNotOptimize(tls_value);
    }
}

void BM_LwpInstGetPut(benchmark::State &state)
{
    std::uint64_t inst = setup().inst;
    for (auto _ : state) {
        LwpInstGet(inst);
        LwpInstPut(inst);
    }
}

void BM_SharedPtrCopy(benchmark::State &state)
{
    for (auto _ : state) {
        std::shared_ptr<std::uint64_t> copy = shared;
        benchmark::DoNotOptimize(copy);
    }
}

BENCHMARK(BM_LwpVarRaw_Current)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_LwpVarRaw_ById)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_ThreadLocal)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_LwpInstGetPut)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_SharedPtrCopy)->UseRealTime()->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
