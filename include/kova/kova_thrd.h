/**
 * @file
 * Threads: the thread record and registry, creation and naming, cached ids and hints, stack
 * bounds and execution contexts, scheduling strategies, priorities and CPU binding.
 *
 * Every thread the library starts, and every foreign thread that adopts the library
 * (kova_thrd_setcurthreadinfo), carries one record reachable through m_current_thread. Records
 * live in a lock-free registry of KOVA_THRD_SLOTS slots: listable (kova_thrd_list), findable by
 * kernel tid, and reused (never freed) by later threads. When the registry is full a thread still
 * starts, with a record of its own outside the registry that is neither listed nor findable.
 *
 * Creation functions start detached threads and return 0 or -1; when `handle` is not null it
 * receives the new thread's POSIX handle. A thread function takes one pointer-sized argument;
 * its result is ignored.
 */
#ifndef KOVA_KOVA_THRD_H
#define KOVA_KOVA_THRD_H

#include <pthread.h>
#include <semaphore.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_THRD_SLOTS 1024u
#define KOVA_THRD_NAME_LEN 16u            /**< 15 visible characters and a NUL */
#define KOVA_THRD_SIGSTACK_SIZE 0x10000u  /**< alternate signal stack of every record */
#define KOVA_THRD_INSTANT_MAP_STACK 0x20000u
#define KOVA_THRD_SWITCH_LOG 3u
#define KOVA_THRD_SWITCH_FRAMES 9u
#define KOVA_THRD_STRATEGIES 6u
#define KOVA_CPUSET_BYTES 128u            /**< 1024-bit CPU sets of the binding calls */

/** @{ */
/** Slot states. A slot is live (listable, findable) when in use and running, pool idle or busy. */
#define KOVA_THRD_ALLOCATED 1u
#define KOVA_THRD_RUNNING 2u
#define KOVA_THRD_POOL_IDLE 4u
#define KOVA_THRD_POOL_BUSY 8u
#define KOVA_THRD_EXITED 16u
/** @} */

/** @{ */
/** Execution contexts. */
#define KOVA_CONTEXT_NORMAL 0u
#define KOVA_CONTEXT_IOD 1u
#define KOVA_CONTEXT_IRQ 2u
/** @} */

typedef void *(*kova_thread_fn)(void *arg);

struct kova_thread_slot_s;

/** One LWP context switch as recorded for a thread. */
typedef struct kova_thread_switch_s {
    uint64_t old_instance;
    uint64_t new_instance;
    uint64_t return_address[KOVA_THRD_SWITCH_FRAMES];
} kova_thread_switch_s;

/** The thread record. Owned by the library; callers read it. */
typedef struct kova_thread_s {
    struct kova_thread_slot_s *slot;  /**< owning registry slot; null outside the registry */
    pthread_t handle;                 /**< POSIX handle of a pool thread */
    kova_thread_fn start_routine;
    void *arg;
    char name[KOVA_THRD_NAME_LEN];    /**< "[NULL]" until the thread names itself */
    int64_t tid;                      /**< kernel thread id; 0 until the thread runs */
    uint64_t pid;
    uint32_t strategy;                /**< index of the applied strategy; all ones for none */
    uint32_t context_kind;            /**< KOVA_CONTEXT_* */
    uint32_t iod_thread_id;           /**< all ones unless in iod context */
    uint32_t reserved0;
    uint64_t os_stack_low;            /**< bounds of the thread's own stack; 0 until recorded */
    uint64_t os_stack_high;
    void *sig_stack;                  /**< KOVA_THRD_SIGSTACK_SIZE bytes */
    sem_t wake_sem;                   /**< a pool thread waits here for work */
    uint64_t switch_count;            /**< LWP context switches; the log entry is count % 3 */
    kova_thread_switch_s switch_log[KOVA_THRD_SWITCH_LOG];
    uint64_t reserved[4];             /**< zeroed, never read */
} kova_thread_s;

/** @{ */
/** Thread-local state of every thread (initial values in brackets). */
KOVA_API extern __thread int32_t my_numa;                 /**< NUMA node hint [-1] */
KOVA_API extern __thread int32_t my_core;                 /**< CPU the thread is bound to [-1] */
KOVA_API extern __thread int32_t g_siKovaThrdPID;         /**< cached process id [-1] */
KOVA_API extern __thread uint64_t g_ullKovaThrdId;        /**< cached pthread_self() [all ones] */
KOVA_API extern __thread kova_thread_s *m_current_thread; /**< the thread's record [null] */
KOVA_API extern __thread void *g_lwpInstCurrent;          /**< current LWP instance [null] */
/** @} */

/** Instant-map flag: when 1, pool and non-preemptible raw threads get 128 KiB stacks. */
KOVA_API extern int32_t g_siProcMapFlag;

/* ---- creation ---- */

/** Hands the work to an idle pool thread when a pool exists and one is idle, else
 * create_thread_raw. */
KOVA_API int kova_thrd_create(kova_thread_fn fn, void *arg, pthread_t *handle);
/** @{ */
/** A new thread with default attributes; it applies strategy 0 before running fn. */
KOVA_API int create_thread_raw(kova_thread_fn fn, void *arg, pthread_t *handle);
KOVA_API int kova_thread_create_raw(kova_thread_fn fn, void *arg, pthread_t *handle);
/** @} */
/** Pool first; else with the instant-map flag a 128 KiB stack; else create_thread_raw. */
KOVA_API int create_thread_nopreempt_raw(kova_thread_fn fn, void *arg, pthread_t *handle);
/** A new thread with the caller's attributes (set to detached by this call); no strategy. */
KOVA_API int kova_thrd_create_attr(kova_thread_fn fn, void *arg, pthread_t *handle, pthread_attr_t *attr);
/** The body of the above: `entry` is the wrapper pthread_create runs with the record. */
KOVA_API int create_thread_raw_base(kova_thread_fn fn, void *arg, void *(*entry)(void *),
                                    pthread_t *handle, pthread_attr_t *attr);

/** @{ */
/** Attribute helpers: 0, or -1 for null or a failing POSIX call. */
KOVA_API int kova_thrd_attr_init(pthread_attr_t *attr);
KOVA_API int kova_thrd_attr_destroy(pthread_attr_t *attr);
KOVA_API int kova_thrd_setstacksize(pthread_attr_t *attr, size_t size);
/** @} */

/* ---- pools (hand work to parked threads instead of creating new ones) ---- */

/** Creates the pool once; returns the pool threads accounted so far (the rest are started by a
 * seeder thread), 0 for a count of 0 or when a pool exists. */
KOVA_API uint32_t kova_thread_pool_create(uint32_t count);
/** 0 when an idle pool thread took the work, -1 when there is no pool or no idle thread. */
KOVA_API int create_thread_from_thread_pool(kova_thread_fn fn, void *arg, pthread_t *handle);
/** @{ */
/** Stops the pool threads; returns the number woken in the second pass, 0 without a pool. */
KOVA_API int kova_thread_pool_destroy(void);
KOVA_API int create_thread_pool_base(void *(*entry)(void *), pthread_attr_t *attr);
/** @} */
/** Binds the calling thread to every configured CPU: 0, or -1. */
KOVA_API int kova_thrd_bindAllCfgCpu(void);

/* ---- records and registry ---- */

/** Once per process: installs the dump signal. Run by every creation and adoption. */
KOVA_API int kova_thrd_module_init(void);
/** Adopts the calling (foreign) thread: a record, its stacks, strategy 0. 0 or -1. */
KOVA_API int kova_thrd_setcurthreadinfo(void);
/** @{ */
/** Gives the calling thread's record back: 0, or -1 without a record. */
KOVA_API int kova_thrd_clearcurthreadinfo(void);
KOVA_API kova_thread_s *kova_thrd_currentthreadinfo(void);
/** @} */
/** The live record with that kernel tid, with a reference held (give it back with
 * kova_thrd_putthreadinfo), or null. The first match in slot order wins. */
KOVA_API kova_thread_s *kova_thrd_getthreadinfobytid(int64_t tid);
/** @{ */
/** Gives a reference back; returns the slot's new use count (0 for a record outside the registry,
 * which is freed). */
KOVA_API int kova_thrd_putthreadinfo(kova_thread_s *record);
KOVA_API uint32_t kova_thrd_getstatus(uint32_t status);
/** @} */
/** Prints the live threads: tid, name, preempt flag (0) and strategy. Returns 0. */
KOVA_API int kova_thrd_list(kova_print_fn print);

/* ---- names ---- */

/** Names the calling thread (record and kernel); at most 15 characters are kept. Only threads
 * with a record can be named. */
KOVA_API void kova_thrd_setname(const char *format, ...) __attribute__((format(printf, 1, 2)));
/** The calling thread's name, or null without a record. */
KOVA_API const char *kova_thrd_getname(void);
/** The process name (Name: of /proc/<pid>/status), at most size-1 characters: 0 or -1. */
KOVA_API int kova_get_process_name(char *buffer, uint32_t size);
/** The executable's file name, at most min(size, 32)-1 characters: 0 or -1. */
KOVA_API int kova_get_process_exe_name(char *buffer, uint32_t size);

/* ---- cached ids and hints (thread-local, no locks) ---- */

KOVA_API void kova_thrd_setpid_accl(void);
KOVA_API int32_t kova_thrd_getpid_accl(void);
KOVA_API void kova_thrd_settid_accl(void);
KOVA_API uint64_t kova_thrd_gettid_accl(void);
/** @{ */
/** The kernel tid from the record, or gettid() without one. */
KOVA_API int64_t kova_thread_get_knl_tid(void);
KOVA_API void kova_thrd_core_set(int32_t cpu);
KOVA_API void kova_thrd_numaId_set(int32_t node);
KOVA_API int32_t kova_thrd_numaId_get(void);
/** @} */
/** @{ */
/** my_core when set, else sched_getcpu(). */
KOVA_API int smp_processor_id(void);
KOVA_API int kova_set_instant_map_flag(void);
KOVA_API int32_t kova_get_instant_map_flag(void);
/** @} */

/* ---- stacks ---- */

/** Recognises and bounds the stacks of light-weight tasks, registered by the layer owning them. */
typedef struct kova_lwt_stack_ops_s {
    int (*is_lwt_stack)(uint64_t address);  /**< 0 when the address is on an LWT stack */
    int (*get_lwt_stack)(uint64_t address, uint64_t *low, uint64_t *high);  /**< 0 on success */
} kova_lwt_stack_ops_s;

KOVA_API int kova_thrd_getosstack(uint64_t *low, uint64_t *high);
KOVA_API int kova_thrd_getsigstack(uint64_t *low, uint64_t *high);
KOVA_API int kova_thread_get_specific_stack(int64_t tid, uint64_t *low, uint64_t *high);
KOVA_API int register_lwt_stack_ops(const kova_lwt_stack_ops_s *ops);
KOVA_API void unregister_lwt_stack_ops(void);
KOVA_API int kova_thrd_islwtstack(uint64_t address);
KOVA_API int kova_thrd_getlwtstack(uint64_t address, uint64_t *low, uint64_t *high);
KOVA_API uint64_t kova_thrd_getunknownstacksize(void);
KOVA_API int kova_thrd_setunknownstacksize(uint64_t size);
/** Classifies an address: "LWT_STACK", "OS_STACK", "SIG_STACK" or "UNKNOWN_STACK" with its bounds
 * (0), or -1 with "INVALID_STACK" / "INVALID_LWT_STACK". -1 at once for a null kind pointer. */
KOVA_API int kova_thrd_getcurrentstack(uint64_t address, uint64_t *low, uint64_t *high, const char **kind);
/** Fills exactly `count` return addresses from the caller's frame chain after skipping `skip`
 * frames, zeros once the chain leaves the stack. 0, or -1 when the stack is unknown. */
KOVA_API int kova_thrd_backtrace(uint64_t *buffer, uint32_t count, uint32_t skip);
/** @{ */
/** Disables the calling thread's alternate signal stack. */
KOVA_API void kova_thrd_unsetsigstack(void);
KOVA_API void kova_thrd_dump_cpu_stack_knl(void);
KOVA_API int kova_thrd_dump_cpu_stack(void);
KOVA_API int kova_thrd_dump_thread_stack_if_not_running(void);
/** @} */

/* ---- execution contexts of the calling thread ---- */

KOVA_API void kova_thread_run_in_iod_context_init(uint32_t iod_thread_id);
KOVA_API int kova_thread_run_in_iod_context_check(void);
KOVA_API int kova_thread_run_in_irq_context_check(void);
KOVA_API uint32_t kova_thread_iod_thread_id_get(void);
KOVA_API void kova_thread_run_in_irq_context_save(uint32_t *saved_kind);
KOVA_API void kova_thread_run_in_irq_context_restore(uint32_t saved_kind);

/* ---- strategies, priorities, binding ---- */

/** Configuration of one strategy: a nice value and a CPU list ("0-3,8"). */
typedef struct kova_thread_strategy_cfg_s {
    uint32_t priority;
    const char *cpu_mask;
} kova_thread_strategy_cfg_s;

KOVA_API int kova_initThreadStrategy(uint32_t index, const kova_thread_strategy_cfg_s *cfg);
/** @{ */
/** Applies strategy `index` (or Default when it is not configured) to the calling thread. */
KOVA_API int kova_setCurThreadStrategy(uint32_t index);
KOVA_API int kova_setCurThreadPrio(int32_t nice_value);
/** @} */
/** @{ */
/** Levels 0..4 give nice -20, -15, 0, 10, 15; other levels do nothing. */
KOVA_API void kova_thrd_setprio(uint32_t level);
KOVA_API int kova_showThreadStrategyDbg(kova_print_fn print);
/** @} */
/** @{ */
/** Binds a thread to a CPU set of KOVA_CPUSET_BYTES bytes; an all-zero set changes nothing. */
KOVA_API int kova_thrd_setbindcpu(pthread_t thread, const uint8_t *cpuset);
KOVA_API int kova_thrd_getbindcpu(pthread_t thread, uint8_t *cpuset);
KOVA_API int kova_thrd_getbindcpu_bypid(int64_t id, uint8_t *cpuset);
/** @} */
/** Binds the calling thread to a CPU list text. */
KOVA_API int kova_setCurThreadBind(const char *cpu_list);

/* ---- thread watch (a shared-memory word) ---- */

#define KOVA_THREAD_WATCH_MAGIC 0xEADD7741u
KOVA_API int kova_thread_watch_add(uint32_t value);
KOVA_API int kova_thread_watch_del(void);
KOVA_API uint32_t kova_thread_watch_get(void);

KOVA_EXTERN_C_END

#endif
