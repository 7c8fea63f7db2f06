// The library's locks against the primitives they stand in for, same work side by side:
//   spinlock        vs pthread_spin_lock
//   ticket lock     vs a classic ticket spinlock (below) and pthread_mutex_lock
//   word rwlock     vs pthread_rwlock_rdlock (read side)
// Every lock runs uncontended and with two threads on one lock, in threads that carry a thread
// record and in threads that do not: the ticket lock finds its owner id in either.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include <benchmark/benchmark.h>

#include "kova/kova_lock.h"
#include "kova/kova_thrd.h"
#include "lock/cpu_relax.h"

namespace {

// The classic ticket spinlock, as Concurrency Kit and the Linux kernel shape it: take a ticket
// with one fetch-and-add, spin until it is served; only the holder writes `serving`, so release
// is a plain store.
struct ClassicTicket {
    std::atomic<std::uint32_t> next{0}, serving{0};
    void acquire()
    {
        std::uint32_t mine = next.fetch_add(1, std::memory_order_relaxed);
        while (serving.load(std::memory_order_acquire) != mine) kova::lock::cpu_relax();
    }
    void release() { serving.store(serving.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
};

struct KovaTicket {
    kova_tspinlock_s lock;
    KovaTicket() { kova_tspinlock_init(&lock); }
    void acquire() { kova_tspinlock_lock(&lock); }
    void release() { kova_tspinlock_unlock(&lock); }
};

struct PosixMutex {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    void acquire() { pthread_mutex_lock(&lock); }
    void release() { pthread_mutex_unlock(&lock); }
};

struct KovaSpin {
    kova_spinlock_s lock = KOVA_SPINLOCK_INITIALIZER;
    void acquire() { kova_spinlock_lock(&lock); }
    void release() { kova_spinlock_unlock(&lock); }
};

struct PosixSpin {
    pthread_spinlock_t lock;
    PosixSpin() { pthread_spin_init(&lock, PTHREAD_PROCESS_PRIVATE); }
    void acquire() { pthread_spin_lock(&lock); }
    void release() { pthread_spin_unlock(&lock); }
};

// The read locks let both threads in at once, so they only read the counter.
struct KovaRwRead {
    int64_t word = 0;
    void acquire() { kova_rwlock_read_lock(&word); }
    void release() { kova_rwlock_read_unlock(&word); }
};

struct PosixRwRead {
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    void acquire() { pthread_rwlock_rdlock(&lock); }
    void release() { pthread_rwlock_unlock(&lock); }
};

// These locks serve multi-threaded processes. The C library gives a process that never started a
// thread a mutex without atomic instructions, so one thread is started before anything is
// measured: the baseline is the mutex the library's users get.
[[maybe_unused]] const bool multi_threaded = (std::thread([] {}).join(), true);

// One lock per type, shared by the threads of a contended run; the counter is what it guards.
template <typename Lock>
struct Shared {
    static inline Lock lock;
    static inline uint64_t counter = 0;
};

enum Record { kWithRecord, kWithoutRecord };

// A data-plane thread adopts a record; a foreign thread (the benchmark's own) has none.
struct ThreadKind {
    explicit ThreadKind(Record record) : adopted(record == kWithRecord && kova_thrd_setcurthreadinfo() == 0) {}
    ~ThreadKind()
    {
        if (adopted) kova_thrd_clearcurthreadinfo();
    }
    bool adopted;
};

template <typename Lock, Record record>
void lock_unlock(benchmark::State &state)
{
    ThreadKind kind(record);
    for (auto _ : state) {
        Shared<Lock>::lock.acquire();
        benchmark::DoNotOptimize(++Shared<Lock>::counter);
        Shared<Lock>::lock.release();
    }
}

template <typename Lock, Record record>
void read_lock_unlock(benchmark::State &state)
{
    ThreadKind kind(record);
    for (auto _ : state) {
        Shared<Lock>::lock.acquire();
        benchmark::DoNotOptimize(Shared<Lock>::counter);
        Shared<Lock>::lock.release();
    }
}

#define LOCK_BENCH(fn, Lock)                                                             \
    BENCHMARK(fn<Lock, kWithRecord>)->Threads(1)->Threads(2)->UseRealTime();             \
    BENCHMARK(fn<Lock, kWithoutRecord>)->Threads(1)->Threads(2)->UseRealTime()

LOCK_BENCH(lock_unlock, PosixMutex);
LOCK_BENCH(lock_unlock, ClassicTicket);
LOCK_BENCH(lock_unlock, KovaTicket);
LOCK_BENCH(lock_unlock, PosixSpin);
LOCK_BENCH(lock_unlock, KovaSpin);
LOCK_BENCH(read_lock_unlock, PosixRwRead);
LOCK_BENCH(read_lock_unlock, KovaRwRead);

}  // namespace

BENCHMARK_MAIN();
