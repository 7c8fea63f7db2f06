/*
 * A fixed-size, lock-free FIFO ring of pointer-sized objects for handing work between threads.
 *
 * A ring of `count` slots (a power of two, at most 2^27) holds at most count - 1 objects. Each
 * side is single-threaded or shared, chosen at creation:
 *   flags 0    multiple producers, multiple consumers
 *   flags 1    single producer (bit 0)
 *   flags 2    single consumer (bit 1)
 *   flags 3, 4 single producer and single consumer
 * On a single side the caller guarantees that one thread at a time enqueues (or dequeues); the
 * other side may still be shared. Shared sides reserve slots with a compare-and-swap on a head
 * index and publish them in reservation order through a tail index: a thread pre-empted between
 * the two holds back later threads of its side until it resumes. No locks, no system calls and
 * no allocation on the enqueue and dequeue paths.
 *
 * Objects enqueued by one thread are dequeued in the order it enqueued them, and whatever a
 * producer wrote before enqueuing an object is visible to the consumer that dequeues it.
 */
#ifndef KOVA_KOVA_QUEUE_H
#define KOVA_KOVA_QUEUE_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/* The record is public so that the single-sided paths below can be inlined into callers; its
 * fields belong to the ring: read or change them only through the functions. The indices are
 * free-running (the slot of index i is i & mask) and are accessed only atomically. */
typedef struct kova_ring_side_s {
    uint32_t single; /* producer: 1 when single; consumer: 2 when single */
    uint32_t size;
    uint32_t mask;
    uint32_t head; /* reservations */
    uint32_t tail; /* publications */
} __attribute__((aligned(128))) kova_ring_side_s;

/* One heap block: this header (each side on a 128-byte line of its own, so that producers and
 * consumers do not contend for a cache line), then the slots. */
typedef struct kova_ring_s {
    uint32_t flags __attribute__((aligned(128)));
    kova_ring_side_s prod;
    kova_ring_side_s cons;
} kova_ring_s;

/* A ring of `count` slots, or null: a count that is 0, not a power of two or above 0x0FFFFFFF is
 * refused with "kova_ring_create:uiCount must be a power of 2 or great than MAX"; an allocation
 * failure gives null silently. */
KOVA_API kova_ring_s *kova_ring_create(uint32_t count, int32_t flags);
/* Frees *ring (if not null) and sets *ring to null. No thread may still use the ring. */
KOVA_API void kova_ring_delete(kova_ring_s **ring);

/* All n objects or none: 0, or -105 (-ENOBUFS) when fewer than n slots are free. The bulk and
 * burst forms move nothing for a null ring ("Kova ring id is NULL.") or a null array. */
KOVA_API int kova_ring_enqueue_bulk(kova_ring_s *ring, void *const *objects, uint32_t n);
/* As many of the n objects as there are free slots; returns how many were added. */
KOVA_API uint32_t kova_ring_enqueue_burst(kova_ring_s *ring, void *const *objects, uint32_t n);
/* All n objects or none: 0, or -2 (-ENOENT) when fewer than n are present. */
KOVA_API int kova_ring_dequeue_bulk(kova_ring_s *ring, void **objects, uint32_t n);
/* Up to n objects; returns how many were taken. */
KOVA_API uint32_t kova_ring_dequeue_burst(kova_ring_s *ring, void **objects, uint32_t n);

/* One object: 0; -105 when full (enqueue) or -2 when empty (dequeue); -1 for a null ring
 * ("Kova ring id is NULL.") or a null output. */
KOVA_API int kova_ring_enqueue(kova_ring_s *ring, void *object);
KOVA_API int kova_ring_dequeue(kova_ring_s *ring, void **object);

/* Snapshots from the two tails, exact only while the ring is idle; 0xFFFFFFFF (-1) for a null
 * ring. full/empty are 1 or 0; size is the slot count, not the capacity. */
KOVA_API int kova_ring_full(const kova_ring_s *ring);
KOVA_API int kova_ring_empty(const kova_ring_s *ring);
KOVA_API uint32_t kova_ring_count(const kova_ring_s *ring);
KOVA_API uint32_t kova_ring_size(const kova_ring_s *ring);
KOVA_API uint32_t kova_ring_free_count(const kova_ring_s *ring);

/* The single-sided paths, shared by the library's functions and the inline forms below. A single
 * side has one thread at a time, so its head needs no compare-and-swap and its tail no wait. */
static __inline__ void **kova_ring_slots_(kova_ring_s *ring) { return (void **)(ring + 1); }

/* Copies n objects between `objects` and the slots from index `from` on, split where the slot
 * array ends; `in` selects the direction. */
static __inline__ void kova_ring_copy_(kova_ring_s *ring, uint32_t from, void **objects, uint32_t n, int in)
{
    void **slots = kova_ring_slots_(ring);
    uint32_t first = from & ring->prod.mask, run = ring->prod.size - first, i;
    if (run > n) run = n;
    for (i = 0; i < run; ++i) {
        if (in) slots[first + i] = objects[i];
        else objects[i] = slots[first + i];
    }
    for (; i < n; ++i) {
        if (in) slots[i - run] = objects[i];
        else objects[i] = slots[i - run];
    }
}

/* Up to n objects (exactly n unless burst) into a single-producer ring; returns how many. */
static __inline__ uint32_t kova_ring_sp_enqueue_(kova_ring_s *ring, void *const *objects, uint32_t n, int burst)
{
    /* relaxed: only this thread writes the producer head. */
    uint32_t head = __atomic_load_n(&ring->prod.head, __ATOMIC_RELAXED);
    /* acquire: pairs with the consumers' release of their tail, so their reads of the slots we
     * are about to overwrite are complete. */
    uint32_t room = ring->prod.mask + __atomic_load_n(&ring->cons.tail, __ATOMIC_ACQUIRE) - head;
    if (n > room) {
        if (!burst || room == 0) return 0;
        n = room;
    }
    /* relaxed: the head is for this thread only; the slots are published by the tail. */
    __atomic_store_n(&ring->prod.head, head + n, __ATOMIC_RELAXED);
    kova_ring_copy_(ring, head, (void **)objects, n, 1);
    /* release: the slot writes are visible no later than the tail that lets consumers read them. */
    __atomic_store_n(&ring->prod.tail, head + n, __ATOMIC_RELEASE);
    return n;
}

/* Up to n objects (exactly n unless burst) out of a single-consumer ring; returns how many. */
static __inline__ uint32_t kova_ring_sc_dequeue_(kova_ring_s *ring, void **objects, uint32_t n, int burst)
{
    /* relaxed: only this thread writes the consumer head. */
    uint32_t head = __atomic_load_n(&ring->cons.head, __ATOMIC_RELAXED);
    /* acquire: pairs with the producers' release of their tail, so the slots hold what they wrote. */
    uint32_t entries = __atomic_load_n(&ring->prod.tail, __ATOMIC_ACQUIRE) - head;
    if (n > entries) {
        if (!burst || entries == 0) return 0;
        n = entries;
    }
    /* relaxed: as for the producer head. */
    __atomic_store_n(&ring->cons.head, head + n, __ATOMIC_RELAXED);
    kova_ring_copy_(ring, head, objects, n, 0);
    /* release: the slot reads are complete before producers may overwrite the slots. */
    __atomic_store_n(&ring->cons.tail, head + n, __ATOMIC_RELEASE);
    return n;
}

#if defined(__GNUC__) && defined(__OPTIMIZE__) && !defined(KOVA_QUEUE_OUT_OF_LINE)
/* Inline forms for single sides; shared sides, null arguments and unoptimised builds reach the
 * exported functions (named here under other names so that they are not inlined into themselves).
 * gnu_inline emits no symbol: the ABI keeps the exported functions. */
KOVA_API int kova_ring_enqueue_ool_(kova_ring_s *ring, void *object) __asm__("kova_ring_enqueue");
KOVA_API int kova_ring_dequeue_ool_(kova_ring_s *ring, void **object) __asm__("kova_ring_dequeue");
KOVA_API int kova_ring_enqueue_bulk_ool_(kova_ring_s *ring, void *const *objects, uint32_t n) __asm__("kova_ring_enqueue_bulk");
KOVA_API int kova_ring_dequeue_bulk_ool_(kova_ring_s *ring, void **objects, uint32_t n) __asm__("kova_ring_dequeue_bulk");

extern __inline__ __attribute__((__gnu_inline__, __always_inline__)) int kova_ring_enqueue(kova_ring_s *ring, void *object)
{
    if (ring == NULL || ring->prod.single != 1) return kova_ring_enqueue_ool_(ring, object);
    return kova_ring_sp_enqueue_(ring, &object, 1, 0) == 1 ? 0 : -105;
}

extern __inline__ __attribute__((__gnu_inline__, __always_inline__)) int kova_ring_dequeue(kova_ring_s *ring, void **object)
{
    if (ring == NULL || object == NULL || ring->cons.single != 2) return kova_ring_dequeue_ool_(ring, object);
    return kova_ring_sc_dequeue_(ring, object, 1, 0) == 1 ? 0 : -2;
}

extern __inline__ __attribute__((__gnu_inline__, __always_inline__)) int kova_ring_enqueue_bulk(kova_ring_s *ring, void *const *objects, uint32_t n)
{
    if (ring == NULL || objects == NULL || ring->prod.single != 1) return kova_ring_enqueue_bulk_ool_(ring, objects, n);
    return kova_ring_sp_enqueue_(ring, objects, n, 0) == n ? 0 : -105;
}

extern __inline__ __attribute__((__gnu_inline__, __always_inline__)) int kova_ring_dequeue_bulk(kova_ring_s *ring, void **objects, uint32_t n)
{
    if (ring == NULL || objects == NULL || ring->cons.single != 2) return kova_ring_dequeue_bulk_ool_(ring, objects, n);
    return kova_ring_sc_dequeue_(ring, objects, n, 0) == n ? 0 : -2;
}
#endif

KOVA_EXTERN_C_END

#endif
