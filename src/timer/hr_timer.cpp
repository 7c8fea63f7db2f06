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
#include "timer/hr_timer.h"

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
constexpr std::uint8_t kInTree = KOVA_TIMER_HR_PENDING;

kova_timer_s *timer_of(kova_rb_node_s *node) { return reinterpret_cast<kova_timer_s *>(node); }

std::uint8_t isp_of(const kova_timer_s *timer)
{
    return std::atomic_ref(const_cast<std::uint8_t &>(timer->isp)).load(std::memory_order_relaxed);
}
void set_isp(kova_timer_s *timer, std::uint8_t value)
{
    std::atomic_ref(timer->isp).store(value, std::memory_order_relaxed);
}

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

bool ready()
{
    if (state.load(std::memory_order_acquire) == kReady) return true;
    KOVA_LOG(kova::log::kError, "kova hr timer is not inited.");
    return false;
}

// Under the mutex: links the timer by expiry (after equal ones) and wakes the thread when it
// became the earliest.
void insert(kova_timer_s *timer)
{
    kova_rb_node_s **link = &kova_hr_timer_root.tree.node;
    kova_rb_node_s *parent = nullptr;
    while (*link != nullptr) {
        parent = *link;
        link = earlier(timer->hrExpire, timer_of(parent)->hrExpire) ? &parent->left : &parent->right;
    }
    kova_rb_link_node(&timer->hrNode, parent, link);
    kova_rb_insert_color(&timer->hrNode, &kova_hr_timer_root.tree);
    set_isp(timer, kInTree);
    if (kova_rb_first(&kova_hr_timer_root.tree) == &timer->hrNode) pthread_cond_signal(&kova_hr_timer_root.cond);
}

void remove(kova_timer_s *timer)
{
    kova_rb_erase(&timer->hrNode, &kova_hr_timer_root.tree);
    set_isp(timer, 0);
}

void wait_until(const timespec &deadline)
{
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
        if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) continue;
        kova_rb_node_s *first = kova_rb_first(&r.tree);
        if (first == nullptr) {
            timespec deadline = now;
            deadline.tv_sec += kIdleWaitSeconds;
            wait_until(deadline);
            continue;
        }
        kova_timer_s *timer = timer_of(first);
        kova_timer_expire_s now_e{now.tv_sec, now.tv_nsec};
        if (earlier(now_e, timer->hrExpire)) {
            wait_until(timespec{static_cast<time_t>(timer->hrExpire.tv_sec), static_cast<long>(timer->hrExpire.tv_nsec)});
            continue;
        }
        std::atomic_ref(r.running).store(timer, std::memory_order_release);
        if (isp_of(timer) == kInTree) remove(timer);
        kova_timer_fn fn = timer->func;
        std::uint64_t data = timer->data;
        pthread_mutex_unlock(&r.mutex);
        if (fn != nullptr) fn(data);
        std::atomic_ref(r.running).store(nullptr, std::memory_order_release);
        pthread_mutex_lock(&r.mutex);
    }
    return nullptr;
}

void set_failed(std::int32_t step) { state.store(step, std::memory_order_release); }

}  // namespace

namespace kova::timer {

// Runs once, from the first kova_hr_timer_add; a failure is final.
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
    if (kova_set_thread_affinity(hr_thread, kAffinityLevel) != 0)
        KOVA_LOG(kova::log::kInfo, "set thread affinity failed, tid(%lu), affinity_level(%s).",
                 static_cast<unsigned long>(hr_thread), kAffinityLevel);
    KOVA_LOG(kova::log::kInfo, "kova hr timer inited OK.");
}

std::int32_t hr_state() { return state.load(std::memory_order_acquire); }

}  // namespace kova::timer

extern "C" int32_t kova_hr_timer_add(kova_timer_s *timer)
{
    pthread_once(&once, kova::timer::kova_hr_timer_module_init);
    if (!ready()) return -1;
    if (timer == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null.");
        return -1;
    }
    if (isp_of(timer) == kInTree) {
        KOVA_LOG(kova::log::kError, "the hr timer is pending.");
        return -1;
    }
    if (timer->timeOut > KOVA_HR_TIMER_MAX_NS) {
        KOVA_LOG(kova::log::kError, "expire must less than 1 ms.");
        return -1;
    }
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        KOVA_LOG(kova::log::kError, "Get clock time failed, errno %d", errno);
        return -1;
    }
    pthread_mutex_lock(&kova_hr_timer_root.mutex);
    timer->hrExpire = kova::timer::hr_expiry_after(now, timer->timeOut);
    insert(timer);
    pthread_mutex_unlock(&kova_hr_timer_root.mutex);
    return 0;
}

extern "C" int32_t kova_hr_timer_modify(kova_timer_s *timer, uint64_t delay_ns)
{
    if (!ready()) return -1;
    if (timer == nullptr) {
        KOVA_LOG(kova::log::kError, "Input timer is null.");
        return -1;
    }
    if (delay_ns > KOVA_HR_TIMER_MAX_NS) {
        KOVA_LOG(kova::log::kError, "expire must less than 1 ms.");
        return -1;
    }
    timer->timeOut = delay_ns;
    pthread_mutex_lock(&kova_hr_timer_root.mutex);
    if (isp_of(timer) == kInTree) remove(timer);
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        pthread_mutex_unlock(&kova_hr_timer_root.mutex);
        KOVA_LOG(kova::log::kError, "Get clock time failed, errno %d", errno);
        return -1;
    }
    timer->hrExpire = kova::timer::hr_expiry_after(now, delay_ns);
    insert(timer);
    pthread_mutex_unlock(&kova_hr_timer_root.mutex);
    return 0;
}

namespace {

int32_t remove_hr(kova_timer_s *timer, bool wait_for_handler)
{
    if (!ready()) return -1;
    HrTimerRoot &r = kova_hr_timer_root;
    pthread_mutex_lock(&r.mutex);
    while (wait_for_handler && std::atomic_ref(r.running).load(std::memory_order_acquire) == timer) {
        pthread_mutex_unlock(&r.mutex);
        kova_yield();
        pthread_mutex_lock(&r.mutex);
    }
    if (timer != nullptr && isp_of(timer) == kInTree) remove(timer);
    pthread_mutex_unlock(&r.mutex);
    return 0;
}

}  // namespace

extern "C" int32_t kova_hr_timer_delete(kova_timer_s *timer) { return remove_hr(timer, false); }

extern "C" int32_t kova_hr_timer_delete_sync(kova_timer_s *timer) { return remove_hr(timer, true); }

extern "C" uint32_t kova_hr_timer_is_pending(const kova_timer_s *timer)
{
    return timer != nullptr && isp_of(timer) == kInTree ? 1 : 0;
}

extern "C" int32_t kova_hr_timer_diagnose_func(int32_t argc, char **argv)
{
    if (!ready()) return -1;
    if (argc != 3 || argv == nullptr || argv[2] == nullptr || std::strncmp(argv[2], "list", 4) != 0) {
        KOVA_LOG(kova::log::kInfo, "cmd input wrong.\n");
        return -1;
    }
    KOVA_LOG(kova::log::kInfo, "list of timer\n%-5s %-24s %-12s %s:%-5s\n", "[NO.]", "[Timer Handler]",
             "[Expire(ms)]", "[file", "line]");
    HrTimerRoot &r = kova_hr_timer_root;
    pthread_mutex_lock(&r.mutex);
    unsigned long number = 0;
    for (kova_rb_node_s *node = kova_rb_first(&r.tree); node != nullptr; node = kova_rb_next(node)) {
        const kova_timer_s *timer = timer_of(node);
        KOVA_LOG(kova::log::kInfo, "%-5lu %-24s %-12lu %s:%-5d\n", ++number,
                 timer->funcName != nullptr ? timer->funcName : "", static_cast<unsigned long>(timer->timeOut),
                 timer->file != nullptr ? timer->file : "", timer->line);
        if (number % 50 == 0) kova_10msleep(100);
    }
    pthread_mutex_unlock(&r.mutex);
    return 0;
}
