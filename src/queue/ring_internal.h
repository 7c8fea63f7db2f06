// The ring record and the seams its tests use.
#pragma once

#include <atomic>
#include <cstdint>

// One side of the ring, on a 128-byte line of its own so that producers and consumers do not
// contend for a cache line.
struct alignas(128) kova_ring_side_s {
    std::uint32_t single;  // producer: 1 when single; consumer: 2 when single
    std::uint32_t size;
    std::uint32_t mask;
    // Free-running: the slot of index i is i & mask, differences are taken modulo 2^32.
    std::atomic<std::uint32_t> head;  // reservations
    std::atomic<std::uint32_t> tail;  // publications
};

// Header of one heap block; the slots follow it, 128-byte aligned.
struct kova_ring_s {
    alignas(128) std::uint32_t flags;
    kova_ring_side_s prod;
    kova_ring_side_s cons;

    void **slots() { return reinterpret_cast<void **>(this + 1); }
};

static_assert(sizeof(kova_ring_s) % 128 == 0);

namespace kova::queue {

// Sets all four indices of an empty, idle ring to `index`, to run it across the 2^32 wrap.
void set_indices_for_test(kova_ring_s *ring, std::uint32_t index);

// How many fruitless reads of the tail a thread waiting for its turn to publish makes before it
// yields (0x8000000); tests under sanitizers and emulators lower it. 0 restores the default.
void set_wait_reads_for_test(std::uint32_t reads);

}  // namespace kova::queue
