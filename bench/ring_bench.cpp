// The ring against DPDK's rte_ring (same sizes, same calls, initialised in plain memory without
// EAL or hugepages): enqueue+dequeue of 1, 8 and 32 objects on a 1024-slot ring, single-sided
// (SP/SC) and shared (MP/MC). With one thread, each iteration is an enqueue and a dequeue; with
// two, thread 0 only enqueues and thread 1 only dequeues, each yielding and retrying until its
// call succeeds (on a busy machine the other thread may not be running), in real time. Without DPDK's headers its cases are left out.
#include <cstdlib>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#if __has_include(<rte_ring.h>)
#include <rte_ring.h>
#define KOVA_BENCH_HAVE_DPDK 1
#endif

#include "kova/kova_queue.h"

namespace {

constexpr unsigned kSlots = 1024;

struct Kova {
    static void *make(bool single)
    {
        static kova_ring_s *rings[2] = {kova_ring_create(kSlots, 0), kova_ring_create(kSlots, 3)};
        return rings[single];
    }
    static bool put(void *r, void *const *objects, unsigned n)
    {
        auto *ring = static_cast<kova_ring_s *>(r);
        return n == 1 ? kova_ring_enqueue(ring, objects[0]) == 0 : kova_ring_enqueue_bulk(ring, objects, n) == 0;
    }
    static bool get(void *r, void **objects, unsigned n)
    {
        auto *ring = static_cast<kova_ring_s *>(r);
        return n == 1 ? kova_ring_dequeue(ring, objects) == 0 : kova_ring_dequeue_bulk(ring, objects, n) == 0;
    }
};

#ifdef KOVA_BENCH_HAVE_DPDK
struct Dpdk {
    static rte_ring *create(unsigned flags)
    {
        auto *ring = static_cast<rte_ring *>(std::aligned_alloc(128, static_cast<std::size_t>(rte_ring_get_memsize(kSlots))));
        rte_ring_init(ring, flags ? "bench_sp" : "bench_mp", kSlots, flags);
        return ring;
    }
    static void *make(bool single)
    {
        static rte_ring *rings[2] = {create(0), create(RING_F_SP_ENQ | RING_F_SC_DEQ)};
        return rings[single];
    }
    static bool put(void *r, void *const *objects, unsigned n)
    {
        auto *ring = static_cast<rte_ring *>(r);
        return n == 1 ? rte_ring_enqueue(ring, objects[0]) == 0 : rte_ring_enqueue_bulk(ring, objects, n, nullptr) == n;
    }
    static bool get(void *r, void **objects, unsigned n)
    {
        auto *ring = static_cast<rte_ring *>(r);
        return n == 1 ? rte_ring_dequeue(ring, objects) == 0 : rte_ring_dequeue_bulk(ring, objects, n, nullptr) == n;
    }
};
#endif

// N objects per call, known when compiled as at a caller's call site (a count only known at run
// time gave both rings' inlined paths the other counts' code too, and the single-object rows
// then measured the compiler's layout of that mix); range(0): 1 for single-sided rings.
template <typename Ring, unsigned N>
void pairs(benchmark::State &state)
{
    constexpr unsigned n = N;
    const bool single = state.range(0) != 0;
    void *ring = Ring::make(single);
    std::vector<void *> objects(n, &state), out(n);
    const bool split = state.threads() == 2;
    const bool producer = state.thread_index() == 0;
    for (auto _ : state) {
        if (!split || producer)
            while (!Ring::put(ring, objects.data(), n)) std::this_thread::yield();
        if (!split || !producer)
            while (!Ring::get(ring, out.data(), n)) std::this_thread::yield();
        benchmark::DoNotOptimize(out.data());
    }
    if (!split || !producer) state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void shapes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"single"})->Args({1})->Args({0})->UseRealTime()->Threads(1)->Threads(2);
}

BENCHMARK(pairs<Kova, 1>)->Apply(shapes);
BENCHMARK(pairs<Kova, 8>)->Apply(shapes);
BENCHMARK(pairs<Kova, 32>)->Apply(shapes);
#ifdef KOVA_BENCH_HAVE_DPDK
BENCHMARK(pairs<Dpdk, 1>)->Apply(shapes);
BENCHMARK(pairs<Dpdk, 8>)->Apply(shapes);
BENCHMARK(pairs<Dpdk, 32>)->Apply(shapes);
#endif

}  // namespace

BENCHMARK_MAIN();
