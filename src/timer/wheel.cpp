#include "timer/wheel.h"

#include <bit>

#include "init/kova_log.h"
#include "kova/kova_time.h"

KOVA_LOG_SOURCE("timer/kova_timer")

namespace kova::timer {
namespace {

kova_timer_root_s timer_root;

// Level-0 slots that may hold timers, so that a pass can jump over runs of empty milliseconds
// (a bit may stay set after its timers were deleted; the pass then just finds the slot empty).
std::uint64_t level0_occupied[16];

void mark_level0(std::uint32_t index) { level0_occupied[index / 64] |= 1ull << (index % 64); }

kova_list_head_s *head_of(kova_timer_root_s &r, SlotRef slot)
{
    return &r.wheel[kLevels[slot.level].first_head + slot.index];
}

void link_tail(kova_list_head_s *head, kova_list_head_s *node)
{
    kova_list_head_s *last = head->prev;
    node->prev = last;
    set_next(node, head);
    set_next(last, node);
    head->prev = node;
}

bool is_poison(const kova_list_head_s *link)
{
    return link == nullptr || link == KOVA_LIST_POISON_PREV || link == KOVA_LIST_POISON_NEXT;
}

}  // namespace

std::atomic<std::int32_t> module_state{kNotInitialised};

kova_timer_root_s &root() { return timer_root; }

kova_timer_s *timer_of(kova_list_head_s *entry)
{
    return reinterpret_cast<kova_timer_s *>(reinterpret_cast<char *>(entry) - offsetof(kova_timer_s, entry));
}

SlotRef wheel_slot_for(std::uint64_t cur_ms, std::uint64_t expires)
{
    std::uint64_t e = expires > cur_ms ? expires : cur_ms;
    std::uint64_t d = e - cur_ms;
    for (std::uint32_t level = 0; level < 4; ++level) {
        const Level &l = kLevels[level];
        if (d < l.width_ms * l.slots) return {level, static_cast<std::uint32_t>((e / l.width_ms) % l.slots)};
    }
    if (d > kLevel4Horizon) e = cur_ms + kLevel4Horizon;
    return {4, static_cast<std::uint32_t>((e / kLevels[4].width_ms) % kLevels[4].slots)};
}

void reset_wheel(kova_timer_root_s &r)
{
    for (kova_list_head_s &head : r.wheel) {
        head.next = &head;
        head.prev = &head;
    }
    for (std::uint64_t &word : level0_occupied) word = 0;
}

void place(kova_timer_root_s &r, kova_timer_s *timer)
{
    SlotRef slot = wheel_slot_for(r.curMs, expiry_of(timer));
    link_tail(head_of(r, slot), &timer->entry);
    if (slot.level == 0) mark_level0(slot.index);
}

bool check_unlink(kova_list_head_s *node, const char *function)
{
    kova_list_head_s *prev = node->prev;
    kova_list_head_s *next = next_of(node);
    if (is_poison(prev)) {
        KOVA_LOG_AS(function, kova::log::kInfo, "List node prev:(%p), cur:(%p)", static_cast<void *>(prev),
                    static_cast<void *>(node));
        return false;
    }
    bool sound = true;
    if (next_of(prev) != node) {
        KOVA_LOG_AS(function, kova::log::kError, "Abnormal list node prev:%p(%p,%p) is not point to cur:%p(%p,%p)",
                    static_cast<void *>(prev), static_cast<void *>(next_of(prev)), static_cast<void *>(prev->prev),
                    static_cast<void *>(node), static_cast<void *>(next), static_cast<void *>(prev));
        kova_timer_show(prev);
        kova_timer_show(node);
        sound = false;
    }
    if (is_poison(next)) return false;
    if (next->prev != node) {
        KOVA_LOG_AS(function, kova::log::kError, "Abnormal list node next:%p(%p,%p) is not point to cur:%p(%p,%p)",
                    static_cast<void *>(next), static_cast<void *>(next_of(next)), static_cast<void *>(next->prev),
                    static_cast<void *>(node), static_cast<void *>(next), static_cast<void *>(prev));
        kova_timer_show(next);
        kova_timer_show(node);
        sound = false;
    }
    return sound;
}

void check_walk_order(kova_list_head_s *node, kova_list_head_s *last, const char *function)
{
    if (node->prev == last) return;
    KOVA_LOG_AS(function, kova::log::kError, "Abnormal list node cur:%p(%p,%p), is not point to last:%p",
                static_cast<void *>(node), static_cast<void *>(next_of(node)), static_cast<void *>(node->prev),
                static_cast<void *>(last));
    kova_timer_show(node);
}

void detach(kova_timer_root_s &r, kova_timer_s *timer, bool clear_next)
{
    kova_list_head_s *node = &timer->entry;
    check_unlink(node, "detachTimerFromList");
    kova_list_head_s *prev = node->prev;
    kova_list_head_s *next = next_of(node);
    // A null or poisoned neighbour has been reported; following it would crash, so the node is
    // only marked removed.
    if (!is_poison(prev) && !is_poison(next)) {
        set_next(prev, next);
        next->prev = prev;
    }
    if (clear_next) set_next(node, nullptr);
    node->prev = KOVA_LIST_POISON_PREV;
    if (--r.timerNum == 0) rebase(r);
}

void rebase(kova_timer_root_s &r)
{
    r.curMs = kova_time_getmillisec();
    publish_next_run(r, r.curMs + kMaxSleepMs);
}

void publish_next_run(kova_timer_root_s &r, std::uint64_t when)
{
    std::atomic_ref(r.nextRunMs).store(when, std::memory_order_relaxed);
}

std::uint64_t next_run_ms(kova_timer_root_s &r)
{
    return std::atomic_ref(r.nextRunMs).load(std::memory_order_relaxed);
}

std::uint64_t next_run_time(kova_timer_root_s &r)
{
    std::uint64_t m = r.curMs;
    std::uint64_t u = ((m - 1) % 1000) + 1;
    std::uint64_t limit = u <= 980 ? u + 20 : 1000;
    if (u >= limit) return m;
    for (std::uint64_t slot = u; slot < limit; ++slot)
        if (next_of(&r.wheel[slot]) != &r.wheel[slot]) return m + (slot - u);
    return m + (limit - 1 - u);
}

std::uint32_t cascade(kova_timer_root_s &r, std::uint32_t level, std::uint32_t index)
{
    kova_list_head_s *head = head_of(r, {level, index});
    check_unlink(head, "recalculate_timer_slot");
    kova_list_head_s pending;
    if (next_of(head) == head) return index;
    // Move the whole slot onto a private list, then place each timer again from its expiry.
    pending.prev = head->prev;
    set_next(&pending, next_of(head));
    next_of(head)->prev = &pending;
    set_next(pending.prev, &pending);
    set_next(head, head);
    head->prev = head;

    kova_list_head_s *last = &pending;
    for (kova_list_head_s *node = next_of(&pending); node != &pending;) {
        check_walk_order(node, last, "recalculate_timer_slot");
        kova_list_head_s *after = next_of(node);
        place(r, timer_of(node));
        last = node;
        node = after;
    }
    return index;
}

std::uint32_t next_occupied_level0(std::uint32_t from)
{
    for (std::uint32_t word = from / 64; word < 16; ++word) {
        std::uint64_t bits = level0_occupied[word];
        if (word == from / 64) bits &= ~0ull << (from % 64);
        if (bits != 0) return word * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
    }
    return 1000;
}

void clear_level0(std::uint32_t index) { level0_occupied[index / 64] &= ~(1ull << (index % 64)); }

}  // namespace kova::timer
