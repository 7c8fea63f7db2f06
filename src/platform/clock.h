// The counter seam: production reads the processor counter; a test may substitute the counter
// source and the frequency to drive clocks without waiting in real time.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

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

}  // namespace kova::platform
