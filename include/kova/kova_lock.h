/**
 * @file
 * Locks over plain memory words for data-plane code that must not enter the kernel on its fast
 * path, and a thin wrapper over POSIX mutexes.
 *
 * - Spinlock: a test-and-set word. A waiter spins for about 100 us (reading the clock every ten
 *   attempts), then yields for 1 ms and starts again. Not fair, not recursive.
 * - Reader-writer lock: one signed 64-bit word; 0 free, > 0 the number of readers, < 0 a writer.
 *   Release by hand on the word: a reader atomically subtracts 1, a writer stores 0.
 * - Ticket spinlock: served in arrival order; records its holder and reports misuse (uninitialised
 *   lock, re-lock by the holder, unlock by another thread, double unlock, re-initialisation) at
 *   level 6, then carries on.
 * - Ticket reader-writer lock: readers and writers served in arrival order; a reader that arrives
 *   after a waiting writer waits behind it.
 *
 * Uncontended cost: one compare-and-swap (spinlock, rwlock) or one fetch-and-add and one load
 * (ticket lock). The `location` and `line` arguments name the caller in diagnostics; the macros
 * below supply them.
 */
#ifndef KOVA_KOVA_LOCK_H
#define KOVA_KOVA_LOCK_H

#include <pthread.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_SPINLOCK_MAGIC 0xDEAD4EADu /**< magic of an initialised spinlock record */
#define KOVA_TSPINLOCK_MAGIC 0xDEAD5EADu /**< magic of an initialised ticket spinlock */
#define KOVA_TSPINLOCK_DESTROYED 0x5EADDEADu /**< magic of a destroyed ticket spinlock */

/** Spinlock debug flag: a waiter that spun its full period logs a short backtrace of itself. */
#define KOVA_SPINLOCK_DEBUG_DUMP 0x1ull

/** A spinlock record. Only `lock` is used by the spinlock operations (a zeroed word is a free
 * lock); owners initialise the record with KOVA_SPINLOCK_INITIALIZER. */
typedef struct kova_spinlock_s {
    uint64_t lock;       /**< 0 free, 1 held */
    uint32_t magic;      /**< KOVA_SPINLOCK_MAGIC */
    uint32_t owner_cpu;  /**< all ones */
    uint64_t owner;      /**< all ones */
} kova_spinlock_s;

/** Initialiser of a free kova_spinlock_s. */
#define KOVA_SPINLOCK_INITIALIZER {0, KOVA_SPINLOCK_MAGIC, 0xFFFFFFFFu, ~0ull}

/** A ticket spinlock. */
typedef struct kova_tspinlock_s {
    uint32_t serving;  /**< the ticket being served */
    uint32_t next;     /**< the next ticket handed out */
    uint32_t magic;    /**< KOVA_TSPINLOCK_MAGIC while initialised */
    uint32_t other;    /**< all ones after init; shown in reports */
    uint64_t owner;    /**< kernel tid of the holder, all ones when free */
} kova_tspinlock_s;

/** A ticket reader-writer lock; each pair (released, writers_done) and (tickets, writer_tickets)
 * shares one 64-bit word, the first field in the low half. All counters wrap. */
typedef struct kova_trwlock_s {
    uint32_t released; /**< tickets released (readers and writers) */
    uint32_t writers_done; /**< writer tickets released */
    uint32_t tickets; /**< tickets handed out */
    uint32_t writer_tickets; /**< writer tickets handed out */
    uint64_t reserved; /**< zeroed, never read */
} kova_trwlock_s;

/** Takes the spinlock on a lock word, spinning and yielding until it is free; never fails. */
KOVA_API void do_kova_spinlock_lock(uint64_t *lock, const char *location, int line);
/** Tries once to take the spinlock on a lock word: 1 when acquired, 0 when held. */
KOVA_API int do_kova_spinlock_trylock(uint64_t *lock, const char *location, int line);
/** Releases the spinlock on a lock word (a release store of 0); whoever calls it. */
KOVA_API void do_kova_spinlock_unlock(uint64_t *lock, const char *location, int line);
/** ORs bits into the process-wide spinlock debug flags (KOVA_SPINLOCK_DEBUG_DUMP); returns 0. */
KOVA_API int kova_spinlock_set_flags(uint64_t bits);
/** Clears bits of the spinlock debug flags; returns 0. */
KOVA_API int kova_spinlock_clear_flags(uint64_t bits);
/** Stores the spinlock debug flags in *bits; returns 0. */
KOVA_API int kova_spinlock_get_flags(uint64_t *bits);

/** Takes the spinlock record `l`, naming the caller in diagnostics. */
#define kova_spinlock_lock(l) do_kova_spinlock_lock(&(l)->lock, __func__, __LINE__)
/** Tries once to take the spinlock record `l`. */
#define kova_spinlock_trylock(l) do_kova_spinlock_trylock(&(l)->lock, __func__, __LINE__)
/** Releases the spinlock record `l`. */
#define kova_spinlock_unlock(l) do_kova_spinlock_unlock(&(l)->lock, __func__, __LINE__)

/** Takes a read hold on a reader-writer lock word, spinning while a writer holds it. */
KOVA_API void kova_rwlock_read_lock(int64_t *word);
/** Tries to take a read hold: 1 when acquired, 0 while a writer holds the word. */
KOVA_API int kova_rwlock_try_read_lock(int64_t *word);
/** Takes the write hold on a reader-writer lock word, spinning until it is free (no readers, no
 * writer). Writers get no preference over arriving readers. */
KOVA_API void kova_rwlock_write_lock(int64_t *word);
/** Takes a read hold, sleeping 1 us between bursts of ten attempts instead of spinning. */
KOVA_API void kova_rwlock_read_lock_mayblock(int64_t *word);
/** Takes the write hold, sleeping 1 us between bursts of ten attempts instead of spinning. */
KOVA_API void kova_rwlock_write_lock_mayblock(int64_t *word);
/** Releases a read hold (atomic decrement). */
KOVA_API void kova_rwlock_read_unlock(int64_t *word);
/** Releases the write hold (atomic store of 0). */
KOVA_API void kova_rwlock_write_unlock(int64_t *word);

/** Initialises a ticket spinlock as free; re-initialising an initialised one is reported. */
KOVA_API void do_kova_tspinlock_init(kova_tspinlock_s *lock, const char *location, uint32_t line);
/** Takes a ticket and waits until it is served, then records the caller as holder. Re-locking by
 * the holder and an uninitialised lock are reported. */
KOVA_API void do_kova_tspinlock_lock(kova_tspinlock_s *lock, const char *location, uint32_t line);
/** Takes the ticket spinlock only when no ticket is served or pending: 1 when acquired, else 0. */
KOVA_API int do_kova_tspinlock_trylock(kova_tspinlock_s *lock, const char *location, uint32_t line);
/** Serves the next ticket. An unlock by another thread is reported and still releases; an unlock
 * of a free lock is reported and changes nothing. */
KOVA_API void do_kova_tspinlock_unlock(kova_tspinlock_s *lock, const char *location, uint32_t line);
/** Marks the ticket spinlock destroyed (KOVA_TSPINLOCK_DESTROYED); an uninitialised one is
 * reported. */
KOVA_API void do_kova_tspinlock_destroy(kova_tspinlock_s *lock, const char *location, uint32_t line);

/** Initialises the ticket spinlock `l`, naming the caller in diagnostics. */
#define kova_tspinlock_init(l) do_kova_tspinlock_init((l), __func__, __LINE__)
/** Takes the ticket spinlock `l` in arrival order. */
#define kova_tspinlock_lock(l) do_kova_tspinlock_lock((l), __func__, __LINE__)
/** Takes the ticket spinlock `l` only if it is free. */
#define kova_tspinlock_trylock(l) do_kova_tspinlock_trylock((l), __func__, __LINE__)
/** Releases the ticket spinlock `l`. */
#define kova_tspinlock_unlock(l) do_kova_tspinlock_unlock((l), __func__, __LINE__)
/** Marks the ticket spinlock `l` destroyed. */
#define kova_tspinlock_destroy(l) do_kova_tspinlock_destroy((l), __func__, __LINE__)

/** Initialises a ticket reader-writer lock as free (all counters zero). */
KOVA_API void do_kova_trwlock_init(kova_trwlock_s *lock);
/** Takes a read hold: waits until every writer that arrived earlier has released. */
KOVA_API void do_kova_trwlock_read_lock(kova_trwlock_s *lock);
/** Releases a read hold. */
KOVA_API void do_kova_trwlock_read_unlock(kova_trwlock_s *lock);
/** Takes a read hold only when no writer holds or waits: 1 when acquired, else 0. */
KOVA_API int do_kova_trwlock_read_trylock(kova_trwlock_s *lock);
/** Takes the write hold: waits until every reader and writer that arrived earlier has released. */
KOVA_API void do_kova_trwlock_write_lock(kova_trwlock_s *lock);
/** Releases the write hold. */
KOVA_API void do_kova_trwlock_write_unlock(kova_trwlock_s *lock);
/** Takes the write hold only when the lock is free and nobody waits: 1 when acquired, else 0. */
KOVA_API int do_kova_trwlock_write_trylock(kova_trwlock_s *lock);
/** Does nothing: the lock holds no resource. */
KOVA_API void do_kova_trwlock_destroy(kova_trwlock_s *lock);

/** Mutex type of kova_mtx_init: PTHREAD_MUTEX_NORMAL. */
#define KOVA_MTX_NORMAL 0
/** Mutex type of kova_mtx_init: PTHREAD_MUTEX_ERRORCHECK. */
#define KOVA_MTX_ERRORCHECK 1
/** Mutex type of kova_mtx_init: PTHREAD_MUTEX_RECURSIVE. */
#define KOVA_MTX_RECURSIVE 2

/** Initialises a mutex of the given type: pthread_mutex_init's result, or -1 for another type. */
KOVA_API int kova_mtx_init(pthread_mutex_t *mutex, int type);
/** Destroys a mutex: pthread_mutex_destroy's result. */
KOVA_API int kova_mtx_destroy(pthread_mutex_t *mutex);

KOVA_EXTERN_C_END

#endif
