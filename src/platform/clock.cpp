#include "platform/clock.h"

namespace kova::platform {

std::atomic<CounterSource> counter_source_override{nullptr};

namespace {
std::atomic<bool> frequency_overridden{false};
std::atomic<std::uint64_t> frequency_override{0};
std::atomic<CounterListener> listeners[4];
constexpr time_t kSubstitutedSleepSeconds = 10;
}  // namespace

std::uint64_t counter_frequency()
{
    if (frequency_overridden.load()) return frequency_override.load();
    return arch::counter_frequency();
}

void set_counter_source(CounterSource source)
{
    counter_source_override.store(source);
    counter_moved();
}

void set_counter_frequency(std::optional<std::uint64_t> frequency)
{
    frequency_override.store(frequency.value_or(0));
    frequency_overridden.store(frequency.has_value());
}

int monotonic_now(timespec *now)
{
    CounterSource source = counter_source_override.load(std::memory_order_relaxed);
    if (source == nullptr) [[likely]]
        return clock_gettime(CLOCK_MONOTONIC, now);
    std::uint64_t frequency = counter_frequency();
    std::uint64_t ns = source() * (frequency == 0 ? 0 : 1000000000u / frequency);
    now->tv_sec = static_cast<time_t>(ns / 1000000000u);
    now->tv_nsec = static_cast<long>(ns % 1000000000u);
    return 0;
}

timespec sleep_deadline(const timespec &moment)
{
    if (counter_source_override.load(std::memory_order_relaxed) == nullptr) [[likely]]
        return moment;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kSubstitutedSleepSeconds;
    return deadline;
}

void add_counter_listener(CounterListener listener)
{
    for (auto &slot : listeners) {
        CounterListener expected = nullptr;
        if (slot.load() == listener || slot.compare_exchange_strong(expected, listener)) return;
    }
}

void counter_moved()
{
    for (auto &slot : listeners)
        if (CounterListener listener = slot.load(); listener != nullptr) listener();
}

}  // namespace kova::platform
