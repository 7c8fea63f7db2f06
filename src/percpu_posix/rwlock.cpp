#include <atomic>
#include <climits>
#include <cstdint>

#include "kova/kova_lock.h"
#include "kova/kova_sched.h"
#include "lock/cpu_relax.h"

namespace {

constexpr int kAttemptsPerBurst = 10;
constexpr std::int64_t kMayblockWriter = INT64_MIN;

using Word = std::atomic_ref<std::int64_t>;

bool try_write_mayblock(Word word)
{
    if (word.load(std::memory_order_acquire) != 0) return false;
    std::int64_t expected = 0;
    // Acquire on success, not relaxed: a relaxed exchange would let the critical section's own
    // stores be seen before the word on a weakly ordered processor.
    return word.compare_exchange_strong(expected, kMayblockWriter, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

// Bursts of ten attempts with a 1 us sleep between them, so that a descheduled holder can run.
template <typename Attempt>
void acquire_mayblock(Attempt attempt)
{
    for (int i = 0; i < kAttemptsPerBurst; ++i)
        if (attempt()) return;
    for (;;) {
        kova_usleep(1);
        for (int i = 0; i < kAttemptsPerBurst; ++i)
            if (attempt()) return;
    }
}

}  // namespace

extern "C" void kova_rwlock_read_lock(int64_t *lock)
{
    Word word(*lock);
    std::int64_t value = word.load(std::memory_order_relaxed);
    for (;;) {
        if (value >= 0 && word.compare_exchange_weak(value, value + 1)) return;
        if (value < 0) {
            kova::lock::cpu_relax();
            value = word.load(std::memory_order_relaxed);
        }
    }
}

extern "C" int kova_rwlock_try_read_lock(int64_t *lock)
{
    Word word(*lock);
    std::int64_t value = word.load();
    while (value >= 0)
        if (word.compare_exchange_weak(value, value + 1)) return 1;
    return 0;
}

extern "C" void kova_rwlock_write_lock(int64_t *lock)
{
    Word word(*lock);
    for (;;) {
        std::int64_t expected = 0;
        if (word.load(std::memory_order_relaxed) == 0 && word.compare_exchange_weak(expected, -1)) return;
        kova::lock::cpu_relax();
    }
}

extern "C" void kova_rwlock_read_lock_mayblock(int64_t *lock)
{
    acquire_mayblock([lock] { return kova_rwlock_try_read_lock(lock) == 1; });
}

extern "C" void kova_rwlock_write_lock_mayblock(int64_t *lock)
{
    acquire_mayblock([lock] { return try_write_mayblock(Word(*lock)); });
}

extern "C" void kova_rwlock_read_unlock(int64_t *lock) { Word(*lock).fetch_sub(1, std::memory_order_release); }

extern "C" void kova_rwlock_write_unlock(int64_t *lock) { Word(*lock).store(0, std::memory_order_release); }
