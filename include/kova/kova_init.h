/*
 * Library start-up and teardown.
 *
 * A process calls kova_Init once before it uses the library and kova_destory when it is done.
 * kova_Init brings the process-wide services up in a fixed order (the C library's backtrace,
 * jiffies, module names, the cached process id, the sleeping services, the usage sampler, CPU
 * information, the work scheduler, CPU masks and counts, the time base, the thread module, the
 * affinity entity, the timer wheel, the symbol resolver and the CRC kernels) under one mutex and
 * a done flag. The usage sampler, CPU information, the work scheduler, the time base and the
 * timer wheel stop the chain when they fail; nothing brought up before is taken down then, and
 * the next kova_Init runs the whole chain again. kova_destory takes down the module names, the
 * usage sampler, the work scheduler and the symbol index; threads, timers and CPU information
 * keep running. Every service's own initialisation tolerates being run again after that.
 */
#ifndef KOVA_KOVA_INIT_H
#define KOVA_KOVA_INIT_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/**
 * Brings the library up, once per process. Logs "Kova init start." and "Kova init end ret %d."
 * at level 6 around the chain, and an aborting step's failure at level 3. Safe to call from
 * several threads: exactly one call runs the chain, and every call returns after the chain has
 * ended. Returns 0 on success, when the library is already initialised, and when the init mutex
 * cannot be locked (as from inside a kova_init_traced observer); -1 (0xFFFFFFFF) when an
 * aborting step failed, the library then staying not initialised.
 */
KOVA_API int kova_Init(void);

/**
 * Takes the long-lived services down (module names, usage sampler, work scheduler, symbol index;
 * their results are ignored) between "Kova destroy start." and "Kova destroy end." at level 6,
 * and marks the library not initialised. Returns 0 without doing or logging anything when the
 * library is not initialised; otherwise the result of unlocking the init mutex (0), or the
 * error number of pthread_mutex_lock when the mutex cannot be locked (EDEADLK in the thread
 * that holds it, such as a log callback reached from kova_destory itself).
 */
KOVA_API int kova_destory(void);

/**
 * Prepares the C library's backtrace facility (which loads the unwinder on first use) by
 * capturing up to three frames of the caller; returns the number of frames captured.
 */
KOVA_API int kova_glibc_init(void);

/**
 * The observer of kova_init_traced: called after each step of the chain that ran, with the
 * step's operations as text (such as "sysinfo_init"), its status (0 for steps without one) and
 * the time it took in nanoseconds. It runs under the init mutex: kova_Init called from it
 * returns 0 at once, and so does kova_destory, the library not being initialised yet.
 */
typedef void (*kova_init_observer_t)(const char *step, int status, uint64_t elapsed_ns, void *arg);

/**
 * kova_Init that reports each step it runs to `observer` (null for none), with `arg` passed
 * through; the same results and messages as kova_Init. Meant for start-up diagnostics
 * (`kovactl init`): when the library is already initialised nothing runs and nothing is
 * reported.
 */
KOVA_API int kova_init_traced(kova_init_observer_t observer, void *arg);

KOVA_EXTERN_C_END

#endif
