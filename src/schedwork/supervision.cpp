// Supervision of the workers: one table entry per worker, the overdue check, the all-stuck
// detector and the heal-task record the outside health-check framework calls through.
//
// Workers write their own entry; the checks run on the framework's thread. Unlocked reads only
// pre-select an entry; every decision is confirmed under the entry's mutex.
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_time.h"
#include "schedwork/schedwork.h"

KOVA_LOG_SOURCE("schedwork/kova_sched_work")

namespace kova::schedwork {

namespace {

constexpr std::uint32_t kEntries = kMaxThreads;
constexpr std::uint64_t kStuckJiffies = 45000;  // 180 s without a work starting
constexpr std::uint32_t kStuckDumps = 4;
constexpr std::uint32_t kHealthy = 1;
constexpr std::uint32_t kAllStuck = 0;

struct Entry {
    std::uint64_t startJiffies;
    pthread_mutex_t mutex;
    std::uint8_t inUse;
    std::uint32_t timeoutJiffies;
    std::uint32_t tid;
    std::uint32_t pid;
};

template <typename T>
T peek(T &field)
{
    return std::atomic_ref(field).load(std::memory_order_relaxed);
}
template <typename T>
void put(T &field, T value)
{
    std::atomic_ref(field).store(value, std::memory_order_relaxed);
}

// Zeroed mutexes are default mutexes in the GNU C library.
constinit Entry table[kEntries] = {};
constinit kova_heal_task_s heal_task = {};

// The all-stuck detector's state, one per process, for the framework's thread.
struct Detector {
    std::mutex lock;
    std::uint64_t base_jiffies = 0;  // 0: not started
    std::uint64_t base_started = 0;
    std::uint64_t started = 0;
    std::uint64_t finished = 0;
} detector;

class EntryLock {
public:
    explicit EntryLock(Entry &e) : entry_(e) { pthread_mutex_lock(&entry_.mutex); }
    ~EntryLock() { unlock(); }
    void unlock()
    {
        if (held_) pthread_mutex_unlock(&entry_.mutex);
        held_ = false;
    }
    EntryLock(const EntryLock &) = delete;
    EntryLock &operator=(const EntryLock &) = delete;

private:
    Entry &entry_;
    bool held_ = true;
};

bool overdue(Entry &e, std::uint64_t now)
{
    std::uint64_t start = peek(e.startJiffies);
    return start != 0 && now - start > peek(e.timeoutJiffies);
}

}  // namespace

void init_supervision()
{
    // The mutexes are statically initialised: the checks may run before the scheduler is set up.
    kova_init_sched_work_heal_task_info();
}

void reset_detector_for_test()
{
    std::lock_guard guard(detector.lock);
    detector.base_jiffies = 0;
}

}  // namespace kova::schedwork

using namespace kova::schedwork;

extern "C" int32_t kova_set_sched_work_timeout(kova_sched_work_s *work, uint32_t seconds)
{
    if (work == nullptr || seconds < KOVA_SCHED_WORK_MIN_TIMEOUT) {
        KOVA_LOG(kova::log::kError, "param 0x%llx, timeout %u.",
                 static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(work)), seconds);
        return -1;
    }
    work->timeout = seconds;
    return 0;
}

extern "C" int32_t kova_add_sched_work_timeout_check(uint32_t tid, uint32_t *index)
{
    if (index == nullptr) {
        KOVA_LOG(kova::log::kError, "Invalid index, param null.");
        return -1;
    }
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        Entry &e = table[i];
        if (peek(e.inUse) != 0) continue;
        EntryLock guard(e);
        if (e.inUse != 0) continue;
        put<std::uint8_t>(e.inUse, 1);
        put(e.tid, tid);
        *index = i;
        return 0;
    }
    KOVA_LOG(kova::log::kError, "can not find spare index for tid %u.", tid);
    return -1;
}

extern "C" void kova_update_sched_work_timeout_info(uint32_t index, uint64_t start_jiffies, uint32_t timeout_jiffies,
                                                    uint32_t pid)
{
    if (index >= kEntries) return;
    Entry &e = table[index];
    EntryLock guard(e);
    put(e.startJiffies, start_jiffies);
    put(e.timeoutJiffies, timeout_jiffies);
    put(e.pid, pid);
}

extern "C" void kova_del_sched_work_timeout_check(uint32_t index)
{
    if (index >= kEntries) {
        KOVA_LOG(kova::log::kError, "Invalid index (%u).\n", index);
        return;
    }
    Entry &e = table[index];
    EntryLock guard(e);
    put<std::uint8_t>(e.inUse, 0);
    put<std::uint64_t>(e.startJiffies, 0);
    put<std::uint32_t>(e.timeoutJiffies, 0);
}

extern "C" int32_t kova_sched_work_timeout_theck(void)
{
    for (Entry &e : table) {
        if (peek(e.inUse) == 0 || !overdue(e, kova_get_jiffies())) continue;
        EntryLock guard(e);
        if (!overdue(e, kova_get_jiffies())) continue;
        std::uint32_t tid = e.tid;
        std::uint32_t pid = e.pid;
        guard.unlock();
        KOVA_LOG(kova::log::kWarning, "sched work timeout: tid %u, pid %u.", tid, pid);
        sched_work_dump_thread_stack(tid);
        return 1;
    }
    return 0;
}

extern "C" int32_t kova_is_all_work_timeout(void)
{
    Scheduler &s = scheduler();
    std::lock_guard lock(detector.lock);
    auto restart = [&s] {
        detector.base_jiffies = kova_get_jiffies();
        detector.base_started = s.startedWork.load(std::memory_order_relaxed);
        return 0;
    };
    if (detector.base_jiffies == 0) return restart();
    detector.started = s.startedWork.load(std::memory_order_relaxed);
    detector.finished = s.finishedWork.load(std::memory_order_relaxed);
    auto in_progress = static_cast<std::int64_t>(detector.base_started - detector.finished);
    if (detector.started != detector.base_started || in_progress <= static_cast<std::int64_t>(kMaxThreads) - 1)
        return restart();
    if (kova_get_jiffies() - detector.base_jiffies < kStuckJiffies) return 0;
    std::uint32_t owned = 0;
    for (Entry &e : table) {
        EntryLock guard(e);
        if (e.inUse == 0) continue;
        if (++owned > kStuckDumps) return 1;
        std::uint32_t tid = e.tid;
        std::uint32_t pid = e.pid;
        guard.unlock();
        KOVA_LOG_AS("kova_dump_partial_sched_work_thread", kova::log::kError, "sched work timeout: tid %u, pid %u. ",
                    tid, pid);
        sched_work_dump_thread_stack(tid);
    }
    return 1;
}

extern "C" void kova_init_sched_work_heal_task_info(void)
{
    static constexpr char kName[] = "kova_schedwork_timeout_check";
    static_assert(sizeof kName <= sizeof heal_task.name);
    std::memcpy(heal_task.name, kName, sizeof kName);
    heal_task.callback = kova_heal_check_callback;
    heal_task.reserved0 = 0;
    heal_task.reserved1 = 0;
    heal_task.mode = 1;
    heal_task.period = 5;
    heal_task.threshold = 5;
    heal_task.reserved2 = 0;
}

extern "C" int32_t kova_get_sched_work_heal_task_info(kova_heal_task_s **task, uint32_t *count)
{
    if (task == nullptr || count == nullptr) {
        KOVA_LOG(kova::log::kError, "Invalid param, heal_task(0x%llx), task_num(0x%llx).",
                 static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(task)),
                 static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(count)));
        return -1;
    }
    *task = &heal_task;
    *count = 1;
    return 0;
}

extern "C" int32_t kova_heal_check_callback(kova_heal_task_s *task)
{
    if (task == nullptr) {
        KOVA_LOG(kova::log::kError, "Invalid param");
        return -1;
    }
    kova_sched_work_timeout_theck();
    std::uint32_t verdict = kova_is_all_work_timeout() != 0 ? kAllStuck : kHealthy;
    std::atomic_ref(task->result).store(verdict, std::memory_order_relaxed);
    return 0;
}
