// The ring record and the seams its tests use.
#pragma once

#include <cstdint>

#include "kova/kova_queue.h"

static_assert(sizeof(kova_ring_s) % 128 == 0, "the slots start 128-byte aligned");

namespace kova::queue {

// Sets all four indices of an empty, idle ring to `index`, to run it across the 2^32 wrap.
void set_indices_for_test(kova_ring_s *ring, std::uint32_t index);

// How many fruitless reads of the tail a thread waiting for its turn to publish makes before it
// yields (0x8000000); tests under sanitizers and emulators lower it. 0 restores the default.
void set_wait_reads_for_test(std::uint32_t reads);

}  // namespace kova::queue
