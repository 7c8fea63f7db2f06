#include <atomic>
#include <cstdint>

#include "init/kova_log.h"
#include "kova/kova_lock.h"
#include "kova/kova_thrd.h"
#include "lock/cpu_relax.h"
#include "thread/own_tid.h"

KOVA_LOG_SOURCE("lock/kova_ticketlock")

namespace {

constexpr std::uint64_t kNoOwner = ~0ull;

// Misuse is reported and then tolerated: the lock must keep working for the caller that got it
// wrong, the report is what finds the bug.
struct TicketLock {
    explicit TicketLock(kova_tspinlock_s *lock)
        : raw(lock), serving(lock->serving), next(lock->next), magic(lock->magic), owner(lock->owner)
    {
    }

    void report(const char *function, const char *word, const char *location, std::uint32_t line) const
    {
        std::uint64_t value = std::uint64_t{next.load(std::memory_order_relaxed)} << 32 |
                              serving.load(std::memory_order_relaxed);
        KOVA_LOG_AS(function, kova::log::kInfo, "%s in %s:%u lock:0x%lx magic:0x%x owner:%lu other:%u", word,
                    location != nullptr ? location : "", line, static_cast<unsigned long>(value),
                    magic.load(std::memory_order_relaxed),
                    static_cast<unsigned long>(owner.load(std::memory_order_relaxed)), raw->other);
    }

    void check_initialised(const char *function, const char *location, std::uint32_t line) const
    {
        if (magic.load(std::memory_order_relaxed) != KOVA_TSPINLOCK_MAGIC)
            report(function, "UnInited lock", location, line);
    }

    void check_before_acquire(const char *function, std::uint64_t self, const char *location,
                              std::uint32_t line) const
    {
        check_initialised(function, location, line);
        if (owner.load(std::memory_order_relaxed) == self) report(function, "AA lock", location, line);
    }

    kova_tspinlock_s *raw;
    std::atomic_ref<std::uint32_t> serving;
    std::atomic_ref<std::uint32_t> next;
    std::atomic_ref<std::uint32_t> magic;
    std::atomic_ref<std::uint64_t> owner;
};

// The owner is the caller's kernel tid (kova_thread_get_knl_tid), read from the thread's cache.
std::uint64_t current_tid() { return static_cast<std::uint64_t>(kova::thread::own_tid()); }

}  // namespace

extern "C" void do_kova_tspinlock_init(kova_tspinlock_s *lock, const char *location, uint32_t line)
{
    TicketLock ticket(lock);
    if (ticket.magic.load(std::memory_order_relaxed) == KOVA_TSPINLOCK_MAGIC)
        ticket.report(__func__, "ReInited lock", location, line);
    ticket.serving.store(0, std::memory_order_relaxed);
    ticket.next.store(0, std::memory_order_relaxed);
    lock->other = ~0u;
    ticket.owner.store(kNoOwner, std::memory_order_relaxed);
    ticket.magic.store(KOVA_TSPINLOCK_MAGIC);
}

extern "C" void do_kova_tspinlock_lock(kova_tspinlock_s *lock, const char *location, uint32_t line)
{
    TicketLock ticket(lock);
    std::uint64_t self = current_tid();
    ticket.check_before_acquire(__func__, self, location, line);
    std::uint32_t mine = ticket.next.fetch_add(1);
    // The sequentially consistent load that sees our turn also keeps the critical section after
    // it; no separate fence is needed.
    while (ticket.serving.load() != mine) kova::lock::cpu_relax();
    ticket.owner.store(self, std::memory_order_relaxed);
}

extern "C" int do_kova_tspinlock_trylock(kova_tspinlock_s *lock, const char *location, uint32_t line)
{
    TicketLock ticket(lock);
    std::uint64_t self = current_tid();
    ticket.check_before_acquire(__func__, self, location, line);
    for (;;) {
        std::uint32_t now = ticket.serving.load();
        std::uint32_t expected = ticket.next.load();
        if (now != expected) return 0;
        if (ticket.next.compare_exchange_strong(expected, expected + 1)) break;
    }
    ticket.owner.store(self, std::memory_order_relaxed);
    return 1;
}

extern "C" void do_kova_tspinlock_unlock(kova_tspinlock_s *lock, const char *location, uint32_t line)
{
    TicketLock ticket(lock);
    ticket.check_initialised(__func__, location, line);
    const bool holder = ticket.owner.load(std::memory_order_relaxed) == current_tid();
    if (!holder) ticket.report(__func__, "AB lock", location, line);
    ticket.owner.store(kNoOwner, std::memory_order_relaxed);
    // Advancing serving past next would leave every later ticket unserved until the counter
    // wrapped: the lock would be dead. So a release of a free lock is only reported. The holder
    // is the only thread that moves serving and does it with a plain release store, as a ticket
    // lock does; a release by another thread tests and advances in one compare-and-swap.
    std::uint32_t now = ticket.serving.load(std::memory_order_relaxed);
    do {
        if (now == ticket.next.load(std::memory_order_relaxed)) {
            ticket.report(__func__, "ReUnlock", "ticket_unlock", line);
            return;
        }
        if (holder) {
            ticket.serving.store(now + 1, std::memory_order_release);
            return;
        }
    } while (!ticket.serving.compare_exchange_weak(now, now + 1));
}

extern "C" void do_kova_tspinlock_destroy(kova_tspinlock_s *lock, const char *location, uint32_t line)
{
    TicketLock ticket(lock);
    ticket.check_initialised(__func__, location, line);
    ticket.magic.store(KOVA_TSPINLOCK_DESTROYED);
}
