// The workers: set-up, the worker loop, topping up idle workers, running a work, destruction.
#include "init/kova_log.h"
#include "kova/kova_sched.h"
#include "kova/kova_thrd.h"
#include "kova/kova_time.h"
#include "schedwork/schedwork.h"

KOVA_LOG_SOURCE("schedwork/kova_sched_work")

namespace kova::schedwork {

namespace {

class InitGuard {
public:
    InitGuard() { pthread_mutex_lock(&scheduler().init_mutex); }
    ~InitGuard() { pthread_mutex_unlock(&scheduler().init_mutex); }
    InitGuard(const InitGuard &) = delete;
    InitGuard &operator=(const InitGuard &) = delete;
};

// One word, so a reader needs no lock: what it decides on a stale value is what it would have
// decided just before the change.
bool exiting() { return scheduler().exiting.load(std::memory_order_acquire) != 0; }

void set_exiting(std::uint32_t value)
{
    Scheduler &s = scheduler();
    kova_spinlock_lock(&s.control_lock);
    s.exiting.store(value, std::memory_order_release);
    kova_spinlock_unlock(&s.control_lock);
}

void release_entry(std::uint32_t index)
{
    if (index != KOVA_SCHED_WORK_NO_INDEX) kova_del_sched_work_timeout_check(index);
}

// The argument is the generation the worker was counted in by its creator.
void *sched_work_thread(void *argument)
{
    auto generation = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(argument));
    Scheduler &s = scheduler();
    KOVA_LOG(kova::log::kDebug, "Sched work thread running.");
    kova_set_process_name("%s", "kova_schedwork");
    kova_setCurThreadStrategy(3);
    std::uint32_t index = KOVA_SCHED_WORK_NO_INDEX;
    kova_add_sched_work_timeout_check(static_cast<std::uint32_t>(kova_thread_get_knl_tid()), &index);
    // A new worker looks at the queue before it sleeps, and so does one whose work returned.
    for (;;) {
        if (exiting()) {
            // Counted off only in the generation that counted it in; a destruction resets both.
            update_counts(generation, [](Counts c) -> std::optional<Counts> {
                return Counts{c.free - 1, c.total - 1, c.generation};
            });
            break;
        }
        // A worker that outlived a destruction leaves the queue to the current workers.
        if (counts_now().generation != generation) break;
        kova_sched_work_s *work = next_work();
        if (work == nullptr) continue;
        bool current = update_counts(generation, [](Counts c) -> std::optional<Counts> {
            return Counts{c.free - 1, c.total, c.generation};
        });
        if (current) {
            sched_work_create_thread();
            Counts now = counts_now();
            if (now.total == kMaxThreads && now.free == 0)
                KOVA_LOG_RATELIMITED(kova::log::kInfo, kova::log::kInfo, "All kova_sched_work threads is running.");
        }
        s.startedWork.fetch_add(1, std::memory_order_relaxed);
        sched_work_run_task(work, index);
        s.finishedWork.fetch_add(1, std::memory_order_release);
        bool stays = false;
        bool counted = update_counts(generation, [&s, &stays](Counts c) -> std::optional<Counts> {
            stays = c.free + 1 <= s.maxFreeThread.load(std::memory_order_relaxed);
            return stays ? Counts{c.free + 1, c.total, c.generation} : Counts{c.free, c.total - 1, c.generation};
        });
        if (!counted) break;  // a destruction happened meanwhile
        if (!stays) {
            KOVA_LOG(kova::log::kDebug, "Sched work thread exited.");
            break;
        }
    }
    wake_if_needed();
    release_entry(index);
    return nullptr;
}

}  // namespace

}  // namespace kova::schedwork

using namespace kova::schedwork;

extern "C" int32_t sched_work_create_thread(void)
{
    Scheduler &s = scheduler();
    for (;;) {
        std::uint32_t generation = 0;
        // Decided and counted in one step: idle below the minimum, fewer than 64 in all.
        bool start = update_counts(counts_now().generation, [&s, &generation](Counts c) -> std::optional<Counts> {
            if (c.free >= s.minFreeThread.load(std::memory_order_relaxed) || c.total >= kMaxThreads)
                return std::nullopt;
            generation = c.generation;
            return Counts{c.free + 1, c.total + 1, c.generation};
        });
        if (!start) return 0;
        auto argument = reinterpret_cast<void *>(static_cast<std::uintptr_t>(generation));
        if (create_thread_nopreempt_raw(sched_work_thread, argument, nullptr) != 0) {
            update_counts(generation, [](Counts c) -> std::optional<Counts> {
                return Counts{c.free - 1, c.total - 1, c.generation};
            });
            KOVA_LOG(kova::log::kError, "Create sched work thread fail.");
            return -1;
        }
    }
}

extern "C" int32_t sched_work_init(void)
{
    Scheduler &s = scheduler();
    InitGuard guard;
    if (s.inited.load() == 0) {
        sem_init(&s.semaphore, 0, 0);
        reset_queue();
        init_supervision();
        s.inited.store(1);
    }
    if (s.running.load() != 0) return 0;
    sched_work_thread_num_set();
    // The new workers look at the queue first, so works kept from the last destruction run.
    if (sched_work_create_thread() != 0) return -1;
    s.running.store(1);
    return 0;
}

extern "C" int32_t sched_work_destroy(void)
{
    Scheduler &s = scheduler();
    InitGuard guard;
    kova_spinlock_lock(&s.control_lock);
    if (s.running.load() == 0 || s.exiting.load() != 0) {
        kova_spinlock_unlock(&s.control_lock);
        return 0;
    }
    s.exiting.store(1, std::memory_order_release);
    kova_spinlock_unlock(&s.control_lock);
    // No worker can be counted in from here on: the total is far above the limit.
    s.counts.fetch_add(static_cast<std::uint64_t>(kDestroying) << 16, std::memory_order_acq_rel);
    kova_10msleep(1);
    drop_queued(__func__);
    for (std::uint32_t i = counts_now().free; i > 0; --i) {
        wake_one();
        kova_10msleep(1);
    }
    // A new generation with no workers. Workers of the old one that have not ended yet (busy in a
    // handler, or not yet woken) end without touching the new counts.
    std::uint64_t word = s.counts.load(std::memory_order_acquire);
    while (!s.counts.compare_exchange_weak(word, Counts{0, 0, Counts::unpack(word).generation + 1}.pack(),
                                           std::memory_order_acq_rel, std::memory_order_acquire)) {
    }
    Counts last = Counts::unpack(word);
    if (last.total != kDestroying)
        KOVA_LOG(kova::log::kDebug, "some sched work thread exited abnormally. totalThread = %d",
                 static_cast<int>(last.total) - static_cast<int>(kDestroying));
    set_exiting(0);
    s.running.store(0);
    return 0;
}

extern "C" void sched_work_run_task(kova_sched_work_s *work, uint32_t index)
{
    if (work == nullptr) return;
    if (work->func == nullptr) {
        KOVA_LOG(kova::log::kError, "NULL sched work data handler, PID = (%d).", work->pid);
        return;
    }
    if (work->timeout == 0) {
        work->func(work);
        return;
    }
    kova_update_sched_work_timeout_info(index, kova_get_jiffies(), work->timeout * kJiffiesPerSecond,
                                        static_cast<uint32_t>(work->pid));
    work->func(work);
    kova_update_sched_work_timeout_info(index, 0, 0, 0);
}
