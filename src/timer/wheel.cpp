#include "timer/wheel.h"

#include <bit>

#include "init/kova_log.h"
#include "kova/kova_time.h"

KOVA_LOG_SOURCE("timer/kova_timer")

namespace kova::timer {
kova_timer_root_s timer_root;

namespace {

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

kova_timer_s *timer_of(kova_list_head_s *entry)
{
    return reinterpret_cast<kova_timer_s *>(reinterpret_cast<char *>(entry) - offsetof(kova_timer_s, entry));
}

// Constant divisors, so that placing a timer costs multiplications rather than divisions.
SlotRef wheel_slot_for(std::uint64_t cur_ms, std::uint64_t expires)
{
    std::uint64_t e = expires > cur_ms ? expires : cur_ms;
    std::uint64_t d = e - cur_ms;
    if (d < 1000) return {0, static_cast<std::uint32_t>(e % 1000)};
    if (d < 60000) return {1, static_cast<std::uint32_t>((e / 1000) % 60)};
    if (d < 3600000) return {2, static_cast<std::uint32_t>((e / 60000) % 60)};
    if (d < 216000000) return {3, static_cast<std::uint32_t>((e / 3600000) % 60)};
    if (d > kLevel4Horizon) e = cur_ms + kLevel4Horizon;
    return {4, static_cast<std::uint32_t>((e / 216000000) % 24)};
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
    // A neighbour is rewritten only when it points back at the node: anything else is reported
    // above, and may be a record that was overwritten and armed elsewhere since.
    if (!is_poison(prev) && !is_poison(next)) {
        if (next_of(prev) == node) set_next(prev, next);
        if (next->prev == node) next->prev = prev;
    }
    node->prev = KOVA_LIST_POISON_PREV;
    if (r.timerNum > 0) --r.timerNum;
    if (!clear_next) return;
    set_next(node, nullptr);
    if (r.timerNum == 0) rebase(r, kova_time_getmillisec());
}

namespace {

// A record overwritten while pending (kova_timer_init on it, say) leaves its count behind.
void count_off_lost(kova_timer_root_s &r)
{
    if (r.timerNum > 0) --r.timerNum;
}

// The earliest node that `list`'s other end reaches through links that point back, stopping
// before `stop`: where a walk resumes past a broken link. Each step follows a node whose next is
// the one before, so the walk cannot leave the list or go round another.
kova_list_head_s *earliest_backward(kova_list_head_s *list, kova_list_head_s *stop)
{
    kova_list_head_s *earliest = list;
    for (kova_list_head_s *n = list->prev; n != list && n != stop && !is_poison(n) && next_of(n) == earliest;
         n = n->prev)
        earliest = n;
    return earliest;
}

}  // namespace

void take_slot(kova_list_head_s *head, kova_list_head_s *list, const char *function)
{
    check_unlink(head, function);
    kova_list_head_s *first = next_of(head);
    kova_list_head_s *last = head->prev;
    set_next(list, list);
    list->prev = list;
    if (first == head) return;
    set_next(list, first);
    list->prev = last;
    if (!is_poison(first) && first->prev == head) first->prev = list;
    if (!is_poison(last) && next_of(last) == head) set_next(last, list);
    set_next(head, head);
    head->prev = head;
}

kova_list_head_s *first_sound(kova_timer_root_s &r, kova_list_head_s *list, const char *function)
{
    for (;;) {
        kova_list_head_s *node = next_of(list);
        if (node == list) return nullptr;
        if (!is_poison(node) && node->prev == list) return node;
        if (is_poison(node))
            KOVA_LOG_AS(function, kova::log::kInfo, "List node prev:(%p), cur:(%p)", static_cast<void *>(list),
                        static_cast<void *>(node));
        else
            check_walk_order(node, list, function);
        count_off_lost(r);
        relink_first(list, earliest_backward(list, node));
    }
}

kova_list_head_s *successor_in(kova_timer_root_s &r, kova_list_head_s *list, kova_list_head_s *node)
{
    kova_list_head_s *next = next_of(node);
    if (!is_poison(next) && next->prev == node) return next;
    count_off_lost(r);
    return earliest_backward(list, node);
}

void relink_first(kova_list_head_s *list, kova_list_head_s *first)
{
    set_next(list, first);
    first->prev = list;
}

void rebase(kova_timer_root_s &r, std::uint64_t now_ms)
{
    r.curMs = now_ms;
    publish_next_run(r, now_ms + kMaxSleepMs);
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
    kova_list_head_s pending;
    take_slot(head_of(r, {level, index}), &pending, "recalculate_timer_slot");
    while (kova_list_head_s *node = first_sound(r, &pending, "recalculate_timer_slot")) {
        check_unlink(node, "recalculate_timer_slot");
        kova_list_head_s *after = successor_in(r, &pending, node);
        place(r, timer_of(node));
        relink_first(&pending, after);
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
