// The ring against DPDK's rte_ring (same sizes, same calls, initialised in plain memory without
// EAL or hugepages): enqueue+dequeue of 1, 8 and 32 objects on a 1024-slot ring, single-sided
// (SP/SC) and shared (MP/MC). With one thread, each iteration is an enqueue and a dequeue; with
// two, thread 0 only enqueues and thread 1 only dequeues, each on its own CPU and retrying until
// its call succeeds, in real time. Without DPDK's headers its cases are left out.
#include <sched.h>

#include <cstdlib>
#include <optional>
#include <thread>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
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

// A side that finds the ring full or empty polls with the processor's spin hint, as a polling
// core does, and yields only after a long miss (the other side may not be running on a busy
// machine); yielding at once put a system call into every miss and the rows measured the
// scheduler more than the rings.
template <typename Call>
void retry(Call call)
{
    for (unsigned misses = 0; !call(); ++misses) {
        if (misses % 4096 == 4095) {
            std::this_thread::yield();
            continue;
        }
#if defined(__x86_64__)
        _mm_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
}

// Pins the calling thread to the index-th CPU it may run on, for the life of the object; left to
// themselves the two sides were at times placed on one CPU and the rows measured time slices.
class PinnedTo {
public:
    explicit PinnedTo(int index)
    {
        cpu_set_t allowed;
        if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
        for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed) || seen++ != index) continue;
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            if (sched_setaffinity(0, sizeof one, &one) == 0) {
                saved_ = allowed;
                pinned_ = true;
            }
            return;
        }
    }
    ~PinnedTo()
    {
        if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
    }
    PinnedTo(const PinnedTo &) = delete;
    PinnedTo &operator=(const PinnedTo &) = delete;

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
};

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
    std::optional<PinnedTo> pin;
    if (split) pin.emplace(state.thread_index());
    for (auto _ : state) {
        if (!split || producer)
            retry([&] { return Ring::put(ring, objects.data(), n); });
        if (!split || !producer)
            retry([&] { return Ring::get(ring, out.data(), n); });
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
