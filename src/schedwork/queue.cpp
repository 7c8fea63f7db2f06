// The work queue: a circular list under the queue spin lock, oldest first, and the wake-ups of
// the workers that sleep on the semaphore.
//
// A post is made only when a queued work would otherwise wait: more works are queued than there
// are workers polling plus posts still on their way, and a worker sleeps that no post is waking
// yet. A worker that takes a work and sees more behind it applies the same rule. So a steady
// stream is picked up by the polling worker without any system call, while a burst (or a poller
// that lost its processor) still wakes sleepers. A worker busy in a handler covers nothing: the
// handler may block. Every decision is taken under the queue lock, and a worker finds the queue
// empty and registers to sleep (or to poll) in one hold of it, so an add either sees the
// registration or is seen by the worker. A worker leaves the sleepers when its wait returns for
// whatever reason, and the posts pending when its wait took a post; so a pending post always
// means a waiter will wake.
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

#include "init/kova_log.h"
#include "lock/cpu_relax.h"
#include "schedwork/schedwork.h"
#include "schedwork/diagnostics.h"
#include "schedwork/dropped.h"

KOVA_LOG_SOURCE("schedwork/kova_sched_work")

namespace kova::schedwork {

namespace {

constinit Scheduler the_scheduler;
constinit std::atomic<DroppedWorkHook> dropped_work_hook{nullptr};

kova_list_head_s *queue_head() { return &the_scheduler.anchor.list; }

bool is_poison(const kova_list_head_s *link)
{
    return link == nullptr || link == KOVA_LIST_POISON_NEXT || link == KOVA_LIST_POISON_PREV;
}

bool is_unqueued(const kova_sched_work_s *work)
{
    return work->list.next == KOVA_LIST_POISON_NEXT && work->list.prev == KOVA_LIST_POISON_PREV;
}

void mark_unqueued(kova_sched_work_s *work)
{
    work->list.next = KOVA_LIST_POISON_NEXT;
    work->list.prev = KOVA_LIST_POISON_PREV;
}

kova_sched_work_s *work_of(kova_list_head_s *link)
{
    return reinterpret_cast<kova_sched_work_s *>(reinterpret_cast<char *>(link) -
                                                 offsetof(kova_sched_work_s, list));
}

// Reports a node whose neighbours do not point back at it, dumping the records involved; whether
// both neighbours can be followed.
bool check_links(kova_list_head_s *node, const char *function)
{
    kova_list_head_s *prev = node->prev;
    kova_list_head_s *next = node->next;
    if (is_poison(prev)) {
        KOVA_LOG_AS(function, kova::log::kInfo, "List node prev:(%p), cur:(%p)", static_cast<void *>(prev),
                    static_cast<void *>(node));
        return false;
    }
    if (prev->next != node) {
        KOVA_LOG_AS(function, kova::log::kError, "Abnormal list node prev:%p(%p,%p) is not point to cur:%p(%p,%p)",
                    static_cast<void *>(prev), static_cast<void *>(prev->next), static_cast<void *>(prev->prev),
                    static_cast<void *>(node), static_cast<void *>(next), static_cast<void *>(prev));
        KovaSchedWorkShow(prev);
        KovaSchedWorkShow(node);
    }
    if (is_poison(next)) return false;
    if (next->prev != node) {
        KOVA_LOG_AS(function, kova::log::kError, "Abnormal list node next:%p(%p,%p) is not point to cur:%p(%p,%p)",
                    static_cast<void *>(next), static_cast<void *>(next->next), static_cast<void *>(next->prev),
                    static_cast<void *>(node), static_cast<void *>(next), static_cast<void *>(prev));
        KovaSchedWorkShow(next);
        KovaSchedWorkShow(node);
    }
    return true;
}

// Takes a queued work off the queue and marks it not queued. A neighbour is rewritten only when
// it points back at the node: anything else was reported and may belong to another list by now.
void unlink_work(kova_sched_work_s *work, const char *function)
{
    kova_list_head_s *node = &work->list;
    if (check_links(node, function)) {
        if (node->prev->next == node) node->prev->next = node->next;
        if (node->next->prev == node) node->next->prev = node->prev;
    }
    mark_unqueued(work);
    the_scheduler.queued.fetch_sub(1, std::memory_order_relaxed);
}

// The queue's spin lock, taken with a short spin and then yielding: with more submitters than
// cores the holder is often preempted, and waiters spinning out their period would only keep it
// off the processor longer.
constexpr unsigned kLockSpins = 16;

void lock_queue()
{
    kova_spinlock_s *lock = &the_scheduler.queue_lock;
    for (unsigned attempt = 0;; ++attempt) {
        if (std::atomic_ref<std::uint64_t>(lock->lock).load(std::memory_order_relaxed) == 0 &&
            kova_spinlock_trylock(lock) != 0)
            return;
        if (attempt < kLockSpins) kova::lock::cpu_relax();
        else sched_yield();
    }
}

class QueueGuard {
public:
    QueueGuard() { lock_queue(); }
    ~QueueGuard() { kova_spinlock_unlock(&the_scheduler.queue_lock); }
    QueueGuard(const QueueGuard &) = delete;
    QueueGuard &operator=(const QueueGuard &) = delete;
};

bool is_running() { return the_scheduler.inited.load() != 0 && the_scheduler.running.load() != 0; }

// Under the queue lock, all of these.
bool queue_empty() { return queue_head()->next == queue_head() || is_poison(queue_head()->next); }

bool claim_wake()
{
    Scheduler &s = the_scheduler;
    std::uint32_t covered = s.polling + s.posts_pending;
    if (queue_empty() || s.queued.load(std::memory_order_relaxed) <= covered || s.sleepers <= s.posts_pending)
        return false;
    ++s.posts_pending;
    return true;
}

struct Taken {
    kova_sched_work_s *work = nullptr;
    bool wake = false;  // post once the lock is released
};

Taken take_first(const char *function)
{
    if (queue_empty()) return {};
    kova_sched_work_s *work = work_of(queue_head()->next);
    unlink_work(work, function);
    return {work, claim_wake()};
}

kova_sched_work_s *handed_out(Taken taken)
{
    if (taken.wake) sem_post(&the_scheduler.semaphore);
    return taken.work;
}

// About 10 us on an idle core; the yields let a submitter that shares the core add the work.
constexpr unsigned kPollRounds = 256;
constexpr unsigned kYieldEvery = 32;

Taken poll_queue(const char *function)
{
    Scheduler &s = the_scheduler;
    for (unsigned round = 1; round <= kPollRounds && s.queued.load(std::memory_order_relaxed) == 0; ++round) {
        if (round % kYieldEvery == 0) sched_yield();
        else kova::lock::cpu_relax();
    }
    QueueGuard guard;
    --s.polling;
    Taken taken = take_first(function);
    if (taken.work == nullptr) ++s.sleepers;
    return taken;
}

// True when the wait took a post.
bool wait_for_post()
{
    Scheduler &s = the_scheduler;
    timespec deadline{};
    if (clock_gettime(CLOCK_REALTIME, &deadline) != 0) return false;
    deadline.tv_sec += s.idleWaitSeconds.load(std::memory_order_relaxed);
    return sem_timedwait(&s.semaphore, &deadline) == 0;
}

}  // namespace

Scheduler &scheduler() { return the_scheduler; }

void reset_queue()
{
    QueueGuard guard;
    mark_unqueued(&the_scheduler.anchor);
    queue_head()->next = queue_head();
    queue_head()->prev = queue_head();
    the_scheduler.queued.store(0, std::memory_order_relaxed);
}

void drop_queued(const char *function)
{
    QueueGuard guard;
    kova_list_head_s *head = queue_head();
    // A broken chain that leads away from the head ends the walk at a poisoned link.
    DroppedWorkHook hook = dropped_work_hook.load(std::memory_order_acquire);
    while (head->next != head && !is_poison(head->next)) {
        kova_sched_work_s *work = work_of(head->next);
        unlink_work(work, function);
        if (hook != nullptr) hook(work);
    }
}

DroppedWorkHook set_dropped_work_hook(DroppedWorkHook hook)
{
    return dropped_work_hook.exchange(hook, std::memory_order_acq_rel);
}

kova_sched_work_s *next_work()
{
    Scheduler &s = the_scheduler;
    Taken taken;
    bool poll = false;
    {
        QueueGuard guard;
        taken = take_first("sched_work_select_task");
        if (taken.work == nullptr) {
            poll = s.polling == 0;
            ++(poll ? s.polling : s.sleepers);
        }
    }
    if (taken.work == nullptr && poll) taken = poll_queue("sched_work_select_task");
    if (taken.work != nullptr) return handed_out(taken);
    bool posted = wait_for_post();
    QueueGuard guard;
    --s.sleepers;
    if (posted && s.posts_pending > 0) --s.posts_pending;
    return nullptr;
}

void wake_if_needed()
{
    bool wake;
    {
        QueueGuard guard;
        wake = claim_wake();
    }
    if (wake) sem_post(&the_scheduler.semaphore);
}

void wake_one()
{
    {
        QueueGuard guard;
        ++the_scheduler.posts_pending;
    }
    sem_post(&the_scheduler.semaphore);
}

std::uint32_t queued_count()
{
    QueueGuard guard;
    return the_scheduler.queued.load(std::memory_order_relaxed);
}

}  // namespace kova::schedwork

using kova::schedwork::scheduler;

extern "C" int32_t kova_sched_init_work(kova_sched_work_s *work, kova_sched_work_fn func, void *data)
{
    work->pid = static_cast<int32_t>(getpid());
    work->timeout = 0;
    work->list.next = KOVA_LIST_POISON_NEXT;
    work->list.prev = KOVA_LIST_POISON_PREV;
    work->pData = data;
    work->func = func;
    return work->pid;
}

extern "C" int32_t kova_sched_add_work(kova_sched_work_s *work)
{
    using namespace kova::schedwork;
    if (work == nullptr) {
        KOVA_LOG(kova::log::kError, "The v_pstWork is equal NULL.");
        return -1;
    }
    if (!is_running() && sched_work_init() != 0) {
        KOVA_LOG(kova::log::kError, "Adding work failed, as the result of initing sched_work failed");
        return -1;
    }
    Scheduler &s = scheduler();
    if (s.exiting.load(std::memory_order_acquire) != 0)
        KOVA_LOG(kova::log::kError, "In destroying, adding v_pstWork failed.");
    bool was_unqueued;
    bool wake = false;
    {
        // Tested under the lock: two threads adding the same work must not both link it.
        QueueGuard guard;
        was_unqueued = is_unqueued(work);
        if (was_unqueued) {
            kova_list_head_s *head = queue_head();
            check_links(head, __func__);
            kova_list_head_s *last = head->prev;
            work->list.next = head;
            work->list.prev = last;
            last->next = &work->list;
            head->prev = &work->list;
            s.queued.fetch_add(1, std::memory_order_relaxed);
            wake = claim_wake();
        }
    }
    if (!was_unqueued) {
        KOVA_LOG(kova::log::kError, "Work in list is not initial, PID = (%d)", work->pid);
        return -1;
    }
    return wake ? sem_post(&s.semaphore) : 0;
}

extern "C" int32_t kova_sched_delete_work(kova_sched_work_s *work)
{
    using namespace kova::schedwork;
    if (work == nullptr) {
        KOVA_LOG(kova::log::kError, "The v_pstWork is equal NULL.");
        return -1;
    }
    if (!is_running()) {
        KOVA_LOG(kova::log::kError, "Deleting work failed, as the sched_work not inited.");
        return -1;
    }
    // A post already made stays: the worker it wakes finds nothing and waits again.
    QueueGuard guard;
    if (is_unqueued(work)) return KOVA_SCHED_WORK_NOT_QUEUED;
    unlink_work(work, __func__);
    return 0;
}

extern "C" kova_sched_work_s *sched_work_select_task(void)
{
    using namespace kova::schedwork;
    Taken taken;
    {
        QueueGuard guard;
        taken = take_first(__func__);
    }
    return handed_out(taken);
}

extern "C" void KovaSchedWorkShow(kova_list_head_s *link)
{
    if (link == nullptr || kovalog_level_check(KOVA_MODULE_ID, kova::log::kInfo) != 0) return;
    kova_sched_work_s *work = kova::schedwork::work_of(link);
    char entry[kova::schedwork::kSymbolTextSize];
    char data[kova::schedwork::kSymbolTextSize];
    char func[kova::schedwork::kSymbolTextSize];
    kova::schedwork::symbol_text(reinterpret_cast<std::uintptr_t>(work), entry);
    kova::schedwork::symbol_text(reinterpret_cast<std::uintptr_t>(work->pData), data);
    kova::schedwork::symbol_text(reinterpret_cast<std::uintptr_t>(work->func), func);
    KOVA_LOG(kova::log::kInfo,
             "Sched work entry:%s, schedWork pid:%d, sched work pData:%s, sched work process         function: %s",
             entry, work->pid, data, func);
}
