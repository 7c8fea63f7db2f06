// High-resolution timer internals shared with the wheel's functions and with tests.
#pragma once

#include <time.h>

#include <cstdint>

#include "kova/kova_timer.h"

namespace kova::timer {

// 6 before the first add, 0 once running, else the number of the set-up step that failed.
std::int32_t hr_state();
inline bool hr_ready() { return hr_state() == 0; }
// `now` plus `delay_ns`, whole seconds carried out of the nanoseconds.
kova_timer_expire_s hr_expiry_after(const timespec &now, std::uint64_t delay_ns);

// The tree's mutex, for the operations that must see both structures (it is taken before the
// wheel's lock). Only once the module runs.
void lock_hr();
void unlock_hr();
// Under the tree's mutex: whether the record is in the tree (its isp says so and the tree holds
// it: isp alone may be uninitialised memory), and taking it out of the tree.
bool hr_holds(const kova_timer_s *timer);
void hr_take_out(kova_timer_s *timer);
// Takes the tree's mutex and waits until the record's handler is not running on the
// high-resolution thread; returns with the mutex held.
void lock_hr_when_idle(const kova_timer_s *timer);

// The bodies of the public functions; `api` names the function the caller called, for the log.
// `make_hr` sets flags bit 0 as the record is taken into the tree (kova_timer_add_ns).
std::int32_t hr_timer_add(kova_timer_s *timer, bool make_hr, const char *api);
std::int32_t hr_timer_modify(kova_timer_s *timer, std::uint64_t delay_ns, const char *api);
std::int32_t hr_timer_delete(kova_timer_s *timer, bool wait_for_handler, const char *api);

}  // namespace kova::timer
