#include "percpu_posix/waiter_dump.h"

#include <cstdint>

#include "kova/kova_symbol.h"
#include "kova/kova_thrd.h"
#include "kovalog/kovalog.h"

namespace kova::percpu {

namespace {

constexpr std::uint64_t kFallbackWindow = 4096;
constexpr int kShownFrames = 3;
constexpr std::size_t kTextSize = 64;

// A frame record is two words: the caller's frame pointer, then the return address. The record
// must lie wholly inside the stack and be aligned, or the chain is not followed.
struct FrameRecord {
    const FrameRecord *caller;
    std::uintptr_t return_address;
};

bool inside(const FrameRecord *frame, std::uint64_t low, std::uint64_t high)
{
    auto at = reinterpret_cast<std::uint64_t>(frame);
    return at % alignof(FrameRecord) == 0 && at >= low && at + sizeof(FrameRecord) <= high;
}

// Follows one link; null once the chain leaves the stack or stops going up (a corrupt record
// must not send the walk round in circles).
const FrameRecord *up(const FrameRecord *frame, std::uint64_t low, std::uint64_t high)
{
    if (frame == nullptr || !inside(frame, low, high)) return nullptr;
    const FrameRecord *caller = frame->caller;
    return caller > frame ? caller : nullptr;
}

}  // namespace

// Empty when the resolver does not know the address or is busy: it never waits.
void address_to_text(std::uintptr_t address, char *buffer, std::size_t size)
{
    if (size != 0) kova_symbol_addr_to_string(address, buffer, static_cast<std::uint32_t>(size));
}

[[gnu::noinline]] void debug_dump_stack(unsigned skip)
{
    auto *frame = static_cast<const FrameRecord *>(__builtin_frame_address(0));
    std::uint64_t low = 0, high = 0;
    const char *kind = nullptr;
    if (kova_thrd_getcurrentstack(reinterpret_cast<std::uint64_t>(frame), &low, &high, &kind) != 0) {
        volatile int anchor = 0;
        low = reinterpret_cast<std::uint64_t>(&anchor);
        high = low + kFallbackWindow;
    }

    // Our own frame record holds the return address into our caller: with nothing skipped that
    // is the first address shown.
    for (unsigned i = 0; i < skip && frame != nullptr; ++i) frame = up(frame, low, high);

    std::uintptr_t addresses[kShownFrames] = {};
    char texts[kShownFrames][kTextSize];
    for (int i = 0; i < kShownFrames; ++i) {
        if (frame != nullptr && inside(frame, low, high)) {
            addresses[i] = frame->return_address;
            frame = up(frame, low, high);
        } else {
            frame = nullptr;
        }
        address_to_text(addresses[i], texts[i], kTextSize);
    }
    kovalog_original("current tid:%d, stack:%p(%s) << %p(%s) << %p(%s).",
                     static_cast<int>(kova_thread_get_knl_tid()), reinterpret_cast<void *>(addresses[0]),
                     texts[0], reinterpret_cast<void *>(addresses[1]), texts[1],
                     reinterpret_cast<void *>(addresses[2]), texts[2]);
}

}  // namespace kova::percpu
