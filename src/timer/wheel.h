// The timer wheel's internals: geometry, placement, removal with link checks, cascade and the
// tick thread's pass. Everything here runs under the root's spin lock unless it says otherwise.
#pragma once

#include <atomic>
#include <cstdint>

#include "kova/kova_timer.h"

namespace kova::timer {

struct Level {
    std::uint32_t first_head;  // index of the level's first head in root.wheel
    std::uint32_t slots;
    std::uint64_t width_ms;
};

constexpr Level kLevels[5] = {
    {0, 1000, 1}, {1000, 60, 1000}, {1060, 60, 60000}, {1120, 60, 3600000}, {1180, 24, 216000000},
};
constexpr std::uint64_t kLevel4Horizon = 5184000000ull;  // 60 days: the furthest slot level 4 picks
constexpr std::uint64_t kMaxSleepMs = 20;
constexpr std::uint64_t kSlowHandlerMs = 300;

// Module state: 2 until initialised, 0 once the tick thread runs, 1 when it could not be started.
constexpr std::int32_t kReady = 0;
constexpr std::int32_t kThreadFailed = 1;
constexpr std::int32_t kNotInitialised = 2;
extern std::atomic<std::int32_t> module_state;

kova_timer_root_s &root();

struct SlotRef {
    std::uint32_t level;
    std::uint32_t index;
};
// Where a timer expiring at `expires` goes while the wheel's time is `cur_ms`.
SlotRef wheel_slot_for(std::uint64_t cur_ms, std::uint64_t expires);

// Link accessors: entries are read without the lock by kova_timer_is_pending.
inline kova_list_head_s *next_of(const kova_list_head_s *node)
{
    return std::atomic_ref(const_cast<kova_list_head_s *&>(node->next)).load(std::memory_order_relaxed);
}
inline void set_next(kova_list_head_s *node, kova_list_head_s *next)
{
    std::atomic_ref(node->next).store(next, std::memory_order_relaxed);
}
inline std::uint64_t expiry_of(const kova_timer_s *timer)
{
    return std::atomic_ref(const_cast<std::uint64_t &>(timer->expirTime)).load(std::memory_order_relaxed);
}
inline bool is_pending(const kova_timer_s *timer) { return next_of(&timer->entry) != nullptr; }

void reset_wheel(kova_timer_root_s &r);
void place(kova_timer_root_s &r, kova_timer_s *timer);
// Unlinks a pending timer; clear_next makes it idle (otherwise it is about to be placed again).
void detach(kova_timer_root_s &r, kova_timer_s *timer, bool clear_next);
void rebase(kova_timer_root_s &r);
std::uint64_t next_run_time(kova_timer_root_s &r);
// Places again every timer of one slot; returns the slot's index.
std::uint32_t cascade(kova_timer_root_s &r, std::uint32_t level, std::uint32_t index);
// Level-0 occupancy: the first slot at or after `from` that may hold timers (1000 for none).
std::uint32_t next_occupied_level0(std::uint32_t from);
void clear_level0(std::uint32_t index);
kova_timer_s *timer_of(kova_list_head_s *entry);
void publish_next_run(kova_timer_root_s &r, std::uint64_t when);
std::uint64_t next_run_ms(kova_timer_root_s &r);

// Link checks; each logs under `function` and reports whether the links were sound.
bool check_unlink(kova_list_head_s *node, const char *function);
void check_walk_order(kova_list_head_s *node, kova_list_head_s *last, const char *function);

// Runs every slot from curMs up to and including `now`, calling the handlers outside the lock.
void run_pass(kova_timer_root_s &r);

// Stores an armed timer's next run time, waking the tick thread when it is now due earlier.
void publish_armed(kova_timer_root_s &r, std::uint64_t when);
void lock_timer_root(kova_timer_root_s &r);
void unlock_timer_root(kova_timer_root_s &r);

// Tests move the clock by hand: this puts the wheel's time back on the clock.
void rebase_for_test();

}  // namespace kova::timer
