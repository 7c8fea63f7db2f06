#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_affinity.h"
#include "kova/kova_sched.h"
#include "kova/kova_thrd.h"
#include "kova/kova_time.h"
#include "platform/clock.h"
#include "timer/wheel.h"

KOVA_LOG_SOURCE("timer/kova_timer")

namespace kova::timer {
namespace {

constexpr const char *kAffinityLevel = "affinity_level_1";
std::mutex init_lock;

// Reports a handler that ran for more than 300 ms (3 reports per quiet minute at most).
void run_timer_func(const kova_timer_s *timer, kova_timer_fn fn, const char *added_by, std::uint64_t cost_ms)
{
    if (cost_ms <= kSlowHandlerMs) return;
    KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kWarning, "Timer 0x%llx func 0x%llx added by %s cost %llu ms.",
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(timer)),
                         static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(fn)), added_by,
                         static_cast<unsigned long long>(cost_ms));
}

void set_running(kova_timer_root_s &r, kova_timer_s *timer)
{
    std::atomic_ref(r.runningTimer).store(timer, std::memory_order_release);
}

void cascade_at(kova_timer_root_s &r, std::uint64_t ms)
{
    if (cascade(r, 1, static_cast<std::uint32_t>((ms / 1000) % 60)) != 0) return;
    if (cascade(r, 2, static_cast<std::uint32_t>((ms / 60000) % 60)) != 0) return;
    if (cascade(r, 3, static_cast<std::uint32_t>((ms / 3600000) % 60)) != 0) return;
    cascade(r, 4, static_cast<std::uint32_t>((ms / 216000000) % 24));
}

void fire_expired(kova_timer_root_s &r, kova_list_head_s *expired)
{
    while (kova_list_head_s *node = first_sound(r, expired, "run_timers")) {
        kova_timer_s *timer = timer_of(node);
        kova_timer_fn fn = timer->func;
        std::uint64_t data = timer->data;
        const char *added_by = timer->funcName;
        if (fn == nullptr) kova_timer_show(node);
        set_running(r, timer);
        kova_list_head_s *after = successor_in(r, expired, node);
        detach(r, timer, true);
        // Settled before the lock is released: other threads may delete the rest meanwhile.
        relink_first(expired, after);
        unlock_timer_root(r);
        if (fn != nullptr) {
            std::uint64_t start = kova_time_getmillisec();
            fn(data);
            run_timer_func(timer, fn, added_by, kova_time_getmillisec() - start);
        }
        set_running(r, nullptr);
        lock_timer_root(r);
    }
}

// Listens to the test clock: the thread looks at the moved clock at once.
void wake_tick_thread()
{
    kova_timer_root_s &r = root();
    pthread_mutex_lock(&r.mutex);
    pthread_cond_signal(&r.cond);
    pthread_mutex_unlock(&r.mutex);
}

bool on_tick_thread(kova_timer_root_s &r) { return pthread_equal(pthread_self(), r.runThreadId) != 0; }

void *run_timers(void *)
{
    kova_set_process_name("%s", "kova_run_timers");
    kova_thrd_setprio(1);
    kova_setCurThreadStrategy(3);
    kova_timer_root_s &r = root();
    pthread_mutex_lock(&r.mutex);
    bool pass_due = false;
    for (;;) {
        std::uint64_t now = kova_time_getmillisec();
        if (pass_due || now >= next_run_ms(r)) {
            pass_due = false;
            do {
                pthread_mutex_unlock(&r.mutex);
                run_pass(r);
                pthread_mutex_lock(&r.mutex);
            } while (kova_time_getmillisec() >= next_run_ms(r));
            continue;
        }
        std::uint64_t wait_ms = next_run_ms(r) - now;
        if (wait_ms > kMaxSleepMs) wait_ms = kMaxSleepMs;
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += static_cast<long>(wait_ms * 1000000);
        deadline.tv_sec += deadline.tv_nsec / 1000000000;
        deadline.tv_nsec %= 1000000000;
        pass_due = pthread_cond_timedwait(&r.cond, &r.mutex, &deadline) == ETIMEDOUT;
    }
    return nullptr;
}

}  // namespace

void run_pass(kova_timer_root_s &r)
{
    lock_timer_root(r);
    std::uint64_t t = kova_time_getmillisec();
    if (r.timerNum == 0) {
        rebase(r, t);
        unlock_timer_root(r);
        return;
    }
    while (static_cast<std::int64_t>(r.curMs - t) <= 0) {
        auto index = static_cast<std::uint32_t>(r.curMs % 1000);
        if (index == 0) {
            cascade_at(r, r.curMs);
        } else if (std::uint32_t next = next_occupied_level0(index); next != index) {
            // Nothing can be due before the next occupied slot or the next cascade.
            std::uint64_t jump = r.curMs + (next - index);
            r.curMs = jump <= t + 1 ? jump : t + 1;
            continue;
        }
        kova_list_head_s expired;
        clear_level0(index);
        ++r.curMs;
        take_slot(&r.wheel[index], &expired, "run_timers");
        fire_expired(r, &expired);
    }
    publish_next_run(r, next_run_time(r));
    unlock_timer_root(r);
}

void publish_armed(kova_timer_root_s &r, std::uint64_t when)
{
    if (!on_tick_thread(r) && when < next_run_ms(r)) {
        pthread_mutex_lock(&r.mutex);
        publish_next_run(r, when);
        pthread_mutex_unlock(&r.mutex);
        pthread_cond_signal(&r.cond);
        return;
    }
    publish_next_run(r, when);
}

}  // namespace kova::timer

using namespace kova::timer;

extern "C" int32_t kova_timer_module_init(void)
{
    if (module_state.load(std::memory_order_acquire) == kReady) return 0;
    std::lock_guard guard(init_lock);
    if (module_state.load(std::memory_order_acquire) == kReady) return 0;
    kova_gettime_init();

    kova_timer_root_s &r = root();
    // The lock word is left alone and taken: the high-resolution side may hold it already to
    // look at a record (it is free while zero, so it works before this point).
    lock_timer_root(r);
    constexpr std::size_t kAfterLock = offsetof(kova_timer_root_s, mutex);
    std::memset(reinterpret_cast<char *>(&r) + kAfterLock, 0, sizeof r - kAfterLock);
    r.lock.magic = KOVA_SPINLOCK_MAGIC;
    r.lock.owner_cpu = ~0u;
    r.lock.owner = ~0ull;
    reset_wheel(r);
    publish_next_run(r, kova_time_getmillisec() + kMaxSleepMs);
    unlock_timer_root(r);
    if (int rc = kova_mtx_init(&r.mutex, KOVA_MTX_NORMAL); rc != 0) {
        KOVA_LOG(kova::log::kError, "Mutex init failed, error no %d.", rc);
        return -1;
    }
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (rc == 0) rc = pthread_cond_init(&r.cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    if (rc != 0) {
        KOVA_LOG(kova::log::kError, "Cond init failed, error no %d", rc);
        return -1;
    }
    r.curMs = kova_time_getmillisec();
    if (create_thread_nopreempt_raw(run_timers, nullptr, &r.runThreadId) != 0) {
        KOVA_LOG(kova::log::kError, "Create thread failed.");
        module_state.store(kThreadFailed, std::memory_order_release);
        return -1;
    }
    module_state.store(kReady, std::memory_order_release);
    kova::platform::add_counter_listener(wake_tick_thread);
    if (kova_set_thread_affinity(r.runThreadId, kAffinityLevel) != 0)
        KOVA_LOG(kova::log::kInfo, "set thread affinity failed, tid(%lu), affinity_level(%s).",
                 static_cast<unsigned long>(r.runThreadId), kAffinityLevel);
    return 0;
}
