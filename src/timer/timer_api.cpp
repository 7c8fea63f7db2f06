#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_sched.h"
#include "kova/kova_time.h"
#include "timer/wheel.h"

KOVA_LOG_SOURCE("timer/kova_timer")

using namespace kova::timer;

namespace {

bool is_high_resolution(const kova_timer_s *timer) { return (timer->flags & KOVA_TIMER_HR) != 0; }

bool ready() { return module_state.load(std::memory_order_acquire) == kReady; }

kova_timer_s *running_timer(kova_timer_root_s &r)
{
    return std::atomic_ref(r.runningTimer).load(std::memory_order_acquire);
}

}  // namespace

extern "C" int32_t kova_timer_init(kova_timer_s *timer)
{
    if (timer == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null.");
        return -1;
    }
    std::memset(static_cast<void *>(timer), 0, sizeof *timer);
    return 0;
}

extern "C" int32_t kova_timer_set_raw(kova_timer_s *timer, uint64_t timeout, uint64_t data, kova_timer_fn func,
                                      const char *func_name, const char *file, int32_t line)
{
    if (timer == nullptr || func == nullptr) {
        KOVA_LOG(kova::log::kError, "Input para is invalid.");
        return -1;
    }
    if (is_pending(timer)) {
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
    if (is_pending(timer)) {
        KOVA_LOG(kova::log::kError, "The timer is pending.");
        return -1;
    }
    timer->flags &= static_cast<uint8_t>(~KOVA_TIMER_HR);
    return kova_timer_modify(timer, timer->timeOut);
}

extern "C" int32_t kova_timer_add_ns(kova_timer_s *timer)
{
    if (timer == nullptr || timer->func == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null or not initiated.");
        return -1;
    }
    timer->flags |= KOVA_TIMER_HR;
    return kova_hr_timer_add(timer);
}

extern "C" int32_t kova_timer_modify(kova_timer_s *timer, uint64_t timeout)
{
    if (timer == nullptr || timeout == 0 || timer->func == nullptr) {
        KOVA_LOG(kova::log::kError, "Input para is invalid.");
        return -1;
    }
    if (is_high_resolution(timer)) return kova_hr_timer_modify(timer, timeout);
    // The wheel's lists do not exist before initialisation: refuse rather than crash.
    if (!ready()) {
        KOVA_LOG(kova::log::kError, "kova timer is not inited.");
        return -1;
    }
    uint64_t expires = kova_time_getmillisec() + (timeout * 1000u) / 1000u;
    if (is_pending(timer) && expiry_of(timer) == expires) return 0;

    kova_timer_root_s &r = root();
    lock_timer_root(r);
    timer->timeOut = timeout;
    if (is_pending(timer)) detach(r, timer, false);
    if (r.timerNum == 0) rebase(r);
    std::atomic_ref(timer->expirTime).store(expires, std::memory_order_relaxed);
    place(r, timer);
    ++r.timerNum;
    if (expires < r.curMs + 1000) publish_armed(r, next_run_time(r));
    unlock_timer_root(r);
    return 0;
}

namespace {

// The body of kova_timer_delete and kova_timer_delete_sync, which log under their own names.
int32_t remove_timer(kova_timer_s *timer, bool wait_for_handler)
{
    const char *caller = wait_for_handler ? "kova_timer_delete_sync" : "kova_timer_delete";
    if (timer == nullptr) {
        KOVA_LOG_AS(caller, kova::log::kError, "Input timer is null.");
        return -1;
    }
    if (is_high_resolution(timer))
        return wait_for_handler ? kova_hr_timer_delete_sync(timer) : kova_hr_timer_delete(timer);
    if (!ready()) {
        KOVA_LOG_AS(caller, kova::log::kError, "kova timer is not inited.");
        return -1;
    }
    kova_timer_root_s &r = root();
    lock_timer_root(r);
    while (wait_for_handler && running_timer(r) == timer) {
        unlock_timer_root(r);
        kova_yield();
        lock_timer_root(r);
    }
    if (is_pending(timer)) detach(r, timer, true);
    unlock_timer_root(r);
    return 0;
}

}  // namespace

extern "C" int32_t kova_timer_delete(kova_timer_s *timer) { return remove_timer(timer, false); }

extern "C" int32_t kova_timer_delete_sync(kova_timer_s *timer) { return remove_timer(timer, true); }

extern "C" int32_t kova_timer_destroy(kova_timer_s *timer) { return kova_timer_delete_sync(timer); }

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
