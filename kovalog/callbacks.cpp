#include <sched.h>

#include <atomic>

#include "sink.h"

namespace kovalog_internal {
namespace {

struct Slot {
    std::atomic<kovalog_content_fn> callback{nullptr};
    std::atomic<int> in_flight{0};
};

Slot slots[KOVALOG_CALLBACK_SLOTS];

// 1 + the slot whose callback this thread is running, 0 outside callbacks. Initial-exec, so
// that reading it never allocates: raw lines are delivered from signal handlers.
__attribute__((tls_model("initial-exec"))) thread_local unsigned running_slot = 0;

void replace(Slot &slot, kovalog_content_fn callback)
{
    slot.callback.store(callback);
    // The caller may free what the old callback uses once we return: wait out running calls.
    // A callback that replaces slots (its own, or all of them through kovalog_destroy) is not
    // counted as running while it waits, or it would wait for itself, and two callbacks
    // replacing each other's slots would wait for each other.
    Slot *own = running_slot != 0 ? &slots[running_slot - 1] : nullptr;
    if (own != nullptr) own->in_flight.fetch_sub(1);
    while (slot.in_flight.load() != 0) sched_yield();
    if (own != nullptr) own->in_flight.fetch_add(1);
}

}  // namespace

void deliver_to_callbacks(const kovalog_message_s &message)
{
    // A message logged from inside a callback is written but not shown to the callbacks again:
    // a callback that logs would otherwise recurse until the stack is gone.
    if (running_slot != 0) return;
    for (unsigned i = 0; i < KOVALOG_CALLBACK_SLOTS; ++i) {
        Slot &slot = slots[i];
        if (slot.callback.load(std::memory_order_relaxed) == nullptr) continue;
        slot.in_flight.fetch_add(1);
        if (kovalog_content_fn fn = slot.callback.load()) {
            running_slot = i + 1;
            fn(&message);
            running_slot = 0;
        }
        slot.in_flight.fetch_sub(1);
    }
}

void reset_callbacks()
{
    for (Slot &slot : slots) replace(slot, nullptr);
}

}  // namespace kovalog_internal

using namespace kovalog_internal;

extern "C" int kovalog_register_content_callback(const kovalog_content_callback_s *registration)
{
    if (registration == nullptr || registration->slot >= KOVALOG_CALLBACK_SLOTS) return -1;
    replace(slots[registration->slot], registration->callback);
    return 0;
}
