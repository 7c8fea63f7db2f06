// The ring's memory ordering, for the weak model of 64-bit Arm (x86-64 gives it for free):
//
//   producer                                 consumer
//   h = prod.head            (acquire)       h = cons.head            (acquire)
//   t = cons.tail            (acquire) <-.   t = prod.tail            (acquire) <-.
//   CAS prod.head h -> h+n   (acq_rel)   |   CAS cons.head h -> h+n   (acq_rel)   |
//   write slots [h, h+n)                 |   read slots [h, h+n)                  |
//   wait prod.tail == h      (acquire)   |   wait cons.tail == h      (acquire)   |
//   prod.tail = h+n          (release) --+-> cons.tail = h+n          (release) --'
//
// A consumer that sees prod.tail >= i reads slot i after the producer wrote it; a producer that
// sees cons.tail past i overwrites slot i after the consumer read it. The waits carry the chain
// from one thread of a side to the next, since a release store by one thread does not publish
// what another thread of the same side wrote before it. The head's acquire/release pairs carry
// the other side's tail from one reserving thread to the next, so no thread computes its room
// from a tail older than the head it reserves from. A single side has one thread at a time: its
// head is read and written relaxed, with a plain store in place of the compare-and-swap, and it
// never waits. The paths themselves are in kova_queue.h, so that callers inline them.
#define KOVA_QUEUE_OUT_OF_LINE  // the definitions below are the exported ones
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "init/kova_log.h"
#include "kova/kova_queue.h"
#include "kova/kova_sched.h"
#include "lock/cpu_relax.h"
#include "queue/ring_internal.h"

KOVA_LOG_SOURCE("queue/kova_ring")

namespace {

constexpr std::uint32_t kMaxCount = 0x0FFFFFFF;
constexpr std::uint32_t kWaitReads = 0x8000000;
constexpr int kNoBuffers = -105;
constexpr int kNoEntries = -2;

std::atomic<std::uint32_t> wait_reads{kWaitReads};

// The indices are plain words in the public record; every access is atomic.
std::uint32_t load(const std::uint32_t &index, std::memory_order order)
{
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t &>(index)).load(order);
}

bool null_ring(const kova_ring_s *ring, const char *function)
{
    if (ring != nullptr) return false;
    KOVA_LOG_AS(function, kova::log::kError, "Kova ring id is NULL.");
    return true;
}

// The status functions read the tails without ordering: they are snapshots.
std::uint32_t tail_of(const kova_ring_side_s &side) { return load(side.tail, std::memory_order_relaxed); }

std::uint32_t free_slots(const kova_ring_s *ring) { return (tail_of(ring->cons) - 1 - tail_of(ring->prod)) & ring->prod.mask; }

}  // namespace

namespace kova::queue {

void set_indices_for_test(kova_ring_s *ring, std::uint32_t index)
{
    for (kova_ring_side_s *side : {&ring->prod, &ring->cons}) {
        std::atomic_ref<std::uint32_t>(side->head).store(index);
        std::atomic_ref<std::uint32_t>(side->tail).store(index);
    }
}

void set_wait_reads_for_test(std::uint32_t reads) { wait_reads.store(reads != 0 ? reads : kWaitReads); }

}  // namespace kova::queue

extern "C" {

void kova_ring_wait_turn_(const uint32_t *tail, uint32_t mine)
{
    const std::uint32_t limit = wait_reads.load(std::memory_order_relaxed);
    // acquire: as in kova_ring_publish_, whose fast path read the tail once already.
    for (std::uint32_t reads = 1; load(*tail, std::memory_order_acquire) != mine; ++reads) {
        if (reads >= limit) {
            kova_yield();
            reads = 0;
        } else {
            kova::lock::cpu_relax();
        }
    }
}

kova_ring_s *kova_ring_create(uint32_t count, int32_t flags)
{
    if (count == 0 || (count & (count - 1)) != 0 || count > kMaxCount) {
        KOVA_LOG(kova::log::kError, "kova_ring_create:uiCount must be a power of 2 or great than MAX");
        return nullptr;
    }
    if (flags == 4) flags = 3;
    const std::size_t bytes = sizeof(kova_ring_s) + std::size_t{count} * sizeof(void *);
    void *block = std::aligned_alloc(alignof(kova_ring_s), (bytes + 127) & ~std::size_t{127});
    if (block == nullptr) return nullptr;
    auto *ring = new (block) kova_ring_s{};
    ring->flags = static_cast<std::uint32_t>(flags);
    ring->prod.single = static_cast<std::uint32_t>(flags) & 1;
    ring->cons.single = static_cast<std::uint32_t>(flags) & 2;
    for (kova_ring_side_s *side : {&ring->prod, &ring->cons}) {
        side->size = count;
        side->mask = count - 1;
    }
    return ring;
}

void kova_ring_delete(kova_ring_s **ring)
{
    if (ring == nullptr || *ring == nullptr) return;
    (*ring)->~kova_ring_s();
    std::free(*ring);
    *ring = nullptr;
}

// The bulk and burst forms require a valid ring and array; a null one moves nothing.
int kova_ring_enqueue_bulk(kova_ring_s *ring, void *const *objects, uint32_t n)
{
    if (null_ring(ring, __func__) || objects == nullptr) return kNoBuffers;
    return kova_ring_put_(ring, objects, n, 0) == n ? 0 : kNoBuffers;
}

uint32_t kova_ring_enqueue_burst(kova_ring_s *ring, void *const *objects, uint32_t n)
{
    if (null_ring(ring, __func__) || objects == nullptr) return 0;
    return kova_ring_put_(ring, objects, n, 1);
}

int kova_ring_dequeue_bulk(kova_ring_s *ring, void **objects, uint32_t n)
{
    if (null_ring(ring, __func__) || objects == nullptr) return kNoEntries;
    return kova_ring_get_(ring, objects, n, 0) == n ? 0 : kNoEntries;
}

uint32_t kova_ring_dequeue_burst(kova_ring_s *ring, void **objects, uint32_t n)
{
    if (null_ring(ring, __func__) || objects == nullptr) return 0;
    return kova_ring_get_(ring, objects, n, 1);
}

int kova_ring_enqueue(kova_ring_s *ring, void *object)
{
    if (null_ring(ring, __func__)) return -1;
    return kova_ring_put_(ring, &object, 1, 0) == 1 ? 0 : kNoBuffers;
}

int kova_ring_dequeue(kova_ring_s *ring, void **object)
{
    if (null_ring(ring, __func__) || object == nullptr) return -1;
    return kova_ring_get_(ring, object, 1, 0) == 1 ? 0 : kNoEntries;
}

int kova_ring_full(const kova_ring_s *ring)
{
    if (null_ring(ring, __func__)) return -1;
    return free_slots(ring) == 0;
}

int kova_ring_empty(const kova_ring_s *ring)
{
    if (null_ring(ring, __func__)) return -1;
    return tail_of(ring->cons) == tail_of(ring->prod);
}

uint32_t kova_ring_count(const kova_ring_s *ring)
{
    if (null_ring(ring, __func__)) return UINT32_MAX;
    return (tail_of(ring->prod) - tail_of(ring->cons)) & ring->prod.mask;
}

uint32_t kova_ring_size(const kova_ring_s *ring)
{
    if (null_ring(ring, __func__)) return UINT32_MAX;
    return ring->prod.mask + 1;
}

uint32_t kova_ring_free_count(const kova_ring_s *ring)
{
    if (null_ring(ring, __func__)) return UINT32_MAX;
    return free_slots(ring);
}

}  // extern "C"
