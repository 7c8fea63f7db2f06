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
// from a tail older than the head it reserves from.
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

// The indices are plain words in the public record; every access goes through this.
std::atomic_ref<std::uint32_t> at(std::uint32_t &index) { return std::atomic_ref<std::uint32_t>(index); }
std::uint32_t load(const std::uint32_t &index, std::memory_order order)
{
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t &>(index)).load(order);
}

// Waits until the earlier reservations of this side are published.
void wait_for_turn(const std::uint32_t &tail, std::uint32_t mine)
{
    // acquire: what the thread before us wrote into (or read out of) its slots must happen-before
    // our release of the tail, which publishes its slots together with ours.
    if (load(tail, std::memory_order_acquire) == mine) return;
    const std::uint32_t limit = wait_reads.load(std::memory_order_relaxed);
    for (std::uint32_t reads = 1; load(tail, std::memory_order_acquire) != mine; ++reads) {
        if (reads >= limit) {
            kova_yield();
            reads = 0;
        } else {
            kova::lock::cpu_relax();
        }
    }
}

// Reserves up to `want` slots (exactly `want` unless kBurst) of a shared side, whose room is
// counted against the other side's tail by `room`. Returns the count reserved (0 when none) and
// the first index in `head`.
template <bool kBurst, typename Room>
std::uint32_t reserve(kova_ring_side_s &side, std::uint32_t want, std::uint32_t &head, Room room)
{
    // acquire, pairing with the release of the compare-and-swap below: the thread that moved the
    // head to h had read the other side's tail at a value that already allowed h, so the tail we
    // read next is at least that new. Were it older, the room computed from the two would wrap
    // below zero into a huge count and let us reserve slots that are not ours.
    std::uint32_t h = load(side.head, std::memory_order_acquire);
    for (;;) {
        std::uint32_t n = want;
        const std::uint32_t available = room(h);
        if (n > available) {
            if (!kBurst || available == 0) return 0;
            n = available;
        }
        // release on success: hands the tail we read on to the next thread of this side that reads
        // the head (see the load above); acquire on failure: the reloaded head is read as above.
        // The slot accesses themselves are ordered by the tail acquire in room() and the tail
        // release after them, not by the head.
        if (at(side.head).compare_exchange_weak(h, h + n, std::memory_order_acq_rel, std::memory_order_acquire)) {
            head = h;
            return n;
        }
    }
}

template <bool kBurst>
std::uint32_t enqueue(kova_ring_s *ring, void *const *objects, std::uint32_t want)
{
    if (ring->prod.single == 1) return kova_ring_sp_enqueue_(ring, objects, want, kBurst);
    std::uint32_t head = 0;
    // acquire: pairs with the consumers' release of their tail, so their reads of the slots we
    // are about to overwrite are complete.
    const std::uint32_t n = reserve<kBurst>(ring->prod, want, head, [ring](std::uint32_t h) {
        return ring->prod.mask + load(ring->cons.tail, std::memory_order_acquire) - h;
    });
    if (n == 0) return 0;
    kova_ring_copy_(ring, head, const_cast<void **>(objects), n, 1);
    wait_for_turn(ring->prod.tail, head);
    // release: the slot writes become visible no later than the tail that lets consumers read them.
    at(ring->prod.tail).store(head + n, std::memory_order_release);
    return n;
}

template <bool kBurst>
std::uint32_t dequeue(kova_ring_s *ring, void **objects, std::uint32_t want)
{
    if (ring->cons.single == 2) return kova_ring_sc_dequeue_(ring, objects, want, kBurst);
    std::uint32_t head = 0;
    // acquire: pairs with the producers' release of their tail, so the slots hold what they wrote.
    const std::uint32_t n = reserve<kBurst>(ring->cons, want, head, [ring](std::uint32_t h) {
        return load(ring->prod.tail, std::memory_order_acquire) - h;
    });
    if (n == 0) return 0;
    kova_ring_copy_(ring, head, objects, n, 0);
    wait_for_turn(ring->cons.tail, head);
    // release: the slot reads are complete before producers may overwrite the slots.
    at(ring->cons.tail).store(head + n, std::memory_order_release);
    return n;
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
        at(side->head).store(index);
        at(side->tail).store(index);
    }
}

void set_wait_reads_for_test(std::uint32_t reads) { wait_reads.store(reads != 0 ? reads : kWaitReads); }

}  // namespace kova::queue

extern "C" {

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
    return enqueue<false>(ring, objects, n) == n ? 0 : kNoBuffers;
}

uint32_t kova_ring_enqueue_burst(kova_ring_s *ring, void *const *objects, uint32_t n)
{
    if (null_ring(ring, __func__) || objects == nullptr) return 0;
    return enqueue<true>(ring, objects, n);
}

int kova_ring_dequeue_bulk(kova_ring_s *ring, void **objects, uint32_t n)
{
    if (null_ring(ring, __func__) || objects == nullptr) return kNoEntries;
    return dequeue<false>(ring, objects, n) == n ? 0 : kNoEntries;
}

uint32_t kova_ring_dequeue_burst(kova_ring_s *ring, void **objects, uint32_t n)
{
    if (null_ring(ring, __func__) || objects == nullptr) return 0;
    return dequeue<true>(ring, objects, n);
}

int kova_ring_enqueue(kova_ring_s *ring, void *object)
{
    if (null_ring(ring, __func__)) return -1;
    return enqueue<false>(ring, &object, 1) == 1 ? 0 : kNoBuffers;
}

int kova_ring_dequeue(kova_ring_s *ring, void **object)
{
    if (null_ring(ring, __func__) || object == nullptr) return -1;
    return dequeue<false>(ring, object, 1) == 1 ? 0 : kNoEntries;
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
