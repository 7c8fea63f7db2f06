/**
 * @file
 * Scheduled work: short jobs ("works") queued by any thread and run by a self-sizing set of
 * worker threads named "kova_schedwork", with time-out supervision of the workers.
 *
 * A caller embeds a kova_sched_work_s in its own structure, initialises it once with
 * kova_sched_init_work and queues it with kova_sched_add_work; one idle worker takes it off a FIFO
 * queue and calls its handler. A work may be queued again as soon as its handler has been called
 * (also from inside the handler), but never twice at once. Queueing is a constant-time append under
 * a spin lock plus one semaphore post; nothing is allocated.
 *
 * Workers: at most 64. A worker that takes a work first tops the idle workers up to the minimum
 * (4 unless section "KOVA" of the loaded configuration says less: SCHED_THREAD_FREE_NUM_MIN), and
 * a worker that finds more than the maximum idle (8, or SCHED_THREAD_FREE_NUM_MAX when lower) ends
 * itself. With 64 workers busy the next works wait in the queue.
 *
 * Supervision: a work given a time-out (kova_set_sched_work_timeout, at least 15 s) is watched; a
 * health-check framework calls kova_heal_check_callback through the heal-task record, which reports
 * overdue workers and the state in which every worker is stuck and no work has started for 180 s.
 * The checks never stop a work; they log, dump the worker's stack and write a verdict.
 */
#ifndef KOVA_KOVA_SCHEDWORK_H
#define KOVA_KOVA_SCHEDWORK_H

#include "kova_list.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_SCHED_WORK_MAX_THREADS 64u /**< most kova_schedwork workers at once */
#define KOVA_SCHED_WORK_MIN_TIMEOUT 15u      /**< seconds */
#define KOVA_SCHED_WORK_NOT_QUEUED (-55)     /**< kova_sched_delete_work: the work was not queued */
#define KOVA_SCHED_WORK_NO_INDEX 0xFFFFFFFFu /**< supervision index of a worker without an entry */

struct kova_sched_work_s;
/** A work's handler; its result is ignored. */
typedef void (*kova_sched_work_fn)(struct kova_sched_work_s *work);

/** A work record, owned by the caller. `list` holds (KOVA_LIST_POISON_NEXT, KOVA_LIST_POISON_PREV)
 * while the work is not queued; any other value means queued. */
typedef struct kova_sched_work_s {
    int32_t pid;           /**< process that initialised the work (for messages) */
    uint32_t timeout;      /**< supervision time-out in seconds; 0 = not supervised */
    kova_list_head_s list; /**< queue link */
    void *pData;           /**< the caller's; never read by the scheduler */
    kova_sched_work_fn func; /**< runs the work on a worker thread */
} kova_sched_work_s;

/** The record handed to the outside health-check framework, which calls `callback` with the
 * record's address periodically. Its layout is fixed. */
typedef struct kova_heal_task_s {
    char name[32];                                  /**< "kova_schedwork_timeout_check" */
    int32_t (*callback)(struct kova_heal_task_s *); /**< kova_heal_check_callback */
    uint64_t reserved0;                             /**< 0 */
    uint64_t reserved1;                             /**< 0 */
    uint32_t mode;                                  /**< 1: fixed values the framework interprets */
    uint32_t period;                                /**< 5 */
    uint32_t threshold;                             /**< 5 */
    uint32_t pad0; /**< 0 */
    uint64_t reserved2;                             /**< 0 */
    uint8_t framework[48];                          /**< never written by the library */
    uint32_t result;                                /**< written by the callback: 1 healthy, 0 all stuck */
    uint32_t pad1; /**< 0 */
} kova_heal_task_s;

/* ---- works ---- */

/** Fills the record: pid, no time-out, not queued, data and handler. Returns the pid. */
KOVA_API int32_t kova_sched_init_work(kova_sched_work_s *work, kova_sched_work_fn func, void *data);
/** Queues the work (starting the scheduler on first use): 0, or -1 for a null work, a work that is
 * queued already or not initialised, or a scheduler that cannot start. A work queued while the
 * scheduler is being destroyed is logged and kept; it runs once the scheduler runs again. */
KOVA_API int32_t kova_sched_add_work(kova_sched_work_s *work);
/** Takes a queued work off the queue without running it: 0; KOVA_SCHED_WORK_NOT_QUEUED when it was
 * not queued (never queued, or already taken by a worker, perhaps running now); -1 for a null work
 * or a scheduler that is not running. */
KOVA_API int32_t kova_sched_delete_work(kova_sched_work_s *work);
/** Supervises the work with a time-out of `seconds` (at least 15): 0, or -1. */
KOVA_API int32_t kova_set_sched_work_timeout(kova_sched_work_s *work, uint32_t seconds);
/** Logs the work whose `list` link this is (level 6, only when enabled): its address, data and
 * handler as symbol texts, and its pid. */
KOVA_API void KovaSchedWorkShow(kova_list_head_s *link);

/* ---- the scheduler ---- */

/** Sets the scheduler up once and starts the idle workers: 0, or -1 when no worker could start. */
KOVA_API int32_t sched_work_init(void);
/** Stops the idle workers and drops the queued works without running them; workers busy in a
 * handler end when it returns. A later sched_work_init or kova_sched_add_work starts anew.
 * Returns 0. */
KOVA_API int32_t sched_work_destroy(void);
/** Reads the idle-worker bounds from section "KOVA" of the loaded configuration. */
KOVA_API void sched_work_thread_num_set(void);
/** Starts workers until the minimum is idle or 64 exist: 0, or -1 when a start failed. */
KOVA_API int32_t sched_work_create_thread(void);
/** The oldest queued work, taken off the queue, or null. */
KOVA_API kova_sched_work_s *sched_work_select_task(void);
/** Runs one work, supervised through entry `index` when it has a time-out. */
KOVA_API void sched_work_run_task(kova_sched_work_s *work, uint32_t index);

/* ---- supervision and healing ---- */

/** Claims a free supervision entry for worker `tid`; its index goes to *index. 0, or -1 (null
 * pointer, or all 64 entries in use). */
KOVA_API int32_t kova_add_sched_work_timeout_check(uint32_t tid, uint32_t *index);
/** Records the work an entry's worker runs now (start 0: none). Indexes above 63 are ignored. */
KOVA_API void kova_update_sched_work_timeout_info(uint32_t index, uint64_t start_jiffies, uint32_t timeout_jiffies,
                                                  uint32_t pid);
/** Frees an entry. */
KOVA_API void kova_del_sched_work_timeout_check(uint32_t index);
/** Reports (level 4) and dumps the first worker that overran its work's time-out: 1, else 0. The
 * same worker is reported at every call while it stays overdue. */
KOVA_API int32_t kova_sched_work_timeout_theck(void);
/** 1 once 64 works have been in progress and none has started for 180 s (dumping at most four
 * workers per call), else 0. The first call only starts watching. */
KOVA_API int32_t kova_is_all_work_timeout(void);
/** Makes worker `tid` of this process dump its stack into the log. */
KOVA_API void sched_work_dump_thread_stack(uint32_t tid);
/** Fills the heal-task record read by the health-check framework: name
 * "kova_schedwork_timeout_check", kova_heal_check_callback, mode 1, period 5, threshold 5. */
KOVA_API void kova_init_sched_work_heal_task_info(void);
/** The heal-task record and the number of records (1): 0, or -1 for a null pointer. */
KOVA_API int32_t kova_get_sched_work_heal_task_info(kova_heal_task_s **task, uint32_t *count);
/** Runs both checks and writes the verdict into task->result: 0, or -1 for a null task. */
KOVA_API int32_t kova_heal_check_callback(kova_heal_task_s *task);

KOVA_EXTERN_C_END

#endif
