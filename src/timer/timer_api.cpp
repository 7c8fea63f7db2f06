#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_sched.h"
#include "kova/kova_time.h"
#include "timer/hr_timer.h"
#include "timer/wheel.h"

KOVA_LOG_SOURCE("timer/kova_timer")

using namespace kova::timer;

namespace {

bool ready() { return module_state.load(std::memory_order_acquire) == kReady; }

kova_timer_s *running_timer(kova_timer_root_s &r)
{
    return std::atomic_ref(r.runningTimer).load(std::memory_order_acquire);
}

// For resetting a record: holds the wheel's lock, and the tree's mutex before it when the record
// may be in the tree (under the wheel's lock, isp 0 means it is not and cannot enter it). Returns
// whether the mutex is held.
bool lock_both(kova_timer_root_s &r, const kova_timer_s *timer)
{
    lock_timer_root(r);
    if (!in_hr_tree(timer) || !hr_ready()) return false;
    unlock_timer_root(r);
    lock_hr();
    lock_timer_root(r);
    return true;
}

void unlock_both(kova_timer_root_s &r, bool hr)
{
    unlock_timer_root(r);
    if (hr) unlock_hr();
}

enum class Arm { kAdd, kModify };

// Arms a wheel timer `timeout` ms from now (kAdd: its stored time-out). kAdd refuses a pending
// timer and makes the record a wheel timer; kModify moves a pending one. `timeOut` is shared with
// the high-resolution side, which writes it under both locks: it is read and written here under
// the wheel's lock.
int32_t arm_wheel(kova_timer_s *timer, uint64_t timeout, Arm how, const char *api)
{
    uint64_t now = kova_time_getmillisec();
    kova_timer_root_s &r = root();
    lock_timer_root(r);
    bool pending = is_pending(timer);
    const char *refusal = nullptr;
    if (how == Arm::kAdd) timeout = timer->timeOut;
    if (in_hr_tree(timer))
        refusal = "The timer is pending in the hr timer tree.";
    else if (how == Arm::kAdd && pending)
        refusal = "The timer is pending.";
    else if (timeout == 0)
        refusal = "Input para is invalid.";
    if (refusal != nullptr) {
        unlock_timer_root(r);
        // kova_timer_add hands its time-out to kova_timer_modify, which refuses a zero one.
        KOVA_LOG_AS(timeout == 0 && how == Arm::kAdd ? "kova_timer_modify" : api, kova::log::kError, "%s", refusal);
        return -1;
    }
    if (how == Arm::kAdd) set_high_resolution(timer, false);
    uint64_t expires = now + (timeout * 1000u) / 1000u;
    timer->timeOut = timeout;
    if (pending && expiry_of(timer) == expires) {
        unlock_timer_root(r);
        return 0;
    }
    if (pending) detach(r, timer, false);
    if (r.timerNum == 0) rebase(r, now);
    std::atomic_ref(timer->expirTime).store(expires, std::memory_order_relaxed);
    place(r, timer);
    ++r.timerNum;
    if (expires < r.curMs + 1000) publish_armed(r, next_run_time(r));
    unlock_timer_root(r);
    return 0;
}

}  // namespace

void kova::timer::cancel_timer(kova_timer_s *timer, bool wait_for_handler)
{
    kova_timer_root_s &r = root();
    for (;;) {
        if (wait_for_handler && hr_ready()) {
            lock_hr_when_idle(timer);
            hr_take_out(timer);
            unlock_hr();
        }
        lock_timer_root(r);
        while (wait_for_handler && running_timer(r) == timer) {
            unlock_timer_root(r);
            kova_yield();
            lock_timer_root(r);
        }
        if (is_pending(timer)) detach(r, timer, true);
        bool in_tree = in_hr_tree(timer) && hr_ready();
        unlock_timer_root(r);
        if (!in_tree) return;
        if (!wait_for_handler) {
            lock_hr();
            hr_take_out(timer);
            unlock_hr();
            return;
        }
        // Its wheel handler, or a racing thread, put it in the tree meanwhile: once more.
    }
}

extern "C" int32_t kova_timer_init(kova_timer_s *timer)
{
    if (timer == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null.");
        return -1;
    }
    // The record may be uninitialised memory, so its wheel links are not followed: if it was
    // pending in the wheel, the tick thread reports the broken slot and goes on. A record in the
    // tree is taken out first, since the tree cannot survive a zeroed node.
    kova_timer_root_s &r = root();
    bool hr = lock_both(r, timer);
    if (hr) hr_take_out(timer);
    std::memset(static_cast<void *>(timer), 0, sizeof *timer);
    unlock_both(r, hr);
    return 0;
}

extern "C" int32_t kova_timer_set_raw(kova_timer_s *timer, uint64_t timeout, uint64_t data, kova_timer_fn func,
                                      const char *func_name, const char *file, int32_t line)
{
    if (timer == nullptr || func == nullptr) {
        KOVA_LOG(kova::log::kError, "Input para is invalid.");
        return -1;
    }
    kova_timer_root_s &r = root();
    bool hr = lock_both(r, timer);
    if (is_pending(timer) || (hr && hr_holds(timer))) {
        unlock_both(r, hr);
        KOVA_LOG(kova::log::kError, "The timer is pending.");
        return -1;
    }
    std::memset(static_cast<void *>(timer), 0, sizeof *timer);
    timer->timeOut = timeout;
    timer->data = data;
    timer->func = func;
    timer->funcName = func_name;
    timer->file = file;
    timer->line = line;
    unlock_both(r, hr);
    return 0;
}

extern "C" int32_t kova_timer_add(kova_timer_s *timer)
{
    if (!ready()) {
        KOVA_LOG(kova::log::kError, "kova timer is not inited.");
        return -1;
    }
    if (timer == nullptr || timer->func == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null or not initiated.");
        return -1;
    }
    return arm_wheel(timer, 0, Arm::kAdd, __func__);
}

extern "C" int32_t kova_timer_add_ns(kova_timer_s *timer)
{
    if (timer == nullptr || timer->func == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null or not initiated.");
        return -1;
    }
    return hr_timer_add(timer, true, __func__);
}

extern "C" int32_t kova_timer_modify(kova_timer_s *timer, uint64_t timeout)
{
    if (timer == nullptr || timeout == 0 || timer->func == nullptr) {
        KOVA_LOG(kova::log::kError, "Input para is invalid.");
        return -1;
    }
    if (is_high_resolution(timer)) return hr_timer_modify(timer, timeout, __func__);
    // The wheel's lists do not exist before initialisation: refuse rather than crash.
    if (!ready()) {
        KOVA_LOG(kova::log::kError, "kova timer is not inited.");
        return -1;
    }
    return arm_wheel(timer, timeout, Arm::kModify, __func__);
}

namespace {

// The body of kova_timer_delete and kova_timer_delete_sync, which log under their own names.
int32_t remove_timer(kova_timer_s *timer, bool wait_for_handler, const char *api)
{
    if (timer == nullptr) {
        KOVA_LOG_AS(api, kova::log::kError, "Input timer is null.");
        return -1;
    }
    if (is_high_resolution(timer)) return hr_timer_delete(timer, wait_for_handler, api);
    if (!ready()) {
        KOVA_LOG_AS(api, kova::log::kError, "kova timer is not inited.");
        return -1;
    }
    cancel_timer(timer, wait_for_handler);
    return 0;
}

}  // namespace

extern "C" int32_t kova_timer_delete(kova_timer_s *timer) { return remove_timer(timer, false, __func__); }

extern "C" int32_t kova_timer_delete_sync(kova_timer_s *timer) { return remove_timer(timer, true, __func__); }

extern "C" int32_t kova_timer_destroy(kova_timer_s *timer) { return remove_timer(timer, true, __func__); }

extern "C" uint32_t kova_timer_is_pending(const kova_timer_s *timer)
{
    if (timer == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null.");
        return 0;
    }
    if (is_high_resolution(timer)) return kova_hr_timer_is_pending(timer);
    return is_pending(timer) ? 1 : 0;
}

extern "C" kova_timer_root_s *kova_get_timer_root(void) { return &root(); }
