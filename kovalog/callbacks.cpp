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

void replace(Slot &slot, kovalog_content_fn callback)
{
    slot.callback.store(callback);
    // The caller may free what the old callback uses once we return: wait out running calls.
    while (slot.in_flight.load() != 0) sched_yield();
}

}  // namespace

void deliver_to_callbacks(const kovalog_message_s &message)
{
    for (Slot &slot : slots) {
        if (slot.callback.load(std::memory_order_relaxed) == nullptr) continue;
        slot.in_flight.fetch_add(1);
        if (kovalog_content_fn fn = slot.callback.load()) fn(&message);
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
