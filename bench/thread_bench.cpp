// Thread start latency, cached ids and registry lookup, each against the POSIX call or the
// lock-based design it replaces. Starting a thread must cost at most 1.3x a detached
// pthread_create.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "kova/kova_thrd.h"

namespace {

// One iteration starts a thread and waits until it has run its first instruction. The parent
// mostly waits, so only real time measures it.
void *note_start(void *arg)
{
    static_cast<std::atomic<bool> *>(arg)->store(true, std::memory_order_release);
    return nullptr;
}

template <typename Start>
void measure_start(benchmark::State &state, Start start)
{
    for (auto _ : state) {
        std::atomic<bool> started{false};
        if (start(&started) != 0) {
            state.SkipWithError("thread start failed");
            break;
        }
        while (!started.load(std::memory_order_acquire)) std::this_thread::yield();
    }
}

void pthread_create_detached_start(benchmark::State &state)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    measure_start(state, [&attr](std::atomic<bool> *started) {
        pthread_t thread;
        return pthread_create(&thread, &attr, note_start, started);
    });
    pthread_attr_destroy(&attr);
}
BENCHMARK(pthread_create_detached_start)->UseRealTime();

void kova_thrd_create_start(benchmark::State &state)
{
    measure_start(state, [](std::atomic<bool> *started) { return kova_thrd_create(note_start, started, nullptr); });
}
BENCHMARK(kova_thrd_create_start)->UseRealTime();

// One call per iteration, each library reader beside the system call it stands in for.
// kova_thread_get_knl_tid runs in a thread without a record: the cache, not the record, answers.
template <auto Call> void each_call(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(Call());
}
BENCHMARK_TEMPLATE(each_call, getpid);
BENCHMARK_TEMPLATE(each_call, kova_thrd_getpid_accl);
BENCHMARK_TEMPLATE(each_call, pthread_self);
BENCHMARK_TEMPLATE(each_call, kova_thrd_gettid_accl);
BENCHMARK_TEMPLATE(each_call, gettid);
BENCHMARK_TEMPLATE(each_call, kova_thread_get_knl_tid);
BENCHMARK_TEMPLATE(each_call, sched_getcpu);

void smp_processor_id_with_core_set(benchmark::State &state)
{
    kova_thrd_core_set(0);
    for (auto _ : state) benchmark::DoNotOptimize(smp_processor_id());
    kova_thrd_core_set(-1);
}
BENCHMARK(smp_processor_id_with_core_set);

// 1000 parked library threads; the lookups search for the last one started.
class LiveThreads : public benchmark::Fixture {
public:
    static constexpr int kThreads = 1000;

    void SetUp(const benchmark::State &) override
    {
        release_ = std::make_unique<std::latch>(1);
        tids_.assign(kThreads, 0);
        std::latch started(kThreads);
        Park park{&started, release_.get(), nullptr, &parked_};
        std::vector<Park> parks(kThreads, park);
        pthread_attr_t attr;
        kova_thrd_attr_init(&attr);
        kova_thrd_setstacksize(&attr, std::max<std::size_t>(PTHREAD_STACK_MIN, 0x10000));
        for (int i = 0; i < kThreads; ++i) {
            parks[i].tid = &tids_[i];
            parked_.fetch_add(1);
            kova_thrd_create_attr(run, &parks[i], nullptr, &attr);
        }
        kova_thrd_attr_destroy(&attr);
        started.wait();
    }

    void TearDown(const benchmark::State &) override
    {
        release_->count_down();
        while (parked_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

protected:
    std::vector<int64_t> tids_;

private:
    struct Park {
        std::latch *started, *release;
        int64_t *tid;
        std::atomic<int> *parked;
    };
    static void *run(void *arg)
    {
        Park park = *static_cast<Park *>(arg);
        *park.tid = gettid();
        park.started->count_down();
        park.release->wait();
        park.parked->fetch_sub(1);
        return nullptr;
    }
    std::unique_ptr<std::latch> release_;
    std::atomic<int> parked_{0};
};

BENCHMARK_F(LiveThreads, kova_thrd_getthreadinfobytid_last)(benchmark::State &state)
{
    int64_t tid = tids_.back();
    for (auto _ : state) {
        kova_thread_s *record = kova_thrd_getthreadinfobytid(tid);
        benchmark::DoNotOptimize(record);
        kova_thrd_putthreadinfo(record);
    }
}

// Baseline: a registry kept as a hash map under a mutex.
BENCHMARK_F(LiveThreads, locked_hash_map_lookup_last)(benchmark::State &state)
{
    std::mutex lock;
    std::unordered_map<int64_t, int> by_tid;
    for (int i = 0; i < kThreads; ++i) by_tid.emplace(tids_[i], i);
    int64_t tid = tids_.back();
    for (auto _ : state) {
        std::lock_guard guard(lock);
        benchmark::DoNotOptimize(by_tid.find(tid));
    }
}

}  // namespace

BENCHMARK_MAIN();
