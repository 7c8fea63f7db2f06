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

/** One side of a ring. The record is public so that the enqueue and dequeue paths below can be
 * inlined into callers; its fields belong to the ring: read or change them only through the
 * functions. The indices are free-running (the slot of index i is i & mask) and are accessed only
 * atomically. */
typedef struct kova_ring_side_s {
    uint32_t single; /**< producer: 1 when single; consumer: 2 when single */
    uint32_t size;   /**< slots of the ring (a power of two) */
    uint32_t mask;   /**< size - 1: index i uses slot i & mask */
    uint32_t head;   /**< reservations: the next index this side hands out */
    uint32_t tail;   /**< publications: indices below it are complete */
} __attribute__((aligned(128))) kova_ring_side_s;

/** One heap block: this header (each side on a 128-byte line of its own, so that producers and
 * consumers do not contend for a cache line), then the slots. */
typedef struct kova_ring_s {
    uint32_t flags __attribute__((aligned(128))); /**< creation flags (4 stored as 3): 1 single producer, 2 single consumer */
    kova_ring_side_s prod; /**< the producer side */
    kova_ring_side_s cons; /**< the consumer side */
} kova_ring_s;

/** A ring of `count` slots, or null: a count that is 0, not a power of two or above 0x0FFFFFFF is
 * refused with "kova_ring_create:uiCount must be a power of 2 or great than MAX"; an allocation
 * failure gives null silently. */
KOVA_API kova_ring_s *kova_ring_create(uint32_t count, int32_t flags);
/** Frees *ring (if not null) and sets *ring to null. No thread may still use the ring. */
KOVA_API void kova_ring_delete(kova_ring_s **ring);

/** All n objects or none: 0, or -105 (-ENOBUFS) when fewer than n slots are free. The bulk and
 * burst forms move nothing for a null ring ("Kova ring id is NULL.") or a null array. */
KOVA_API int kova_ring_enqueue_bulk(kova_ring_s *ring, void *const *objects, uint32_t n);
/** As many of the n objects as there are free slots; returns how many were added. */
KOVA_API uint32_t kova_ring_enqueue_burst(kova_ring_s *ring, void *const *objects, uint32_t n);
/** All n objects or none: 0, or -2 (-ENOENT) when fewer than n are present. */
KOVA_API int kova_ring_dequeue_bulk(kova_ring_s *ring, void **objects, uint32_t n);
/** Up to n objects; returns how many were taken. */
KOVA_API uint32_t kova_ring_dequeue_burst(kova_ring_s *ring, void **objects, uint32_t n);

/** One object: 0; -105 when full (enqueue) or -2 when empty (dequeue); -1 for a null ring
 * ("Kova ring id is NULL.") or a null output. */
KOVA_API int kova_ring_enqueue(kova_ring_s *ring, void *object);
KOVA_API int kova_ring_dequeue(kova_ring_s *ring, void **object);

/** Snapshots from the two tails, exact only while the ring is idle; 0xFFFFFFFF (-1) for a null
 * ring. full/empty are 1 or 0; size is the slot count, not the capacity. */
KOVA_API int kova_ring_full(const kova_ring_s *ring);
KOVA_API int kova_ring_empty(const kova_ring_s *ring);
KOVA_API uint32_t kova_ring_count(const kova_ring_s *ring);
KOVA_API uint32_t kova_ring_size(const kova_ring_s *ring);
KOVA_API uint32_t kova_ring_free_count(const kova_ring_s *ring);

/** Internal to the inline paths below: waits until the earlier reservations of a shared side
 * are published (its tail reaches `mine`), reading the tail 0x8000000 times between calls of
 * kova_yield. Not for callers. */
KOVA_API void kova_ring_wait_turn_(const uint32_t *tail, uint32_t mine);

/** The paths shared by the library's functions and the inline forms below. A ring's memory order
 * is described in queue/kova_ring.cpp; each access says here why its order suffices. C forbids an
 * inline function with external linkage to call a static one, so in C they are extern inline as
 * well: always inlined, no symbol emitted. */
#ifdef __cplusplus
#define KOVA_RING_PATH_ static __inline__
#else
#define KOVA_RING_PATH_ extern __inline__ __attribute__((__gnu_inline__, __always_inline__))
#endif

KOVA_RING_PATH_ void **kova_ring_slots_(kova_ring_s *ring) { return (void **)(ring + 1); }

/** Copies n objects four per step, then the remainder. Source and target never overlap. */
KOVA_RING_PATH_ void kova_ring_copy_run_(void **__restrict__ to, void *const *__restrict__ from, uint32_t n)
{
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        to[i] = from[i];
        to[i + 1] = from[i + 1];
        to[i + 2] = from[i + 2];
        to[i + 3] = from[i + 3];
    }
    for (; i < n; ++i) to[i] = from[i];
}

/** Copies n objects between `objects` and the slots from index `from` on, in one run or split
 * where the slot array ends; `in` selects the direction. The geometry is read from the calling
 * side's own copy: the other side's line is being written by the other side. */
KOVA_RING_PATH_ void kova_ring_copy_(kova_ring_s *ring, const kova_ring_side_s *side, uint32_t from, void **objects,
                                     uint32_t n, int in)
{
    void **slots = kova_ring_slots_(ring);
    uint32_t first = from & side->mask, run = side->size - first;
    if (n == 1) {
        if (in) slots[first] = objects[0];
        else objects[0] = slots[first];
        return;
    }
    if (run > n) run = n;
    if (in) {
        kova_ring_copy_run_(slots + first, objects, run);
        kova_ring_copy_run_(slots, objects + run, n - run);
    } else {
        kova_ring_copy_run_(objects, slots + first, run);
        kova_ring_copy_run_(objects + run, slots, n - run);
    }
}

/** Reserves up to n slots of a side (exactly n unless burst) and returns how many, the first index
 * in *head. The room is `bias` + the other side's tail - head: mask for producers, 0 for consumers. */
KOVA_RING_PATH_ uint32_t kova_ring_reserve_(kova_ring_side_s *side, int single, const uint32_t *other_tail,
                                            uint32_t bias, uint32_t n, int burst, uint32_t *head)
{
    uint32_t want = n, room, h;
    if (single) {
        /* relaxed: only this thread writes a single side's head. */
        h = __atomic_load_n(&side->head, __ATOMIC_RELAXED);
        /* acquire: pairs with the other side's release of its tail, so its slot accesses are
         * complete before ours. */
        room = bias + __atomic_load_n(other_tail, __ATOMIC_ACQUIRE) - h;
        if (n > room) {
            if (!burst || room == 0) return 0;
            n = room;
        }
        /* relaxed: the head is for this thread only; the slots are published by the tail. */
        __atomic_store_n(&side->head, h + n, __ATOMIC_RELAXED);
        *head = h;
        return n;
    }
    /* acquire, pairing with the release of the compare-and-swap below: the thread that moved the
     * head here had read the other tail at a value that allowed it, so the tail read next is at
     * least that new; an older one would make the room wrap below zero into a huge count. */
    h = __atomic_load_n(&side->head, __ATOMIC_ACQUIRE);
    do {
        n = want;
        /* acquire: as on a single side. */
        room = bias + __atomic_load_n(other_tail, __ATOMIC_ACQUIRE) - h;
        if (n > room) {
            if (!burst || room == 0) return 0;
            n = room;
        }
        /* release on success hands the tail read on to the next reserving thread (above); acquire
         * on failure reads the new head as above. */
    } while (!__atomic_compare_exchange_n(&side->head, &h, h + n, 1, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    *head = h;
    return n;
}

/** Publishes the n slots reserved from `head` on, after those reserved before them. */
KOVA_RING_PATH_ void kova_ring_publish_(kova_ring_side_s *side, int single, uint32_t head, uint32_t n)
{
    /* acquire: what the thread before us did to its slots must happen-before our release of the
     * tail, which publishes its slots together with ours. */
    if (!single && __atomic_load_n(&side->tail, __ATOMIC_ACQUIRE) != head)
        kova_ring_wait_turn_(&side->tail, head);
    /* release: our slot writes (reads) are complete no later than the tail that lets the other
     * side read (overwrite) them. */
    __atomic_store_n(&side->tail, head + n, __ATOMIC_RELEASE);
}

/** Moves up to n objects (exactly n unless burst) through one side; `in` for the producer side.
 * `single` is the side's discipline as a constant, so that each discipline gets its own code and
 * the flag is not read again between the reservation and the publication. */
KOVA_RING_PATH_ uint32_t kova_ring_move_(kova_ring_s *ring, int in, int single, void **objects, uint32_t n,
                                         int burst)
{
    kova_ring_side_s *side = in ? &ring->prod : &ring->cons;
    uint32_t head;
    n = in ? kova_ring_reserve_(side, single, &ring->cons.tail, side->mask, n, burst, &head)
           : kova_ring_reserve_(side, single, &ring->prod.tail, 0, n, burst, &head);
    if (n == 0) return 0;
    kova_ring_copy_(ring, side, head, objects, n, in);
    kova_ring_publish_(side, single, head, n);
    return n;
}

/** Up to n objects (exactly n unless burst) into the ring; returns how many. */
KOVA_RING_PATH_ uint32_t kova_ring_put_(kova_ring_s *ring, void *const *objects, uint32_t n, int burst)
{
    if (ring->prod.single) return kova_ring_move_(ring, 1, 1, (void **)objects, n, burst);
    return kova_ring_move_(ring, 1, 0, (void **)objects, n, burst);
}

/** Up to n objects (exactly n unless burst) out of the ring; returns how many. */
KOVA_RING_PATH_ uint32_t kova_ring_get_(kova_ring_s *ring, void **objects, uint32_t n, int burst)
{
    if (ring->cons.single) return kova_ring_move_(ring, 0, 1, objects, n, burst);
    return kova_ring_move_(ring, 0, 0, objects, n, burst);
}

#if defined(__GNUC__) && defined(__OPTIMIZE__) && !defined(KOVA_QUEUE_OUT_OF_LINE)
/** Inline forms; null arguments and unoptimised builds reach the exported functions (named here
 * under other names so that they are not inlined into themselves). gnu_inline emits no symbol:
 * the ABI keeps the exported functions. */
KOVA_API int kova_ring_enqueue_ool_(kova_ring_s *ring, void *object) __asm__("kova_ring_enqueue");
KOVA_API int kova_ring_dequeue_ool_(kova_ring_s *ring, void **object) __asm__("kova_ring_dequeue");
KOVA_API int kova_ring_enqueue_bulk_ool_(kova_ring_s *ring, void *const *objects, uint32_t n)
    __asm__("kova_ring_enqueue_bulk");
KOVA_API int kova_ring_dequeue_bulk_ool_(kova_ring_s *ring, void **objects, uint32_t n)
    __asm__("kova_ring_dequeue_bulk");
KOVA_API uint32_t kova_ring_enqueue_burst_ool_(kova_ring_s *ring, void *const *objects, uint32_t n)
    __asm__("kova_ring_enqueue_burst");
KOVA_API uint32_t kova_ring_dequeue_burst_ool_(kova_ring_s *ring, void **objects, uint32_t n)
    __asm__("kova_ring_dequeue_burst");

#define KOVA_RING_INLINE_ extern __inline__ __attribute__((__gnu_inline__, __always_inline__))

KOVA_RING_INLINE_ int kova_ring_enqueue(kova_ring_s *ring, void *object)
{
    if (ring == NULL) return kova_ring_enqueue_ool_(ring, object);
    return kova_ring_put_(ring, &object, 1, 0) == 1 ? 0 : -105;
}

KOVA_RING_INLINE_ int kova_ring_dequeue(kova_ring_s *ring, void **object)
{
    if (ring == NULL || object == NULL) return kova_ring_dequeue_ool_(ring, object);
    return kova_ring_get_(ring, object, 1, 0) == 1 ? 0 : -2;
}

KOVA_RING_INLINE_ int kova_ring_enqueue_bulk(kova_ring_s *ring, void *const *objects, uint32_t n)
{
    if (ring == NULL || objects == NULL) return kova_ring_enqueue_bulk_ool_(ring, objects, n);
    return kova_ring_put_(ring, objects, n, 0) == n ? 0 : -105;
}

KOVA_RING_INLINE_ int kova_ring_dequeue_bulk(kova_ring_s *ring, void **objects, uint32_t n)
{
    if (ring == NULL || objects == NULL) return kova_ring_dequeue_bulk_ool_(ring, objects, n);
    return kova_ring_get_(ring, objects, n, 0) == n ? 0 : -2;
}

KOVA_RING_INLINE_ uint32_t kova_ring_enqueue_burst(kova_ring_s *ring, void *const *objects, uint32_t n)
{
    if (ring == NULL || objects == NULL) return kova_ring_enqueue_burst_ool_(ring, objects, n);
    return kova_ring_put_(ring, objects, n, 1);
}

KOVA_RING_INLINE_ uint32_t kova_ring_dequeue_burst(kova_ring_s *ring, void **objects, uint32_t n)
{
    if (ring == NULL || objects == NULL) return kova_ring_dequeue_burst_ool_(ring, objects, n);
    return kova_ring_get_(ring, objects, n, 1);
}
#undef KOVA_RING_INLINE_
#endif
#undef KOVA_RING_PATH_

KOVA_EXTERN_C_END

#endif
