// Starting a thread with a pool of parked threads (kova_thrd_create hands the function to an
// idle pool thread) against kova_thrd_create without a pool and a detached pthread_create. One
// iteration starts the function and waits until it runs. Goal: the pool path at least 5x faster
// than pthread_create. The pool is made once per process, so its benchmark runs last.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <benchmark/benchmark.h>

#include "kova/kova_thrd.h"

namespace {

void *mark_running(void *flag)
{
    static_cast<std::atomic<bool> *>(flag)->store(true, std::memory_order_release);
    return nullptr;
}

int start_pthread(std::atomic<bool> *flag)
{
    static pthread_attr_t *attr = [] {
        static pthread_attr_t a;
        pthread_attr_init(&a);
        pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
        return &a;
    }();
    pthread_t thread;
    return pthread_create(&thread, attr, mark_running, flag);
}

int start_kova(std::atomic<bool> *flag) { return kova_thrd_create(mark_running, flag, nullptr); }

template <int (*Start)(std::atomic<bool> *)>
void until_running(benchmark::State &state)
{
    for (auto _ : state) {
        std::atomic<bool> running{false};
        if (Start(&running) != 0) {
            state.SkipWithError("start failed");
            break;
        }
        while (!running.load(std::memory_order_acquire)) std::this_thread::yield();
    }
}

void pool_start(benchmark::State &state)
{
    static const std::uint32_t made = [] {
        std::uint32_t n = kova_thread_pool_create(8);
        // The seeder starts most of the pool after the call returns.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return n;
    }();
    if (made == 0) state.SkipWithError("no pool");
    until_running<start_kova>(state);
}

BENCHMARK_TEMPLATE(until_running, start_pthread)->Name("pthread_create")->UseRealTime();
BENCHMARK_TEMPLATE(until_running, start_kova)->Name("kova_thrd_create_no_pool")->UseRealTime();
BENCHMARK(pool_start)->Name("kova_thrd_create_pool")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
