// Internals of the thread family that its other units (strategies, binding, the signal and LWP
// layers) and the tests may use. Not exported.
#pragma once

#include <cstdint>

#include "kova/kova_thrd.h"
#include "thread/own_tid.h"

// One registry slot. The use count and the state are plain words changed through
// std::atomic_ref: the use count only by compare-and-swap, the state by its owner's stores and
// the pool's idle -> busy compare-and-swap.
struct kova_thread_slot_s {
    std::uint32_t use_count;
    std::uint32_t state;
    kova_thread_s *record;
};

namespace kova::thread {

// Publishes `record` as the calling thread's own and records its tid, OS stack bounds and
// alternate signal stack. The counterpart, leave_thread, marks it exited, disables the signal
// stack, clears m_current_thread and gives the record back.
void enter_thread(kova_thread_s *record);
void leave_thread(kova_thread_s *record);

// Pieces of the above for callers that set up a thread themselves.
void record_os_stack(kova_thread_s *record);
void install_sig_stack(kova_thread_s *record);

// Starts `entry(record)` on a new detached thread (the attribute, a default one when null, is set
// detached). Returns 0; -1 after logging under `caller` when the attribute cannot be set
// detached; or pthread_create's error, which the caller reports in its own words.
int start_detached(kova_thread_s *record, void *(*entry)(void *), pthread_attr_t *attr, pthread_t *thread,
                   const char *caller);

// The creation functions first offer their work to the pool through this hook, which the pool
// registers when it is created: 0 when a pool thread took the work.
using PoolHandoff = int (*)(kova_thread_fn fn, void *arg, pthread_t *handle);
void register_pool_handoff(PoolHandoff handoff);

// Sets the record's slot state (nothing for a record outside the registry).
void set_state(kova_thread_s *record, std::uint32_t state);
std::uint32_t get_state(const kova_thread_s *record);

// Copies the record's name as it is now into `out` (KOVA_THRD_NAME_LEN bytes, NUL-terminated);
// safe while the owner renames itself.
void read_name(const kova_thread_s *record, char *out);

// Registry contents by slot index, for tests and diagnostics.
std::uint32_t slot_use_count(std::uint32_t index);
std::uint32_t slot_state(std::uint32_t index);
kova_thread_s *slot_record(std::uint32_t index);

// Forgets the cached process and executable names so that the next query reads them again.
void reset_process_names_for_test();

// Lets a new pool be created once every thread of the last one has left the registry.
void reset_pool_for_test();

}  // namespace kova::thread
