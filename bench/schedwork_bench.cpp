// The work scheduler against boost::asio::thread_pool and a minimal mutex + condition-variable
// pool running the same short work: throughput with 1, 4 and 64 submitting threads (add to
// handler start and return), and the latency from add to handler start (median and p99). The
// baselines get 8 threads, the scheduler's idle maximum. Goal: throughput at least the mutex
// pool's.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include "kova/kova_schedwork.h"

namespace {

constexpr int kBaselineThreads = 8;
constexpr std::size_t kRecordsPerSubmitter = 256;

std::uint64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void run_work(kova_sched_work_s *w);

// One unit of work, the same for every runner: note the start and mark the record free again.
struct Record {
    kova_sched_work_s work{};
    std::atomic<bool> busy{false};
    std::atomic<std::uint64_t> started_ns{0};
    Record() { kova_sched_init_work(&work, run_work, this); }
};

void run_record(Record *r)
{
    r->started_ns.store(now_ns(), std::memory_order_relaxed);
    r->busy.store(false, std::memory_order_release);
}

void wait_free(Record &r)
{
    while (r.busy.load(std::memory_order_acquire)) std::this_thread::yield();
}

class MutexPool {
public:
    explicit MutexPool(int threads)
    {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { loop(); });
    }
    ~MutexPool()
    {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        ready_.notify_all();
        for (auto &t : threads_) t.join();
    }
    void post(Record *r)
    {
        {
            std::lock_guard guard(lock_);
            queue_.push_back(r);
        }
        ready_.notify_one();
    }

private:
    void loop()
    {
        std::unique_lock guard(lock_);
        for (;;) {
            ready_.wait(guard, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Record *r = queue_.front();
            queue_.pop_front();
            guard.unlock();
            run_record(r);
            guard.lock();
        }
    }
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Record *> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

void run_work(kova_sched_work_s *w) { run_record(static_cast<Record *>(w->pData)); }

struct Kova {
    Kova() { sched_work_init(); }
    void post(Record *r) { kova_sched_add_work(&r->work); }
};

struct Asio {
    boost::asio::thread_pool pool{kBaselineThreads};
    void post(Record *r)
    {
        boost::asio::post(pool, [r] { run_record(r); });
    }
};

struct Mutex {
    MutexPool pool{kBaselineThreads};
    void post(Record *r) { pool.post(r); }
};

template <typename Runner>
Runner &runner()
{
    static Runner the_runner;
    return the_runner;
}

// Each submitting thread cycles through records of its own; a record is posted again only once
// its last run has started. Only works whose handler started before the timing ended count: a
// runner that queues quickly but starts slowly gains nothing from the works still queued.
template <typename Runner>
void throughput(benchmark::State &state)
{
    Runner &r = runner<Runner>();
    std::vector<Record> records(kRecordsPerSubmitter);
    std::size_t next = 0;
    for (auto _ : state) {
        Record &rec = records[next++ % records.size()];
        wait_free(rec);
        rec.busy.store(true, std::memory_order_relaxed);
        r.post(&rec);
    }
    std::uint64_t end = now_ns();
    std::int64_t late = 0;
    for (Record &rec : records) {
        wait_free(rec);
        late += rec.started_ns.load(std::memory_order_relaxed) > end;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) - late);
}

// One submitter; each iteration posts one work and waits for its handler to start.
template <typename Runner>
void latency(benchmark::State &state)
{
    Runner &r = runner<Runner>();
    Record rec;
    std::vector<double> samples;
    for (auto _ : state) {
        rec.busy.store(true, std::memory_order_relaxed);
        std::uint64_t posted = now_ns();
        r.post(&rec);
        wait_free(rec);
        samples.push_back(static_cast<double>(rec.started_ns.load(std::memory_order_relaxed) - posted));
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["p50_ns"] = samples[samples.size() / 2];
        state.counters["p99_ns"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    }
}

#define WORK_BENCHMARKS(Runner)                                                                      \
    BENCHMARK_TEMPLATE(throughput, Runner)->Threads(1)->Threads(4)->Threads(64)->UseRealTime();      \
    BENCHMARK_TEMPLATE(latency, Runner)->UseRealTime();

WORK_BENCHMARKS(Kova)
WORK_BENCHMARKS(Mutex)
WORK_BENCHMARKS(Asio)

}  // namespace

BENCHMARK_MAIN();
