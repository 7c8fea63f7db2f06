// The registry of thread records: KOVA_THRD_SLOTS slots, lock-free.
//
//   use count  0 free; 1 held by the owning thread; +1 for every lookup holding the record
//   state      allocated -> running -> (pool idle <-> pool busy) -> exited
//   record     attached on first use and reused by every later owner of the slot, never freed
//
// A slot is live (listable, findable) while its use count is non-zero and its state is running,
// pool idle or pool busy. A lookup raises the count before it reads the state, and the owner
// stores the state only after its record is filled in, so a live record is always complete.
// When every slot is taken a thread gets a record of its own outside the registry, freed when
// the thread gives it back. A thread gives its record back when it ends, however it ends
// (returning, pthread_exit, a foreign thread that never cleared its record): a thread-specific
// key's destructor does what the thread did not.
#pragma once

#include <cstdint>

#include "thread/thread_internal.h"

namespace kova::thread {

enum class ClaimFrom { kAnywhere, kRegistryOnly };

// A reset record holding fn and arg, with the owner's reference taken; null when none can be
// had (logged).
kova_thread_s *claim_record(kova_thread_fn fn, void *arg, ClaimFrom from);

// A reference to the slot's record when the slot is live; release with release_slot.
kova_thread_s *reference_slot(kova_thread_slot_s &slot);
std::uint32_t release_slot(kova_thread_slot_s &slot);

kova_thread_slot_s *slots();

// In a child of fork: the calling thread's record (or null) takes its new tid and pid, and the
// slots of every other thread, none of which exist in the child, are given up.
void forget_other_threads_after_fork(kova_thread_s *own, std::int64_t tid);

}  // namespace kova::thread
