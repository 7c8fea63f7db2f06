#include "platform/clock.h"

namespace kova::platform {

std::atomic<CounterSource> counter_source_override{nullptr};

namespace {
std::atomic<bool> frequency_overridden{false};
std::atomic<std::uint64_t> frequency_override{0};
}  // namespace

std::uint64_t counter_frequency()
{
    if (frequency_overridden.load()) return frequency_override.load();
    return arch::counter_frequency();
}

void set_counter_source(CounterSource source) { counter_source_override.store(source); }

void set_counter_frequency(std::optional<std::uint64_t> frequency)
{
    frequency_override.store(frequency.value_or(0));
    frequency_overridden.store(frequency.has_value());
}

}  // namespace kova::platform
