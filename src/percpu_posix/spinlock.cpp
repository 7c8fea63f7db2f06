#include <atomic>
#include <cstdint>

#include "kova/kova_lock.h"
#include "kova/kova_sched.h"
#include "kova/kova_time.h"
#include "lock/cpu_relax.h"
#include "percpu_posix/waiter_dump.h"

namespace {

constexpr std::uint64_t kSpinPeriodNs = 99999;
constexpr unsigned kAttemptsPerClockRead = 10;
constexpr unsigned kDumpSkip = 2;  // the waiting loop's frame and the lock's

// Read by every waiter, set by diagnostics at any time: relaxed is all it needs.
std::atomic<std::uint64_t> debug_flags{0};

bool try_take(std::atomic_ref<std::uint64_t> word)
{
    std::uint64_t expected = 0;
    return word.compare_exchange_strong(expected, 1);
}

// Waiting attempts look first, so that a crowd of waiters does not keep stealing the line
// from the holder with failing compare-and-swaps.
bool try_take_waiting(std::atomic_ref<std::uint64_t> word)
{
    if (word.load(std::memory_order_relaxed) != 0) {
        kova::lock::cpu_relax();
        return false;
    }
    return try_take(word);
}

// Spins for about one spin period; true when the lock was taken.
bool spin_period(std::atomic_ref<std::uint64_t> word)
{
    std::uint64_t start = kova_time_getnanosec();
    unsigned attempts = 0;
    for (;;) {
        if (attempts >= kAttemptsPerClockRead) {
            if (kova_time_getnanosec() - start > kSpinPeriodNs) return false;
            attempts = 0;
        }
        if (try_take_waiting(word)) return true;
        ++attempts;
    }
}

// The waiting half of the lock, out of line, so that the lock's caller is a fixed number of
// frames above the dump.
[[gnu::noinline]] void wait_for(std::atomic_ref<std::uint64_t> word)
{
    // The nanosecond clock reads 0 until the time base is set up, and a waiter would then never
    // leave its spin to yield.
    kova_gettime_init();
    for (;;) {
        if (spin_period(word)) return;
        if (debug_flags.load(std::memory_order_relaxed) & KOVA_SPINLOCK_DEBUG_DUMP)
            kova::percpu::debug_dump_stack(kDumpSkip);
        kova_schedule();
        if (try_take(word)) return;
    }
}

}  // namespace

extern "C" void do_kova_spinlock_lock(uint64_t *lock, const char *, int)
{
    std::atomic_ref<std::uint64_t> word(*lock);
    if (try_take(word)) return;
    wait_for(word);
    asm volatile("" ::: "memory");  // a call, not a jump: this frame stays for the dump to skip
}

extern "C" int do_kova_spinlock_trylock(uint64_t *lock, const char *, int)
{
    return try_take(std::atomic_ref<std::uint64_t>(*lock)) ? 1 : 0;
}

extern "C" void do_kova_spinlock_unlock(uint64_t *lock, const char *, int)
{
    std::atomic_ref<std::uint64_t>(*lock).store(0, std::memory_order_release);
}

extern "C" int kova_spinlock_set_flags(uint64_t bits)
{
    debug_flags.fetch_or(bits, std::memory_order_relaxed);
    return 0;
}

extern "C" int kova_spinlock_clear_flags(uint64_t bits)
{
    debug_flags.fetch_and(~bits, std::memory_order_relaxed);
    return 0;
}

extern "C" int kova_spinlock_get_flags(uint64_t *bits)
{
    if (bits != nullptr) *bits = debug_flags.load(std::memory_order_relaxed);
    return 0;
}
