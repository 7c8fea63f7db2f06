// The work scheduler's shared state and its units: the queue (queue.cpp), the workers
// (workers.cpp), the bounds (bounds.cpp), supervision (supervision.cpp).
//
// Worker counts live in one 64-bit word with the generation, so that a worker of an earlier
// generation (one that outlived a destruction, busy in a handler or slow to wake) can never touch
// the counts of the scheduler that replaced it: every change is a compare-and-swap that first
// checks the generation the worker was counted in.
//
//   bits  0..15  free   workers idle or about to be
//   bits 16..31  total  workers in existence; +1024 while a destruction runs
//   bits 32..63  generation, +1 at every destruction
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "kova/kova_lock.h"
#include "kova/kova_schedwork.h"

namespace kova::schedwork {

constexpr std::uint32_t kMaxThreads = KOVA_SCHED_WORK_MAX_THREADS;
constexpr std::uint32_t kDestroying = 1024;
constexpr std::uint32_t kDefaultMinFree = 4;
constexpr std::uint32_t kDefaultMaxFree = 8;
constexpr std::uint32_t kJiffiesPerSecond = 250;

struct Counts {
    std::uint32_t free;
    std::uint32_t total;
    std::uint32_t generation;

    static Counts unpack(std::uint64_t word)
    {
        return {static_cast<std::uint32_t>(word & 0xFFFF), static_cast<std::uint32_t>((word >> 16) & 0xFFFF),
                static_cast<std::uint32_t>(word >> 32)};
    }
    std::uint64_t pack() const
    {
        return static_cast<std::uint64_t>(generation) << 32 | static_cast<std::uint64_t>(total & 0xFFFF) << 16 |
               (free & 0xFFFF);
    }
};

struct Scheduler {
    pthread_mutex_t init_mutex = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<std::uint32_t> inited{0};
    std::atomic<std::uint32_t> running{0};
    kova_spinlock_s control_lock = KOVA_SPINLOCK_INITIALIZER;
    std::atomic<std::uint32_t> exiting{0};  // written under control_lock, read without it
    std::atomic<std::uint64_t> counts{0};
    std::atomic<std::uint64_t> startedWork{0};
    std::atomic<std::uint64_t> finishedWork{0};
    kova_spinlock_s queue_lock = KOVA_SPINLOCK_INITIALIZER;
    // The queue's head sits in a record of its own, so that a dump of the head (after a failed
    // link check) reads a record rather than whatever memory precedes it.
    kova_sched_work_s anchor{};
    sem_t semaphore{};
    // Who will look at the queue next, guarded by queue_lock (see queue.cpp): workers between
    // registering to sleep and returning from the semaphore, posts not yet taken by a waiter, and
    // workers polling the queue. Each worker keeps its own share exact.
    std::uint32_t sleepers = 0;
    std::uint32_t posts_pending = 0;
    std::uint32_t polling = 0;
    std::atomic<std::uint32_t> queued{0};  // written under queue_lock, polled without it
    std::atomic<std::uint32_t> idleWaitSeconds{10};
    std::atomic<std::uint32_t> minFreeThread{kDefaultMinFree};
    std::atomic<std::uint32_t> maxFreeThread{kDefaultMaxFree};
};

Scheduler &scheduler();

inline Counts counts_now() { return Counts::unpack(scheduler().counts.load(std::memory_order_acquire)); }

// Applies `change` to the counts while they are still of `generation`; false when the generation
// has moved on or `change` declines (returns nothing).
template <typename Change>
bool update_counts(std::uint32_t generation, Change change)
{
    std::atomic<std::uint64_t> &word = scheduler().counts;
    std::uint64_t current = word.load(std::memory_order_acquire);
    for (;;) {
        Counts now = Counts::unpack(current);
        if (now.generation != generation) return false;
        std::optional<Counts> next = change(now);
        if (!next) return false;
        if (word.compare_exchange_weak(current, next->pack(), std::memory_order_acq_rel, std::memory_order_acquire))
            return true;
    }
}

// Queue (under queue_lock): make it empty; take every queued work off without running it.
void reset_queue();
void drop_queued(const char *function);

// Stores the idle-worker bounds read from the configuration (nothing: the default of that bound).
void store_bounds(std::optional<std::uint32_t> min_free, std::optional<std::uint32_t> max_free);

// Supervision state set up by the first sched_work_init.
void init_supervision();

// How many works are queued now.
std::uint32_t queued_count();

// A worker's next work. Without one it polls the queue for a moment (when no other worker does)
// and then sleeps on the semaphore until a post or the idle time-out; then it returns null.
kova_sched_work_s *next_work();

// Posts the semaphore when queued works need a sleeping worker that nobody is waking yet; a
// worker that ends calls it, so that a wake-up it took or would have answered is not lost.
void wake_if_needed();

// One post that a waiting worker takes, needed or not (destruction wakes every idle worker).
void wake_one();

// Tests: the detector back to "not started".
void reset_detector_for_test();

}  // namespace kova::schedwork
