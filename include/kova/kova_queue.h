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

typedef struct kova_ring_s kova_ring_s;

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

KOVA_EXTERN_C_END

#endif
