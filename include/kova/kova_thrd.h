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

/** Slots of the thread registry: records beyond this many live outside it, unlisted. */
#define KOVA_THRD_SLOTS 1024u
#define KOVA_THRD_NAME_LEN 16u            /**< 15 visible characters and a NUL */
#define KOVA_THRD_SIGSTACK_SIZE 0x10000u  /**< alternate signal stack of every record */
/** Stack size (128 KiB) of pool threads and non-preemptible raw threads under the instant-map flag. */
#define KOVA_THRD_INSTANT_MAP_STACK 0x20000u
/** Entries of a record's LWP context-switch log (a ring indexed by switch_count). */
#define KOVA_THRD_SWITCH_LOG 3u
/** Return addresses kept for each logged LWP context switch. */
#define KOVA_THRD_SWITCH_FRAMES 9u
/** Scheduling strategies: Default, Critical, Ctrl, Manage, IO and BackGroud (indexes 0 to 5). */
#define KOVA_THRD_STRATEGIES 6u
#define KOVA_CPUSET_BYTES 128u            /**< 1024-bit CPU sets of the binding calls */

/** Slot state: claimed for a new record that has not started yet. A slot is live (listable,
 * findable) when in use and running, pool idle or pool busy. */
#define KOVA_THRD_ALLOCATED 1u
/** Slot state: the record's thread is running a thread function. */
#define KOVA_THRD_RUNNING 2u
/** Slot state: a pool thread parked on its wake semaphore, ready to take work. */
#define KOVA_THRD_POOL_IDLE 4u
/** Slot state: a pool thread that has been handed work and is running it. */
#define KOVA_THRD_POOL_BUSY 8u
/** Slot state: the thread has ended; the slot waits for its last reference to be reused. */
#define KOVA_THRD_EXITED 16u

/** Execution context of a record: an ordinary thread. */
#define KOVA_CONTEXT_NORMAL 0u
/** Execution context: the thread runs as an IO dispatcher (kova_thread_run_in_iod_context_init). */
#define KOVA_CONTEXT_IOD 1u
/** Execution context: the thread runs an interrupt-like section (kova_thread_run_in_irq_context_save). */
#define KOVA_CONTEXT_IRQ 2u

/** A thread function: called with the pointer given at creation; its result is ignored. */
typedef void *(*kova_thread_fn)(void *arg);

struct kova_thread_slot_s;

/** One LWP context switch as recorded for a thread. */
typedef struct kova_thread_switch_s {
    uint64_t old_instance;  /**< LWP instance switched away from (its address; 0 for none) */
    uint64_t new_instance;  /**< LWP instance switched to (its address; 0 for none) */
    uint64_t return_address[KOVA_THRD_SWITCH_FRAMES];  /**< the switching caller's frames, zeros past the stack */
} kova_thread_switch_s;

/** The thread record. Owned by the library; callers read it. */
typedef struct kova_thread_s {
    struct kova_thread_slot_s *slot;  /**< owning registry slot; null outside the registry */
    pthread_t handle;                 /**< POSIX handle of a pool thread */
    kova_thread_fn start_routine;     /**< thread function the record runs (a pool thread's current work) */
    void *arg;                        /**< argument passed to start_routine */
    char name[KOVA_THRD_NAME_LEN];    /**< "[NULL]" until the thread names itself */
    int64_t tid;                      /**< kernel thread id; 0 until the thread runs */
    uint64_t pid;                     /**< process id at the time the record was claimed */
    uint32_t strategy;                /**< index of the applied strategy; all ones for none */
    uint32_t context_kind;            /**< KOVA_CONTEXT_* */
    uint32_t iod_thread_id;           /**< all ones unless in iod context */
    uint32_t reserved0;               /**< padding, zero */
    uint64_t os_stack_low;            /**< bounds of the thread's own stack; 0 until recorded */
    uint64_t os_stack_high;           /**< one past the top of the thread's own stack */
    void *sig_stack;                  /**< KOVA_THRD_SIGSTACK_SIZE bytes */
    sem_t wake_sem;                   /**< a pool thread waits here for work */
    uint64_t switch_count;            /**< LWP context switches; the log entry is count % 3 */
    kova_thread_switch_s switch_log[KOVA_THRD_SWITCH_LOG];  /**< the last LWP context switches */
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
/** A new thread with default attributes; it applies strategy 0 before running fn. */
KOVA_API int create_thread_raw(kova_thread_fn fn, void *arg, pthread_t *handle);
/** The same as create_thread_raw: a new thread with default attributes that applies strategy 0
 * before running fn; the pool is not asked. */
KOVA_API int kova_thread_create_raw(kova_thread_fn fn, void *arg, pthread_t *handle);
/** Pool first; else with the instant-map flag a 128 KiB stack; else create_thread_raw. */
KOVA_API int create_thread_nopreempt_raw(kova_thread_fn fn, void *arg, pthread_t *handle);
/** A new thread with the caller's attributes (set to detached by this call); no strategy. */
KOVA_API int kova_thrd_create_attr(kova_thread_fn fn, void *arg, pthread_t *handle, pthread_attr_t *attr);
/** The body of the above: `entry` is the wrapper pthread_create runs with the record. */
KOVA_API int create_thread_raw_base(kova_thread_fn fn, void *arg, void *(*entry)(void *),
                                    pthread_t *handle, pthread_attr_t *attr);

/** Initialises thread attributes (pthread_attr_init): 0, or -1 for null or a failing POSIX call. */
KOVA_API int kova_thrd_attr_init(pthread_attr_t *attr);
/** Destroys thread attributes (pthread_attr_destroy): 0, or -1 for null or a failing POSIX call. */
KOVA_API int kova_thrd_attr_destroy(pthread_attr_t *attr);
/** Sets the stack size of thread attributes (pthread_attr_setstacksize): 0, or -1 for null or a
 * size POSIX refuses. */
KOVA_API int kova_thrd_setstacksize(pthread_attr_t *attr, size_t size);

/* ---- pools (hand work to parked threads instead of creating new ones) ---- */

/** Creates the pool once; returns the pool threads accounted so far (the rest are started by a
 * seeder thread), 0 for a count of 0 or when a pool exists. */
KOVA_API uint32_t kova_thread_pool_create(uint32_t count);
/** 0 when an idle pool thread took the work, -1 when there is no pool or no idle thread. */
KOVA_API int create_thread_from_thread_pool(kova_thread_fn fn, void *arg, pthread_t *handle);
/** Stops the pool threads; returns the number woken in the second pass, 0 without a pool. */
KOVA_API int kova_thread_pool_destroy(void);
/** Starts one detached pool thread running `entry` with a registry record (attributes may be
 * null): 0, or -1 when the registry is full or the thread cannot be created. */
KOVA_API int create_thread_pool_base(void *(*entry)(void *), pthread_attr_t *attr);
/** Binds the calling thread to every configured CPU: 0, or -1. */
KOVA_API int kova_thrd_bindAllCfgCpu(void);

/* ---- records and registry ---- */

/** Once per process: installs the dump signal. Run by every creation and adoption. */
KOVA_API int kova_thrd_module_init(void);
/** Adopts the calling (foreign) thread: a record, its stacks, strategy 0. 0 or -1. */
KOVA_API int kova_thrd_setcurthreadinfo(void);
/** Gives the calling thread's record back: 0, or -1 without a record. */
KOVA_API int kova_thrd_clearcurthreadinfo(void);
/** The calling thread's record (m_current_thread), or null when it has none. */
KOVA_API kova_thread_s *kova_thrd_currentthreadinfo(void);
/** The live record with that kernel tid, with a reference held (give it back with
 * kova_thrd_putthreadinfo), or null. The first match in slot order wins. */
KOVA_API kova_thread_s *kova_thrd_getthreadinfobytid(int64_t tid);
/** Gives a reference back; returns the slot's new use count (0 for a record outside the registry,
 * which is freed), -1 for null. */
KOVA_API int kova_thrd_putthreadinfo(kova_thread_s *record);
/** Returns `status` unchanged: kept for callers that translate a slot state word. */
KOVA_API uint32_t kova_thrd_getstatus(uint32_t status);
/** Prints the live threads: tid, name, preempt flag (0) and strategy. Returns 0. */
KOVA_API int kova_thrd_list(kova_print_fn print);

/* ---- names ---- */

/** Names the calling thread (record and kernel); at most 15 characters are kept. Only threads
 * with a record can be named. */
KOVA_API void kova_thrd_setname(const char *format, ...) __attribute__((format(printf, 1, 2)));
/** The calling thread's name, or null without a record. */
KOVA_API const char *kova_thrd_getname(void);
/** The process name (Name: of /proc/\<pid\>/status), at most size-1 characters: 0 or -1. */
KOVA_API int kova_get_process_name(char *buffer, uint32_t size);
/** The executable's file name, at most min(size, 32)-1 characters: 0 or -1. */
KOVA_API int kova_get_process_exe_name(char *buffer, uint32_t size);

/* ---- cached ids and hints (thread-local, no locks) ---- */

/** Caches getpid() in g_siKovaThrdPID for the calling thread. */
KOVA_API void kova_thrd_setpid_accl(void);
/** The process id from g_siKovaThrdPID, filling the cache with getpid() when it is empty; a
 * forked child starts with an empty cache. */
KOVA_API int32_t kova_thrd_getpid_accl(void);
/** Caches pthread_self() in g_ullKovaThrdId for the calling thread. */
KOVA_API void kova_thrd_settid_accl(void);
/** The calling thread's pthread_self() from g_ullKovaThrdId, filling the cache when it is empty. */
KOVA_API uint64_t kova_thrd_gettid_accl(void);
/** The kernel tid from the record, or gettid() without one. */
KOVA_API int64_t kova_thread_get_knl_tid(void);
/** Sets the calling thread's CPU hint my_core (read by smp_processor_id); -1 clears it. */
KOVA_API void kova_thrd_core_set(int32_t cpu);
/** Sets the calling thread's NUMA node hint my_numa. */
KOVA_API void kova_thrd_numaId_set(int32_t node);
/** The calling thread's NUMA node hint my_numa (-1 until set). */
KOVA_API int32_t kova_thrd_numaId_get(void);
/** my_core when set, else sched_getcpu(). */
KOVA_API int smp_processor_id(void);
/** Sets the process-wide instant-map flag g_siProcMapFlag to 1; returns 0. */
KOVA_API int kova_set_instant_map_flag(void);
/** The instant-map flag g_siProcMapFlag: 1 when set, else 0. */
KOVA_API int32_t kova_get_instant_map_flag(void);

/* ---- stacks ---- */

/** Recognises and bounds the stacks of light-weight tasks, registered by the layer owning them. */
typedef struct kova_lwt_stack_ops_s {
    int (*is_lwt_stack)(uint64_t address);  /**< 0 when the address is on an LWT stack */
    int (*get_lwt_stack)(uint64_t address, uint64_t *low, uint64_t *high);  /**< 0 on success */
} kova_lwt_stack_ops_s;

/** Bounds of the calling thread's own stack from its record: 0, or -1 without a record, with
 * bounds not yet recorded, or with a null pointer. */
KOVA_API int kova_thrd_getosstack(uint64_t *low, uint64_t *high);
/** Bounds of the calling thread's alternate signal stack from its record: 0, or -1 without a
 * record or signal stack, or with a null pointer. */
KOVA_API int kova_thrd_getsigstack(uint64_t *low, uint64_t *high);
/** Bounds of the own stack of the live thread with kernel tid `tid`: 0, or -1 when no such thread
 * is registered, its bounds are not recorded, or a pointer is null. */
KOVA_API int kova_thread_get_specific_stack(int64_t tid, uint64_t *low, uint64_t *high);
/** Registers the light-weight task layer's stack callbacks (replacing earlier ones): 0, or -1 for
 * null. */
KOVA_API int register_lwt_stack_ops(const kova_lwt_stack_ops_s *ops);
/** Removes the light-weight task stack callbacks; the LWT queries then answer -1. */
KOVA_API void unregister_lwt_stack_ops(void);
/** Asks the registered callback whether `address` is on an LWT stack: its answer (0 when it is),
 * or -1 without callbacks. */
KOVA_API int kova_thrd_islwtstack(uint64_t address);
/** Asks the registered callback for the bounds of the LWT stack holding `address`: its answer (0
 * on success), or -1 without callbacks. */
KOVA_API int kova_thrd_getlwtstack(uint64_t address, uint64_t *low, uint64_t *high);
/** Size assumed for a stack the library does not know (UNKNOWN_STACK); 4096 until set. */
KOVA_API uint64_t kova_thrd_getunknownstacksize(void);
/** Sets the size assumed for an unknown stack; returns 0. */
KOVA_API int kova_thrd_setunknownstacksize(uint64_t size);
/** Classifies an address: "LWT_STACK", "OS_STACK", "SIG_STACK" or "UNKNOWN_STACK" with its bounds
 * (0), or -1 with "INVALID_STACK" / "INVALID_LWT_STACK". -1 at once for a null kind pointer. */
KOVA_API int kova_thrd_getcurrentstack(uint64_t address, uint64_t *low, uint64_t *high, const char **kind);
/** Fills exactly `count` return addresses from the caller's frame chain after skipping `skip`
 * frames, zeros once the chain leaves the stack. 0, or -1 when the stack is unknown. */
KOVA_API int kova_thrd_backtrace(uint64_t *buffer, uint32_t count, uint32_t skip);
/** Disables the calling thread's alternate signal stack. */
KOVA_API void kova_thrd_unsetsigstack(void);
/** Kept for link compatibility: the kernel-side CPU stack dump does nothing here. */
KOVA_API void kova_thrd_dump_cpu_stack_knl(void);
/** Kept for link compatibility: does nothing and returns 0. */
KOVA_API int kova_thrd_dump_cpu_stack(void);
/** Kept for link compatibility: does nothing and returns 0. */
KOVA_API int kova_thrd_dump_thread_stack_if_not_running(void);

/* ---- execution contexts of the calling thread ---- */

/** Marks the calling thread as running in IO-dispatcher context with that id; no effect on a
 * thread without a record. */
KOVA_API void kova_thread_run_in_iod_context_init(uint32_t iod_thread_id);
/** 1 when the calling thread has a record in IO-dispatcher context, else 0. */
KOVA_API int kova_thread_run_in_iod_context_check(void);
/** 1 when the calling thread has a record in interrupt context, else 0. */
KOVA_API int kova_thread_run_in_irq_context_check(void);
/** The calling thread's IO-dispatcher id from its record (all ones unless set), 0 without a record. */
KOVA_API uint32_t kova_thread_iod_thread_id_get(void);
/** Enters interrupt context: stores the record's current context in *saved_kind (when not null)
 * and sets KOVA_CONTEXT_IRQ; no effect on a thread without a record. */
KOVA_API void kova_thread_run_in_irq_context_save(uint32_t *saved_kind);
/** Leaves interrupt context: puts back the context saved by kova_thread_run_in_irq_context_save. */
KOVA_API void kova_thread_run_in_irq_context_restore(uint32_t saved_kind);

/* ---- strategies, priorities, binding ---- */

/** Configuration of one strategy: a nice value and a CPU list ("0-3,8"). */
typedef struct kova_thread_strategy_cfg_s {
    uint32_t priority;    /**< nice value, stored as its 32-bit pattern (-20 is 0xFFFFFFEC) */
    const char *cpu_mask; /**< CPU list text of the CPUs the strategy binds to */
} kova_thread_strategy_cfg_s;

/** Configures strategy `index` (below KOVA_THRD_STRATEGIES): 0, or -1 for a bad index, a null
 * configuration or an invalid CPU list (the strategy is then left unconfigured). */
KOVA_API int kova_initThreadStrategy(uint32_t index, const kova_thread_strategy_cfg_s *cfg);
/** Applies strategy `index` (or Default when it is not configured) to the calling thread. */
KOVA_API int kova_setCurThreadStrategy(uint32_t index);
/** Sets the calling thread's nice value (setpriority): 0, or -1 when the kernel refuses (logged,
 * rate-limited). */
KOVA_API int kova_setCurThreadPrio(int32_t nice_value);
/** Levels 0..4 give nice -20, -15, 0, 10, 15; other levels do nothing. */
KOVA_API void kova_thrd_setprio(uint32_t level);
/** Prints each strategy's name, flags, nice value and CPU mask words: 0, or -1 for a null printer. */
KOVA_API int kova_showThreadStrategyDbg(kova_print_fn print);
/** Binds a thread to a CPU set of KOVA_CPUSET_BYTES bytes; an all-zero set changes nothing. */
KOVA_API int kova_thrd_setbindcpu(pthread_t thread, const uint8_t *cpuset);
/** Writes a thread's CPU affinity as a set of KOVA_CPUSET_BYTES bytes: 0, or -1 for null or a
 * failing call (logged). */
KOVA_API int kova_thrd_getbindcpu(pthread_t thread, uint8_t *cpuset);
/** Writes the CPU affinity of kernel thread or process `id` (0 for the caller) as a set of
 * KOVA_CPUSET_BYTES bytes: 0, or -1 for null or a failing call (logged). */
KOVA_API int kova_thrd_getbindcpu_bypid(int64_t id, uint8_t *cpuset);
/** Binds the calling thread to a CPU list text. */
KOVA_API int kova_setCurThreadBind(const char *cpu_list);

/* ---- thread watch (a shared-memory word) ---- */

/** Marks the shared "kovaThreadWatch" word as holding a value written by this library. */
#define KOVA_THREAD_WATCH_MAGIC 0xEADD7741u
/** Publishes `value` in the shared "kovaThreadWatch" word (mapped on first use): 0, or -1 when the
 * shared memory cannot be mapped. */
KOVA_API int kova_thread_watch_add(uint32_t value);
/** Publishes 0 in the shared thread-watch word; returns 0. */
KOVA_API int kova_thread_watch_del(void);
/** The value in the shared thread-watch word, or 0 when it cannot be mapped or holds no value. */
KOVA_API uint32_t kova_thread_watch_get(void);

KOVA_EXTERN_C_END

#endif
