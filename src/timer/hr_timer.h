// High-resolution timer internals shared with tests.
#pragma once

#include <time.h>

#include <cstdint>

#include "kova/kova_timer.h"

namespace kova::timer {

// 6 before the first add, 0 once running, else the number of the set-up step that failed.
std::int32_t hr_state();
// `now` plus `delay_ns`, whole seconds carried out of the nanoseconds.
kova_timer_expire_s hr_expiry_after(const timespec &now, std::uint64_t delay_ns);

}  // namespace kova::timer
