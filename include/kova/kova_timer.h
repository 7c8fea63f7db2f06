/**
 * @file
 * Timers: the timer wheel (millisecond resolution, no upper limit) and high-resolution timers
 * (at most 1 ms ahead, nanosecond delays), sharing one caller-owned record.
 *
 * The wheel has five levels over the millisecond clock:
 *
 *   level  slots  width   takes delays d (ms)
 *   0      1000   1 ms    d <= 999
 *   1      60     1 s     1,000 <= d <= 59,999
 *   2      60     1 min   60,000 <= d <= 3,599,999
 *   3      60     1 h     3,600,000 <= d <= 215,999,999
 *   4      24     60 h    d >= 216,000,000 (slots chosen at most 60 days ahead; cascades re-place)
 *
 * One tick thread, "kova_run_timers", runs the handlers one at a time outside the wheel's lock;
 * it sleeps at most 20 ms and is woken when a timer is armed earlier than its next wake-up.
 * Arming and deleting are constant time. A handler may re-arm its own timer; it must not call
 * kova_timer_delete_sync on it.
 *
 * A record with flags bit 0 (KOVA_TIMER_HR) is a high-resolution timer: it lives in a red-black
 * tree ordered by CLOCK_MONOTONIC expiry and is run by the thread "kova_hr_timer"; the wheel's
 * functions hand such records to the kova_hr_timer_* functions.
 *
 * Typical use: kova_timer_init, kova_timer_set (time-out, data, handler), kova_timer_add; later
 * kova_timer_modify to re-arm and kova_timer_delete_sync before the record's memory goes away.
 */
#ifndef KOVA_KOVA_TIMER_H
#define KOVA_KOVA_TIMER_H

#include <pthread.h>

#include "kova_list.h"
#include "kova_lock.h"
#include "kova_rbtree.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_TIMER_HR 0x1u              /**< flags bit 0: a high-resolution timer */
#define KOVA_TIMER_HR_PENDING 0x11u     /**< isp while in the high-resolution tree */
#define KOVA_HR_TIMER_MAX_NS 1000000ull /**< longest high-resolution delay */
#define KOVA_TIMER_WHEEL_SLOTS 1204u    /**< 1000 + 60 + 60 + 60 + 24 */

/** A timer handler, called with the record's `data` on the wheel's or the high-resolution thread. */
typedef void (*kova_timer_fn)(uint64_t data);

/** A high-resolution expiry on CLOCK_MONOTONIC. */
typedef struct kova_timer_expire_s {
    int64_t tv_sec; /**< seconds */
    int64_t tv_nsec; /**< nanoseconds, 0 to 999999999 */
} kova_timer_expire_s;

/** The timer record, owned by the caller. */
typedef struct kova_timer_s {
    kova_rb_node_s hrNode;        /**< high-resolution tree link */
    kova_timer_expire_s hrExpire; /**< high-resolution expiry, CLOCK_MONOTONIC */
    kova_list_head_s entry;       /**< wheel slot link; next is non-null exactly while pending */
    uint64_t expirTime;           /**< wheel expiry on the millisecond clock */
    uint64_t timeOut;             /**< last time-out: ms (wheel) or ns (high-resolution) */
    uint64_t data;                /**< handed to func */
    kova_timer_fn func; /**< the handler */
    uint8_t isp;                  /**< KOVA_TIMER_HR_PENDING while in the tree */
    uint8_t flags;                /**< KOVA_TIMER_HR */
    const char *funcName;         /**< who set the timer up, for diagnostics */
    const char *file; /**< source file of that caller */
    int32_t line; /**< source line of that caller */
} kova_timer_s;

/** The process's wheel. */
typedef struct kova_timer_root_s {
    kova_spinlock_s lock;         /**< guards the wheel, curMs, timerNum, runningTimer, entries */
    pthread_mutex_t mutex;        /**< guards the tick thread's sleep */
    pthread_cond_t cond;          /**< CLOCK_MONOTONIC; wakes the tick thread */
    uint64_t curMs;               /**< the next millisecond whose slot is unprocessed */
    uint64_t timerNum;            /**< timers pending in the wheel */
    uint64_t nextRunMs;           /**< when the tick thread next processes slots */
    pthread_t runThreadId; /**< the tick thread */
    kova_timer_s *runningTimer;   /**< whose handler runs now */
    kova_list_head_s wheel[KOVA_TIMER_WHEEL_SLOTS]; /**< the slot lists of the five levels */
} kova_timer_root_s;

/** Builds the wheel and starts the tick thread: 0 (also when already done), or -1. */
KOVA_API int32_t kova_timer_module_init(void);
/** Zeroes the record: 0, or -1 for null. A record in the high-resolution tree is taken out first;
 * one pending in the wheel is not (the record may be uninitialised memory, whose links are not
 * followed): the tick thread reports the broken slot when it reaches it and goes on. */
KOVA_API int32_t kova_timer_init(kova_timer_s *timer);
/** Zeroes the record and stores time-out, data, handler and the caller's name, file and line:
 * 0, or -1 for a null timer or handler or a timer pending in either structure. Use kova_timer_set. */
KOVA_API int32_t kova_timer_set_raw(kova_timer_s *timer, uint64_t timeout, uint64_t data, kova_timer_fn func,
                                    const char *func_name, const char *file, int32_t line);
/** kova_timer_set_raw with the calling function's name, file and line. */
#define kova_timer_set(timer, timeout, data, func) \
    kova_timer_set_raw((timer), (timeout), (data), (func), __func__, __FILE__, __LINE__)
/** Arms a wheel timer for its stored time-out (ms): 0, or -1 (not initialised, bad, or pending in
 * the wheel or the high-resolution tree: a record is in at most one of them). */
KOVA_API int32_t kova_timer_add(kova_timer_s *timer);
/** Arms a high-resolution timer for its stored time-out (ns, at most 1 ms): 0, or -1 (also when
 * it is pending in the tree or in the wheel). */
KOVA_API int32_t kova_timer_add_ns(kova_timer_s *timer);
/** Arms or re-arms to fire `timeout` ms from now (ns for high-resolution timers): 0, or -1 (also
 * when the record is pending in the other structure). */
KOVA_API int32_t kova_timer_modify(kova_timer_s *timer, uint64_t timeout);
/** Takes a pending timer back to idle, out of whichever structure holds it (0 also when it was
 * idle); does not wait for its handler. */
KOVA_API int32_t kova_timer_delete(kova_timer_s *timer);
/** As kova_timer_delete, after waiting until the timer's handler runs on neither timer thread;
 * afterwards the record's memory may be released. */
KOVA_API int32_t kova_timer_delete_sync(kova_timer_s *timer);
/** The same as kova_timer_delete_sync: the record's memory may be released afterwards. */
KOVA_API int32_t kova_timer_destroy(kova_timer_s *timer);
/** 1 while pending, else 0 (a snapshot, read without the lock). */
KOVA_API uint32_t kova_timer_is_pending(const kova_timer_s *timer);
/** Logs the record that contains the list link `entry`. */
KOVA_API void kova_timer_show(kova_list_head_s *entry);
/** The process's timer wheel root (for diagnostics; change it only through the functions here). */
KOVA_API kova_timer_root_s *kova_get_timer_root(void);

/** High-resolution timers (also reached through the functions above for records with
 * KOVA_TIMER_HR): arms the timer for its stored time-out in ns; 0 or -1 as kova_timer_add_ns. */
KOVA_API int32_t kova_hr_timer_add(kova_timer_s *timer);
/** Arms or re-arms a high-resolution timer to fire `delay_ns` from now: 0 or -1 as
 * kova_timer_modify. */
KOVA_API int32_t kova_hr_timer_modify(kova_timer_s *timer, uint64_t delay_ns);
/** Takes a pending high-resolution timer back to idle without waiting for its handler: 0 or -1. */
KOVA_API int32_t kova_hr_timer_delete(kova_timer_s *timer);
/** As kova_hr_timer_delete, after waiting until the timer's handler is not running. */
KOVA_API int32_t kova_hr_timer_delete_sync(kova_timer_s *timer);
/** 1 while the timer is pending in the high-resolution tree, else 0 (also for null). */
KOVA_API uint32_t kova_hr_timer_is_pending(const kova_timer_s *timer);
/** Diagnostic command: "<cmd> <sub> list" logs the pending high-resolution timers. */
KOVA_API int32_t kova_hr_timer_diagnose_func(int32_t argc, char **argv);

KOVA_EXTERN_C_END

#endif
