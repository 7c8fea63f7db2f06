// The library's locks against the POSIX primitives they stand in for: pthread_spin_lock for the
// spinlock, pthread_mutex_lock for the ticket lock, pthread_rwlock_rdlock for the word rwlock's
// read side. Each pair runs uncontended and with two threads on one lock.
#include <pthread.h>

#include <cstdint>

#include <benchmark/benchmark.h>

#include "kova/kova_lock.h"
#include "kova/kova_thrd.h"

namespace {

struct KovaSpin {
    kova_spinlock_s lock = KOVA_SPINLOCK_INITIALIZER;
    void acquire() { kova_spinlock_lock(&lock); }
    void release() { kova_spinlock_unlock(&lock); }
};

struct KovaTicket {
    kova_tspinlock_s lock;
    KovaTicket() { kova_tspinlock_init(&lock); }
    void acquire() { kova_tspinlock_lock(&lock); }
    void release() { kova_tspinlock_unlock(&lock); }
};

struct KovaRwRead {
    int64_t word = 0;
    void acquire() { kova_rwlock_read_lock(&word); }
    void release() { kova_rwlock_read_unlock(&word); }
};

struct PosixSpin {
    pthread_spinlock_t lock;
    PosixSpin() { pthread_spin_init(&lock, PTHREAD_PROCESS_PRIVATE); }
    void acquire() { pthread_spin_lock(&lock); }
    void release() { pthread_spin_unlock(&lock); }
};

struct PosixMutex {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    void acquire() { pthread_mutex_lock(&lock); }
    void release() { pthread_mutex_unlock(&lock); }
};

struct PosixRwRead {
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    void acquire() { pthread_rwlock_rdlock(&lock); }
    void release() { pthread_rwlock_unlock(&lock); }
};

// One lock per type, shared by the threads of a contended run; the counter is what it guards.
template <typename Lock>
struct Shared {
    static inline Lock lock;
    static inline uint64_t counter = 0;
};

// Data-plane threads carry a thread record, which is where the ticket lock finds its owner id
// (without one it costs a gettid system call on every lock and unlock).
struct AdoptedThread {
    AdoptedThread() { kova_thrd_setcurthreadinfo(); }
    ~AdoptedThread() { kova_thrd_clearcurthreadinfo(); }
};

template <typename Lock>
void lock_unlock(benchmark::State &state)
{
    AdoptedThread adopted;
    for (auto _ : state) {
        Shared<Lock>::lock.acquire();
        benchmark::DoNotOptimize(++Shared<Lock>::counter);
        Shared<Lock>::lock.release();
    }
}

// The read locks let both threads in at once, so their counter is only read.
template <typename Lock>
void read_lock_unlock(benchmark::State &state)
{
    for (auto _ : state) {
        Shared<Lock>::lock.acquire();
        benchmark::DoNotOptimize(Shared<Lock>::counter);
        Shared<Lock>::lock.release();
    }
}

BENCHMARK(lock_unlock<PosixSpin>)->Threads(1)->Threads(2);
BENCHMARK(lock_unlock<KovaSpin>)->Threads(1)->Threads(2);
BENCHMARK(lock_unlock<PosixMutex>)->Threads(1)->Threads(2);
BENCHMARK(lock_unlock<KovaTicket>)->Threads(1)->Threads(2);
BENCHMARK(read_lock_unlock<PosixRwRead>)->Threads(1)->Threads(2);
BENCHMARK(read_lock_unlock<KovaRwRead>)->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
