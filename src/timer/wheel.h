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

extern kova_timer_root_s timer_root;
inline kova_timer_root_s &root() { return timer_root; }

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

// Which structure holds a record. A record is in at most one: `isp` becomes KOVA_TIMER_HR_PENDING
// only while both the tree's mutex and the wheel's lock are held and the record is not in the
// wheel, and the wheel takes a record only under its lock when `isp` is 0. Under the wheel's
// lock, `isp` 0 therefore means "not in the tree, and it cannot enter it now". `isp` returns to 0
// under the tree's mutex, after the high-resolution thread has published the handler it runs.
inline std::uint8_t isp_of(const kova_timer_s *timer)
{
    return std::atomic_ref(const_cast<std::uint8_t &>(timer->isp)).load(std::memory_order_acquire);
}
inline void set_isp(kova_timer_s *timer, std::uint8_t value)
{
    std::atomic_ref(timer->isp).store(value, std::memory_order_release);
}
inline bool in_hr_tree(const kova_timer_s *timer) { return isp_of(timer) == KOVA_TIMER_HR_PENDING; }
// flags bit 0 routes the public functions; it changes only under the wheel's lock, and never
// to say "high-resolution" of a record in the wheel or "wheel" of a record in the tree.
inline bool is_high_resolution(const kova_timer_s *timer)
{
    return (std::atomic_ref(const_cast<std::uint8_t &>(timer->flags)).load(std::memory_order_relaxed) &
            KOVA_TIMER_HR) != 0;
}
inline void set_high_resolution(kova_timer_s *timer, bool on)
{
    std::atomic_ref flags(timer->flags);
    std::uint8_t value = flags.load(std::memory_order_relaxed);
    flags.store(on ? value | KOVA_TIMER_HR : value & ~KOVA_TIMER_HR, std::memory_order_relaxed);
}

// Takes the record out of whichever structure holds it; with `wait_for_handler`, first waits
// until its handler runs on neither timer thread (kova_timer_delete_sync and its twins).
void cancel_timer(kova_timer_s *timer, bool wait_for_handler);

void reset_wheel(kova_timer_root_s &r);
void place(kova_timer_root_s &r, kova_timer_s *timer);
// Unlinks a pending timer; clear_next makes it idle and rebases an emptied wheel (otherwise the
// timer is about to be placed again).
void detach(kova_timer_root_s &r, kova_timer_s *timer, bool clear_next);
// Private lists of a pass. take_slot moves a slot's timers onto `list`. first_sound returns the
// list's first node (null when empty), after reporting and counting off any node that no longer
// points back at the list: a record overwritten while pending, which is never written to again.
// successor_in is the node to put first once `node` is gone: its next, or past a broken next
// link (one record lost) the earliest node the list's other end still reaches.
void take_slot(kova_list_head_s *head, kova_list_head_s *list, const char *function);
kova_list_head_s *first_sound(kova_timer_root_s &r, kova_list_head_s *list, const char *function);
kova_list_head_s *successor_in(kova_timer_root_s &r, kova_list_head_s *list, kova_list_head_s *node);
void relink_first(kova_list_head_s *list, kova_list_head_s *first);
// Puts the wheel's time on the clock (`now_ms`, a reading just taken).
void rebase(kova_timer_root_s &r, std::uint64_t now_ms);
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
// The root's spin lock ("lockTimerRoot"/"unlockTimerRoot"): the uncontended take is inline, one
// acquire compare-and-swap of the word; a waiter goes through the spin lock's own waiting.
inline void lock_timer_root(kova_timer_root_s &r)
{
    std::uint64_t expected = 0;
    if (std::atomic_ref(r.lock.lock).compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                              std::memory_order_relaxed))
        return;
    do_kova_spinlock_lock(&r.lock.lock, "lockTimerRoot", __LINE__);
}
inline void unlock_timer_root(kova_timer_root_s &r)
{
    std::atomic_ref(r.lock.lock).store(0, std::memory_order_release);
}

}  // namespace kova::timer
