// The counter seam: production reads the processor counter; a test may substitute the counter
// source and the frequency to drive clocks without waiting in real time.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include <time.h>

#include "arch/counter.h"

namespace kova::platform {

using CounterSource = std::uint64_t (*)();

extern std::atomic<CounterSource> counter_source_override;

inline std::uint64_t counter_now()
{
    CounterSource source = counter_source_override.load(std::memory_order_relaxed);
    if (source != nullptr) [[unlikely]]
        return source();
    return arch::read_counter();
}

std::uint64_t counter_frequency();

// Null restores the processor counter.
void set_counter_source(CounterSource source);
// No value restores the processor's frequency register.
void set_counter_frequency(std::optional<std::uint64_t> frequency);

// CLOCK_MONOTONIC for the threads that sleep until absolute moments (the high-resolution timers);
// while a counter source is substituted, that counter in nanoseconds. 0, or -1 with errno.
int monotonic_now(timespec *now);
// The CLOCK_MONOTONIC deadline of a sleep until `moment`, a monotonic_now() reading. A substituted
// counter's moments mean nothing to the kernel: the sleep is then bounded by 10 s of real time and
// ended early by the listeners below.
timespec sleep_deadline(const timespec &moment);

// Called after the substituted counter moved (and when a source is set or removed), so that
// sleepers look at the clock again. At most four listeners; they must not block for long.
using CounterListener = void (*)();
void add_counter_listener(CounterListener listener);
void counter_moved();

}  // namespace kova::platform
