#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_affinity.h"
#include "kova/kova_sched.h"
#include "kova/kova_thrd.h"
#include "kova/kova_timer.h"
#include "platform/clock.h"
#include "timer/hr_timer.h"
#include "timer/wheel.h"

KOVA_LOG_SOURCE("timer/kova_hr_timer")

namespace {

// Module state: 6 until the first add, 0 when running, else the step that failed.
enum : std::int32_t { kReady = 0, kMutexFailed = 1, kAttrFailed = 2, kClockFailed = 3, kCondFailed = 4,
                      kThreadFailed = 5, kNotStarted = 6 };

struct HrTimerRoot {
    kova_rb_root_s tree;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    pthread_condattr_t condAttr;
    kova_timer_s *running;
};

HrTimerRoot kova_hr_timer_root;
std::atomic<std::int32_t> state{kNotStarted};
pthread_once_t once = PTHREAD_ONCE_INIT;
pthread_t hr_thread;

constexpr const char *kAffinityLevel = "affinity_level_1";
constexpr long kNsPerSecond = 1000000000;
constexpr time_t kIdleWaitSeconds = 10;

kova_timer_s *timer_of(kova_rb_node_s *node) { return reinterpret_cast<kova_timer_s *>(node); }

bool earlier(const kova_timer_expire_s &a, const kova_timer_expire_s &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

kova_timer_expire_s kova::timer::hr_expiry_after(const timespec &now, std::uint64_t delay_ns)
{
    kova_timer_expire_s e{now.tv_sec, static_cast<std::int64_t>(now.tv_nsec + static_cast<long>(delay_ns))};
    if (e.tv_nsec >= kNsPerSecond) {
        e.tv_sec += e.tv_nsec / kNsPerSecond;
        e.tv_nsec %= kNsPerSecond;
    }
    return e;
}

namespace {

using namespace kova::timer;

bool ready(const char *api)
{
    if (state.load(std::memory_order_acquire) == kReady) return true;
    KOVA_LOG_AS(api, kova::log::kError, "kova hr timer is not inited.");
    return false;
}

kova_timer_s *running() { return std::atomic_ref(kova_hr_timer_root.running).load(std::memory_order_acquire); }
void set_running(kova_timer_s *timer)
{
    std::atomic_ref(kova_hr_timer_root.running).store(timer, std::memory_order_release);
}

// Under the mutex: links a record (its isp already set) by expiry, after equal ones, and wakes
// the thread when it became the earliest.
void link_in_tree(kova_timer_s *timer)
{
    kova_rb_node_s **link = &kova_hr_timer_root.tree.node;
    kova_rb_node_s *parent = nullptr;
    while (*link != nullptr) {
        parent = *link;
        link = earlier(timer->hrExpire, timer_of(parent)->hrExpire) ? &parent->left : &parent->right;
    }
    kova_rb_link_node(&timer->hrNode, parent, link);
    kova_rb_insert_color(&timer->hrNode, &kova_hr_timer_root.tree);
    if (kova_rb_first(&kova_hr_timer_root.tree) == &timer->hrNode) pthread_cond_signal(&kova_hr_timer_root.cond);
}

// Under the mutex: whether the record is a node of the tree. Only tree links are followed, so
// it is safe on a record of any contents (kova_timer_init's may be uninitialised memory).
bool held_by_tree(const kova_timer_s *timer)
{
    const kova_timer_expire_s &key = timer->hrExpire;
    kova_rb_node_s *equal = nullptr;
    for (kova_rb_node_s *node = kova_hr_timer_root.tree.node; node != nullptr;) {
        const kova_timer_expire_s &at = timer_of(node)->hrExpire;
        if (earlier(at, key)) {
            node = node->right;
        } else {
            if (!earlier(key, at)) equal = node;
            node = node->left;
        }
    }
    for (kova_rb_node_s *n = equal; n != nullptr && !earlier(key, timer_of(n)->hrExpire); n = kova_rb_next(n))
        if (n == &timer->hrNode) return true;
    return false;
}

void erase(kova_timer_s *timer)
{
    kova_rb_erase(&timer->hrNode, &kova_hr_timer_root.tree);
    set_isp(timer, 0);
}

void wait_until(const timespec &moment)
{
    timespec deadline = kova::platform::sleep_deadline(moment);
    pthread_cond_timedwait(&kova_hr_timer_root.cond, &kova_hr_timer_root.mutex, &deadline);
}

void *kova_hr_timer(void *)
{
    kova_set_process_name("%s", "kova_hr_timer");
    kova_thrd_setprio(0);
    kova_setCurThreadStrategy(1);
    HrTimerRoot &r = kova_hr_timer_root;
    pthread_mutex_lock(&r.mutex);
    for (;;) {
        timespec now{};
        if (kova::platform::monotonic_now(&now) != 0) continue;
        kova_rb_node_s *first = kova_rb_first(&r.tree);
        if (first == nullptr) {
            now.tv_sec += kIdleWaitSeconds;
            wait_until(now);
            continue;
        }
        kova_timer_s *timer = timer_of(first);
        if (earlier({now.tv_sec, now.tv_nsec}, timer->hrExpire)) {
            wait_until(timespec{static_cast<time_t>(timer->hrExpire.tv_sec), static_cast<long>(timer->hrExpire.tv_nsec)});
            continue;
        }
        set_running(timer);
        // Taken out whatever its isp says: a record overwritten while in the tree would otherwise
        // stay first and run again at once, for ever.
        erase(timer);
        kova_timer_fn fn = timer->func;
        std::uint64_t data = timer->data;
        pthread_mutex_unlock(&r.mutex);
        if (fn != nullptr) fn(data);
        set_running(nullptr);
        pthread_mutex_lock(&r.mutex);
    }
    return nullptr;
}

// Listens to the test clock: the thread looks at the moved clock at once.
void wake_hr_thread()
{
    pthread_mutex_lock(&kova_hr_timer_root.mutex);
    pthread_cond_signal(&kova_hr_timer_root.cond);
    pthread_mutex_unlock(&kova_hr_timer_root.mutex);
}

void set_failed(std::int32_t step) { state.store(step, std::memory_order_release); }

// Runs once, from the first add; a failure is final.
void kova_hr_timer_module_init()
{
    if (state.load() == kReady) {
        KOVA_LOG(kova::log::kInfo, "kova hr timer is already inited.");
        return;
    }
    HrTimerRoot &r = kova_hr_timer_root;
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    if (int rc = pthread_mutex_init(&r.mutex, nullptr); rc != 0) {
        KOVA_LOG(kova::log::kError, "Mutex init failed, error no %d.", rc);
        return set_failed(kMutexFailed);
    }
    if (int rc = pthread_condattr_init(&r.condAttr); rc != 0) {
        KOVA_LOG(kova::log::kError, "Condattr init failed, error no %d", rc);
        return set_failed(kAttrFailed);
    }
    if (int rc = pthread_condattr_setclock(&r.condAttr, CLOCK_MONOTONIC); rc != 0) {
        KOVA_LOG(kova::log::kError, "Condattr setclock failed, error no %d", rc);
        return set_failed(kClockFailed);
    }
    if (int rc = pthread_cond_init(&r.cond, &r.condAttr); rc != 0) {
        KOVA_LOG(kova::log::kError, "Cond init failed, error no %d", rc);
        return set_failed(kCondFailed);
    }
    if (create_thread_nopreempt_raw(kova_hr_timer, nullptr, &hr_thread) != 0) {
        KOVA_LOG(kova::log::kError, "Create thread failed.");
        return set_failed(kThreadFailed);
    }
    state.store(kReady, std::memory_order_release);
    kova::platform::add_counter_listener(wake_hr_thread);
    if (kova_set_thread_affinity(hr_thread, kAffinityLevel) != 0)
        KOVA_LOG(kova::log::kInfo, "set thread affinity failed, tid(%lu), affinity_level(%s).",
                 static_cast<unsigned long>(hr_thread), kAffinityLevel);
    KOVA_LOG(kova::log::kInfo, "kova hr timer inited OK.");
}

enum class Arm { kAdd, kModify };

// Arms `delay_ns` from now; kAdd refuses a record already in the tree, kModify moves it. Whether
// the record may enter the tree is decided under the wheel's lock (see isp_of).
std::int32_t arm(kova_timer_s *timer, std::uint64_t delay_ns, Arm how, bool make_hr, const char *api)
{
    lock_hr();
    bool in_tree = hr_holds(timer);
    timespec now{};
    int clock_error = kova::platform::monotonic_now(&now) != 0 ? errno : 0;
    kova_timer_root_s &wheel = root();
    lock_timer_root(wheel);
    bool in_wheel = is_pending(timer);
    if (how == Arm::kAdd) delay_ns = timer->timeOut;
    const char *refusal = nullptr;
    if (how == Arm::kAdd && in_tree)
        refusal = "the hr timer is pending.";
    else if (delay_ns > KOVA_HR_TIMER_MAX_NS)
        refusal = "expire must less than 1 ms.";
    else if (in_wheel)
        refusal = "the timer is pending in the timer wheel.";
    if (make_hr && !in_wheel) set_high_resolution(timer, true);
    if (refusal == nullptr && clock_error == 0) {
        set_isp(timer, KOVA_TIMER_HR_PENDING);
        timer->timeOut = delay_ns;
    }
    unlock_timer_root(wheel);
    if (refusal != nullptr || clock_error != 0) {
        unlock_hr();
        if (refusal != nullptr)
            KOVA_LOG_AS(api, kova::log::kError, "%s", refusal);
        else
            KOVA_LOG_AS(api, kova::log::kError, "Get clock time failed, errno %d", clock_error);
        return -1;
    }
    if (in_tree) kova_rb_erase(&timer->hrNode, &kova_hr_timer_root.tree);
    timer->hrExpire = hr_expiry_after(now, delay_ns);
    link_in_tree(timer);
    unlock_hr();
    return 0;
}

}  // namespace

namespace kova::timer {

std::int32_t hr_state() { return state.load(std::memory_order_acquire); }

void lock_hr() { pthread_mutex_lock(&kova_hr_timer_root.mutex); }
void unlock_hr() { pthread_mutex_unlock(&kova_hr_timer_root.mutex); }

bool hr_holds(const kova_timer_s *timer) { return in_hr_tree(timer) && held_by_tree(timer); }

void hr_take_out(kova_timer_s *timer)
{
    if (!in_hr_tree(timer)) return;
    // A stale isp (the tree does not hold the record) is cleared, so that callers waiting for the
    // record to leave the tree see it leave.
    if (held_by_tree(timer)) kova_rb_erase(&timer->hrNode, &kova_hr_timer_root.tree);
    set_isp(timer, 0);
}

void lock_hr_when_idle(const kova_timer_s *timer)
{
    lock_hr();
    while (running() == timer) {
        unlock_hr();
        kova_yield();
        lock_hr();
    }
}

std::int32_t hr_timer_add(kova_timer_s *timer, bool make_hr, const char *api)
{
    pthread_once(&once, kova_hr_timer_module_init);
    if (!ready(api)) return -1;
    if (timer == nullptr) {
        KOVA_LOG_AS(api, kova::log::kError, "Input timer is null.");
        return -1;
    }
    return arm(timer, 0, Arm::kAdd, make_hr, api);
}

std::int32_t hr_timer_modify(kova_timer_s *timer, std::uint64_t delay_ns, const char *api)
{
    if (!ready(api)) return -1;
    if (timer == nullptr) {
        KOVA_LOG_AS(api, kova::log::kError, "Input timer is null.");
        return -1;
    }
    return arm(timer, delay_ns, Arm::kModify, false, api);
}

std::int32_t hr_timer_delete(kova_timer_s *timer, bool wait_for_handler, const char *api)
{
    if (!ready(api)) return -1;
    if (timer != nullptr) cancel_timer(timer, wait_for_handler);
    return 0;
}

}  // namespace kova::timer

extern "C" int32_t kova_hr_timer_add(kova_timer_s *timer) { return hr_timer_add(timer, false, __func__); }

extern "C" int32_t kova_hr_timer_modify(kova_timer_s *timer, uint64_t delay_ns)
{
    return hr_timer_modify(timer, delay_ns, __func__);
}

extern "C" int32_t kova_hr_timer_delete(kova_timer_s *timer) { return hr_timer_delete(timer, false, __func__); }

extern "C" int32_t kova_hr_timer_delete_sync(kova_timer_s *timer) { return hr_timer_delete(timer, true, __func__); }

extern "C" uint32_t kova_hr_timer_is_pending(const kova_timer_s *timer)
{
    return timer != nullptr && in_hr_tree(timer) ? 1 : 0;
}

extern "C" int32_t kova_hr_timer_diagnose_func(int32_t argc, char **argv)
{
    if (!ready(__func__)) return -1;
    if (argc != 3 || argv == nullptr || argv[2] == nullptr || std::strncmp(argv[2], "list", 4) != 0) {
        KOVA_LOG(kova::log::kInfo, "cmd input wrong.\n");
        return -1;
    }
    KOVA_LOG(kova::log::kInfo, "list of timer\n%-5s %-24s %-12s %s:%-5s\n", "[NO.]", "[Timer Handler]",
             "[Expire(ms)]", "[file", "line]");
    lock_hr();
    unsigned long number = 0;
    for (kova_rb_node_s *node = kova_rb_first(&kova_hr_timer_root.tree); node != nullptr; node = kova_rb_next(node)) {
        const kova_timer_s *timer = timer_of(node);
        KOVA_LOG(kova::log::kInfo, "%-5lu %-24s %-12lu %s:%-5d\n", ++number,
                 timer->funcName != nullptr ? timer->funcName : "", static_cast<unsigned long>(timer->timeOut),
                 timer->file != nullptr ? timer->file : "", timer->line);
        if (number % 50 == 0) kova_10msleep(100);
    }
    unlock_hr();
    return 0;
}
