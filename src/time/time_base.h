// State shared by the time-base units.
#pragma once

#include <atomic>
#include <cstdint>

namespace kova::time {

// Nanoseconds per counter count, 1e9 / frequency truncated; 0 until the time base is set up.
extern std::atomic<std::uint64_t> ns_per_cycle;

constexpr std::uint64_t kNsPerMs = 1000000u;
constexpr std::uint64_t kNsPerJiffy = 4000000u;

// Rounds a measured counter rate to the nearest multiple of 10 MHz; halfway goes up.
std::uint64_t round_counter_rate(std::uint64_t rate);

// Back to the state before any initialisation, for tests that check the uninitialised clocks.
void reset_time_base_for_test();
void reset_jiffies_for_test();

}  // namespace kova::time
